"""Writes the seed corpora in fuzz/seeds/ from the files in data/.

Seeds are small on purpose: a few annotations of each file, so that the
fuzzers spend their time mutating rather than parsing. Run from anywhere:
``python3 fuzz/make_seeds.py``; the output is deterministic.
"""

import json
import shutil
import struct
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data"
SEEDS = Path(__file__).resolve().parent / "seeds"


def load(name: str) -> object:
    return json.loads((DATA / name).read_text())


def subset(gt: dict, n_images: int) -> dict:
    """The first n images of a dataset with their annotations and categories."""
    images = gt["images"][:n_images]
    ids = {im["id"] for im in images}
    anns = [a for a in gt["annotations"] if a["image_id"] in ids][:12]
    cats = {a["category_id"] for a in anns}
    out = {k: v for k, v in gt.items() if k not in ("images", "annotations", "categories")}
    out.update(images=images, annotations=anns, categories=[c for c in gt["categories"] if c["id"] in cats])
    return out


def shrunk(gt: dict, k: int = 8) -> dict:
    """Images and geometry scaled down k times, so that each fuzz run rasterises little."""
    out = dict(gt)
    out["images"] = [dict(im, height=max(1, im["height"] // k), width=max(1, im["width"] // k)) for im in gt["images"]]
    anns = []
    for a in gt["annotations"]:
        a = dict(a, bbox=[round(v / k, 2) for v in a["bbox"]], area=round(a["area"] / k / k, 2))
        if isinstance(a.get("segmentation"), list):
            a["segmentation"] = [[round(v / k, 2) for v in ring] for ring in a["segmentation"]]
        anns.append(a)
    out["annotations"] = anns
    return out


def side(v: int) -> bytes:
    """An image side as the fuzz targets read it: a flagged 32-bit value."""
    return b"\x80" + struct.pack(">I", v)


def coord(v: float) -> bytes:
    return b"\xe0" + struct.pack(">d", v)


def main() -> None:
    coco, lvis = load("instances_val2014_100.json"), load("lvis_val_100.json")
    bbox, segm = load("instances_val2014_fakebbox100_results.json"), load("instances_val2014_fakesegm100_results.json")
    sizes = {im["id"]: (im["height"], im["width"]) for im in coco["images"]}
    seeds: dict[str, dict[str, bytes]] = {t: {} for t in ("json", "compact_gt", "compact_results", "rle", "polygon")}

    def dump(obj: object) -> bytes:
        return json.dumps(obj, separators=(",", ":")).encode()

    seeds["compact_gt"]["coco"] = dump(shrunk(subset(coco, 2)))
    seeds["compact_gt"]["lvis"] = dump(shrunk(subset(lvis, 2)))
    crowd = subset(coco, 3)
    crowd["annotations"] = [a for a in coco["annotations"] if a["iscrowd"]][:2]
    crowd["images"] = [im for im in coco["images"] if im["id"] in {a["image_id"] for a in crowd["annotations"]}]
    seeds["compact_gt"]["crowd-rle"] = dump(crowd)
    seeds["compact_results"]["bbox"] = dump(bbox[:16])
    seeds["compact_results"]["segm"] = dump(segm[:4])
    seeds["compact_results"]["keypoints"] = dump(
        [{"image_id": 1, "category_id": 1, "keypoints": [10, 20, 2, 30, 5, 1], "score": 0.5, "bbox": [1, 2, 3, 4]}]
    )
    for name, body in list(seeds["compact_gt"].items()) + list(seeds["compact_results"].items()):
        seeds["json"][name] = body
    seeds["json"]["pretty"] = json.dumps(subset(coco, 1), indent=1).encode()
    seeds["json"]["escapes"] = rb'["a\u00e9\ud83d\ude00\\\"\/\b\f\n\r\t", -0.0, 1e308, -9223372036854775808, [], {}]'

    for i, r in enumerate(segm[:6]):
        h, w = r["segmentation"]["size"]
        other = segm[i + 1]["segmentation"]["counts"].encode()
        seeds["rle"][f"segm-{i}"] = (
            side(h) + side(w) + bytes([i * 37 % 256]) + r["segmentation"]["counts"].encode() + b"\n" + other
        )
    seeds["rle"]["small"] = bytes([3, 3, 0]) + b"1O10\n52"

    polys = [a for a in coco["annotations"] if not a["iscrowd"] and isinstance(a["segmentation"], list)]
    for i, a in enumerate(polys[:6]):
        h, w = sizes[a["image_id"]]
        body = side(h) + side(w) + bytes([len(a["segmentation"][:3]) - 1])
        for ring in a["segmentation"][:3]:
            ring = ring[:22]
            body += bytes([len(ring)]) + b"".join(coord(v) for v in ring)
        seeds["polygon"][f"coco-{i}"] = body

    shutil.rmtree(SEEDS, ignore_errors=True)
    for target, files in seeds.items():
        (SEEDS / target).mkdir(parents=True)
        for name, body in files.items():
            (SEEDS / target / name).write_bytes(body)


if __name__ == "__main__":
    main()
