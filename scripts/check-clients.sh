#!/usr/bin/env bash
# Runs real clients' own tests against vantorel's drop-ins, to show that code
# switches without edits. Not part of CI: on a loaded 2-core machine it takes
# about 70 minutes (torchmetrics' detection tests take 17-30 of them per pass),
# plus a few GB of downloads for PyTorch on the first run where the machine
# does not hold it; about 30 with REUSE_BASELINE=1 (below).
#
# In a separate virtual environment ($VENV, default build/clients-venv) it
# installs the clients, the reference packages and this tree, then runs each
# suite twice: first with the reference packages (pycocotools,
# faster-coco-eval, lvis) installed as the baseline, then with them
# uninstalled and VANTOREL_AS=pycocotools,lvis,faster_coco_eval set, so every
# import of them resolves to vantorel. It prints both counts for each suite.
#
#  - faster-coco-eval: the tests/ of its published sdist (downloaded from
#    PyPI at run time; the data files it leaves out come from a checkout given
#    with FASTER_SRC=DIR, if any);
#  - torchmetrics: tests/unittests/detection of the installed release, from a
#    checkout given with TORCHMETRICS_SRC=DIR (a git repository: its tag
#    v<version> is used), run on the CPU; both backends are parametrized there;
#  - ultralytics: its COCO evaluation (DetectionValidator/SegmentationValidator
#    coco_evaluate) and convert_coco on data/, compared with the baseline.
#
# Nothing fetched is kept in this repository: everything lands under $WORK
# (default build/clients). REUSE_BASELINE=1 keeps the baseline counts of an
# earlier run there (they change only with the clients' versions), halving
# the time when only vantorel changed. Usage:
#   TORCHMETRICS_SRC=~/src/torchmetrics FASTER_SRC=~/src/faster_coco_eval bash scripts/check-clients.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=${VENV:-$ROOT/build/clients-venv}
WORK=${WORK:-$ROOT/build/clients}
FASTER_VERSION=${FASTER_VERSION:-1.8.0}
PY=$VENV/bin/python
mkdir -p "$WORK"

if [ ! -x "$PY" ]; then
  python3 -m venv "$VENV"
  "$PY" -m pip install -q --upgrade pip
  # The CPU build of PyTorch where the machine has it; torchvision must match it.
  "$PY" -m pip install -q "${TORCH_SPEC:-torch==2.14.1}" "${TORCHVISION_SPEC:-torchvision==0.29.1}"
fi
"$PY" -m pip install -q pytest pytest-timeout pytest-rerunfailures pytest-doctestplus cachier cloudpickle \
  scikit-learn psutil parameterized pandas plotly torchmetrics ultralytics pybind11 \
  scikit-build-core cmake ninja numpy
install_references() {
  "$PY" -m pip install -q pycocotools "faster-coco-eval==$FASTER_VERSION" lvis
}
install_references
ZERLIN_WERROR=ON "$PY" -m pip install -q --no-build-isolation "$ROOT"

# faster-coco-eval's published tests (its sdist), with the data files it omits.
FCE=$WORK/faster_coco_eval-$FASTER_VERSION
if [ ! -d "$FCE/tests" ]; then
  rm -rf "$WORK/sdist" && mkdir -p "$WORK/sdist"
  "$PY" -m pip download -q --no-deps --no-build-isolation --no-binary :all: \
    "faster-coco-eval==$FASTER_VERSION" -d "$WORK/sdist"
  tar xzf "$WORK/sdist/faster_coco_eval-$FASTER_VERSION.tar.gz" -C "$WORK"
fi
if [ -n "${FASTER_SRC:-}" ]; then
  for d in dataset keypoints_dataset lvis_dataset; do
    [ -e "$FCE/tests/$d" ] || git -C "$FASTER_SRC" archive HEAD "tests/$d" 2>/dev/null | tar x -C "$FCE" || true
  done
fi

# torchmetrics' detection tests at the installed release's tag; COCO's
# sample files come from data/ (torchmetrics' CI downloads the same files).
TM=""
if [ -n "${TORCHMETRICS_SRC:-}" ]; then
  TM_VERSION=$("$PY" -c "import torchmetrics; print(torchmetrics.__version__)")
  TM=$WORK/torchmetrics-$TM_VERSION
  if [ ! -d "$TM/tests/unittests/detection" ]; then
    mkdir -p "$TM"
    git -C "$TORCHMETRICS_SRC" archive "v$TM_VERSION" tests/unittests/__init__.py tests/unittests/conftest.py \
      tests/unittests/_helpers tests/unittests/detection | tar x -C "$TM"
  fi
  mkdir -p "$TM/tests/_data/detection"
  cp data/instances_val2014_100.json data/instances_val2014_fakebbox100_results.json \
    data/instances_val2014_fakesegm100_results.json "$TM/tests/_data/detection/"
fi

cat > "$WORK/ultralytics_paths.py" <<'EOF'
"""Ultralytics' COCO evaluation and convert_coco on data/: their metrics,
printed summary lines and written label files, as JSON."""
import hashlib, json, logging, pathlib, sys, tempfile
from types import SimpleNamespace
from ultralytics.data.converter import convert_coco
from ultralytics.models.yolo.detect.val import DetectionValidator
from ultralytics.models.yolo.segment.val import SegmentationValidator

