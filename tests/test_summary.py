"""summary_values against NumPy fancy indexing on seeded random arrays and views."""

import numpy as np
import pytest

from vantorel._zerlin import summary_values


def reference(array, thresholds, categories, area, max_det):
    if array.ndim == 5:
        picked = array[np.asarray(thresholds, dtype=np.intp)][
            :, :, np.asarray(categories, dtype=np.intp), area, max_det
        ]
    else:
        picked = array[np.asarray(thresholds, dtype=np.intp)][:, np.asarray(categories, dtype=np.intp), area, max_det]
    flat = picked.reshape(-1)
    return flat[flat > -1]


def random_array(rng, ndim):
    shape = tuple(int(s) for s in rng.integers(1, 6, size=ndim))
    a = rng.uniform(-1.5, 1.0, size=shape)
    a[rng.random(shape) < 0.3] = -1.0
    a[rng.random(shape) < 0.05] = np.nan
    return a


def views(a):
    yield a
    yield np.asfortranarray(a)
    yield a[::-1]  # negative stride on the first axis
    yield a[..., ::-1]
    big = np.zeros(tuple(2 * s for s in a.shape))
    sl = tuple(slice(None, None, 2) for _ in a.shape)
    big[sl] = a
    yield big[sl]  # strided view


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("ndim", [4, 5])
def test_matches_fancy_indexing(seed, ndim):
    rng = np.random.default_rng(seed)
    base = random_array(rng, ndim)
    for a in views(base):
        n = a.ndim
        thresholds = rng.integers(0, a.shape[0], size=rng.integers(0, 4)).tolist()
        categories = rng.integers(0, a.shape[n - 3], size=rng.integers(0, 4)).tolist()  # duplicates allowed
        area = int(rng.integers(0, a.shape[n - 2]))
        max_det = int(rng.integers(0, a.shape[n - 1]))
        got = summary_values(a, thresholds, categories, area, max_det)
        want = reference(a, thresholds, categories, area, max_det)
        assert got.dtype == np.float64 and got.ndim == 1
        np.testing.assert_array_equal(got, want)


def test_values_at_or_below_minus_one_are_dropped():
    a = np.full((2, 3, 1, 1, 1), -1.0)
    a[0, 1] = -1.0000001
    a[1, 2] = -0.9999
    assert summary_values(a, [0, 1], [0], 0, 0).tolist() == [-0.9999]
    assert summary_values(a, [], [0], 0, 0).size == 0
    assert summary_values(a, [0], [], 0, 0).size == 0


def test_order_is_threshold_then_recall_then_category():
    a = np.arange(2 * 3 * 2 * 1 * 1, dtype=float).reshape(2, 3, 2, 1, 1)
    assert summary_values(a, [1, 0], [1, 0], 0, 0).tolist() == [7, 6, 9, 8, 11, 10, 1, 0, 3, 2, 5, 4]


@pytest.mark.parametrize(
    "make,message",
    [
        (lambda: np.zeros((2, 2, 2)), "summary array must have four or five axes"),
        (lambda: np.zeros((1,) * 6), "summary array must have four or five axes"),
        (
            lambda: np.frombuffer(np.zeros(17, dtype=np.uint8).tobytes(), dtype=np.float64, offset=1, count=2).reshape(
                1, 1, 1, 2
            ),
            "summary array must be aligned",
        ),
        (
            lambda: np.frombuffer(np.zeros(17, dtype=np.uint8).tobytes(), dtype=np.float64, offset=1, count=2).reshape(
                2
            ),
            "summary array must be aligned",  # alignment is checked before the axis count
        ),
    ],
)
def test_shape_and_alignment_errors(make, message):
    with pytest.raises(ValueError) as info:
        summary_values(make(), [0], [0], 0, 0)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "shape,args",
    [
        ((2, 3, 4, 5), ([2], [0], 0, 0)),
        ((2, 3, 4, 5), ([0], [3], 0, 0)),
        ((2, 3, 4, 5), ([0], [0], 4, 0)),
        ((2, 3, 4, 5), ([0], [0], 0, 5)),  # max_det equal to the last axis length
        ((2, 1, 3, 4, 5), ([0], [3], 0, 0)),
    ],
)
def test_selection_outside_array(shape, args):
    with pytest.raises(ValueError, match=r"^summary selection is outside the array$"):
        summary_values(np.zeros(shape), *args)


def test_non_float64_array_is_refused_with_note():
    with pytest.raises(TypeError) as info:
        summary_values(np.zeros((1, 1, 1, 1), dtype=np.float32), [0], [0], 0, 0)
    assert info.value.__notes__ == ["while processing 'array'"]
