"""The progress bar of ``Index.add(..., progress=True)``, on stderr: tqdm's
when tqdm is installed, else a plain one."""
import sys
import time


class Bar:
    """A progress(done, total) callable that draws a bar from its first call
    on; close() ends it."""

    def __init__(self, label="adding"):
        self._label = label
        self._bar = None

    def __call__(self, done, total):
        if self._bar is None:
            self._bar = _make_bar(self._label, total)
        self._bar.show(done)

    def close(self):
        if self._bar is not None:
            self._bar.close()


def _make_bar(label, total):
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainBar(label, total, sys.stderr)
    return _TqdmBar(tqdm(total=total, desc=label, unit="vectors", unit_scale=True, file=sys.stderr))


class _TqdmBar:
    def __init__(self, bar):
        self._bar = bar
        self._shown = 0

    def show(self, done):
        self._bar.update(done - self._shown)
        self._shown = done

    def close(self):
        self._bar.close()


class _PlainBar:
    """One line, redrawn at most ten times a second and at the end."""

    WIDTH = 30

    def __init__(self, label, total, file):
        self._label, self._total, self._file = label, total, file
        self._start = time.monotonic()
        self._drawn = None

    def show(self, done):
        now = time.monotonic()
        if done < self._total and self._drawn is not None and now - self._drawn < 0.1:
            return
        self._drawn = now
        part = done / self._total if self._total else 1.0
        filled = int(self.WIDTH * part)
        rate = done / max(now - self._start, 1e-9)
        self._file.write(f"\r{self._label} [{'#' * filled}{' ' * (self.WIDTH - filled)}] {100 * part:3.0f}%  "
                         f"{done}/{self._total}  {rate:,.0f} vectors/s ")
        self._file.flush()

    def close(self):
        if self._drawn is not None:
            self._file.write("\n")
            self._file.flush()
