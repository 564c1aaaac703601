"""Make the in-tree package importable without installing it."""
import sys
from pathlib import Path

_ROOT = str(Path(__file__).resolve().parents[1])
if _ROOT not in sys.path:
    sys.path.insert(0, _ROOT)


# --- native backends under test ------------------------------------------------
# Tests that take a ``backend`` argument run on every backend present: the CPU
# always, CUDA where a device is usable.  POWERGPU_TEST_BACKEND=cpu|cuda
# restricts the list (cuda then fails loudly when no device is usable).
_BACKENDS = None


def _backends_under_test():
    global _BACKENDS
    if _BACKENDS is None:
        import os

        names = ["cpu"]
        try:
            from powergpu import _native

            lib = _native.load()
            handle = lib.powerModule_createOnBackend(_native.BACKEND_CUDA)
            if handle:
                lib.powerModule_destroy(handle)
                names.append("cuda")
        except OSError:
            pass  # the tests then fail with the loader's message
        wanted = os.environ.get("POWERGPU_TEST_BACKEND", "").strip().lower()
        if wanted in ("cpu", "cuda"):
            names = [wanted]
        _BACKENDS = names
    return _BACKENDS


def pytest_generate_tests(metafunc):
    if "backend" in metafunc.fixturenames:
        metafunc.parametrize("backend", _backends_under_test())
