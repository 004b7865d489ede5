"""Types of the native module ``vantorel._zerlin`` (its text signatures, typed)."""

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "CompactBbox",
    "Evaluator",
    "alloc_stats",
    "area",
    "decode",
    "encode",
    "frBbox",
    "frPoly",
    "frPyObjects",
    "frUncompressedRLE",
    "index_annotations",
    "iou",
    "load_compact_array",
    "load_compact_bbox",
    "load_json",
    "merge",
    "parse_json_only",
    "plain_box_results",
    "prepare_bbox_results",
    "read_file_only",
    "reset_alloc_peak",
    "summary_values",
    "toBbox",
    "toBoundary",
]

_F64 = npt.NDArray[np.float64]
_I64 = npt.NDArray[np.int64]
_Rle = dict[str, Any]  # {"size": [h, w], "counts": bytes}
_Annotation = dict[str, Any]

class PanicException(BaseException):
    """An internal failure that no input should cause; not an ``Exception``."""

class _AllocStats(TypedDict):
    enabled: bool
    live_bytes: int
    peak_bytes: int
    total_allocated_bytes: int
    allocations: int
    frees: int

@final
class Evaluator:
    def __new__(
        cls,
        gt_anns: _AnnotationSide,
        dt_anns: _AnnotationSide,
        img_sizes: Mapping[int, tuple[int, int]],
        img_ids: Sequence[int],
        cat_ids: Sequence[int],
        iou_thrs: Sequence[float],
        rec_thrs: Sequence[float],
        max_dets: Sequence[int],
        area_rng: Sequence[Sequence[float]],
        use_cats: bool,
        iou_type: str,
        kpt_sigmas: Sequence[float],
        use_area: bool = True,
        boundary_dilation: float = 0.02,
        range_by_image: Sequence[float] | None = None,
        ranges_by_scale: bool = False,
        skip_unscored: bool = False,
        visibility_ignore: bool = False,
        keypoint_parts: Sequence[str] | None = None,
        part_score: str | None = None,
    ) -> Evaluator: ...
    def run(self, collect_eval_imgs: bool = False) -> dict[str, Any]: ...
    def timings(self) -> dict[str, float]: ...
    def score_fallbacks(self) -> int: ...
    def per_instance(
        self, t_idx: int = 0, a_idx: int = 0, max_det: int = 100
    ) -> tuple[dict[str, npt.NDArray[Any]], dict[str, npt.NDArray[Any]]]: ...
    def configure_lvis(
        self, gt_ignore: Sequence[bool] | None, non_exhaustive: Iterable[tuple[int, int]], preserve_crowds: bool = False
    ) -> None: ...

@final
class CompactBbox:
    @property
    def from_array(self) -> bool: ...
    @property
    def annotation_count(self) -> int: ...
    @property
    def snapshot_bytes(self) -> int: ...
    @property
    def column_bytes(self) -> int: ...
    @property
    def null_score_offset(self) -> int | None: ...
    @property
    def written_fields(self) -> tuple[str, ...]: ...
    def annotations(self) -> list[_Annotation]: ...
    def array_rows(self) -> _F64: ...
    def valid_images(self, images: Sequence[int]) -> bool: ...
    def has_annotation_id(self, id: int) -> bool: ...
    def lvis_annotations(
        self,
        image_ids: Sequence[int],
        categories: Iterable[int],
        verified: Mapping[int, Iterable[int]],
        max_det: int,
    ) -> list[_Annotation] | None: ...

_AnnotationSide = list[_Annotation] | CompactBbox

def load_compact_bbox(path: str, results: bool = False) -> tuple[dict[str, Any], CompactBbox]: ...
def load_compact_array(data: npt.NDArray[np.float64] | npt.NDArray[np.float32]) -> CompactBbox: ...
def federated_evaluator(
    negative_categories: Sequence[tuple[int, int]], max_det: int, /, *evaluator_args: Any, **evaluator_kwargs: Any
) -> Evaluator: ...
def results_shape(handle: CompactBbox) -> str | None: ...
def accumulate_records(
    records: list[Any],
    positions: Any,
    cells: Any,
    rec_thrs: Sequence[float],
    max_dets: Sequence[int],
    shape: Sequence[int],
) -> tuple[_F64, _F64, _F64]: ...
def reference_eval_imgs(
    evaluator: Evaluator, img_ids: Sequence[Any], cat_ids: Sequence[Any], area_rngs: Sequence[Any], max_det: Any
) -> list[dict[str, Any] | None]: ...
def panoptic_match(
    maps: list[tuple[int, int, Any, int, bool, Any, int, bool]],
    gt_segments: _I64,
    gt_areas: _F64,
    gt_counts: _I64,
    pred_segments: _I64,
    pred_counts: _I64,
) -> tuple[_I64, _I64, _F64, _I64, _I64, _I64, _I64, tuple[int, str, int] | None]: ...
def load_compact_or_objects(
    path: str, results: bool = False, boxes_only: bool = False
) -> tuple[Any, CompactBbox | None, str | None]: ...
def run_fault(
    rle_objs: list[Any], whole: bool, start: int = 0, pixels: int | None = None
) -> tuple[int, int | None, bool | None] | None: ...
def index_annotations(
    annotations: list[_Annotation], with_categories: bool
) -> tuple[dict[Any, _Annotation], dict[Any, list[_Annotation]], dict[Any, list[Any]]]: ...
def prepare_bbox_results(annotations: list[_Annotation]) -> None: ...
def plain_box_results(annotations: list[_Annotation], images: Any) -> bool: ...
def summary_values(
    array: _F64, thresholds: Sequence[int], categories: Sequence[int], area: int, max_det: int
) -> _F64: ...
def encode(mask: npt.NDArray[np.uint8]) -> list[_Rle]: ...
def decode(rle_objs: Iterable[_Rle]) -> npt.NDArray[np.uint8]: ...
def merge(rle_objs: Iterable[_Rle], intersect: int = 0) -> _Rle: ...
def area(rle_objs: Iterable[_Rle]) -> npt.NDArray[np.uint32]: ...
def toBbox(rle_objs: Iterable[_Rle]) -> _F64: ...
def iou(dt: Any, gt: Any, iscrowd: Iterable[int] | None) -> _F64 | list[Any]: ...
def frBbox(bb: Any, h: int, w: int) -> list[_Rle]: ...
def frPoly(poly: Iterable[Sequence[float]], h: int, w: int) -> list[_Rle]: ...
def frUncompressedRLE(uc: Iterable[Mapping[str, Any]], _h: int, _w: int) -> list[_Rle]: ...
def frPyObjects(obj: Any, h: int, w: int) -> list[_Rle] | _Rle: ...
def toBoundary(rle_objs: Iterable[_Rle], dilation_ratio: float = 0.02) -> list[_Rle]: ...
def load_json(path: str) -> Any: ...
def parse_json_only(path: str) -> int: ...
def read_file_only(path: str) -> int: ...
def alloc_stats() -> _AllocStats: ...
def reset_alloc_peak() -> None: ...
