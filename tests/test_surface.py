"""The module's public surface: names, order, signatures, argument matching and conversions."""

import inspect

import numpy as np
import pytest

import vantorel._zerlin as z

FUNCTIONS = [
    ("load_compact_bbox", "(path, results=False)"),
    ("load_compact_array", "(data)"),
    ("index_annotations", "(annotations, with_categories)"),
    ("prepare_bbox_results", "(annotations)"),
    ("plain_box_results", "(annotations, images)"),
    ("summary_values", "(array, thresholds, categories, area, max_det)"),
    ("encode", "(mask)"),
    ("decode", "(rle_objs)"),
    ("merge", "(rle_objs, intersect=0)"),
    ("area", "(rle_objs)"),
    ("toBbox", "(rle_objs)"),
    ("iou", "(dt, gt, iscrowd)"),
    ("frBbox", "(bb, h, w)"),
    ("frPoly", "(poly, h, w)"),
    ("frUncompressedRLE", "(uc, _h, _w)"),
    ("frPyObjects", "(obj, h, w)"),
    ("toBoundary", "(rle_objs, dilation_ratio=0.02)"),
    ("load_json", "(path)"),
    ("parse_json_only", "(path)"),
    ("read_file_only", "(path)"),
    ("alloc_stats", "()"),
    ("reset_alloc_peak", "()"),
]

METHODS = [
    (z.Evaluator, "run", "($self, collect_eval_imgs=False)"),
    (z.Evaluator, "timings", "($self)"),
    (z.Evaluator, "score_fallbacks", "($self)"),
    (z.Evaluator, "per_instance", "($self, t_idx=0, a_idx=0, max_det=100)"),
    (z.Evaluator, "configure_lvis", "($self, gt_ignore, non_exhaustive, preserve_crowds=False)"),
    (z.CompactBbox, "annotations", "($self)"),
    (z.CompactBbox, "array_rows", "($self)"),
    (z.CompactBbox, "valid_images", "($self, images)"),
    (z.CompactBbox, "lvis_annotations", "($self, image_ids, categories, verified, max_det)"),
]


def test_all_lists_classes_then_functions_in_registration_order():
    assert z.__all__ == ["Evaluator", "CompactBbox"] + [name for name, _ in FUNCTIONS]
    for name in z.__all__:
        assert hasattr(z, name)


@pytest.mark.parametrize("name,signature", FUNCTIONS)
def test_function_text_signatures(name, signature):
    fn = getattr(z, name)
    assert fn.__text_signature__ == signature
    assert "--" not in (fn.__doc__ or "")  # the signature block is not part of the prose
    inspect.signature(fn)  # parseable by the standard tools


@pytest.mark.parametrize("cls,name,signature", METHODS)
def test_method_text_signatures(cls, name, signature):
    assert getattr(cls, name).__text_signature__ == signature


def test_classes():
    assert z.Evaluator.__module__ == "vantorel._zerlin"
    assert z.Evaluator.__qualname__ == "Evaluator"
    assert z.Evaluator.__text_signature__ == (
        "(gt_anns, dt_anns, img_sizes, img_ids, cat_ids, iou_thrs, rec_thrs, max_dets, area_rng, "
        "use_cats, iou_type, kpt_sigmas, use_area=True, boundary_dilation=0.02, range_by_image=None, ranges_by_scale=False, "
        "skip_unscored=False, visibility_ignore=False, keypoint_parts=None, part_score=None)"
    )
    with pytest.raises(TypeError):
        z.CompactBbox()  # instances only come from the loaders
    for prop in ("from_array", "annotation_count", "snapshot_bytes", "column_bytes"):
        assert isinstance(getattr(z.CompactBbox, prop), property) or hasattr(z.CompactBbox, prop)


def test_internal_failure_type_is_not_an_exception():
    assert issubclass(z.PanicException, BaseException)
    assert not issubclass(z.PanicException, Exception)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: z.encode(1, 2), "encode() takes 1 positional arguments but 2 were given"),
        (lambda: z.merge(1, 2, 3), "merge() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: z.toBoundary(1, 2, 3, 4), "toBoundary() takes from 1 to 2 positional arguments but 4 were given"),
        (lambda: z.encode(), "encode() missing 1 required positional argument: 'mask'"),
        (lambda: z.iou(1), "iou() missing 2 required positional arguments: 'gt' and 'iscrowd'"),
        (
            lambda: z.summary_values(),
            "summary_values() missing 5 required positional arguments: "
            "'array', 'thresholds', 'categories', 'area', and 'max_det'",
        ),
        (lambda: z.encode(mask=1, other=2), "encode() got an unexpected keyword argument 'other'"),
        (lambda: z.iou(1, 2, 3, dt=4), "iou() got multiple values for argument 'dt'"),
        (
            lambda: z.Evaluator([], [], {}, [], [], [], [], [], [], True, "bbox", [], foo=1),
            "Evaluator.__new__() got an unexpected keyword argument 'foo'",
        ),
        (lambda: z.Evaluator([]), None),
    ],
)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    else:
        assert str(info.value).startswith("Evaluator.__new__() missing 11 required positional arguments: 'dt_anns',")


def test_noarg_functions_refuse_arguments():
    with pytest.raises(TypeError):
        z.alloc_stats(1)
    with pytest.raises(TypeError):
        z.reset_alloc_peak(x=1)


@pytest.mark.parametrize(
    "args,exc,message,arg",
    [
        (("ab", [0], 0, 0), TypeError, "Can't extract `str` to `Vec`", "thresholds"),
        ((5, [0], 0, 0), TypeError, "'int' object is not an instance of 'Sequence'", "thresholds"),
        (({0: 1}, [0], 0, 0), TypeError, "'dict' object is not an instance of 'Sequence'", "thresholds"),
        (([0], [0.5], 0, 0), TypeError, None, "categories"),
        (([0], [-1], 0, 0), OverflowError, None, "categories"),
        (([0], [0], -1, 0), OverflowError, None, "area"),
        (([0], [0], 0, 2**64), OverflowError, None, "max_det"),
        (([0], [0], 0, 1.0), TypeError, None, "max_det"),
    ],
)
def test_conversion_failures_keep_type_and_name_the_argument(args, exc, message, arg):
    array = np.zeros((1, 1, 1, 1))
    with pytest.raises(exc) as info:
        z.summary_values(array, *args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{arg}'"]


def test_index_like_objects_convert_as_integers():
    array = np.arange(8.0).reshape(1, 2, 2, 2)

    class Index:
        def __index__(self):
            return 1

    assert z.summary_values(array, [np.int64(0)], [Index()], Index(), np.uint8(1)).tolist() == [7.0]


def test_alloc_stats_standard_build():
    expected = {
        "enabled": False,
        "live_bytes": 0,
        "peak_bytes": 0,
        "total_allocated_bytes": 0,
        "allocations": 0,
        "frees": 0,
    }
    stats = z.alloc_stats()
    assert stats == expected and list(stats) == list(expected)
    assert stats is not z.alloc_stats()
    assert z.reset_alloc_peak() is None
    assert z.alloc_stats() == expected


def test_returned_arrays_own_module_buffers():
    out = z.summary_values(np.arange(16.0).reshape(2, 2, 2, 2), [0, 1], [0, 1], 0, 0)
    assert type(out.base).__name__ == "PySliceContainer"
    assert out.flags.owndata is False and out.flags.writeable
    del out  # the owner frees the buffer with the array; nothing else to check but no crash
