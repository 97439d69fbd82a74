/*
 * korvane.h - embedded approximate nearest-neighbour index
 *
 * An index holds vectors of 32-bit floats, each tagged with a caller-chosen
 * 64-bit id, and answers k-nearest-neighbour queries; a larger score is a
 * better match. Indexes made by korvane_index_create hold KORVANE_DIM (256)
 * floats per vector ranked by inner product; korvane_index_create_with_options
 * (at the end) makes indexes of any dimension up to KORVANE_MAX_DIM, ranked
 * by inner product, cosine similarity or Euclidean distance. Indexes can be
 * saved to and loaded from files.
 *
 * Reproducibility: the same seed and the same calls give bit-identical
 * results and byte-identical files on every x86-64 machine, whatever SIMD
 * instructions it has and whatever thread counts are passed.
 *
 * Conventions that hold for every function below:
 *   - Integers are uint64_t unless stated. A "vector" is a pointer to the
 *     index's dimension of contiguous floats (256 unless the index was made
 *     with another), read during the call and never kept.
 *   - Pointer arguments are not checked: passing NULL (other than where a
 *     function says it accepts NULL), a dangling pointer or an array that is
 *     too short is undefined behaviour.
 *   - Status codes: 0 success, -1 failure, -2 duplicate id (and -3, a batch
 *     stopped by its caller, from korvane_index_add_batch_progress only).
 *   - The library takes no lock, starts threads only inside the two batch
 *     calls (and joins them before returning), keeps no global state besides
 *     its allocator and its SIMD choice, never prints, and never lets a C++
 *     exception escape.
 *
 * SIMD: the kernels (AVX-512, AVX2 + FMA or scalar) are chosen once per
 * process, at first use, as the best the CPU has. The environment variable
 * KORVANE_SIMD=scalar|avx2|avx512 forces a path instead; a path the CPU lacks
 * falls back to the best one below it, and any other value is ignored. The
 * choice changes speed only, never a result.
 *
 * Thread safety of one index: calls that change it (add, add_batch, remove,
 * destroy) must not overlap any other call on that index. Calls that only
 * read it (len, memory_bytes, search, search_batch, search_filtered, save)
 * may run concurrently, each search with its own context. Distinct indexes
 * are independent.
 */
#ifndef KORVANE_H
#define KORVANE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KORVANE_BUILDING_LIBRARY)
#define KORVANE_API __attribute__((visibility("default")))
#else
#define KORVANE_API
#endif

#define KORVANE_DIM 256
#define KORVANE_ROUTING_BITS 1024
#define KORVANE_MAX_K 256

#define KORVANE_OK 0
#define KORVANE_ERROR (-1)
#define KORVANE_DUPLICATE (-2)

/* Opaque handles. */
typedef struct korvane_index korvane_index;
typedef struct korvane_context korvane_context;

/* ---- Lifecycle ------------------------------------------------------------ */

/*
 * Creates an empty index. `ef_construction` is the search breadth used while
 * inserting (values below 32 are raised to 32; larger values build a better
 * graph, more slowly). `seed` determines the index's random rotation and
 * projection: equal seeds give bit-identical indexes for equal insertions.
 * Any seed is valid.
 *
 * Returns a new index owned by the caller (release it with
 * korvane_index_destroy), or NULL when memory runs out; nothing is leaked.
 * A new index takes about 1.3 MB.
 */
KORVANE_API korvane_index *korvane_index_create(uint64_t ef_construction, uint64_t seed);

/*
 * Releases the index and everything it owns. NULL is accepted and ignored.
 * Contexts created for the index are independent objects and must be
 * destroyed separately (they stay valid memory but must not be used with a
 * destroyed index).
 */
KORVANE_API void korvane_index_destroy(korvane_index *index);

/* Number of live (added and not removed) vectors. Cannot fail. */
KORVANE_API uint64_t korvane_index_len(const korvane_index *index);

/*
 * Estimate of the memory the index holds, in bytes, from fixed per-record
 * weights and the capacities of its arrays. A new index reports 1,317,320.
 * For an index of another dimension or metric the matrices (rotation: up to
 * 256 floats per component; projection: 1024 floats per component, the
 * dimension rounded up to a multiple of 64), payloads (24 bytes plus half
 * a byte per padded component) and raw copies count at their sizes, and a
 * Euclidean index adds 4 bytes per vector.
 * Removal never lowers it. Cannot fail.
 */
