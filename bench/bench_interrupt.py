"""Time from Ctrl-C (SIGINT) to KeyboardInterrupt inside long native work.

For each scenario of tests/interrupt_child.py (loading a large results file,
vantorel.evaluate on crowded images, the compat COCOeval.accumulate() running
the engine, mask functions over a large list) a child process is started, its
long call begun, and SIGINT sent from outside after each --delays value; the
table gives the seconds until the child raised KeyboardInterrupt (median over
--repeat runs) and whether the child then evaluated correctly. With --python
(another interpreter, e.g. a build before a change) both are measured.

Usage: python bench/bench_interrupt.py [--scale 1.0] [--delays 0.1 0.3 0.6] [--repeat 3]
                                       [--python OTHER_PYTHON] [--pythonpath OTHER_PATH]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from interrupt_child import run_child

SCENARIOS = {"load": 1.0, "evaluate": 1.5, "accumulate": 1.5, "mask": 1.0}


def measure(name: str, scale: float, delay: float, repeat: int, python: str, env: dict[str, str] | None) -> str:
    latencies, healthy = [], True
    for _ in range(repeat):
        report = run_child(name, scale, delay, python=python, env=env)
        healthy &= bool(report["works_after"])
        if not report["interrupted"]:
            return f"finished in {report['duration']:.2f} s before the signal"
        latencies.append(report["latency"])
    return f"{statistics.median(latencies):6.3f} s (max {max(latencies):.3f}){'' if healthy else ' BROKEN AFTER'}"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies each scenario's size")
    ap.add_argument("--delays", type=float, nargs="+", default=[0.1, 0.3, 0.6])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--python", default=None, help="also measure with this interpreter")
    ap.add_argument("--pythonpath", default=None, help="PYTHONPATH for the other interpreter's children")
    args = ap.parse_args()
    builds = [("this build", sys.executable, None)]
    if args.python or args.pythonpath:
        env = dict(os.environ, PYTHONPATH=args.pythonpath) if args.pythonpath else None
        builds.append(("other build", args.python or sys.executable, env))
    for label, python, env in builds:
        print(f"# {label}: seconds from SIGINT to KeyboardInterrupt")
        for name, scale in SCENARIOS.items():
            for delay in args.delays:
                result = measure(name, scale * args.scale, delay, args.repeat, python, env)
                print(f"{name:>10s}  signal at {delay:.1f} s  {result}")


if __name__ == "__main__":
    main()
