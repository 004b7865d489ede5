"""vantorel.compat.lvis_vis against lvis.vis on the bundled LVIS sample, drawn with Agg into tiny images."""

import copy
import json
import logging
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import evalgen

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt
from matplotlib.patches import Polygon

from vantorel import _zerlin
from vantorel.compat import lvis as ours_lvis
from vantorel.compat import lvis_vis as ours

if not hasattr(np, "float"):
    np.float = float  # noqa: NPY001 -- the reference still spells the removed alias
ref = pytest.importorskip("lvis.vis")
ref_colormap = pytest.importorskip("lvis.colormap")

GT = Path(__file__).resolve().parent.parent / "data" / "lvis_val_100.json"
DATASET = json.loads(GT.read_text())
REF_GT = ref.LVIS(str(GT))
OUR_GT = ours_lvis.LVIS(str(GT))
# The images with the most annotations, and one without any.
BY_COUNT = sorted(OUR_GT.get_img_ids(), key=lambda i: -len(OUR_GT.img_ann_map[i]))
IMAGES = BY_COUNT[:6] + [next(i for i in BY_COUNT if not OUR_GT.img_ann_map[i])]


def poly_results(seed=5):
    """Seeded box results that also carry a polygon, the one mask form the reference can draw."""
    res = evalgen.lvis_results(seed, DATASET, per_image=(0, 30))
    for d in res:
        x, y, w, h = d["bbox"]
        d["segmentation"] = [[x, y, x + w, y + h * 0.3, x + w * 0.6, y + h, x, y + h * 0.8]]
    return res


RESULTS = poly_results()
# A few categories each side has in the busiest image, and one nobody has.
SOME_CATS = sorted({a["category_id"] for a in OUR_GT.img_ann_map[IMAGES[0]]})[:2]
SOME_CATS += sorted({d["category_id"] for d in RESULTS if d["image_id"] == IMAGES[0]})[:2] + [0]


@pytest.fixture(scope="module")
def img_dir(tmp_path_factory):
    """Small seeded PNGs under the names the images' coco_url gives."""
    folder = tmp_path_factory.mktemp("images")
    rng = np.random.default_rng(3)
    for img in DATASET["images"]:
        pixels = rng.integers(0, 256, (24, 32, 3), dtype=np.uint8)
        plt.imsave(folder / img["coco_url"].split("/")[-1], pixels, format="png")
    return str(folder)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def artists(fig):
    """What a figure shows, as plain values: its image, every patch and every text."""
    (ax,) = fig.axes
    patches = [
        (type(p).__name__, p.get_facecolor(), p.get_edgecolor(), p.get_linewidth(), p.get_alpha(), p.get_fill(),
         p.get_linestyle(), p.get_zorder(),
         p.get_xy().tolist() if isinstance(p, Polygon) else [*map(float, p.get_xy()), p.get_width(), p.get_height()])
        for p in ax.patches
    ]  # fmt: skip
    texts = [
        (t.get_text(), tuple(map(float, t.get_position())), t.get_fontsize(), t.get_family(), t.get_color(),
         t.get_zorder(), t.get_bbox_patch().get_facecolor(), t.get_bbox_patch().get_alpha())
        for t in ax.texts
    ]  # fmt: skip
    images = [im.get_array().tolist() for im in ax.images]
    return tuple(fig.get_size_inches()), ax.get_title(), images, patches, texts


def drawn(vis, method, *args, **kwargs):
    """The artists of the one figure a call makes, or None when it makes none."""
    before = set(plt.get_fignums())
    getattr(vis, method)(*args, **kwargs)
    new = set(plt.get_fignums()) - before
    assert len(new) <= 1
    return artists(plt.figure(new.pop())) if new else None


def same_array(a, b):
    assert a.dtype == b.dtype and a.shape == b.shape and a.strides == b.strides and np.array_equal(a, b)


