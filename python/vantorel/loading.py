"""Loading ground truth and results: paths, loaded objects, arrays and compact handles.

A path loads as a compact handle where the file's grammar allows it (no
Python object per annotation); otherwise as dicts, completed as the
reference loader completes them.
"""

from __future__ import annotations

import contextlib
import gc
import itertools
import json
import operator
import os
import re
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _zerlin
from ._conventions import array_rows, complete_results, completion_kind, rows_as_dicts
from .ids import sort_key

# Files longer than this keep no geometry spans in a compact handle, so a
# ground-truth handle of that size could not give masks.
_SPAN_FILE_LIMIT = 0xFFFFFFFE


class JsonError(ValueError):
    """A JSON file the reader refused, with the message the reader gives
    ("... at line L column C") and its parts, so that callers decide without
    parsing the message.

    Attributes
    ----------
    kind : str
        The reader's error kind in snake case ("expected_some_value",
        "trailing_comma", ...; "custom" for a rule of a record layout).
    line, column : int
        Where the reader stopped (1-based line; bytes before it on that line).
    literal : str or None
        "NaN", "Infinity" or "-Infinity" where the reader stopped on such a
        literal (which Python's json module writes and reads), else None.

    Examples
    --------
    >>> try:
    ...     read_json("bad.json")  # doctest: +SKIP
    ... except JsonError as err:
    ...     print(err.kind, err.line, err.column)  # doctest: +SKIP
    expected_some_value 1 8
    """

    def __init__(self, message: str, kind: str, line: int, column: int, literal: str | None) -> None:
        super().__init__(message)
        self.kind, self.line, self.column, self.literal = kind, line, column, literal


def _structured(err: ValueError) -> JsonError | None:
    """The reader's error as a ``JsonError`` (None for errors of other kinds)."""
    detail = getattr(err, "json_error", None)
    if isinstance(err, JsonError) or not isinstance(detail, tuple):
        return err if isinstance(err, JsonError) else None
    structured = JsonError(str(err), *detail)
    for note in getattr(err, "__notes__", ()):
        structured.add_note(note)
    return structured


def _reread_or_raise(err: ValueError) -> None:
    """Returns when the reader stopped on NaN, Infinity or -Infinity (not
    JSON, but Python's json module writes them, a NaN score say, and the
    reference loaders read them); otherwise raises the error, structured."""
    structured = _structured(err)
    if structured is None:
        raise err
    if structured.literal is None:
        raise structured from None


def _python_json(path: str) -> Any:
    with open(path, encoding="utf-8") as f, gc_paused():
        return json.load(f)


def read_json(path: str | os.PathLike[str]) -> Any:
    """A JSON file as objects, by the native reader; a file that writes NaN,
    Infinity or -Infinity (which Python's json module writes by default and
    the reference loaders accept) is read by Python's json module instead.

    Examples
    --------
    >>> read_json("data/instances_val2014_100.json")["categories"][0]["name"]  # doctest: +SKIP
    'person'
    """
    path = os.fspath(path)
    try:
        with gc_paused():
            return _zerlin.load_json(path)
    except ValueError as err:
        _reread_or_raise(err)
    return _python_json(path)


def compact_or_objects(path: str, results: bool = False, boxes_only: bool = False) -> tuple[Any, Any, str | None]:
    """``(document, handle, None)`` where the file can be held compactly, else
    ``(document as objects, None, why not)``: one reading, or a second by
    Python's json module for a file that writes NaN or Infinity. A handle
    loaded ``boxes_only`` serves a box evaluation alone (it keeps no copy of
    the file)."""
    try:
        with gc_paused():
            loaded: tuple[Any, Any, str | None] = _zerlin.load_compact_or_objects(
                path, results=results, boxes_only=boxes_only
            )
        return loaded
    except ValueError as err:
        _reread_or_raise(err)
    return _python_json(path), None, "the file writes NaN or Infinity, which only Python's json module reads"


def load_dataset(gt: str | os.PathLike[str] | dict[str, Any]) -> Any:
    """A ground-truth dataset dict, from a path or an already-loaded dict
    (what a file holds is checked by ``check_dataset``).

    Examples
    --------
    >>> load_dataset({"images": [], "annotations": [], "categories": []})["images"]
    []
    """
    if isinstance(gt, dict):
        return gt
    return read_json(gt)


@dataclass(frozen=True)
class LoadedGroundTruth:
    """Ground truth loaded once by ``ground_truth_side`` and evaluated many
    times (streaming evaluation), so that the file is not read again. The
    annotation side is a list of dicts or a ``CompactBbox``; both are left
    unchanged by an evaluation."""

    dataset: dict[str, Any]
    annotations: Any