KORVANE_API uint64_t korvane_index_memory_bytes(const korvane_index *index);

/* 256, the number of floats in every vector. Needs no index. */
KORVANE_API uint32_t korvane_dim(void);

/* 1024, the width of the internal routing codes in bits. Needs no index. */
KORVANE_API uint32_t korvane_routing_bits(void);

/* ---- Insertion and removal ------------------------------------------------ */

/*
 * Adds `vector` under `id`. The vector is used as given (not normalised).
 *
 * Returns 0 on success; -2 when `id` is present (nothing changes); -1 when
 * memory runs out, in which case the index is exactly as before (only its
 * internal level generator has advanced).
 *
 * An index holds at most 4,294,967,295 vectors over its lifetime (removed
 * ones keep their place); an addition beyond that returns -1.
 */
KORVANE_API int32_t korvane_index_add(korvane_index *index, uint64_t id, const float *vector);

/*
 * Adds `count` vectors: item i is (ids[i], vectors[256*i .. 256*i+255]).
 * `threads` worker threads do the heavy work (0 or 1: the calling thread
 * only). The resulting index is the same for every thread count.
 *
 * Returns 0 on success; -2, with nothing changed, when an id is present or
 * occurs twice in `ids`; -1 when memory runs out or a worker thread cannot
 * be started. After -1 the items before the failing one may have been
 * inserted (korvane_index_len tells how many vectors are live); the index is
 * consistent and usable. count 0 returns 0 and changes nothing. A batch
 * that would take the index past its 4,294,967,295 vectors returns -1 with
 * nothing changed.
 */
KORVANE_API int32_t korvane_index_add_batch(korvane_index *index, const uint64_t *ids,
                                            const float *vectors, uint64_t count,
                                            uint64_t threads);

/*
 * Removes the vector with `id`. Its id can be added again later.
 * Returns 0, or -1 when `id` is not present or memory runs out (then
 * nothing changes).
 */
KORVANE_API int32_t korvane_index_remove(korvane_index *index, uint64_t id);

/* ---- Search --------------------------------------------------------------- */

/*
 * Creates a search context for `index` with search breadth `ef_search` (the
 * number of graph candidates a search scores; larger is more accurate and
 * slower). A context holds all memory a search needs, so searches do not
 * allocate; it may be used with `index` for any number of searches, by one
 * thread at a time. Returns NULL when ef_search is 0 or memory runs out.
 */
KORVANE_API korvane_context *korvane_context_create(const korvane_index *index,
                                                    uint64_t ef_search);

/* Releases a context. NULL is accepted and ignored. */
KORVANE_API void korvane_context_destroy(korvane_context *context);

/*
 * Finds up to min(k, 256) stored vectors with the highest inner product with
 * `query`. Writes result i to out_ids[i] and out_scores[i], best first, and
 * returns the number of results n; entries from n on are not written. Both
 * arrays need room for min(k, 256) entries.
 *
 * Returns 0 for k 0, an index without live vectors or a NULL context (the
 * one pointer argument of a search that is checked). A context created
 * when the index was smaller is grown first (the only case in which a
 * search allocates); if that fails the search returns 0.
 *
 * Scores are NaN where a stored vector or the query holds a NaN, and can
 * be where a vector's squared length overflows float (components near the
 * float limit; the sum of a vector's squared components must stay below
 * FLT_MAX for its scores to be finite). A NaN score compares neither above
 * nor below any other: the results are still distinct live ids, but neither
 * their order nor which of them are returned is then defined.
 *
 * Thread safety: concurrent searches on one index need one context each.
 */
KORVANE_API uint64_t korvane_search(const korvane_index *index, korvane_context *context,
                                    const float *query, uint64_t k, uint64_t *out_ids,
                                    float *out_scores);

/*
 * Runs `n_queries` searches (query q at queries[256*q]) with breadth
 * `ef_search` on `n_threads` worker threads (0 or 1: the calling thread).
 * Results of query q go to out_ids[q*k ...] and out_scores[q*k ...], their
 * count to out_counts[q]; k is not clamped. Each query's results equal those
 * of korvane_search with the same ef_search and k.
 *
 * Returns 0, or -1 when n_queries * k is 2^60 or more, memory runs out or a
 * thread cannot be started (out_ids and out_scores are then not written).
 * n_queries 0 returns 0 and writes nothing; ef_search 0 or k 0 give all
 * counts 0.
 */
