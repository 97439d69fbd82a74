"""Exact nearest neighbours by brute force: what the recall of an Index is
measured against."""

import operator

import numpy as np

from ._korvane import MAX_K, METRICS, NO_ID, _to_ids, _to_rows

# At most this many query-vector scores are held at once (32 MiB of
# float32); the base is scanned in blocks of vectors to stay within it.
_BLOCK_SCORES = 1 << 23
_QUERY_BLOCK = 1024
# Float64 values gathered at once for the final exact scoring (32 MiB).
_RESCORE_VALUES = 1 << 22


def exact_search(vectors, queries, k=10, metric="ip", ids=None):
    """The exact k best matches of each query among ``vectors``.

    vectors: (n, d) array-like, d from 1 to 4096, checked as Index.add
        checks the vectors it stores (finite, a squared length that fits
        float32, no all-zero vector under cosine).
    queries: (nq, d) array-like, or (d,) for one query.
    k: 1 .. 256.
    metric: "ip", "cosine" or "l2", scored as an Index of that metric
        scores: the inner product, the cosine similarity, or minus the
        squared Euclidean distance; larger is better.
    ids: (n,) distinct integers in 0 .. 2**64 - 2 for the vectors; by
        default their positions 0 .. n - 1.

    Returns (ids, scores) as Index.search does: uint64 and float32 arrays of
    shape (nq, k), or (k,) for one query, best first, rows short of k padded
    with NO_ID and -inf (an all-zero query under cosine matches nothing).
    Candidates are chosen with float32 products block by block, a few more
    than k per query, and then scored and ranked in float64 (ties by id), so
    the ids are those of a float64 brute force.
    """
    if not isinstance(metric, str) or metric not in METRICS:
        raise ValueError(f'metric must be "ip", "cosine" or "l2", got {metric!r}')
    code = METRICS.index(metric)
    k = _as_k(k)
    base, _ = _to_rows(vectors, "vectors", 0, code, True)
    n, dim = base.shape
    queries, single = _to_rows(queries, "queries", dim, code, False,
                               "the dimension of vectors")
    labels = _as_labels(ids, n)

    nq = len(queries)
    out_ids = np.full((nq, k), NO_ID, dtype=np.uint64)
    out_scores = np.full((nq, k), -np.inf, dtype=np.float32)
    if n and nq:
        _Search(base, metric, k).run(queries, labels, out_ids, out_scores)
    return (out_ids[0], out_scores[0]) if single else (out_ids, out_scores)


def _as_k(k):
    if isinstance(k, (bool, np.bool_)):
        raise ValueError(f"k must be an integer, got {k!r}")
    try:
        k = operator.index(k)
    except TypeError:
        raise ValueError(f"k must be an integer, got {k!r}") from None
    if not 1 <= k <= MAX_K:
        raise ValueError(f"k must be in 1 .. {MAX_K}, got {k}")
    return k


def _as_labels(ids, n):
    if ids is None:
        return np.arange(n, dtype=np.uint64)
    labels = np.asarray(_to_ids(ids, "ids"), dtype=np.uint64).reshape(-1)
    if len(labels) != n:
        raise ValueError(f"ids has {len(labels)} entries for {n} vectors")
    # As in an index: NO_ID marks padding and an id names one vector.
    if np.any(labels == np.uint64(NO_ID)):
        raise ValueError("ids holds NO_ID (2**64 - 1), which marks padding in results")
    unique, counts = np.unique(labels, return_counts=True)
    if np.any(counts > 1):
        raise ValueError(f"ids repeats {unique[counts > 1][:10].tolist()}")
    return labels


