"""Approximate nearest-neighbour search over 256-float vectors with 64-bit ids."""
from ._korvane import (
    DIM as DIM,
    MAX_K as MAX_K,
    NO_ID as NO_ID,
    DuplicateIdError as DuplicateIdError,
    Index as Index,
    IndexFileError as IndexFileError,
    __version__ as __version__,
)