KORVANE_API int32_t korvane_search_batch(const korvane_index *index, const float *queries,
                                         uint64_t n_queries, uint64_t k, uint64_t ef_search,
                                         uint64_t n_threads, uint64_t *out_ids,
                                         float *out_scores, uint64_t *out_counts);

/*
 * Exact top-min(k, 256) among the vectors whose ids are listed in
 * allowed_ids[0 .. n_allowed-1], without walking the graph, so no listed
 * vector is missed. Ids not present are ignored; an id listed twice is
 * scored twice. Scores are computed as korvane_search computes them. Output
 * as for korvane_search; k 0, an empty list or a NULL context give 0. Uses
 * the context's query buffers only.
 */
KORVANE_API uint64_t korvane_search_filtered(const korvane_index *index,
                                             korvane_context *context, const float *query,
                                             const uint64_t *allowed_ids, uint64_t n_allowed,
                                             uint64_t k, uint64_t *out_ids, float *out_scores);

/* ---- Persistence ---------------------------------------------------------- */

/*
 * Writes the whole index to the file at `path` (a NUL-terminated byte
 * string of at most 1023 bytes; relative paths use the current directory).
 * The file is written to a temporary file beside it, flushed and renamed
 * over `path`, so an existing file is either fully replaced or left exactly
 * as it was. The temporary file can be opened by its owner only; once
 * complete it takes the permission bits of the file it replaces, or 0666
 * less the umask for a new file. A symbolic link at `path` is followed and
 * its target replaced, except where the kernel would refuse to follow it: a
 * link in a sticky directory that everyone may write, owned by neither the
 * caller nor the directory's owner, makes the save fail.
 *
 * Returns 0, or -1 on any failure (path too long or not NUL-terminated
 * within 1024 bytes, directory missing, no permission, disk full, out of
 * memory). Only reads the index: may run alongside searches.
 */
KORVANE_API int32_t korvane_index_save(const korvane_index *index, const char *path);

/*
 * Reads an index file written by korvane_index_save. Returns a new index
 * owned by the caller, or NULL when the file cannot be read, is not a valid
 * index file (every field is checked; damaged files are refused, never
 * trusted) or memory runs out. A pipe or device is read only as far as the
 * index in it goes, and no further than the first field that fails.
 */
KORVANE_API korvane_index *korvane_index_load(const char *path);

/* ---- Recall choices: raw-copy store and re-score depth -------------------- */

/*
 * A search scores the graph's candidates from compact 3-bit estimates and,
 * when the index keeps a raw copy of every vector, re-scores the best of
 * them exactly from those copies. Two choices trade memory and speed for
 * recall; the defaults of the functions above are KORVANE_STORE_I8 and a
 * re-score factor of 4, and nothing here changes their results.
 *
 *   store               bytes per vector (copy only)  scores returned
 *   KORVANE_STORE_NONE  0                             estimates
 *   KORVANE_STORE_F32   1024                          exact inner products
 *   KORVANE_STORE_I8    260                           8-bit inner products
 */
#define KORVANE_STORE_NONE 0
#define KORVANE_STORE_F32 1
#define KORVANE_STORE_I8 2

/*
 * As korvane_index_create, with the raw-copy store chosen: one of the
 * KORVANE_STORE_ values above. Returns NULL for any other value or when
 * memory runs out. Saved files record the store; loading keeps it.
 */
KORVANE_API korvane_index *korvane_index_create_with_store(uint64_t ef_construction, uint64_t seed,
                                                           uint32_t raw_store);

/* The index's store, KORVANE_STORE_ (that of the file for a loaded index). Cannot fail. */
KORVANE_API uint32_t korvane_index_raw_store(const korvane_index *index);

/*
 * Sets the re-score depth of the searches made with `context`: the first
 * stage keeps the max(factor * k, k) best estimates (the product saturates),
 * capped by the context's ef_search, and only those are scored exactly.
 * Factor 0 re-scores every candidate the graph walk returns. A new context
 * has factor 4. Affects korvane_search only: korvane_search_filtered always
 * scores every listed vector exactly, and an index without raw copies
 * returns estimates whatever the factor.
 *
 * Returns 0, or -1 for a NULL context.
 */
KORVANE_API int32_t korvane_context_set_rerank(korvane_context *context, uint64_t factor);

/*
 * korvane_search_batch with the re-score factor of every query given:
 * the results equal those of korvane_search with a context of the same
 * ef_search set to `rerank_factor`. Other arguments and results as for
 * korvane_search_batch.
 */
