"""Min/max envelope of a stretch of samples, at most one bucket per pixel column."""

from __future__ import annotations


def column_envelope(np, samples, start: int, stop: int, columns: int):
    """(edges, lo, hi) of samples[start:stop] in at most `columns` buckets.

    Bucket j holds samples[edges[j]:edges[j + 1]] and its smallest and
    largest values lo[j] and hi[j], in the samples' own dtype. All buckets
    but the last are equally long, so the bulk is one reshape of a view and
    a 9-million-sample signal is never copied or widened.
    """
    if columns < 1:
        raise ValueError("columns must be at least 1")
    start, stop = min(max(0, start), len(samples)), min(len(samples), stop)
    width = stop - start
    if width <= 0:
        empty = samples[:0]
        return np.array([start], dtype=np.int64), empty, empty
    bucket = -(-width // columns)
    whole = width // bucket * bucket
    body = samples[start:start + whole].reshape(-1, bucket)
    lo, hi = body.min(axis=1), body.max(axis=1)
    if whole < width:
        tail = samples[start + whole:stop]
        lo, hi = np.append(lo, tail.min()), np.append(hi, tail.max())
    edges = np.minimum(np.arange(start, stop + bucket, bucket, dtype=np.int64), stop)
    return edges[: len(lo) + 1], lo, hi
