"""Seeded random COCO-style ground truth and results for evaluator tests.

The data is shaped to reach the corners of the protocol: crowd regions, areas
exactly on the area-range bounds, tied scores across images, images with only
ground truths or only detections, and categories with neither.
"""

import random

SMALL, MEDIUM = 32.0**2, 96.0**2
NUM_KEYPOINTS = 17


def _box(rng, w, h):
    bw = rng.uniform(2, w / 2)
    bh = rng.uniform(2, h / 2)
    return [rng.uniform(0, w - bw), rng.uniform(0, h - bh), bw, bh]


def _area(rng, box):
    r = rng.random()
    if r < 0.08:
        return SMALL  # exactly on the small/medium bound
    if r < 0.16:
        return MEDIUM  # exactly on the medium/large bound
    if r < 0.3:
        return box[2] * box[3] * rng.uniform(0.4, 0.9)  # a mask smaller than its box
    return box[2] * box[3]


def _keypoints(rng, box, labelled):
    out = []
    for _ in range(NUM_KEYPOINTS):
        if labelled and rng.random() < 0.7:
            out += [box[0] + rng.random() * box[2], box[1] + rng.random() * box[3], rng.choice([1, 2])]
        else:
            out += [0, 0, 0]
    return out


def dataset(seed, n_images=40, n_cats=6, keypoints=False):
    """A COCO ground-truth dict; image ids are sparse and unordered."""
    rng = random.Random(seed)
    ids = rng.sample(range(1, 10 * n_images), n_images)
    images = [{"id": i, "width": rng.choice([320, 640]), "height": rng.choice([240, 480])} for i in ids]
    cats = [{"id": 3 * k + 1, "name": f"c{k}", "supercategory": "x"} for k in range(n_cats)]
    if keypoints:
        for c in cats:
            c["keypoints"] = [f"k{j}" for j in range(NUM_KEYPOINTS)]
            c["skeleton"] = []
    anns = []
    for n, img in enumerate(images):
        if n % 9 == 4:
            continue  # an image with detections only
        for c in cats[:-1]:  # the last category has neither side
            for _ in range(rng.choice([0, 0, 1, 2, 3, 5])):
                box = _box(rng, img["width"], img["height"])
                crowd = int(rng.random() < 0.07)
                a = {
                    "id": len(anns) * 7 + 3,
                    "image_id": img["id"],
                    "category_id": c["id"],
                    "bbox": box,
                    "area": _area(rng, box),
                    "iscrowd": crowd,
                }
                if keypoints:
                    kp = _keypoints(rng, box, labelled=not crowd and rng.random() < 0.85)
                    a["keypoints"] = kp
                    a["num_keypoints"] = sum(1 for v in kp[2::3] if v > 0)
                anns.append(a)
    return {"images": images, "categories": cats, "annotations": anns}


def _setup(seed, gt):
    """The generator, ground truths by image and the category ids."""
    by_image = {}
    for a in gt["annotations"]:
        by_image.setdefault(a["image_id"], []).append(a)
    return random.Random(seed), by_image, [c["id"] for c in gt["categories"]]


def _near(rng, box, jitter):
    """A box near `box`: shifted and scaled by up to `jitter` of its size."""
    gx, gy, gw, gh = box
    j = rng.uniform(0.0, jitter)
    return [
        gx + rng.uniform(-j, j) * gw,
        gy + rng.uniform(-j, j) * gh,
        gw * rng.uniform(1 - j, 1 + j),
        gh * rng.uniform(1 - j, 1 + j),
    ]


def results(seed, gt, keypoints=False, per_image=(0, 12)):
    """Detections near ground truths plus stray ones, with scores on a coarse
    grid so that ties occur within and across images."""
    rng, by_image, cats = _setup(seed, gt)
    out = []
    for n, img in enumerate(gt["images"]):
        if n % 11 == 7:
            continue  # an image with ground truths only
        near = by_image.get(img["id"], [])
        for _ in range(rng.randint(*per_image)):
            if near and rng.random() < 0.7:
                g = rng.choice(near)
                box = _near(rng, g["bbox"], 0.25)
                cat = g["category_id"] if rng.random() < 0.9 else rng.choice(cats)
            else:
                box = _box(rng, img["width"], img["height"])
                cat = rng.choice(cats[:-1])
            d = {"image_id": img["id"], "category_id": cat, "score": round(rng.random() * 20) / 20}
            if keypoints:
                kp = []
                src = rng.choice(near)["keypoints"] if near and rng.random() < 0.7 else None
                for j in range(NUM_KEYPOINTS):
                    if src is not None and src[3 * j + 2] > 0:
                        kp += [src[3 * j] + rng.gauss(0, 3), src[3 * j + 1] + rng.gauss(0, 3), 1]
                    else:
                        kp += [box[0] + rng.random() * box[2], box[1] + rng.random() * box[3], 1]
                d["keypoints"] = kp
            else:
                d["bbox"] = box
            out.append(d)
    return out


def lvis_results(seed, gt, per_image=(0, 25)):
    """Bounding-box results for an LVIS dataset: near ground truths, in the
    images' negative and not-exhaustive categories, and in categories the
    image says nothing about (which federated evaluation drops)."""
    rng, by_image, cats = _setup(seed, gt)
    out = []
    for img in gt["images"]:
        near = by_image.get(img["id"], [])
        for _ in range(rng.randint(*per_image)):
            r = rng.random()
            if near and r < 0.6:
                g = rng.choice(near)
                box = _near(rng, g["bbox"], 0.3)
                cat = g["category_id"]
            else:
                box = _box(rng, img["width"], img["height"])
                pool = img.get("neg_category_ids", []) + img.get("not_exhaustive_category_ids", [])
                cat = rng.choice(pool) if pool and r < 0.85 else rng.choice(cats)
            out.append({"image_id": img["id"], "category_id": cat, "bbox": box, "score": round(rng.random() * 50) / 50})
    return out


