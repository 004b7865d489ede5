"""Where the drop-in classes' progress and summary lines go.

The reference API prints them; faster-coco-eval's classes hand them to a
``print_function`` instead. Lines go through ``emit``, which prints unless
the current thread's context asked for them with ``lines_to``: swapping
``sys.stdout`` instead would also take what other threads print meanwhile.
"""

from __future__ import annotations

import contextlib
import contextvars
from collections.abc import Callable, Iterator
from typing import Any

_SINK: contextvars.ContextVar[Callable[[Any], Any] | None] = contextvars.ContextVar(
    "vantorel_compat_sink", default=None
)


def emit(line: Any) -> None:
    """Prints ``line``, or hands it to the sink set by ``lines_to``.

    Examples
    --------
    >>> emit("index created!")
    index created!
    """
    sink = _SINK.get()
    if sink is None:
        print(line)
    else:
        sink(str(line))


@contextlib.contextmanager
def lines_to(sink: Callable[[Any], Any]) -> Iterator[None]:
    """Sends the lines the body emits (in this thread) to ``sink``, one a call.

    Examples
    --------
    >>> got: list[str] = []
    >>> with lines_to(got.append):
    ...     emit("DONE")
    >>> got
    ['DONE']
    """
    token = _SINK.set(sink)
    try:
        yield
    finally:
        _SINK.reset(token)
