"""Seeded COCO panoptic sets written to a folder: ground truth and prediction
JSON files with their PNG segment maps.

Ground truth: stuff bands, thing rectangles and ellipses, crowd regions and
VOID; some images have no segments. Prediction: the ground truth shifted and
relabelled, with segments split, dropped, added, duplicated in category and
painted over VOID or crowd, so that every rule of the PQ matching is reached.
Shared by the tests and bench/bench_panoptic.py.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np
from PIL import Image

THING_IDS = [1, 2, 3, 5, 8, 13, 21]
STUFF_IDS = [90, 91, 95, 100, 120]


def categories() -> list[dict[str, Any]]:
    cats = [{"id": c, "name": f"thing{c}", "supercategory": "t", "isthing": 1} for c in THING_IDS]
    cats += [{"id": c, "name": f"stuff{c}", "supercategory": "s", "isthing": 0} for c in STUFF_IDS]
    return cats


def _id_map_to_rgb(ids: np.ndarray) -> np.ndarray:
    rgb = np.empty(ids.shape + (3,), np.uint8)
    rgb[..., 0] = ids % 256
    rgb[..., 1] = (ids // 256) % 256
    rgb[..., 2] = ids // 65536
    return rgb


def _fresh_ids(rng: np.random.Generator, n: int) -> list[int]:
    # Ids use all three colour channels, so a wrong channel order shows.
    return [int(v) for v in rng.choice(np.arange(1, 1 << 24, 7919), size=n, replace=False)]


def _renumber(rng: np.random.Generator, labels: np.ndarray) -> tuple[np.ndarray, list[tuple[int, int, np.ndarray]]]:
    """Random ids for the labels present (0 stays VOID): the id map and (label, id, mask) per label."""
    id_map = np.zeros(labels.shape, np.int64)
    present = []
    for lab in np.unique(labels):
        if lab != 0:
            mask = labels == lab
            present.append((int(lab), 0, mask))
    ids = _fresh_ids(rng, len(present))
    for i, (lab, _, mask) in enumerate(present):
        id_map[mask] = ids[i]
        present[i] = (lab, ids[i], mask)
    return id_map, present


def _shape_mask(rng: np.random.Generator, h: int, w: int) -> np.ndarray:
    y0, x0 = int(rng.integers(0, h)), int(rng.integers(0, w))
    hh, ww = int(rng.integers(2, max(3, h // 2))), int(rng.integers(2, max(3, w // 2)))
    if rng.random() < 0.5:
        m = np.zeros((h, w), bool)
        m[y0 : y0 + hh, x0 : x0 + ww] = True
        return m
    yy, xx = np.ogrid[0:h, 0:w]
    return ((yy - y0) / (hh / 2 + 1)) ** 2 + ((xx - x0) / (ww / 2 + 1)) ** 2 <= 1.0


def ground_truth(rng: np.random.Generator, h: int, w: int, n_segments: int) -> tuple[np.ndarray, list[dict[str, Any]]]:
    """An id map and its segments (category, crowd flag, area from the map)."""
    labels = np.zeros((h, w), np.int64)
    cats: list[tuple[int, int]] = []  # (category, iscrowd) per label 1..
    n_stuff = int(rng.integers(0, 4))
    edges = np.sort(rng.integers(0, h, n_stuff * 2))
    for i in range(n_stuff):
        labels[edges[2 * i] : edges[2 * i + 1] + 1, :] = len(cats) + 1
        cats.append((int(rng.choice(STUFF_IDS)), 0))
    for _ in range(max(0, n_segments - n_stuff)):
        crowd = int(rng.random() < 0.1)
        labels[_shape_mask(rng, h, w)] = len(cats) + 1
        cats.append((int(rng.choice(THING_IDS)), crowd))
    if rng.random() < 0.5:  # VOID holes
        labels[_shape_mask(rng, h, w)] = 0
    id_map, present = _renumber(rng, labels)
    segments = []
    for lab, sid, mask in present:
        cat, crowd = cats[lab - 1]
        segments.append(
            {"id": sid, "category_id": cat, "iscrowd": crowd, "area": int(mask.sum()), "bbox": [0, 0, 1, 1]}
        )
    return id_map, segments


def prediction(
    rng: np.random.Generator, gt_map: np.ndarray, gt_segments: list[dict[str, Any]]
) -> tuple[np.ndarray, list[dict[str, Any]]]:
    """A noisy prediction of `gt_map`: every segment is kept, moved, relabelled or dropped."""
    h, w = gt_map.shape
    labels = np.zeros((h, w), np.int64)
    cats: list[int] = []
    for seg in gt_segments:
        r = rng.random()
        if r < 0.1:
            continue  # missed
        mask = gt_map == seg["id"]
        if r < 0.6:  # shifted: IoU anywhere from high to none
            shift = (int(rng.integers(-h // 4, h // 4 + 1)), int(rng.integers(-w // 4, w // 4 + 1)))
            mask = np.roll(mask, shift, (0, 1))
        cat = seg["category_id"]
        if rng.random() < 0.1:
            cat = int(rng.choice(THING_IDS + STUFF_IDS))
        labels[mask] = len(cats) + 1
        cats.append(cat)
        if rng.random() < 0.15:  # split: a second segment of the same category
            labels[mask & _shape_mask(rng, h, w)] = len(cats) + 1
            cats.append(cat)
    for _ in range(int(rng.integers(0, 4))):  # false positives, some over VOID or crowd
        labels[_shape_mask(rng, h, w)] = len(cats) + 1
        cats.append(int(rng.choice(THING_IDS + STUFF_IDS)))
    if rng.random() < 0.3:
        labels[_shape_mask(rng, h, w)] = 0
    id_map, present = _renumber(rng, labels)
    segments = [{"id": sid, "category_id": cats[lab - 1]} for lab, sid, _ in present]
    rng.shuffle(segments)  # JSON order is not PNG order
    return id_map, segments


def write_set(
    root: Path,
    n_images: int,
    seed: int = 0,
    size: tuple[int, int] = (48, 64),
    n_segments: int = 8,
    empty_share: float = 0.1,
    compress_level: int = 1,
) -> tuple[Path, Path]:
    """Writes gt.json, gt/*.png, pred.json, pred/*.png under `root`."""
    rng = np.random.default_rng(seed)
    h, w = size
    (root / "gt").mkdir(parents=True, exist_ok=True)
    (root / "pred").mkdir(parents=True, exist_ok=True)
    images, gt_anns, pred_anns = [], [], []
    for i in range(n_images):
        image_id = 1000 + 3 * i
        name = f"{image_id:08d}.png"
        if rng.random() < empty_share:
            gt_map, gt_segs = np.zeros((h, w), np.int64), []
        else:
            gt_map, gt_segs = ground_truth(rng, h, w, int(rng.integers(1, 2 * n_segments)))
        pred_map, pred_segs = prediction(rng, gt_map, gt_segs)
        Image.fromarray(_id_map_to_rgb(gt_map)).save(root / "gt" / name, compress_level=compress_level)
        Image.fromarray(_id_map_to_rgb(pred_map)).save(root / "pred" / name, compress_level=compress_level)
        images.append({"id": image_id, "file_name": name.replace(".png", ".jpg"), "width": w, "height": h})
        gt_anns.append({"image_id": image_id, "file_name": name, "segments_info": gt_segs})
        pred_anns.append({"image_id": image_id, "file_name": name, "segments_info": pred_segs})
    pred_anns.reverse()  # matched by image id, not position
    (root / "gt.json").write_text(json.dumps({"images": images, "annotations": gt_anns, "categories": categories()}))
    (root / "pred.json").write_text(json.dumps({"annotations": pred_anns}))
    return root / "gt.json", root / "pred.json"