class _Search:
    def __init__(self, base, metric, k):
        self.base, self.metric, self.k = base, metric, k
        n = len(base)
        # Candidates kept per query before the float64 scoring: a margin
        # over k absorbs float32 rounding near the k-th score.
        self.keep = min(n, 2 * k + 16)
        self.block = max(self.keep, min(_BLOCK_SCORES // _QUERY_BLOCK, _BLOCK_SCORES // base.shape[1]))
        if metric == "cosine":
            self.inverse_norms = (1.0 / np.sqrt(_squared_norms(base))).astype(np.float32)
        elif metric == "l2":
            # Distances from a centre near the data lose less to float32
            # cancellation in ||x||^2 - 2 x.q.
            self.centre = base.mean(axis=0, dtype=np.float64).astype(np.float32)

    def run(self, queries, labels, out_ids, out_scores):
        for start in range(0, len(queries), _QUERY_BLOCK):
            stop = min(start + _QUERY_BLOCK, len(queries))
            chosen = self._candidates(queries[start:stop])
            self._rank(queries[start:stop], chosen, labels,
                       out_ids[start:stop], out_scores[start:stop])

    def _prepared(self, rows, first=None):
        """Rows as the float32 products see them; `first` is the position of
        base rows (None for queries)."""
        if self.metric == "cosine":
            if first is None:
                norms = np.sqrt(_squared_norms(rows))
                with np.errstate(divide="ignore"):
                    scale = np.where(norms > 0, 1.0 / norms, 0.0)
                return rows * scale.astype(np.float32)[:, None]
            return rows * self.inverse_norms[first:first + len(rows), None]
        if self.metric == "l2":
            return rows - self.centre
        return rows

    def _candidates(self, queries):
        """Positions of the `keep` best vectors of each query by float32 score."""
        q = self._prepared(queries)
        keep = self.keep
        best_pos = np.empty((len(q), 0), dtype=np.int64)
        best_val = np.empty((len(q), 0), dtype=np.float32)
        for first in range(0, len(self.base), self.block):
            rows = self._prepared(self.base[first:first + self.block], first)
            values = q @ rows.T
            if self.metric == "l2":
                # -||x - q||^2 + ||q||^2: the same order within a query.
                values *= 2
                values -= np.einsum("ij,ij->i", rows, rows)[None, :]
            if values.shape[1] > keep:
                pos = np.argpartition(values, values.shape[1] - keep, axis=1)[:, -keep:]
                values = np.take_along_axis(values, pos, axis=1)
            else:
                pos = np.broadcast_to(np.arange(values.shape[1]), values.shape)
            best_pos = np.concatenate([best_pos, pos + first], axis=1)
            best_val = np.concatenate([best_val, values], axis=1)
            if best_pos.shape[1] > keep:
                top = np.argpartition(best_val, best_val.shape[1] - keep, axis=1)[:, -keep:]
                best_pos = np.take_along_axis(best_pos, top, axis=1)
                best_val = np.take_along_axis(best_val, top, axis=1)
        return best_pos

    def _rank(self, queries, chosen, labels, out_ids, out_scores):
        """Scores the candidates in float64 and writes the best k of each
        query, ties by id."""
        k, width = self.k, chosen.shape[1]
        step = max(1, _RESCORE_VALUES // (width * self.base.shape[1]))
        for start in range(0, len(queries), step):
            q = queries[start:start + step].astype(np.float64)
            pos = chosen[start:start + step]
            x = self.base[pos].astype(np.float64)  # (rows, width, dim)
            if self.metric == "l2":
                x -= q[:, None, :]
                scores = -np.einsum("rcd,rcd->rc", x, x)
            else:
                scores = np.einsum("rcd,rd->rc", x, q)
                if self.metric == "cosine":
                    q_norms = np.sqrt(np.einsum("rd,rd->r", q, q))
                    with np.errstate(divide="ignore", invalid="ignore"):
                        scores /= np.sqrt(np.einsum("rcd,rcd->rc", x, x)) * q_norms[:, None]
            ids = labels[pos]
            order = np.lexsort((ids, -scores), axis=1)[:, :k]
            found = min(k, width)
            out_ids[start:start + step, :found] = np.take_along_axis(ids, order, axis=1)
            out_scores[start:start + step, :found] = np.take_along_axis(scores, order, axis=1)
            if self.metric == "cosine":
                # A query without direction matches nothing, as in an index.
                dead = start + np.flatnonzero(q_norms == 0)
                out_ids[dead] = NO_ID
                out_scores[dead] = -np.inf


def _squared_norms(rows):
    return np.einsum("ij,ij->i", rows, rows, dtype=np.float64)
