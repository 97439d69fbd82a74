"""Type stubs of the compiled part of korvane (see help(korvane))."""
import os
from typing import Callable, Iterable, Literal, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
IdsLike = Union[int, Iterable[int], npt.NDArray[np.integer]]
Store = Literal["int8", "f32", "none"]
Metric = Literal["ip", "cosine", "l2"]

DIM: int
"""256, the default number of floats per vector."""
MAX_DIM: int
"""4096, the largest dimension an index can have."""
METRICS: Tuple[str, str, str]
"""("ip", "cosine", "l2"), the metrics an index can rank by."""
MAX_K: int
"""256, the most results one query can ask for."""
NO_ID: int
"""2**64 - 1, the id that pads rows with fewer than k results."""
__version__: str

class DuplicateIdError(ValueError):
    """An id is already in the index or occurs twice in one add; nothing was added."""

class IndexFileError(OSError):
    """The library refuses the file: damaged, truncated or not an index file."""

class Index:
    """An in-memory index of float vectors, each under a 64-bit id.

    ef_construction: search breadth while inserting (values below 32 are raised to 32).
    seed: 0 .. 2**64 - 1; equal seeds and equal calls give bit-identical indexes.
    store: raw copies kept for exact re-scoring: "int8" (default), "f32" or "none".
    dim: floats per vector, 1 .. 4096 (keyword only, default 256).
    metric: "ip" (inner product, default), "cosine" (cosine similarity; all-zero
        vectors are refused, an all-zero query finds nothing) or "l2" (minus the
        squared Euclidean distance); scores are larger-is-better. Keyword only.
    Bad values raise ValueError naming the allowed ones.
    """

    def __init__(
        self,
        ef_construction: int = 200,
        seed: int = 0,
        store: Store = "int8",
        *,
        dim: int = 256,
        metric: Metric = "ip",
    ) -> None: ...
    def add(
        self,
        vectors: npt.ArrayLike,
        ids: Optional[IdsLike] = None,
        threads: Optional[int] = None,
        progress: Union[None, bool, Callable[[int, int], object]] = None,
    ) -> None:
        """Add (n, dim) or (dim,) finite vectors under ids (default: the first n
        consecutive free ids from len(index) on; NO_ID is refused).

        progress: True for a bar on stderr (tqdm's when installed), or a callable
        progress(done, total) called with 0, then after every chunk of at most 1024
        vectors, the last time with done == total; it must not use this index.
        Ctrl-C, or an exception from progress, stops the add at a chunk boundary and
        is raised: the index keeps exactly the first len(index) - before vectors.

        Raises DuplicateIdError (nothing added) for an id present or repeated,
        MemoryError, ValueError for a wrong shape, a vector that is not finite,
        a negative, non-integer or NO_ID id, a bad progress, or a closed index. A
        width other than the index's dim, and an all-zero vector under cosine, raise
        ValueError.
        """
    def compact(self) -> None:
        """Rebuild the index over its live vectors, keeping ids and scores."""
    def remove(self, ids: IdsLike) -> int:
        """Remove the vectors with these ids; returns how many were removed (absent ids are skipped)."""
    def search(
        self,
        queries: npt.ArrayLike,
        k: int = 10,
        ef: int = 64,
        rerank: int = 4,
        threads: Optional[int] = None,
        filter: Optional[IdsLike] = None,
        walk: str = "scored",
    ) -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The k best matches (largest score by the index's metric) of each query, best first.

        (nq, dim) queries give (nq, k) ids and scores, a (dim,) query gives (k,);
        short rows are padded with NO_ID and -inf. ef: search breadth (>= 1,
        raised to k); rerank: the best rerank * k candidates are re-scored
        exactly (0: all); filter: allowed ids (repeats count once), searched
        exactly; walk: "scored" (ranks the base layer by each vector's score:
        a given recall at a far smaller ef) or "hamming" (by routing codes, the
        C library's default). Non-integer or out-of-range arguments raise ValueError.
        """
    def save(self, path: PathLike) -> None:
        """Write the index to a file (replaced whole or left as it was); OSError on failure."""
    @staticmethod
    def load(path: PathLike) -> "Index":
        """Read an index file of any dim and metric: FileNotFoundError, OSError, or IndexFileError for a refused file."""
    def close(self) -> None:
        """Release the index now; later calls raise ValueError."""
    def __enter__(self) -> "Index": ...
    def __exit__(self, *exc_info: object) -> None: ...
    def __len__(self) -> int:
        """Number of vectors in the index."""
    def __contains__(self, id: object) -> bool:
        """Whether a vector with this id is in the index."""
    @property
    def memory_bytes(self) -> int:
        """Estimate of the memory the index holds, in bytes."""
    @property
    def dim(self) -> int:
        """The number of floats in every vector, 1 .. 4096."""
    @property
    def metric(self) -> Metric:
        """"ip", "cosine" or "l2"."""
    @property
    def store(self) -> Store:
        """The raw copies kept for re-scoring: "int8", "f32" or "none"."""