def ground_truth_side(gt: Any, iou_type: str, boxes_only: bool = False) -> tuple[dict[str, Any], Any]:
    """The dataset dict and the ground-truth side for the Evaluator.

    A path loads as a compact handle (its dataset dict holds every member
    but the annotations, which stay in columns and the file's bytes; LVIS's
    "ignore" flags among them). Files the compact grammar refuses (duplicate
    or missing ids, float crowd flags, ...) load as dicts instead. With
    ``boxes_only`` (the caller runs one box evaluation and drops the handle)
    the file's text is not kept.

    Examples
    --------
    >>> dataset, side = ground_truth_side("data/instances_val2014_100.json", "bbox")  # doctest: +SKIP
    >>> type(side).__name__  # doctest: +SKIP
    'CompactBbox'
    """
    if isinstance(gt, LoadedGroundTruth):
        return gt.dataset, gt.annotations
    if not isinstance(gt, (str, os.PathLike)):
        check_dataset(gt)
        return gt, gt["annotations"]
    path = os.fspath(gt)
    masks = iou_type in ("segm", "boundary")
    if masks and os.path.getsize(path) > _SPAN_FILE_LIMIT:
        dataset = load_dataset(path)
        check_dataset(dataset)
        return dataset, dataset["annotations"]
    dataset, handle, _ = compact_or_objects(path, boxes_only=boxes_only and iou_type == "bbox")
    check_dataset(dataset)
    if handle is not None:
        return dataset, handle
    return dataset, dataset["annotations"]


_DATASET_KEYS = ("images", "annotations", "categories")
_RESULT_KEYS = ("image_id", "category_id", "score")


def check_dataset(dataset: Any) -> None:
    """Refuses what cannot be a COCO dataset, with the member at fault named
    (the engine's own errors could not say which file or record).

    Examples
    --------
    >>> check_dataset({"images": [], "categories": []})
    Traceback (most recent call last):
    ValueError: the ground truth has no 'annotations' (a COCO dataset holds 'images', 'annotations' and 'categories')
    """
    if isinstance(dataset, list):
        raise ValueError(
            "the ground truth is a JSON array, as a results file is, not a dataset object: "
            "are the ground truth and the results the wrong way round?"
        )
    if not isinstance(dataset, dict):
        raise ValueError(f"the ground truth must be a dataset object, not {type(dataset).__name__}")
    missing = [key for key in _DATASET_KEYS if key not in dataset]
    if missing:
        raise ValueError(
            f"the ground truth has no {' or '.join(repr(k) for k in missing)} "
            "(a COCO dataset holds 'images', 'annotations' and 'categories')"
        )
    for key in ("images", "categories"):
        records = dataset[key]
        if not isinstance(records, list):
            raise ValueError(f"the ground truth's '{key}' must be an array, not {type(records).__name__}")
        for i, record in enumerate(records):
            if not isinstance(record, dict) or "id" not in record:
                raise ValueError(f"the ground truth's {key}[{i}] has no 'id'")
    if not isinstance(dataset["annotations"], (list, type(None))):  # None: kept in a compact handle
        raise ValueError(
            f"the ground truth's 'annotations' must be an array, not {type(dataset['annotations']).__name__}"
        )


@dataclass
class ResultIds:
    """The distinct image ids that a results list names, and the types of
    its image and category ids (a set keeps one of 3 and 3.0; the types
    say whether any id is not an int).

    Examples
    --------
    >>> ResultIds({1, 2}).images
    {1, 2}
    """

    images: set[Any]
    image_types: set[type] = field(default_factory=set)
    category_types: set[type] = field(default_factory=set)