def test_colors_synsets_and_polygons(img_dir):
    for rgb in (False, True):
        same_array(ours.colormap(rgb), ref_colormap.colormap(rgb))
    vis, rv = ours.LVISVis(OUR_GT, img_dir=img_dir), ref.LVISVis(REF_GT, img_dir=img_dir)
    for idx in [0, 1, 78, 79, 158, -1, 1230, np.int64(3), True]:
        same_array(vis.get_color(idx), rv.get_color(idx))
    assert [vis.get_synset(c) for c in OUR_GT.cats] == [rv.get_synset(c) for c in REF_GT.cats]
    polys = [p for a in DATASET["annotations"] for p in a["segmentation"]]
    polys += [[1, 2, 3, 4, 5, 6], [], (1.5, 2), np.arange(6, dtype=np.float32)]
    for p in polys:
        same_array(vis.coco_segm_to_poly(p), rv.coco_segm_to_poly(p))
    rle = OUR_GT.ann_to_rle(DATASET["annotations"][0])
    for v in (vis, rv):  # an RLE is no polygon for either
        with pytest.raises(TypeError):
            v.coco_segm_to_poly(rle)


@pytest.mark.parametrize(("channels", "fmt"), [(1, "png"), (3, "png"), (4, "png"), (3, "jpg")])
def test_load_img_and_setup_figure(tmp_path, channels, fmt):
    img = DATASET["images"][0]
    pixels = np.random.default_rng(channels).integers(0, 256, (9, 13, channels), dtype=np.uint8)
    name = img["coco_url"].split("/")[-1]
    if channels == 1:
        plt.imsave(tmp_path / name, pixels[:, :, 0], cmap="gray", format=fmt)
    else:
        plt.imsave(tmp_path / name, pixels, format=fmt)
    vis, rv = ours.LVISVis(OUR_GT, img_dir=str(tmp_path)), ref.LVISVis(REF_GT, img_dir=str(tmp_path))
    a, b = vis.load_img(img["id"]), rv.load_img(img["id"])
    same_array(a, b)
    for kwargs in ({}, {"title": "t", "dpi": 40}):
        (fa, axa), (fb, axb) = vis.setup_figure(a, **kwargs), rv.setup_figure(b, **kwargs)
        assert artists(fa) == artists(fb)
        assert axa.get_position().bounds == axb.get_position().bounds and axa.axison == axb.axison


FLAGS = [
    {},
    {"show_boxes": True, "show_classes": True},
    {"show_boxes": True, "show_segms": False, "show_classes": True, "cat_ids_to_show": SOME_CATS},
    {"show_segms": True, "cat_ids_to_show": []},
]
RESULT_FLAGS = [{"show_boxes": True, "show_classes": True, "score_thrs": 0.5, "show_scores": False},
                {"show_classes": True, "score_thrs": 0.99}]  # fmt: skip


@pytest.mark.parametrize(
    ("method", "flags"), [("vis_img", f) for f in FLAGS] + [("vis_result", f) for f in FLAGS + RESULT_FLAGS]
)
def test_drawing(img_dir, method, flags, caplog):
    vis = ours.LVISVis(OUR_GT, RESULTS, img_dir=img_dir)
    rv = ref.LVISVis(REF_GT, copy.deepcopy(RESULTS), img_dir=img_dir)  # the reference writes into them
    for img_id in IMAGES:
        with caplog.at_level(logging.WARNING, "lvis.vis"):
            caplog.clear()
            a = drawn(vis, method, img_id, **flags)
            mine = caplog.messages[:]
            caplog.clear()
            b = drawn(rv, method, img_id, **flags)
        assert a == b and mine == caplog.messages, img_id
        assert img_id != IMAGES[0] or a[3] or a[4] or flags.get("cat_ids_to_show") == [] or "score_thrs" in flags
    if method == "vis_img":
        assert b is None and mine == [f"No gt anno found for img_id: {IMAGES[-1]}"]


def test_rle_results_drawn_as_outlines(img_dir):
    """The reference cannot draw RLE masks (ValueError); we draw each outline, holes included."""
    img = DATASET["images"][0]
    h, w = img["height"], img["width"]
    mask = np.zeros((h, w), np.uint8)
    mask[10:60, 10:80] = 1
    mask[20:30, 20:30] = 0  # a hole
    mask[100:120, 0:40] = 1  # touches the border
    rle = _zerlin.encode(np.asfortranarray(mask[:, :, None]))[0]
    det = {"image_id": img["id"], "category_id": 1, "score": 0.9, "segmentation": rle}
    with pytest.raises(ValueError):
        ref.LVISVis(REF_GT, [dict(det, segmentation=dict(rle, counts=rle["counts"].decode()))],
                    img_dir=img_dir).vis_result(img["id"])  # fmt: skip
    _, _, _, patches, _ = drawn(ours.LVISVis(OUR_GT, [det], img_dir=img_dir), "vis_result", img["id"])
    assert [p[0] for p in patches] == ["Polygon"] * 3
    outlines = [np.array(p[-1]) for p in patches]
    boxes = sorted((*o.min(0), *o.max(0)) for o in outlines)
    assert boxes == [(-0.5, 99.5, 39.5, 119.5), (9.5, 9.5, 79.5, 59.5), (19.5, 19.5, 29.5, 29.5)]


