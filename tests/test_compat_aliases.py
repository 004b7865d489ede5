"""The import aliases (VANTOREL_AS at interpreter start, install_as_*) as
clients probe and import them, with the reference packages present or
hidden; each case runs in a fresh interpreter."""

import json
import os
import subprocess
import sys

import pytest

# Hides the reference packages as if uninstalled: a finder behind the
# aliases' own that refuses their names (so only an alias can answer).
HIDE = """
import importlib.abc, importlib.machinery, sys
class Hide(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in ("pycocotools", "lvis", "faster_coco_eval"):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(sys.meta_path.index(importlib.machinery.PathFinder), Hide())
"""

SUBMODULES = {
    "pycocotools": ["pycocotools.coco", "pycocotools.cocoeval", "pycocotools.mask", "pycocotools._mask"],
    "lvis": ["lvis.lvis", "lvis.results", "lvis.eval", "lvis.vis", "lvis.colormap"],
    "faster_coco_eval": ["faster_coco_eval.core", "faster_coco_eval.core.coco", "faster_coco_eval.core.cocoeval",
                         "faster_coco_eval.core.faster_eval_api", "faster_coco_eval.core.mask",
                         "faster_coco_eval.version", "faster_coco_eval.mask_api_new_cpp"],
}  # fmt: skip


def python(code, env_as=None):
    env = {k: v for k, v in os.environ.items() if k != "VANTOREL_AS"}
    if env_as is not None:
        env["VANTOREL_AS"] = env_as
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    return out


@pytest.mark.parametrize("hidden", [False, True])
@pytest.mark.parametrize("how", ["env", "install"])
def test_aliases_are_importable_packages(how, hidden):
    """find_spec, import_module, `import a.b.c` and an availability check
    (find_spec of the root, then import) answer for every submodule the
    reference has, and only for those; the .pth line alone imports no NumPy."""
    install = "" if how == "env" else (
        "import vantorel.compat as c\nc.install_as_pycocotools(); c.install_as_lvis(); c.install_as_faster_coco_eval()"
    )  # fmt: skip
    code = f"""
{HIDE if hidden else ""}
import importlib, importlib.util, json, sys
numpy_at_start = "numpy" in sys.modules
{install}
def available(name):
    try:
        if importlib.util.find_spec(name.split(".")[0]) is None:
            return False
        importlib.import_module(name)
        return True
    except ImportError:
        return False
found = {{}}
for root, subs in {SUBMODULES!r}.items():
    importlib.util.find_spec(root)  # must answer, not raise
    for name in [root] + subs:
        mod = importlib.import_module(name)
        found[name] = [available(name), mod.__spec__ is not None, sys.modules[name] is mod]
    exec(f"import {{subs[-1]}} as m; found['attr ' + root] = m is sys.modules[subs[-1]]")
    found["missing " + root] = available(root + ".no_such_module")
import pycocotools.mask, lvis.eval, faster_coco_eval.core.faster_eval_api as fe
from importlib import metadata
found["served"] = [pycocotools.mask.__name__, lvis.eval.LVISEval.__module__, fe.COCOeval_faster.__module__]
found["versions"] = [metadata.version(n) for n in ("pycocotools", "lvis", "faster-coco-eval", "faster_coco_eval")]
print(json.dumps([numpy_at_start, found]))
"""
    numpy_at_start, found = json.loads(python(code, "all" if how == "env" else None).stdout)
    assert numpy_at_start is False
    for root, subs in SUBMODULES.items():
        assert all(found[n] == [True, True, True] for n in [root] + subs), found
        assert found["attr " + root] is True and found["missing " + root] is False
    assert found["served"] == ["vantorel.compat.mask", "vantorel.compat.lvis.eval", "vantorel.compat.faster"]
    # requirement checks read the metadata: the aliased release, marked as ours
    assert found["versions"] == ["2.0.11+vantorel", "0.5.3+vantorel", "1.8.0+vantorel", "1.8.0+vantorel"]


def test_environment_names_and_report():
    """An unknown name warns (and aliases the rest); `python -m vantorel.compat` says what is aliased."""
    out = python("import pycocotools.coco as c; print(c.COCO.__module__)", "pycocotools, nosuch")
    assert out.stdout.split() == ["vantorel.compat.coco"] and "cannot alias nosuch" in out.stderr
    env = {**os.environ, "VANTOREL_AS": "lvis"}
    report = subprocess.run([sys.executable, "-m", "vantorel.compat"], capture_output=True, text=True, env=env,
                            check=True).stdout.splitlines()  # fmt: skip
    states = {line.split()[0]: "aliased to vantorel" in line for line in report[:3]}
    assert states == {"pycocotools": False, "lvis": True, "faster_coco_eval": False}
    assert report[-1] == "VANTOREL_AS=lvis"
    # The installed reference's own version, not the release the active alias follows.
    from importlib.metadata import version

    assert f"(installed: {version('lvis')}, not used)" in report[1]


def test_unset_leaves_the_reference():
    out = python(
        "import pycocotools.coco as c, sys; print(c.COCO.__module__, any('vantorel' in m for m in sys.modules))"
    )
    assert out.stdout.split() == ["pycocotools.coco", "False"]


def test_spawned_workers_inherit_the_aliases(tmp_path):
    """multiprocessing's spawn starts fresh interpreters: the variable, not the parent's state, aliases them."""
    script = tmp_path / "spawn_worker.py"
    script.write_text("""
import multiprocessing as mp
def where(_):
    import pycocotools.cocoeval as e
    return e.COCOeval.__module__
if __name__ == "__main__":
    with mp.get_context("spawn").Pool(1) as pool:
        print(pool.map(where, [0])[0])
""")
    env = {**os.environ, "VANTOREL_AS": "pycocotools"}
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=120)
    assert out.stdout.split() == ["vantorel.compat.cocoeval"], out.stderr