def check_results(dets: Any) -> ResultIds:
    """Refuses results that are not a list of detections or lack a field every
    detection needs (the engine would take a missing score as 0 and a missing
    category as none, and evaluate quietly; the reference evaluation fails
    on them), and gives the ids they name.

    Examples
    --------
    >>> check_results([{"image_id": 1, "category_id": 3, "score": 0.9, "bbox": [0, 0, 5, 5]}]).images
    {1}
    >>> check_results([{"image_id": 1, "category_id": 3, "bbox": [0, 0, 5, 5]}])
    Traceback (most recent call last):
    ValueError: result 0 has no 'score' (every detection needs image_id, category_id and score)
    """
    if isinstance(dets, dict):
        if any(key in dets for key in _DATASET_KEYS):
            raise ValueError(
                "the results are a dataset object (with 'images' or 'annotations'), not an array of detections: "
                "are the ground truth and the results the wrong way round?"
            )
        raise ValueError("the results must be a JSON array of detections, not an object")
    try:
        images = set(map(_get_image_id, dets))
        image_types = set(map(type, map(_get_image_id, dets)))
        category_types = set(map(type, map(_get_category, dets)))
        _refuse_null(dets, "score", list(map(_get_score, dets)), "a number")
        if dets and completion_kind(dets) == "bbox":
            _refuse_null(dets, "bbox", list(map(_get_bbox, dets)), "[x, y, w, h] (box results)")
    except (KeyError, TypeError, IndexError):
        keys = (*_RESULT_KEYS, "bbox") if dets and completion_kind(dets) == "bbox" else _RESULT_KEYS
        for i, d in enumerate(dets):
            if not isinstance(d, dict):
                raise ValueError(f"result {i} is not an object with image_id, category_id and score") from None
            for key in keys:
                if key not in d:
                    needs = (
                        "every box result needs a bbox"
                        if key == "bbox"
                        else ("every detection needs image_id, category_id and score")
                    )
                    raise ValueError(f"result {i} has no '{key}' ({needs})") from None
        raise
    return ResultIds(images, image_types, category_types)


def _refuse_null(dets: list[Any], key: str, values: list[Any], wanted: str) -> None:
    """A null field is refused by position (the engine would read it as 0, or as no box, and evaluate quietly)."""
    if any(map(operator.is_, values, itertools.repeat(None))):
        i = next(i for i, v in enumerate(values) if v is None)
        raise ValueError(f"result {i} has a null '{key}' (it must be {wanted})")


_get_image_id = operator.itemgetter("image_id")
_get_category = operator.itemgetter("category_id")
_get_score = operator.itemgetter("score")
_get_bbox = operator.itemgetter("bbox")


_DERIVED_KEYS = ("area", "id", "iscrowd")


