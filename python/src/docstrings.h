// The help texts of the package, kept apart from the bindings.
#pragma once

namespace korvane_py::doc {

inline constexpr const char* kModule = R"(Approximate nearest-neighbour search over float vectors with 64-bit ids.

    import numpy as np, korvane
    vectors = np.random.rand(1000, 784).astype(np.float32)
    queries = np.random.rand(20, 784).astype(np.float32)
    index = korvane.Index(dim=784, metric="l2")
    index.add(vectors)                                  # ids 0..999
    ids, scores = index.search(queries, k=5)
    true_ids, _ = korvane.exact_search(vectors, queries, k=5, metric="l2")

Vectors have any dimension from 1 to 4096 (256 by default). Scores are
larger-is-better: the inner product ("ip", the default), the cosine
similarity ("cosine") or minus the squared Euclidean distance ("l2"). Results
are the same bits on every machine and for every thread count. Every call
that can take time releases the GIL; any number of threads may search one
index at once, and add/remove wait for running searches.)";

inline constexpr const char* kIndex = R"(An in-memory index of float vectors, each under a 64-bit id.

Index(ef_construction=200, seed=0, store="int8", *, dim=256, metric="ip")

ef_construction: search breadth while inserting (values below 32 are raised
    to 32; larger builds a better graph, more slowly).
seed: any integer in 0 .. 2**64 - 1; equal seeds and equal calls give
    bit-identical indexes.
store: the raw copy kept for exact re-scoring of the best candidates:
    "int8" (a byte per component and a scale per vector, the default),
    "f32" (exact floats, 4x the memory) or "none" (no re-scoring, least
    memory).
dim: floats per vector, 1 .. 4096 (keyword only).
metric: how matches rank, larger score first (keyword only):
    "ip"      the inner product;
    "cosine"  the cosine similarity; vectors are normalised on the way in,
              an all-zero vector cannot be added and an all-zero query
              finds nothing;
    "l2"      minus the squared Euclidean distance (0 for an exact match);
              the index takes a centre from its first add, so that batch
              should be representative of the data.
Index(dim=256, metric="ip") is the same index as Index().

Also a context manager (``with korvane.Index() as index:`` closes it on
exit) and picklable (the pickle holds the index file).)";

inline constexpr const char* kAdd = R"(Add vectors under ids.

vectors: array-like of real numbers, shape (n, dim), or (dim,) for one
    vector, dim being the index's. A float32 C-contiguous numpy array is read in place; anything
    else (float64, integers, a Fortran-order or strided view, nested lists)
    is converted to float32 first. Every component must be finite and each
    vector's squared length must fit a float32 (such vectors could not be
    scored; under cosine only finiteness counts, and an all-zero vector
    has no direction and is refused); strings, None and other objects are
    refused.
ids: (n,) array-like of integers in 0 .. 2**64 - 2 (or one integer for one
    vector); bools are refused, and so is NO_ID, which pads search results.
    Default: the first n consecutive ids from len(index) on that are free,
    which is len(index), ..., len(index) + n - 1 while nothing was removed.
threads: worker threads, at most one per vector; None means all cores. The
    index is the same for every thread count.
progress: None, True for a progress bar on stderr (tqdm's when tqdm is
    installed), or a callable progress(done, total), called on the calling
    thread with 0 first and then after every chunk of at most 1024 vectors
    with the number added so far, the last time with done == total. It must
    not use this index (RuntimeError); whatever it raises stops the add.

The vectors go in chunk by chunk, and Ctrl-C (KeyboardInterrupt) or an
exception from progress stops the add at the next chunk boundary (a
fraction of a second at 256 dimensions, about a second at 4096 on two
cores) and is raised. The index is then valid and holds exactly
the first vectors up to that point (len(index) more than before), as an add
of just those would have left it; adding the others afterwards gives the
index that one uninterrupted add gives. (An "l2" index's first add takes
its centre from all the vectors it was given, stopped or not.)

Raises DuplicateIdError (a ValueError) if an id is already in the index or
occurs twice in ids; nothing is added then. MemoryError when memory runs
out (the vectors before the failing one may have been kept: the first ones,
in order). ValueError for a wrong shape (a width other than the index's
dimension included), a vector that is not finite (the message names its
row), ids that are negative, not integers or NO_ID, a progress that is not
None, a bool or callable, or a closed index.)";

