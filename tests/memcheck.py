"""Memory held across repeated calls, as tracemalloc sees it (the module's Python objects included)."""

import gc
import tracemalloc


def growth(run):
    """Bytes still allocated after a second call of run(), once a first call warmed caches."""
    run()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
