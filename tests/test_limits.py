"""Requests beyond the memory a process may have raise MemoryError, never a
crash: each case runs in a child process under an address-space limit."""

import os
import subprocess
import sys
import textwrap

import pytest

LIMIT = 2 << 30  # bytes of address space, set after the imports

CASES = {
    # One mask of 2.5 GB, and n masks whose total is beyond the limit.
    "decode": "z.decode([{'size': [50000, 50000], 'counts': [0]}])",
    "decode_many": "z.decode([{'size': [20000, 20000], 'counts': [0]}] * 20)",
    # The boundary of a 4 GB mask.
    "boundary": "z.toBoundary([{'size': [65535, 65535], 'counts': [0, 1]}])",
    # A polygon whose crossings would take terabytes.
    "polygon": "z.frPoly([ZIGZAG], 1, 4_000_000_000)",
    # The same polygon in an evaluation, with several batches still to send.
    "rasteriser": "evaluator('segm', [seg(ZIGZAG, 1)] + [seg([1, 1, 9, 1, 9, 9], 2)] * (5 * 4096), [], 100)",
    # max_dets lets every detection of a crowded image in: a 20000 x 20000 IoU matrix.
    "max_dets": "evaluator('bbox', [seg(None, 2, i) for i in range(20000)], [seg(None, 2, i) for i in range(20000)], "
    "10**6).run()",
}

PRELUDE = """
import resource
import vantorel._zerlin as z

ZIGZAG = [v for i in range(2000) for v in ((4e8 if i % 2 else 0.0), float(i))]


def seg(ring, image, i=0):
    return {"id": i + 1, "image_id": image, "category_id": 1, "bbox": [i % 50, 1, 8, 8], "area": 64,
            "iscrowd": 0, "score": 0.5, **({"segmentation": [ring]} if ring else {})}


def evaluator(kind, gt, dt, max_det):
    return z.Evaluator(gt, dt, {1: (1, 4_000_000_000), 2: (20, 20)}, [1, 2], [1], [0.5], [0.0], [max_det],
                       [[0, 1e10]], True, kind, [])


resource.setrlimit(resource.RLIMIT_AS, (@LIMIT@, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    @CALL@
except MemoryError as e:
    print("MemoryError", e)
"""


# macOS does not enforce an address-space limit and Windows has no resource
# module: only Linux can stand a child under one.
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs Linux's enforced RLIMIT_AS")
@pytest.mark.parametrize("case", sorted(CASES))
def test_memory_limits_raise_memory_error(case):
    code = textwrap.dedent(PRELUDE).replace("@LIMIT@", str(LIMIT)).replace("@CALL@", CASES[case])
    # Under AddressSanitizer a failed allocation must return, as it does without.
    env = dict(
        os.environ, ASAN_OPTIONS=":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "allocator_may_return_null=1"]))
    )
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=env)
    assert p.returncode == 0, p.stderr[-2000:]
    assert p.stdout.startswith("MemoryError "), (p.stdout, p.stderr[-2000:])
    assert len(p.stdout.split()) > 1  # with a message saying what could not be allocated
