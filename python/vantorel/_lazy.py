"""One lock per object for the members it builds on first read.

Objects of this package make some members only when someone reads them (the
compat ``COCO``'s annotation dicts, an evaluator's per-image records, an
analysis session's verdicts). Readers in several threads must all see the
member whole and built once, so each such build runs under the object's own
re-entrant lock, checked again once the lock is held. The lock is made on
first use (objects restored from a pickle or copied member by member get one
too) and copies or unpickles as a new, free lock, so objects holding one
stay picklable and copyable.
"""

from __future__ import annotations

import threading
from typing import Any

__all__ = ["BuildLock", "build_lock"]

_ATTR = "_build_lock"
_making = threading.Lock()


class BuildLock:
    """A re-entrant lock that pickles and deep-copies as a new, free lock.

    Examples
    --------
    >>> import pickle
    >>> with BuildLock() as lock:
    ...     isinstance(pickle.loads(pickle.dumps(lock)), BuildLock)
    True
    """

    __slots__ = ("_lock",)

    def __init__(self) -> None:
        self._lock = threading.RLock()

    def __enter__(self) -> BuildLock:
        self._lock.acquire()
        return self

    def __exit__(self, *exc: object) -> None:
        self._lock.release()

    def __reduce__(self) -> tuple[type[BuildLock], tuple[()]]:
        return (BuildLock, ())


def build_lock(obj: Any) -> BuildLock:
    """The lock under which ``obj`` builds its lazily made members.

    Examples
    --------
    >>> class Thing: pass
    >>> t = Thing()
    >>> build_lock(t) is build_lock(t)
    True
    """
    members = obj.__dict__
    lock = members.get(_ATTR)
    if lock is None:
        with _making:
            lock = members.get(_ATTR)
            if lock is None:
                lock = members[_ATTR] = BuildLock()
    return lock  # type: ignore[no-any-return]
