"""Store reads that deliver nothing raise, each kind with its own error;
reads and saves under transfer faults never hand back invented values.

A sweep attaches one camera per fault position (/dev/video<N> with the
fault at query N; each camera counts its own queries) and runs the
operation on each in one child process."""

import pytest

from conftest import query_count, run_child

FACTORY_MARKER = {"x0": 32, "y0": 24, "dx": 36, "dy": 36, "theta": 0.012500000186264515, "ncol": 16,
                  "nrow": 12, "width": 640, "height": 480, "lower_threshold": 48, "min_area": 20}

# Each read on camera ``i``, and what it returns from the factory calibration.
READS = {
    "marker": ("cal.read_marker_config(i).to_dict()", FACTORY_MARKER),
    "sensor type": ("cal.read_sensor_type(i)", "stereo-nir-640x480"),
    "extra params": ("cal.read_extra_params(3, i)", [1.25, -0.5, 3.0]),
    "rectify": ("(lambda r: [r.rows, r.cols, r.pairs()[:2]])(cal.read_rectify_config(i))", [5, 4, [86, 52]]),
}


def on_each_camera(count: int, exprs: list[str], setup: str = "") -> str:
    """Child body: each expression (which uses ``i``) on cameras
    0..count-1; one list of outcomes per expression."""
    return setup + f"""
        out = []
        for expr in {exprs!r}:
            outcomes = []
            for i in range({count}):
                try:
                    outcomes.append({{"ok": _encode(eval(expr))}})
                except orvex.OrvexError as e:
                    outcomes.append({{"error": type(e).__name__}})
            out.append(outcomes)
        return out
    """


def sweep(tmp_path, fault: str, expr: str, setup: str = "") -> list:
    """Outcomes of ``expr`` with ``fault`` at every query position it
    reaches, and one past them: camera k carries ``fault.format(k=k, n=k+1)``
    for k = 0 .. number of queries the expression issues."""
    total = query_count("0:profile=default", on_each_camera(1, [expr], setup), tmp_path)
    cameras = ";".join(f"{k}:" + fault.format(k=k, n=k + 1) for k in range(total + 1))
    return run_child(cameras, on_each_camera(total + 1, [expr], setup))["ok"][0]


def test_reads_that_find_no_usable_camera():
    # video0 without identification block, video1 erased (block included),
    # nothing at video2.
    exprs = [READS[k][0] for k in sorted(READS)]
    result = run_child("0:noid;1:fresh", on_each_camera(3, exprs))["ok"]
    for kind, outcomes in zip(sorted(READS), result):
        assert outcomes == [{"error": "NotIdentifiedError"}, {"error": "NotIdentifiedError"},
                            {"error": "DeviceNotFoundError"}], kind


@pytest.mark.parametrize("verify", [True, False])
def test_saves_on_a_camera_without_identification_are_reported(verify):
    saves = [f"cal.save_marker_config(cal.MarkerConfig(), i, verify={verify})",
             f"cal.save_sensor_type('x', i, verify={verify})",
             f"cal.save_extra_params([1.0], i, verify={verify})",
             f"cal.save_rectify_config(cal.RectifyConfig(), i, verify={verify})"]
    result = run_child("0:noid", on_each_camera(2, saves))["ok"]
    assert result == [[{"error": "NotIdentifiedError"}, {"error": "DeviceNotFoundError"}]] * 4


@pytest.mark.parametrize("read", sorted(READS))
def test_unplug_at_every_point_of_a_read(read, tmp_path):
    expr, expected = READS[read]
    # Camera k answers k queries; the last one answers all the read needs.
    *failed, complete = sweep(tmp_path, "unplug_after={k}", expr)
    # Every query the read needs fails from the unplug on: never values.
    # The unplugged camera's node is gone, as a real one's is, so the
    # look at the camera after the failed read finds no camera to open.
    assert failed and all(r == {"error": "DeviceNotFoundError"} for r in failed), failed
    assert complete == {"ok": expected}


@pytest.mark.parametrize("read", sorted(READS))
def test_one_failed_query_anywhere_in_a_read(read, tmp_path):
    expr, expected = READS[read]
    for n, result in enumerate(sweep(tmp_path, "fail_query={n}/5", expr), 1):
        # Values only when they are the stored ones.
        assert result in ({"ok": expected}, {"error": "TransferError"}), (n, result)


def test_save_under_faults_succeeds_only_when_the_flash_holds_the_record(tmp_path):
    setup = """
        def save(i):
            marker = cal.MarkerConfig(1, 2, 3, 4, 0.5, 6, 7, 8, 9, 10, 11)
            cal.save_marker_config(marker, i)
            with orvex.Camera(i) as cam:
                return cam.flash.read(0x30000, 44) == bytes(marker._to_struct())
    """
    outcomes = sweep(tmp_path, "fail_query={n}", "save(i)", setup)
    # A fault right after the release's status-register write stops the
    # release without waiting for the flash, which is still busy with that
    # write: reads straight after it return 0xFF, so the identification
    # check sees no block (NotIdentifiedError) until the write completes.
    allowed = ({"ok": True}, {"error": "TransferError"}, {"error": "VerifyError"}, {"error": "NotIdentifiedError"})
    for n, result in enumerate(outcomes, 1):
        assert result in allowed, (n, result)
    assert {"ok": True} in outcomes and {"error": "VerifyError"} in outcomes
