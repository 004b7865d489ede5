"""The drop-in's fast deep copy (parameters and categories, copied for every
batch) against copy.deepcopy."""

from __future__ import annotations

import copy
import pickle

import numpy as np
import pytest

from vantorel.compat._copying import deep_copy
from vantorel.compat.cocoeval import Params


def _batch_params():
    p = Params("bbox")
    p.imgIds = list(np.unique([7, 3, 5]))
    p.catIds = list(np.unique(np.arange(1, 81)))
    return p


class _Slotted:
    __slots__ = ("a",)

    def __init__(self):
        self.a = [1]


shared = [1, 2]
cyclic: list = [0]
cyclic.append(cyclic)
VALUES = {
    "params": _batch_params(),
    "keypoint params": Params("keypoints"),
    "categories": [
        {"id": i, "name": f"c{i}", "supercategory": "s", "keypoints": ["a"], "skeleton": [[1, 2]]} for i in range(3)
    ],
    "shared member": {"a": shared, "b": shared},
    "cycle": cyclic,
    "tuple": {"rng": (0, [1])},
    "arrays": [np.arange(6).reshape(2, 3).T, np.array([None, [1]], dtype=object), np.float32(1.5), np.bool_(True)],
    "slotted": [_Slotted()],
    "non-str keys": {(1, 2): [3], 4.5: None},
}


def _shape(value):
    """Types, values and which members are one object (pickle writes a shared one once)."""
    return pickle.dumps(value, protocol=5)


@pytest.mark.parametrize("name", list(VALUES))
def test_deep_copy_matches_copy_deepcopy(name):
    value = VALUES[name]
    fast, ref = deep_copy(value), copy.deepcopy(value)
    assert type(fast) is type(ref)
    assert _shape(fast) == _shape(ref)
    # No list, dict or array is shared with the original.
    members = vars(value) if isinstance(value, Params) else {"value": value}
    for attr, v in members.items():
        if isinstance(v, (list, dict, np.ndarray)):
            assert (vars(fast)[attr] if isinstance(value, Params) else fast) is not v
