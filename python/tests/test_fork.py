"""Worker pools that fork without exec (multiprocessing's fork start
method, Linux's default) open the camera in each worker, in the launcher's
shared-device mode and in its in-process mode."""

import os
import subprocess
import sys
import textwrap

import pytest

POOL_SCRIPT = textwrap.dedent("""
    import multiprocessing
    import orvex

    def chip_id(_):
        with orvex.Camera(0) as cam:
            return cam.identify().chip_id

    if __name__ == "__main__":
        # The parent uses the camera first, so the workers inherit a
        # virtual camera that has been in use.
        with orvex.Camera(0) as cam:
            assert cam.identify().chip_id == 0x15
        with multiprocessing.get_context("fork").Pool(3) as pool:
            ids = pool.map(chip_id, range(6))
        print("ids", sorted(set(ids)), len(ids))
""")


@pytest.mark.parametrize("mode", [[], ["--in-process"]], ids=["shared-device", "in-process"])
def test_fork_pool_workers_each_open_the_camera(mode):
    launcher = os.environ["ORVEX_VCAM_BIN"]
    try:
        proc = subprocess.run([launcher, *mode, "--", sys.executable, "-c", POOL_SCRIPT],
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the pool hung")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ids [21] 6\n", proc.stdout + proc.stderr
