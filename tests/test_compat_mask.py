"""vantorel.compat.mask against pycocotools.mask: the arrays clients pass
(boolean masks, as torchmetrics does), identical bytes, and the reference's
exception types for what both refuse."""

import numpy as np
import pycocotools.mask as ref
import pytest

from vantorel.compat import mask

STACK = np.random.default_rng(7).random((9, 11, 4)) > 0.5


@pytest.mark.parametrize("dtype", [bool, np.uint8])
@pytest.mark.parametrize("shape", ["hwn", "hw", "hw1", "hw0", "empty"])
def test_encode_matches_reference_bytes(dtype, shape):
    a = {"hwn": STACK, "hw": STACK[:, :, 1], "hw1": STACK[:, :, 2:3], "hw0": STACK[:, :, :0],
         "empty": np.zeros((0, 5, 2), bool)}[shape].astype(dtype)  # fmt: skip
    want = ref.encode(np.asfortranarray(a))
    for layout in (np.asfortranarray(a), np.ascontiguousarray(a), a[::-1][::-1]):
        assert mask.encode(layout) == want
    if a.ndim == 3 and a.size:
        assert (mask.decode(want) == ref.decode(want)).all()


@pytest.mark.parametrize("call", [
    lambda m: m.encode(np.asfortranarray(STACK.astype(np.int32))),  # other dtypes
    lambda m: m.encode(np.asfortranarray(STACK.astype(np.float64))),
    lambda m: m.encode(STACK.tolist()),  # not an array
    lambda m: m.decode({"size": [2, 2], "counts": b"09"}),  # runs overrun h*w
    lambda m: m.decode([{"size": [2, 2], "counts": b"03"}, {"size": [2, 2], "counts": b"0:"}]),
    lambda m: m.decode({"size": [3, 4], "counts": b"\x01\x02"}),  # a negative run
    lambda m: m.decode([{"size": [2, 2], "counts": b"04"}, {"size": [3, 3], "counts": b"09"}]),  # first's size
    lambda m: m.frPyObjects({"size": [2, 2], "counts": b"04"}, 2, 2),  # compressed counts
    lambda m: m.frPyObjects([{"size": [2, 2], "counts": "04"}], 2, 2),
    lambda m: m.decode({"counts": b"04"}),  # missing keys
    lambda m: m.area({"size": [2, 2]}),
    lambda m: m.toBbox([{"size": [2, 2]}]),
    lambda m: m.merge([{"size": [2, 2]}]),
    lambda m: m.iou([{"size": [2, 2]}], [{"size": [2, 2]}], [0]),
    lambda m: m.iou([[0, 0, 2, 2]], [[1, 1, 2, 2]], [0, 0]),  # iscrowd of another length
    lambda m: m.iou([[0, 0, 2, 2]], [[1, 1, 2, 2], [0, 0, 1, 1]], [0]),
    lambda m: m.iou([0, 0, 2, 2], [1, 1, 2, 2], [0]),  # flat boxes
])  # fmt: skip
def test_refusals_raise_the_reference_type(call):
    with pytest.raises(Exception) as theirs:
        call(ref)
    with pytest.raises(theirs.type):
        call(mask)


@pytest.mark.parametrize("call", [
    lambda m: m.area({"size": [2, 2], "counts": b"09"}),  # only decode refuses an overrun
    lambda m: m.toBbox({"size": [2, 2], "counts": b"09"}),
    lambda m: m.decode({"size": [9, 11], "counts": ref.encode(np.asfortranarray(STACK[:, :, :1]))[0]["counts"].decode()}),
    lambda m: m.frPyObjects([[1, 1, 6, 1, 6, 5]], 7.0, 9.0),  # whole float sides, as JSON may give
    lambda m: m.frPyObjects([[1, 1, 6, 1, 6, 5]], np.int64(7), np.float32(9)),
])  # fmt: skip
def test_accepted_as_by_reference(call):
    ours, theirs = call(mask), call(ref)
    if isinstance(theirs, np.ndarray):
        np.testing.assert_array_equal(ours, theirs)
    else:
        assert ours == theirs


@pytest.mark.parametrize("name", ["area", "toBbox", "merge", "decode"])
def test_counts_cut_inside_a_run_refused(name):
    # Deliberate: the reference reads past the string's end here (decode alone refuses).
    with pytest.raises(ValueError, match="Invalid RLE mask representation"):
        getattr(mask, name)([{"size": [2, 3], "counts": b"06"}, {"size": [2, 3], "counts": b"06`"}])
