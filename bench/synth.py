"""Seeded generator of COCO-style datasets and results for benchmarks.

At its default size it matches COCO val: 5,000 images, 80 categories, about
36,000 ground truths and 100 detections per image.
"""

from __future__ import annotations

import numpy as np

COCO_CAT_IDS = [c for c in range(1, 91) if c not in (12, 26, 29, 30, 45, 66, 68, 69, 71, 83)]


def _polygon(rng, x, y, w, h, vertices=(8, 21)):
    """A star-shaped polygon inside the box, vertices[0] to vertices[1] - 1 vertices."""
    n = int(rng.integers(*vertices))
    ang = np.sort(rng.uniform(0, 2 * np.pi, n))
    rad = rng.uniform(0.55, 1.0, n)
    px = x + w / 2 + np.cos(ang) * rad * w / 2
    py = y + h / 2 + np.sin(ang) * rad * h / 2
    return np.round(np.stack([px, py], 1).reshape(-1), 2).tolist()


def _box_runs(x, y, w, h, H, W):
    """Uncompressed column-major runs of a filled box (a crowd region)."""
    x0, y0 = int(max(0, np.floor(x))), int(max(0, np.floor(y)))
    x1, y1 = int(min(W, np.ceil(x + w))), int(min(H, np.ceil(y + h)))
    if x1 <= x0 or y1 <= y0:
        return [H * W]
    runs = [x0 * H + y0]
    for col in range(x0, x1):
        runs.append(y1 - y0)
        gap = (H - y1) + y0 if col < x1 - 1 else H - y1 + (W - x1) * H
        runs.append(gap)
    return runs


def make_dataset(seed=0, n_images=5000, n_cats=80, gt_per_image=7.2, keypoints=False, segm=False, vertices=(8, 21)):
    """A ground-truth dict; `vertices` bounds the polygon sizes (the default
    gives about 11 MB at 5,000 images, (24, 64) the 25 MB of COCO val)."""
    rng = np.random.default_rng(seed)
    cats = COCO_CAT_IDS[:n_cats] if n_cats <= len(COCO_CAT_IDS) else list(range(1, n_cats + 1))
    if keypoints:
        cats = [1]
    images, anns = [], []
    ann_id = 1
    for i in range(n_images):
        img_id = int(i * 3 + 1)  # sparse ids, as in real files
        H, W = int(rng.integers(240, 641)), int(rng.integers(240, 641))
        images.append({"id": img_id, "height": H, "width": W, "file_name": f"{img_id:012d}.jpg"})
        for _ in range(int(rng.poisson(gt_per_image))):
            w = float(rng.uniform(4, W / 2)) * float(rng.choice([0.15, 0.5, 1.0]))
            h = float(rng.uniform(4, H / 2)) * float(rng.choice([0.15, 0.5, 1.0]))
            x, y = float(rng.uniform(0, W - w)), float(rng.uniform(0, H - h))
            crowd = int(rng.random() < 0.01)
            ann = {
                "id": ann_id,
                "image_id": img_id,
                "category_id": int(rng.choice(cats)),
                "bbox": [round(x, 2), round(y, 2), round(w, 2), round(h, 2)],
                "area": round(w * h * 0.8, 2),
                "iscrowd": crowd,
            }
            if segm:
                if crowd:
                    ann["segmentation"] = {"counts": _box_runs(x, y, w, h, H, W), "size": [H, W]}
                else:
                    ann["segmentation"] = [_polygon(rng, x, y, w, h, vertices)]
            if keypoints:
                kx = rng.uniform(x, x + w, 17)
                ky = rng.uniform(y, y + h, 17)
                v = rng.choice([0, 1, 2], 17, p=[0.3, 0.2, 0.5])
                kx[v == 0] = 0
                ky[v == 0] = 0
                ann["keypoints"] = np.stack([np.round(kx, 1), np.round(ky, 1), v], 1).reshape(-1).tolist()
                ann["num_keypoints"] = int((v > 0).sum())
            anns.append(ann)
            ann_id += 1
    return {
        "images": images,
        "annotations": anns,
        "categories": [{"id": c, "name": f"cat{c}", "supercategory": "thing"} for c in cats],
    }


def make_results(dataset, seed=1, per_image=100, keypoints=False, segm=False):
    """Detections: jittered copies of ground truths plus random boxes, per_image each."""
    rng = np.random.default_rng(seed)
    by_image = {}
    for a in dataset["annotations"]:
        by_image.setdefault(a["image_id"], []).append(a)
    cats = [c["id"] for c in dataset["categories"]]
    if segm:
        from pycocotools import mask as mask_utils
    dets = []
    for img in dataset["images"]:
        H, W = img["height"], img["width"]
        gts = by_image.get(img["id"], [])
        for j in range(per_image):
            if gts and j < 3 * len(gts):
                g = gts[j % len(gts)]
                x, y, w, h = g["bbox"]
                s = rng.normal(1.0, 0.1, 4)
                x, y = x + w * (s[0] - 1), y + h * (s[1] - 1)
                w, h = max(1.0, w * s[2]), max(1.0, h * s[3])
                cat = g["category_id"] if rng.random() < 0.9 else int(rng.choice(cats))
            else:
                w, h = float(rng.uniform(4, W / 2)), float(rng.uniform(4, H / 2))
                x, y = float(rng.uniform(0, W - w)), float(rng.uniform(0, H - h))
                cat = int(rng.choice(cats))
            d = {
                "image_id": img["id"],
                "category_id": cat,
                "bbox": [round(float(x), 2), round(float(y), 2), round(float(w), 2), round(float(h), 2)],
                "score": round(float(rng.random()), 3),
            }
            if segm:
                poly = _polygon(rng, x, y, w, h)
                rle = mask_utils.frPyObjects([poly], H, W)[0]
                d["segmentation"] = {"size": [H, W], "counts": rle["counts"].decode("ascii")}
            if keypoints:
                kx = np.round(rng.uniform(x, x + w, 17), 1)
                ky = np.round(rng.uniform(y, y + h, 17), 1)
                d["keypoints"] = np.stack([kx, ky, np.ones(17)], 1).reshape(-1).tolist()
            dets.append(d)
    return dets
