"""Approximate nearest-neighbour search over float vectors with 64-bit ids."""
from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

from ._korvane import (
    DIM as DIM,
    MAX_DIM as MAX_DIM,
    MAX_K as MAX_K,
    METRICS as METRICS,
    NO_ID as NO_ID,
    DuplicateIdError as DuplicateIdError,
    IdsLike,
    Index as Index,
    IndexFileError as IndexFileError,
    Metric,
    __version__ as __version__,
)

def exact_search(
    vectors: npt.ArrayLike,
    queries: npt.ArrayLike,
    k: int = 10,
    metric: Metric = "ip",
    ids: Optional[IdsLike] = None,
) -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    """The exact k best matches of each query among (n, d) vectors, as Index.search
    returns them: (nq, k) uint64 ids (positions, or ``ids``) and float32 scores by
    ``metric`` ("ip", "cosine" or "l2", larger is better), best first, padded with
    NO_ID and -inf; (k,) for a (d,) query. Computed in blocks of the vectors, so
    memory stays bounded; ranked in float64. Bad arguments raise ValueError.
    """
