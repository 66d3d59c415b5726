"""The example scripts, run as a user would run them."""

from pathlib import Path

from conftest import run_child, run_program

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_calibration_round_trip_example():
    proc = run_program("0:profile=default", [str(EXAMPLES / "calibration_roundtrip.py"), "roundtrip"])
    assert proc.returncode == 0, proc.stderr
    assert "stereo-nir-640x480" in proc.stdout and "base grid 5 x 4: round trip ok" in proc.stdout


def test_calibration_export_refuses_a_camera_without_identification(tmp_path):
    proc = run_program("0:noid", [str(EXAMPLES / "calibration_roundtrip.py"), "export", str(tmp_path / "c.json")])
    assert proc.returncode == 2 and "NotIdentifiedError" in proc.stderr
    assert not (tmp_path / "c.json").exists()


def test_burn_example_keeps_the_calibration(tmp_path):
    state, fw = tmp_path / "cam.bin", tmp_path / "fw.bin"
    run_child(f"0:state={state}", f"""
        with orvex.Camera(0) as cam:
            open({str(fw)!r}, "wb").write(cam.flash.read(0, 0x30000))
    """)
    proc = run_program(f"0:state={state}", [str(EXAMPLES / "burn_progress.py"), str(fw), "--quick", "--allow-reinstall"])
    assert proc.returncode == 0, proc.stderr
    assert "100.0%" in proc.stderr and "calibration kept" in proc.stdout
    after = run_child(f"0:state={state}", "return [cal.read_sensor_type(0), cal.read_extra_params(5, 0)[:3]]")
    assert after["ok"] == ["stereo-nir-640x480", [1.25, -0.5, 3.0]]
