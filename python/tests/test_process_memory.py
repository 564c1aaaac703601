"""The command line's allocator settings: freed blocks are reused instead of
being faulted in afresh."""
import os
import platform
import subprocess
import sys
import textwrap

import pytest

_BLOCKS = textwrap.dedent("""
    import resource, sys
    import numpy as np
    from powergpu.process_memory import reuse_freed_memory
    if sys.argv[1] == "reuse" and not reuse_freed_memory():
        sys.exit("not applied")

    def blocks():  # what an analysis does per block: several arrays of a few MB
        arrays = [np.ones(800_000) for _ in range(4)]
        del arrays

    blocks()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(10):
        blocks()
    print(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
""")


@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="glibc's allocator settings")
def test_freed_blocks_are_reused_without_page_faults():
    from powergpu.process_memory import ALLOCATOR_ENVIRON

    def faults(mode: str, environ=None) -> int:
        env = {k: v for k, v in os.environ.items() if not k.startswith("MALLOC_")}
        out = subprocess.run([sys.executable, "-c", _BLOCKS, mode], capture_output=True,
                             text=True, check=True, env={**env, **(environ or {})})
        return int(out.stdout)

    # 10 rounds of 4 x 6.4 MB: the defaults return the heap's top and fault
    # it in again (thousands of faults); kept, the same pages serve every
    # round, whether the process set it (the command line) or was started
    # with it (the batch's workers)
    assert faults("default") > 1000
    assert faults("reuse") < 50
    assert faults("default", ALLOCATOR_ENVIRON) < 50