KORVANE_API int32_t korvane_search_batch_rerank(const korvane_index *index, const float *queries,
                                                uint64_t n_queries, uint64_t k, uint64_t ef_search,
                                                uint64_t rerank_factor, uint64_t n_threads,
                                                uint64_t *out_ids, float *out_scores,
                                                uint64_t *out_counts);

/* ---- Any dimension, and the metric --------------------------------------- */

#define KORVANE_MAX_DIM 4096
#define KORVANE_METRIC_IP 0     /* score: inner product */
#define KORVANE_METRIC_COSINE 1 /* score: cosine similarity (estimates can stray a little past +-1) */
#define KORVANE_METRIC_L2 2     /* score: minus the squared Euclidean distance, <= 0 */

/*
 * Creates an empty index of `dim` floats per vector (1 to KORVANE_MAX_DIM)
 * ranked by `metric` (a KORVANE_METRIC_ value), with the raw-copy store
 * `raw_store` (a KORVANE_STORE_ value); ef_construction and seed as for
 * korvane_index_create. Returns NULL, before allocating anything, for a
 * value out of range, and NULL when memory runs out. (256,
 * KORVANE_METRIC_IP, KORVANE_STORE_I8) makes exactly the index that
 * korvane_index_create makes, files included. Creation takes well under a
 * second at any dimension.
 *
 * With such an index every vector argument of the functions above points
 * to `dim` floats, and every score (single, batch, filtered, re-scored or
 * estimated) is larger-is-better:
 *   KORVANE_METRIC_IP      the inner product;
 *   KORVANE_METRIC_COSINE  the cosine similarity. Vectors are normalised
 *                          on the way in, stored and queried. A vector that
 *                          cannot be normalised (all zero, or with a NaN or
 *                          infinite component) is refused by add (-1) and
 *                          add_batch (-1, nothing added), and such a query
 *                          finds nothing (count 0);
 *   KORVANE_METRIC_L2      minus the squared Euclidean distance (0 for an
 *                          exact match). The index keeps its vectors
 *                          relative to a centre taken from the first call
 *                          that adds to it (the mean of the vectors it adds
 *                          whose components are all finite), so the first
 *                          batch should be representative of the data.
 * Saved files record the dimension and metric. Files of any index made by
 * this function other than (256, inner product) can be read only by
 * korvane_index_load_any; korvane_index_load refuses them.
 */
KORVANE_API korvane_index *korvane_index_create_with_options(uint32_t dim, uint32_t metric, uint32_t raw_store,
                                                             uint64_t ef_construction, uint64_t seed);

/* The index's dimension and metric (KORVANE_METRIC_). Cannot fail. */
KORVANE_API uint32_t korvane_index_dim(const korvane_index *index);
KORVANE_API uint32_t korvane_index_metric(const korvane_index *index);

/*
 * As korvane_index_load, for a file of any dimension and metric; check the
 * result with korvane_index_dim and korvane_index_metric. korvane_index_load
 * itself returns only indexes of 256 floats ranked by inner product.
 */
KORVANE_API korvane_index *korvane_index_load_any(const char *path);

/* ---- Compaction ----------------------------------------------------------- */

/*
 * Removal only marks a vector: it keeps its place in the graph, so an index
 * that has lost many vectors still walks through them and searches need a
 * wider ef_search to find what is left. Compaction rebuilds the index over
 * its live vectors from what it holds (their compact codes, raw copies and
 * routing codes; the caller's vectors are not needed). Ids, dimension,
 * metric, store and matrices are kept, and the result is the same for the
 * same index on every machine. It is a writer call, like add and remove;
 * contexts made before it stay usable.
 *
 * Returns 0, or -1 when memory runs out, in which case the index is
 * unchanged. The rebuild needs memory for a second copy of the live part
 * while it runs.
 */
KORVANE_API int32_t korvane_index_compact(korvane_index *index);

/* ---- The walk of the base layer -------------------------------------------- */

