"""``copy.deepcopy`` of plain data without its per-object dispatch.

A per-batch loop copies the evaluation parameters twice and the categories
once for every batch, where ``copy.deepcopy`` spends most of its time
choosing how to copy each number. Here dicts, lists and plain instances are
copied as ``copy.deepcopy`` copies them (an object met twice is copied once),
immutable values are shared (a copy of one cannot be told from it but by
identity) and NumPy arrays of numbers are copied; any other value sends the
whole to ``copy.deepcopy``.
"""

from __future__ import annotations

import copy
import copyreg
from typing import Any

import numpy as np

__all__ = ["deep_copy"]

# Immutable types, NumPy's number scalars among them.
_SHARED = frozenset(
    {str, int, float, bool, type(None), complex, bytes}
    | {np.dtype(code).type for code in np.typecodes["AllInteger"] + np.typecodes["AllFloat"] + "?"}
)


class _NotPlain(Exception):
    pass


def deep_copy(value: Any) -> Any:
    """A deep copy of ``value``, equal to ``copy.deepcopy(value)``.

    Examples
    --------
    >>> a = {"ids": [1, 2], "name": "x"}
    >>> b = deep_copy(a)
    >>> b == a and b["ids"] is not a["ids"]
    True
    """
    try:
        return _copy(value, {})
    except _NotPlain:
        return copy.deepcopy(value)


def _copy(value: Any, memo: dict[int, Any]) -> Any:
    cls: Any = type(value)
    if cls in _SHARED:
        return value
    done = memo.get(id(value))
    if done is not None:
        return done
    if cls is list:
        out_list: list[Any] = []
        memo[id(value)] = out_list
        out_list.extend([v if type(v) in _SHARED else _copy(v, memo) for v in value])
        return out_list
    if cls is dict:
        out: dict[Any, Any] = {}
        memo[id(value)] = out
        for k, v in value.items():
            if type(k) not in _SHARED:
                raise _NotPlain
            out[k] = v if type(v) in _SHARED else _copy(v, memo)
        return out
    if cls is np.ndarray and not value.dtype.hasobject:
        done = memo[id(value)] = value.copy(order="K")
        return done
    if _plain_instance(cls):
        new = cls.__new__(cls)
        memo[id(value)] = new
        state = _copy(value.__dict__, memo)
        if state:
            new.__dict__.update(state)
        return new
    raise _NotPlain


def _plain_instance(cls: Any) -> bool:
    """Whether copy.deepcopy copies instances of ``cls`` as a new object
    given deep copies of the attributes, and nothing else."""
    return (
        cls.__reduce_ex__ is object.__reduce_ex__
        and cls.__reduce__ is object.__reduce__
        and cls.__getstate__ is object.__getstate__
        and getattr(cls, "__deepcopy__", None) is None
        and getattr(cls, "__setstate__", None) is None
        and cls not in copyreg.dispatch_table
        and all("__slots__" not in vars(c) for c in cls.__mro__)
        and cls.__new__ is object.__new__
    )