@contextlib.contextmanager
def gc_paused() -> Iterator[None]:
    """Pauses the cyclic collector while hundreds of thousands of acyclic
    objects are made: every collection it would start meanwhile walks all of
    them again, and none of them can be garbage.

    Examples
    --------
    >>> with gc_paused():
    ...     rows = [{"id": i} for i in range(3)]
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def load_results(results: Any) -> list[Any]:
    """Result dicts completed as the reference loader completes them.

    ``results`` may be a path, a list of dicts (never changed: where fields
    must be filled in, copies are made), an Nx7 array
    [image_id, x, y, w, h, score, category_id] or a ``CompactBbox``.

    Examples
    --------
    >>> load_results([{"image_id": 1, "category_id": 1, "bbox": [0, 0, 2, 3], "score": 1.0, "area": 6.0}])[0]["id"]
    1
    """
    if isinstance(results, (str, os.PathLike)):
        return _results_from_json(os.fspath(results))
    with gc_paused():
        if isinstance(results, _zerlin.CompactBbox):
            return _load_results(results.array_rows()) if results.from_array else results.annotations()
        return _load_results(results)


def results_side(results: Any, boxes_only: bool = False) -> Any:
    """Results for the Evaluator: a ``CompactBbox`` where one serves, else
    completed dicts.

    A results file loads, in one reading, as a compact handle whose derived
    fields are the reference loader's (id = position + 1; area = box w * h,
    or for results without boxes the mask's area or the keypoints' box area,
    with the box derived as well); no dict is made per detection. Files the
    compact grammar refuses (polygon results without boxes, repeated keys,
    ...) come back as objects from the same reading, completed like the
    reference loader completes them. ``boxes_only`` as for
    ``ground_truth_side``.

    Examples
    --------
    >>> type(results_side("results.json")).__name__  # doctest: +SKIP
    'CompactBbox'
    """
    if isinstance(results, _zerlin.CompactBbox):
        return results
    if isinstance(results, np.ndarray):
        return _zerlin.load_compact_array(array_rows(results))
    if not isinstance(results, (str, os.PathLike)):
        with gc_paused():
            return _load_results(results)
    with gc_paused():
        anns, handle, refusal = compact_or_objects(os.fspath(results), results=True, boxes_only=boxes_only)
        if handle is None:
            return _completed_results(anns, refused=ValueError(refusal))
    _refuse_null_scores(os.fspath(results), handle)
    return handle


_NULL_SCORE = re.compile(rb'"score"\s*:\s*null')


def _refuse_null_scores(path: str, handle: Any) -> None:
    """The compact loader reads a null score as 0 (a detection ranked last,
    quietly) and notes where the first one is; such a file is refused here,
    by that place (its "score" key where one precedes it)."""
    at = handle.null_score_offset
    if at is None:
        return
    with open(path, "rb") as f:
        text = f.read(at)
    key = text.rfind(b'"score"')
    start = key if key >= 0 and _NULL_SCORE.fullmatch(text[key:] + b"null") else at
    line = text.count(b"\n", 0, start) + 1
    column = start - (text.rfind(b"\n", 0, start) + 1) + 1
    raise ValueError(f"a result has a null 'score' (it must be a number) at line {line} column {column}")


def _results_from_json(path: str) -> list[Any]:
    """A results file as completed dicts."""
    with gc_paused():
        return _completed_results(read_json(path))  # a malformed file fails here, with the reader's position


def _completed_results(anns: Any, refused: ValueError | None = None) -> list[Any]:
    """A loaded results document as completed dicts. When the compact loader
    refused the file too, the more useful of the two errors is raised."""
    with gc_paused():
        if not isinstance(anns, list):
            check_results(anns)
            raise ValueError("a results file must hold a JSON array of detections")
        checked = False
        try:
            check_results(anns)
            checked = True
            complete_results(anns)  # our own fresh objects: fill in place
        except Exception as err:
            # For results meant as boxes the compact refusal names the record
            # and its position; for the other kinds completion's own error
            # says more, and so does check_results for a missing or null
            # score and for a null field it finds (it names the field).
            better = _CHECKED_BETTER if not checked else _CHECKED_BETTER[:1]
            if refused is not None and _meant_as_boxes(anns) and not str(refused).startswith(better):
                raise refused from err
            raise
    return anns


# The compact loader's refusals that check_results says better (by the result's position and field).
_CHECKED_BETTER = ("missing field `score`", "invalid type: null")


def _meant_as_boxes(anns: list[Any]) -> bool:
    first = anns[0] if anns else None
    return not isinstance(first, dict) or completion_kind(anns) == "bbox"


def _load_results(results: Any) -> list[Any]:
    """Result dicts from a list or an Nx7 array, completed."""
    if isinstance(results, np.ndarray):
        rows = rows_as_dicts(array_rows(results))
        complete_results(rows)
        return rows
    if isinstance(results, dict):
        check_results(results)  # raises: a dict is no list of detections
    anns = results if isinstance(results, list) else list(results)
    if anns and isinstance(anns[0], dict) and completion_kind(anns) == "bbox" and not _any_key(anns, _DERIVED_KEYS):
        # The evaluator's defaults for absent fields are exactly what the
        # reference loader would fill in (id = position + 1, area = w * h,
        # not crowd), so the caller's dicts serve as they are (checked by
        # the evaluation, which needs their ids anyway).
        return anns
    check_results(anns)
    anns = [dict(a) for a in anns]
    complete_results(anns)
    return anns


def _any_key(anns: list[Any], keys: tuple[str, ...]) -> bool:
    try:
        return any(any(map(dict.__contains__, anns, itertools.repeat(k))) for k in keys)
    except TypeError:  # not all dicts: the evaluator names that
        return False


@contextlib.contextmanager
def naming_file(what: str, source: Any) -> Iterator[None]:
    """Names the file in a loading error, whose own text cannot say which
    of the two files it came from.

    Examples
    --------
    >>> with naming_file("results", "missing.json"):  # doctest: +SKIP
    ...     open("missing.json")
    """
    try:
        yield
    except (OSError, ValueError) as err:
        if isinstance(source, (str, os.PathLike)):
            err.add_note(f"while loading the {what} file '{os.fspath(source)}'")
        raise


def check_result_images(dets: Any, dataset: dict[str, Any], named: set[Any] | None = None) -> None:
    """Results naming an image the ground truth lacks are a mismatched pair of
    files, not something to evaluate quietly (the reference loader refuses
    them too). ``named``: the image ids of a results list, where known.

    Examples
    --------
    >>> check_result_images([{"image_id": 7}], {"images": [{"id": 1}]})
    Traceback (most recent call last):
    ValueError: results name images that the ground truth does not have (1 of them, for example image_id 7)
    """
    known = [img["id"] for img in dataset["images"]]
    if isinstance(dets, _zerlin.CompactBbox):
        if set(map(type, known)) <= {int} and dets.valid_images(known):
            return
        named = set(dets.array_rows()[:, 0].astype(np.int64).tolist())
    elif named is None:
        named = set(map(_get_image_id, dets))
    unknown = named - set(known)
    if unknown:
        example = min(unknown, key=sort_key)
        raise ValueError(
            f"results name images that the ground truth does not have ({len(unknown)} of them, "
            f"for example image_id {example!r})"
        )