/*
 * A search descends the graph's upper layers and then walks its base layer
 * (layer 0), keeping the ef_search nodes it found best. How it ranks the
 * base layer's nodes is chosen per context:
 *
 *   KORVANE_WALK_HAMMING  by the distance of their 1024-bit routing codes to
 *                         the query's (the default; the functions above
 *                         always walk so). Cheap steps, but a coarse order:
 *                         it needs a wider ef_search for the same recall.
 *   KORVANE_WALK_SCORED   by each vector's score under the index's metric:
 *                         from its 8-bit copy when the index keeps those
 *                         (KORVANE_STORE_I8), else the compact estimate. The
 *                         upper layers are descended by the same score.
 *                         Each step reads more, but the walk finds the best
 *                         vectors in far fewer steps, so a given recall comes
 *                         faster, from a much smaller ef_search. The query
 *                         needs no routing code, which saves the projection.
 *
 * With the scored walk and 8-bit copies, the results are the best
 * min(k, 256) of the ef_search nodes the walk kept, with the score that
 * ranked them (the score a Hamming walk's re-scoring gives too); the
 * re-score factor does not apply. With float copies the best estimates are
 * re-scored exactly as after a Hamming walk (the factor applies); without
 * copies the estimates are returned. Results are the same on every machine,
 * SIMD path and thread count. korvane_search_filtered is not affected by the
 * walk.
 */
#define KORVANE_WALK_HAMMING 0
#define KORVANE_WALK_SCORED 1

/*
 * Sets the walk of the searches made with `context`. A new context walks by
 * Hamming distance. Returns 0, or -1 (nothing changed) for a NULL context
 * or a value other than the two above.
 */
KORVANE_API int32_t korvane_context_set_walk(korvane_context *context, uint32_t walk);

/*
 * korvane_search_batch with the re-score factor and walk of every query
 * given: the results equal those of korvane_search with a context of the
 * same ef_search set to `rerank_factor` and `walk`. Returns -1, with nothing
 * written, for an unknown walk; other arguments and results as for
 * korvane_search_batch.
 */
KORVANE_API int32_t korvane_search_batch_walk(const korvane_index *index, const float *queries,
                                              uint64_t n_queries, uint64_t k, uint64_t ef_search,
                                              uint64_t rerank_factor, uint32_t walk, uint64_t n_threads,
                                              uint64_t *out_ids, float *out_scores, uint64_t *out_counts);

/* ---- Progress and cancellation of a batch -------------------------------- */

#define KORVANE_STOPPED (-3)

/*
 * Watches a batch: `done` of its `total` items have been added. Returning
 * nonzero asks the batch to stop; 0 lets it go on.
 */
typedef int32_t (*korvane_progress_fn)(void *user, uint64_t done, uint64_t total);

/*
 * korvane_index_add_batch that reports its progress and can be stopped.
 * Without a stop it does exactly what korvane_index_add_batch does with the
 * same arguments: the same status and, item for item, the same index.
 *
 * A batch goes in chunk by chunk: a chunk has at most 1024 items, and while
 * the index is small, no more than the vectors it already holds (1, 1, 2,
 * 4, ... into an empty index). Unless `progress` is NULL, it is called on
 * the calling thread as progress(user, done, count): once with done 0 before
 * anything is added, then after every chunk with the number of items added
 * so far, the last time with done == count. No worker thread runs during
 * those calls. The callback must return (not jump out), and must not call
 * the library on this index; other indexes are free. It is not called for
 * count 0 or a batch refused before its start (-2, a refused vector, or -1
 * for memory).
 *
 * Returning nonzero with done < count stops the batch: the call returns
 * KORVANE_STOPPED, and the index holds the first `done` items, exactly as
 * korvane_index_add_batch(index, ids, vectors, done, threads) would have
 * added them: the same search results and, saved, the same file, byte for
 * byte. The one exception is the centre of a Euclidean index (see
 * korvane_index_create_with_options): when this call is the first to add
 * to it, the centre is the one the whole batch gives, as for the call that
 * is not stopped (a stop at done 0 adds nothing and leaves no centre).
 * Either way, adding the remaining items afterwards (ids + done,
 * vectors + done * dim, count - done, any thread count), with no other
 * change in between, gives exactly the index the uninterrupted call gives.
 * The stopped index is valid: it can be searched, saved, added to and
 * changed as any other. A nonzero return at done == count is ignored (the
 * call returns 0).
 *
 * Unless `added` is NULL, *added receives the number of items added; they
 * are always the first ones of the arrays, in order: count after 0, 0 after
 * -2 or a refused vector, and after -1 (memory ran out or a thread could not
 * start) or KORVANE_STOPPED, as many as went in before.
 */
KORVANE_API int32_t korvane_index_add_batch_progress(korvane_index *index, const uint64_t *ids,
                                                     const float *vectors, uint64_t count,
                                                     uint64_t threads, korvane_progress_fn progress,
                                                     void *user, uint64_t *added);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_H */