def test_construction_and_failures(img_dir, caplog, tmp_path, monkeypatch):
    for gt in (5, OUR_GT.dataset["annotations"]):
        with pytest.raises(TypeError, match="of lvis_gt"):
            ours.LVISVis(gt)
    with pytest.raises(TypeError, match="of lvis_dt"):
        ours.LVISVis(OUR_GT, OUR_GT)
    (tmp_path / "res.json").write_text(json.dumps(RESULTS))
    from_path = ours.LVISVis(GT, str(tmp_path / "res.json"), img_dir)
    assert len(from_path.lvis_gt.anns) == len(OUR_GT.anns) and len(from_path.lvis_dt.anns) == len(RESULTS)
    with pytest.raises(AssertionError, match="lvis_dt was not specified"):
        ours.LVISVis(OUR_GT, img_dir=img_dir).vis_result(IMAGES[0])
    for img_dir_arg in (None, "", "."):
        caplog.clear()
        with caplog.at_level(logging.WARNING, "lvis.vis"):
            assert ours.LVISVis(OUR_GT, img_dir=img_dir_arg).img_dir == "."
        assert caplog.messages == ["img_dir not specified. Images will be downloaded."]
    img = DATASET["images"][0]
    (tmp_path / img["coco_url"].split("/")[-1]).write_bytes(b"not an image")
    with pytest.raises(OSError, match=img["coco_url"].split("/")[-1]):
        ours.LVISVis(OUR_GT, img_dir=str(tmp_path)).load_img(img["id"])
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install vantorel\[plots\]"):
        from_path.setup_figure(np.zeros((2, 2, 3), np.uint8))


def test_dpi_sizes_the_figures(img_dir):
    """The reference keeps ``dpi`` but draws at 75 whatever it is; we use it."""
    a = drawn(ours.LVISVis(OUR_GT, img_dir=img_dir, dpi=40), "vis_img", IMAGES[0])
    b = drawn(ref.LVISVis(REF_GT, img_dir=img_dir, dpi=40), "vis_img", IMAGES[0])
    assert a[0] == (32 / 40, 24 / 40) and b[0] == (32 / 75, 24 / 75) and a[1:] == b[1:]


def test_installed_as_lvis():
    script = """
import vantorel.compat
vantorel.compat.install_as_lvis()
import lvis, lvis.vis
from lvis import LVISVis
from lvis.colormap import colormap
from vantorel.compat.lvis import LVISVis as reexported
assert LVISVis is lvis.vis.LVISVis is reexported and lvis.vis.colormap is colormap
assert type(lvis.colormap).__name__ == "module" and "LVISVis" in lvis.__all__
print(LVISVis.__module__)
"""
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=False)
    assert proc.returncode == 0 and proc.stdout.strip() == "vantorel.compat.lvis.vis", proc.stderr


def test_tied_box_areas_draw_in_the_reference_order(img_dir, tmp_path):
    """Many equal areas: the drawing order (and so what lies on top) follows the reference's sort."""
    rng = np.random.default_rng(7)
    img = DATASET["images"][0]
    anns = []
    for i in range(300):
        x, y, w, h = int(i % 30), int(i // 30), int(rng.integers(1, 4)), int(rng.integers(1, 4))
        anns.append({"id": i + 1, "image_id": img["id"], "category_id": int(rng.integers(1, 1231)), "area": w * h,
                     "bbox": [x, y, w, h], "segmentation": [[x, y, x + w, y, x + w, y + h, x, y + h]]})  # fmt: skip
    path = tmp_path / "ties.json"
    path.write_text(json.dumps(dict(DATASET, images=[img], annotations=anns)))
    flags = {"show_boxes": True, "show_classes": True}
    a = drawn(ours.LVISVis(str(path), img_dir=img_dir), "vis_img", img["id"], **flags)
    assert a == drawn(ref.LVISVis(ref.LVIS(str(path)), img_dir=img_dir), "vis_img", img["id"], **flags)