data = pathlib.Path(sys.argv[1])
gt = data / "instances_val2014_100.json"
said = []  # ultralytics logs the summary lines (print_function=LOGGER.info)
collect = logging.Handler()
collect.emit = lambda record: said.append(record.getMessage())
logging.getLogger("ultralytics").addHandler(collect)
ids = [img["id"] for img in json.loads(gt.read_text())["images"]]
out = {}
for name, cls, res, kinds, suffix in [("bbox", DetectionValidator, "fakebbox", "bbox", "Box"),
                                      ("segm", SegmentationValidator, "fakesegm", ["bbox", "segm"], ["Box", "Mask"])]:
    v = cls()
    v.args.save_json, v.is_coco, v.jdict, v.gdict = True, True, [None], {}
    v.dataloader = SimpleNamespace(dataset=SimpleNamespace(im_files=[f"{i:012d}.jpg" for i in ids]))
    said.clear()
    stats = v.coco_evaluate({}, str(data / f"instances_val2014_{res}100_results.json"), str(gt), kinds, suffix)
    out[name] = {"stats": {k: float(x) for k, x in stats.items()}, "lines": [s for s in said if "Average" in s]}
with tempfile.TemporaryDirectory() as tmp:
    labels = pathlib.Path(tmp) / "annotations"
    labels.mkdir()
    (labels / gt.name).write_bytes(gt.read_bytes())
    for seg in (False, True):
        save = pathlib.Path(tmp) / f"out{seg}"
        convert_coco(str(labels), str(save), use_segments=seg)
        out[f"convert_coco(use_segments={seg})"] = {
            str(f.relative_to(save)): hashlib.sha256(f.read_bytes()).hexdigest() for f in sorted(save.rglob("*.txt"))}
pathlib.Path(sys.argv[2]).write_text(json.dumps(out, sort_keys=True))
EOF

count() {  # the closing line of a pytest run
  grep -E '^(=+ )?[0-9]+ (passed|failed)' "$1" | tail -1 | sed 's/=//g; s/ in [0-9.]*s.*//'
}
run_suites() {  # $1: label
  local tag=$1
  (cd "$FCE/tests" && timeout 1800 "$PY" -m pytest -q -p no:cacheprovider -rA --timeout 300 \
     --continue-on-collection-errors . > "$WORK/faster-$tag.txt" 2>&1) || true
  if [ -n "$TM" ]; then
    (cd "$TM/tests" && CUDA_VISIBLE_DEVICES="" timeout 3600 "$PY" -m pytest -q -p no:cacheprovider -rA \
       --timeout 900 unittests/detection > "$WORK/torchmetrics-$tag.txt" 2>&1) || true
  fi
  (cd "$WORK" && "$PY" ultralytics_paths.py "$ROOT/data" "$WORK/ultralytics-$tag.json" \
     > "$WORK/ultralytics-$tag.log" 2>&1) || true
}

if [ "${REUSE_BASELINE:-0}" = 1 ] && [ -s "$WORK/faster-baseline.txt" ] && [ -s "$WORK/ultralytics-baseline.json" ] \
   && { [ -z "$TM" ] || [ -s "$WORK/torchmetrics-baseline.txt" ]; }; then
  echo "Reusing the baseline runs in $WORK (REUSE_BASELINE=1)."
else
  run_suites baseline
fi
"$PY" -m pip uninstall -q -y pycocotools faster-coco-eval lvis
export VANTOREL_AS=pycocotools,lvis,faster_coco_eval
"$PY" -m vantorel.compat
run_suites vantorel
unset VANTOREL_AS
install_references  # leave the environment as found

echo
echo "faster-coco-eval $FASTER_VERSION tests/: baseline: $(count "$WORK/faster-baseline.txt")"
echo "                                vantorel: $(count "$WORK/faster-vantorel.txt")"
if [ -n "$TM" ]; then
  echo "torchmetrics $TM_VERSION unittests/detection: baseline: $(count "$WORK/torchmetrics-baseline.txt")"
  echo "                                      vantorel: $(count "$WORK/torchmetrics-vantorel.txt")"
fi
if "$PY" - "$WORK/ultralytics-baseline.json" "$WORK/ultralytics-vantorel.json" <<'EOF'
import json, math, sys
a, b = (json.load(open(p)) for p in sys.argv[1:])
def same(x, y):  # faster-coco-eval's means may differ from pycocotools' (and ours) in the 16th digit
    if isinstance(x, dict):
        return isinstance(y, dict) and x.keys() == y.keys() and all(same(x[k], y[k]) for k in x)
    if isinstance(x, float):
        return isinstance(y, float) and math.isclose(x, y, rel_tol=0, abs_tol=1e-12)
    return x == y
differ = [k for k in a if not same(a[k], b.get(k))]
print("ultralytics coco_evaluate + convert_coco:", "identical" if not differ and a else f"differ in {differ}")
sys.exit(1 if differ or not a else 0)
EOF
then :; else echo "(see $WORK/ultralytics-*.json)"; fi
echo "Passed with the references but not with vantorel (faster-coco-eval):"
comm -23 <(grep -E '^PASSED' "$WORK/faster-baseline.txt" | sort) <(grep -E '^PASSED' "$WORK/faster-vantorel.txt" | sort) || true
if [ -n "$TM" ]; then
  echo "Passed with the references but not with vantorel (torchmetrics):"
  comm -23 <(grep -E '^PASSED' "$WORK/torchmetrics-baseline.txt" | sort) \
    <(grep -E '^PASSED' "$WORK/torchmetrics-vantorel.txt" | sort) || true
fi