inline constexpr const char* kCompact = R"(Rebuild the index over its live vectors.

Removed vectors keep their place in the graph and keep steering searches;
after many removals, compact() rebuilds the graph from what the index holds
(no original vectors needed), keeping ids and scores, so searches find the
remaining vectors at the usual ef. Deterministic. Raises MemoryError, with
the index unchanged, when memory runs out; needs room for a second copy of
the live part while it runs.)";

inline constexpr const char* kRemove = R"(Remove the vectors with the given ids; returns how many were removed.

ids: array-like of non-negative integers (or one integer). Ids not in the
index are skipped. A removed id may be added again.)";

inline constexpr const char* kSearch = R"(Find the k best matches (largest score) of each query.

queries: (nq, dim) array-like, or (dim,) for one query, dim being the
    index's (converted to float32 like the vectors of add). Under cosine an
    all-zero query finds nothing (a row of padding).
k: results per query, 1 .. 256.
ef: search breadth, at least 1: the number of graph candidates scored per
    query. Larger is more accurate and slower. A value below k is raised
    to k, so that a row is short only when the index holds fewer matches.
rerank: the best rerank * k candidates by estimated score are re-scored
    exactly from the stored raw copies (0: all of them). Has no effect on
    an index with store="none".
threads: worker threads for a batch of queries, at most one per query;
    None means all cores. Results do not depend on it. A long batch runs
    in pieces, and Ctrl-C between them raises KeyboardInterrupt.
filter: optional array-like of allowed ids. The search is then exact over
    just those ids (no graph walk, so none of them is missed); ids not in
    the index are ignored, and an id listed twice counts once.
walk: how the graph's base layer is walked. "scored" (the default) ranks
    each node by its score, from the int8 copies with store="int8" (rerank
    then has no effect) and from the compact estimates otherwise: it reaches
    a given recall with a far smaller ef. "hamming" ranks nodes by their
    routing codes, as the C library's korvane_search does by default:
    cheaper steps, a wider ef for the same recall.

k, ef, rerank and threads must be integers (not floats or bools); a wrong
value raises ValueError, as does a query that is not finite.

Returns (ids, scores): ids as uint64 and scores as float32 arrays of shape
(nq, k), or (k,) for a (dim,) query, best first. Scores by the index's
metric: the inner product, the cosine similarity, or minus the squared
Euclidean distance. Rows with fewer than k results are padded with NO_ID
and -inf.

    ids, scores = index.search(queries, k=10, ef=32)
    ids, scores = index.search(query, k=3, filter=np.arange(0, 1000, 2)))";

inline constexpr const char* kSave = R"(Write the index to a file (str, bytes or os.PathLike, at most 1023 bytes).

The file is written beside the target and renamed over it, so an existing
file is either replaced whole or left as it was. Searches may run while the
index is saved. Raises OSError when the file cannot be written.)";

inline constexpr const char* kLoad = R"(Read an index written by Index.save and return it, with its dimension,
metric and store.

Raises FileNotFoundError for a missing file, another OSError for a file
that cannot be opened, and IndexFileError (an OSError) for a file the
library refuses as damaged or not an index file.)";

inline constexpr const char* kClose = R"(Release the index's memory now (after running searches end).

Any later call on the index raises ValueError. Closing twice is harmless.)";

inline constexpr const char* kContains = "Whether a vector with this id is in the index (`7 in index`).";
inline constexpr const char* kLen = "Number of vectors in the index (added and not removed).";
inline constexpr const char* kMemory = "Estimate of the memory the index holds, in bytes; removal never lowers it.";
inline constexpr const char* kDim = "The number of floats in every vector of the index, 1 .. 4096.";
inline constexpr const char* kMetric =
    "How the index ranks: \"ip\" (inner product), \"cosine\" (cosine similarity) or \"l2\" (minus the squared "
    "Euclidean distance).";
inline constexpr const char* kStore = "The raw copies kept for re-scoring: \"int8\", \"f32\" or \"none\".";
inline constexpr const char* kDuplicate =
    "An id is already in the index or occurs twice in one add; nothing was added.";
inline constexpr const char* kIndexFile = "The library refuses the file: damaged, truncated or not an index file.";

}  // namespace korvane_py::doc
