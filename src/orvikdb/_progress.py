"""The progress bar of long calls, fed by the core's progress callback."""

from collections.abc import Callable, Iterator
from contextlib import contextmanager

from tqdm import tqdm

ProgressCallback = Callable[[int, int], None]


@contextmanager
def progress_bar(show: bool, total: int, what: str) -> Iterator[ProgressCallback | None]:
    """A callback that moves a tqdm bar of `total` steps, or None when show is false.

    The core calls it from the calling thread about every 0.1 s and once at the
    end, with the rows done so far.
    """
    if not show:
        yield None
        return
    with tqdm(total=total, desc=what, unit="vectors") as bar:
        def report(done: int, _total: int) -> None:
            bar.update(done - bar.n)

        yield report