def _polygon(rng, box):
    """A star-shaped polygon inside the box."""
    import math

    x, y, w, h = box
    n = rng.randint(5, 12)
    angles = sorted(rng.uniform(0, 2 * math.pi) for _ in range(n))
    out = []
    for a in angles:
        r = rng.uniform(0.5, 1.0)
        out += [x + w / 2 + math.cos(a) * r * w / 2, y + h / 2 + math.sin(a) * r * h / 2]
    return out


def _box_runs(box, h, w):
    """Column-major runs of a filled box: an uncompressed crowd RLE."""
    x0, y0 = max(0, int(box[0])), max(0, int(box[1]))
    x1, y1 = min(w, int(box[0] + box[2]) + 1), min(h, int(box[1] + box[3]) + 1)
    runs, pos = [], 0
    for col in range(x0, x1):
        start = col * h + y0
        runs += [start - pos, y1 - y0]
        pos = start + y1 - y0
    return runs + [h * w - pos]


def with_segmentation(seed, gt, res):
    """Adds polygon segmentations (two rings now and then) to ground truths
    and results; crowd ground truths get an uncompressed RLE of their box."""
    rng = random.Random(seed)
    size = {im["id"]: (im["height"], im["width"]) for im in gt["images"]}
    for a in gt["annotations"]:
        h, w = size[a["image_id"]]
        if a["iscrowd"]:
            a["segmentation"] = {"counts": _box_runs(a["bbox"], h, w), "size": [h, w]}
        else:
            rings = [_polygon(rng, a["bbox"])]
            if rng.random() < 0.2:
                rings.append(_polygon(rng, a["bbox"]))
            a["segmentation"] = rings
    for d in res:
        d["segmentation"] = [_polygon(rng, d.pop("bbox"))]
    return gt, res


def with_crowd_index(seed, gt):
    """CrowdPose's per-image crowd index: values on and beside the split
    boundaries (0.2, 0.8) and random ones."""
    import math

    rng = random.Random(seed)
    edges = [0.0, 0.2, math.nextafter(0.2, 0), 0.8, math.nextafter(0.8, 0), 1.0, 0.1, 0.5]
    for n, img in enumerate(gt["images"]):
        img["crowdIndex"] = edges[n] if n < len(edges) else round(rng.random(), rng.choice([2, 6]))
    return gt


WHOLEBODY_PARTS = {"keypoints": 17, "foot_kpts": 6, "face_kpts": 68, "lefthand_kpts": 21, "righthand_kpts": 21}


def wholebody(seed, n_images=25, strays=False):
    """COCO-WholeBody-shaped ground truth and results: every part's keypoint
    list, parts often wholly invisible (so ignored), people without any
    keypoints, crowd regions; results with part scores, some missing. With
    ``strays``, also results matching nobody (images without people too)."""
    rng = random.Random(seed)
    images = [{"id": i + 1, "width": 640, "height": 480} for i in range(n_images)]
    anns, res = [], []
    for img in images:
        for _ in range(rng.choice([0, 1, 2, 4, 6])):
            box = _box(rng, img["width"], img["height"])
            crowd = int(rng.random() < 0.05)
            a = {
                "id": len(anns) + 1,
                "image_id": img["id"],
                "category_id": 1,
                "bbox": box,
                "area": box[2] * box[3] * rng.uniform(0.5, 1.0),
                "iscrowd": crowd,
            }
            for part, n in WHOLEBODY_PARTS.items():
                labelled = not crowd and rng.random() < 0.7
                a[part] = [
                    v
                    for _ in range(n)
                    for v in (
                        [box[0] + rng.random() * box[2], box[1] + rng.random() * box[3], rng.choice([0, 1, 2])]
                        if labelled
                        else [0, 0, 0]
                    )
                ]
            a["num_keypoints"] = sum(1 for v in a["keypoints"][2::3] if v > 0)
            anns.append(a)
            for _ in range(rng.choice([0, 1, 2])):
                d = {"image_id": img["id"], "category_id": 1, "score": round(rng.random() * 20) / 20}
                for part in WHOLEBODY_PARTS:
                    conf = 0 if rng.random() < 0.1 else 1  # a part without a confident keypoint now and then
                    d[part] = [x + rng.gauss(0, 4) if j % 3 < 2 else conf for j, x in enumerate(a[part])]
                    if part != "keypoints" and rng.random() < 0.9:
                        d[part.replace("_kpts", "_score")] = round(rng.random() * 20) / 20
                if rng.random() < 0.9:
                    d["wholebody_score"] = round(rng.random() * 20) / 20
                res.append(d)
        for _ in range(rng.choice([0, 0, 1, 3]) if strays else 0):
            box = _box(rng, img["width"], img["height"])
            d = {"image_id": img["id"], "category_id": 1, "score": round(rng.random() * 20) / 20}
            for part, n in WHOLEBODY_PARTS.items():
                d[part] = [box[0] + rng.random() * box[2] if j % 3 == 0 else box[1] + rng.random() * box[3] if j % 3 == 1
                           else rng.random() for j in range(3 * n)]  # fmt: skip
                d[part.replace("_kpts", "_score").replace("keypoints", "wholebody_score")] = rng.random()
            res.append(d)
    gt = {"images": images, "annotations": anns, "categories": [{"id": 1, "name": "person"}]}
    return gt, res
