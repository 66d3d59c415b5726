"""Calibration records: round trips, argument checks, and the cases where
the store delivers nothing."""

import math
import struct

import pytest

import orvex
from orvex import calibration as cal
from conftest import run_child


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


@pytest.mark.parametrize("marker", [
    cal.MarkerConfig(32, 24, 36, 36, f32(0.0125), 16, 12, 640, 480, 48, 20),
    cal.MarkerConfig(-1, -2**31, 2**31 - 1, 0, f32(-3.5e-20), 0, 1, 2, 3, -4, 5),
])
def test_marker_round_trip(marker):
    cal.save_marker_config(marker, 0)
    assert cal.read_marker_config(0) == marker


@pytest.mark.parametrize("text", ["", "x" * 127, "stereo-nir-640x480", "Kamera \u00e9t\u00e9 \u2013 1"])
def test_sensor_type_round_trip(text):
    cal.save_sensor_type(text, 0, unknown_sensor_type=text != "stereo-nir-640x480")
    assert cal.read_sensor_type(0) == text


@pytest.mark.parametrize("values", [
    [1.25, -0.5, 3.0],
    [f32(i * 0.37 - 40) for i in range(255)],
])
def test_extra_params_round_trip(values):
    cal.save_extra_params(values, 0)
    assert cal.read_extra_params(len(values), 0) == values


def test_extra_params_beyond_the_saved_ones_read_as_erased():
    cal.save_extra_params([1.0, 2.0], 0)
    got = cal.read_extra_params(4, 0)
    assert got[:2] == [1.0, 2.0] and all(math.isnan(v) for v in got[2:])
    assert cal.read_extra_params(1, 0) == [1.0]
    assert cal.read_extra_params(0, 0) == []


@pytest.mark.parametrize("rows, cols", [(25, 18), (2, 3), (0, 0), (0, 5)])
def test_rectify_round_trip(rows, cols):
    rec = cal.RectifyConfig.with_default_grid(rows, cols, rotation=f32(0.0031), translation_x=-2.375,
                                              translation_y=1.125, scale=f32(1.0042), padding=(8, 8, -6, 6))
    cal.save_rectify_config(rec, 0)
    back = cal.read_rectify_config(0)
    assert back == rec
    assert (back.rows, back.cols) == (rows, cols)
    if cal.HAVE_NUMPY:
        assert back.grid.shape == (rows, cols, 2) and back.grid.dtype.name == "int32"
    if rows == 2:
        assert back.pairs() == [0, 0, 0, 1, 0, 2, 1, 0, 1, 1, 1, 2]


@pytest.mark.parametrize("save", [
    lambda: cal.save_sensor_type("x" * 128, 0),
    lambda: cal.save_sensor_type("a\0b", 0),
    lambda: cal.save_extra_params([0.0] * 256, 0),
    lambda: cal.save_rectify_config(cal.RectifyConfig.with_default_grid(26, 1), 0),
    lambda: cal.save_rectify_config(cal.RectifyConfig.with_default_grid(1, 19), 0),
    lambda: cal.save_rectify_config(cal.RectifyConfig(rows=2, cols=2, grid=[[[0, 0]]]), 0),
    lambda: cal.read_extra_params(256, 0),
])
def test_records_the_store_cannot_keep_are_refused_before_writing(save):
    cal.save_sensor_type("kept", 0, unknown_sensor_type=True)
    cal.save_rectify_config(cal.RectifyConfig.with_default_grid(1, 1), 0)
    with pytest.raises(ValueError):
        save()
    assert cal.read_sensor_type(0) == "kept"
    assert cal.read_rectify_config(0) == cal.RectifyConfig.with_default_grid(1, 1)


def test_store_refuses_while_a_camera_is_open():
    with orvex.Camera(0) as cam:
        for call in (lambda: cal.read_marker_config(0), lambda: cal.save_extra_params([1.0], 0)):
            with pytest.raises(orvex.CameraBusyError):
                call()
        # The store did not close the caller's connection.
        assert cam.flash.read(0x190C0 + 2, 1) == b"O"


def test_json_round_trip_keeps_every_record():
    import json
    rec = cal.RectifyConfig.with_default_grid(3, 2, rotation=0.5)
    marker = cal.MarkerConfig(1, 2, 3, 4, 0.25, 5, 6, 7, 8, 9, 10)
    doc = json.loads(json.dumps({"rectify": rec.to_dict(), "marker": marker.to_dict()}))
    assert cal.RectifyConfig.from_dict(doc["rectify"]) == rec
    assert cal.MarkerConfig.from_dict(doc["marker"]) == marker


def test_factory_records_and_blank_records():
    # A camera of its own: the shipped calibration, then the same camera
    # with the flash erased but its identification block kept.
    factory = run_child("0:profile=default", """
        r = cal.read_rectify_config(0)
        return {"marker": cal.read_marker_config(0).to_dict(), "type": cal.read_sensor_type(0),
                "params": cal.read_extra_params(5, 0), "dims": [r.rows, r.cols],
                "first": r.pairs()[:4]}
    """)["ok"]
    assert factory["marker"]["width"] == 640 and factory["marker"]["theta"] == f32(0.0125)
    assert factory["type"] == "stereo-nir-640x480"
    assert factory["params"] == [1.25, -0.5, 3.0, f32(0.002), 42.0]
    assert factory["dims"] == [5, 4] and factory["first"] == [86, 52, 242, 48]
    blank = run_child("0:profile=default", """
        with orvex.Camera(0) as cam:
            for addr in (0x30000, 0x31000, 0x32000, 0x34000):
                cam.flash.rewrite_sector(addr, b"", include_calibration=True)
        out = {"marker": cal.read_marker_config(0).to_dict(), "type": cal.read_sensor_type_bytes(0),
               "params": cal.read_extra_params(2, 0)}
        try:
            cal.read_rectify_config(0)
        except orvex.InvalidRecordError as e:
            out["rectify"] = [e.rows, e.cols]
        return out
    """)["ok"]
    marker = blank["marker"]
    assert marker.pop("theta") == "nan" and set(marker.values()) == {-1}
    assert blank["type"] == "ff" * 128
    assert blank["params"] == ["nan", "nan"]
    assert blank["rectify"] == [-1, -1]


def test_lists_without_numpy():
    result = run_child("0:profile=default", """
        rec = cal.RectifyConfig.with_default_grid(2, 2, scale=2.0)
        cal.save_rectify_config(rec, 0)
        back = cal.read_rectify_config(0)
        return {"numpy": cal.HAVE_NUMPY, "grid": back.grid, "same": back == rec}
    """)
    assert result["ok"] == {"numpy": False, "grid": [[[0, 0], [0, 1]], [[1, 0], [1, 1]]], "same": True}


def _records_area() -> bytes:
    with orvex.Camera(0) as cam:
        return cam.flash.read(0x30000, 0x5000)


@pytest.mark.parametrize("save, says", [
    (lambda: cal.save_extra_params([1.0, math.nan], 0), "records.extra_params[1]: NaN is not a finite number"),
    (lambda: cal.save_extra_params([-math.inf], 0), "records.extra_params[0]: -Infinity is not a finite number"),
    (lambda: cal.save_extra_params([1e39], 0), "records.extra_params[0]: 1e+39 is out of range for a 32-bit float"),
    (lambda: cal.save_marker_config(cal.MarkerConfig(x0=2**33), 0),
     "records.marker.x0: 8589934592 is outside the 32-bit integer range"),
    (lambda: cal.save_rectify_config(cal.RectifyConfig(rows=1, cols=2, grid=[[[0.5, 1.0], [2.0, 3.0]]]), 0),
     "records.rectify.base_grid[0][0]: 0.5 is not an integer"),
    (lambda: cal.save_rectify_config(cal.RectifyConfig(rows=1, cols=1, grid=[[[64000, 48000]]]), 0),
     "base point 0 (row 0, column 0) at (64000, 48000) lies outside the 640 x 480 image"),
    (lambda: cal.save_rectify_config(cal.RectifyConfig(padding=(0, 2**33, 0, 0)), 0),
     "records.rectify.padding[1]: 8589934592 is outside the 32-bit integer range"),
    (lambda: cal.save_sensor_type("stereo-nir-640x48", 0), "is not a known sensor type"),
])
def test_values_the_store_cannot_hold_are_refused_naming_the_field(save, says):
    cal.save_sensor_type("stereo-nir-640x480", 0)
    before = _records_area()
    with pytest.raises(ValueError) as e:
        save()
    assert says in str(e.value)
    assert _records_area() == before


def test_a_float_grid_with_fractions_is_refused_and_whole_floats_are_taken():
    cal.save_sensor_type("stereo-nir-640x480", 0)
    if cal.HAVE_NUMPY:
        import numpy as np
        grid = np.array([[[10, 20], [30, 40]]], dtype=np.float64)
        with pytest.raises(ValueError, match="is not an integer"):
            cal.save_rectify_config(cal.RectifyConfig(rows=1, cols=2, grid=grid + 0.25), 0)
        cal.save_rectify_config(cal.RectifyConfig(rows=1, cols=2, grid=grid), 0)
        assert cal.read_rectify_config(0).pairs() == [10, 20, 30, 40]


def test_the_calibration_document_round_trip(tmp_path):
    import json
    cal.save_sensor_type("stereo-nir-640x480", 0)
    cal.save_extra_params([1.25, -0.5], 0)
    path = tmp_path / "c.json"
    checksum = cal.export_document(str(path), 0)
    doc = json.loads(path.read_text())
    assert doc == cal.read_document(0) and doc["checksum"] == checksum
    cal.save_extra_params([7.0], 0)
    assert cal.import_document(str(path), 0, dry_run=True)["changes"] is True
    cal.import_document(str(path), 0)
    assert cal.read_document(0) == doc

    doc["records"]["rectify"]["padding"][1] = 2**33
    path.write_text(json.dumps(doc))
    before = _records_area()
    with pytest.raises(ValueError, match="its checksum does not match"):
        cal.import_document(str(path), 0)
    with pytest.raises(ValueError) as e:
        cal.import_document(str(path), 0, edited=True)
    # The same words as orvexctl and the C interface.
    assert str(e.value) == "records.rectify.padding[1]: 8589934592 is outside the 32-bit integer range"
    assert _records_area() == before


def test_validation_without_a_camera():
    rect = {"rotation": 0, "translation_x": 0, "translation_y": 0, "scale": 1, "padding": [0, 0, 0, 0],
            "rows": 1, "cols": 1, "base_grid": [[700, 10]]}
    with pytest.raises(ValueError, match="lies outside the 640 x 480 image"):
        cal.validate_records({"rectify": rect}, "stereo-nir-640x480")
    assert any("1280 x 800" in c for c in cal.validate_records({"rectify": rect}, "stereo-nir-1280x800"))



# Every save is read back and compared, record by record: a bit of the
# record's first byte that stays set when programmed makes each of them
# fail with VerifyError.
@pytest.mark.parametrize("stuck,save", [
    ("0x30000/0x80", "cal.save_marker_config(cal.MarkerConfig(1, 2, 3, 4, 0.5, 6, 7, 8, 9, 10, 11), 0)"),
    ("0x31000/0x01", "cal.save_extra_params([1.0, 2.0], 0)"),
    ("0x32000/0x80", "cal.save_sensor_type('stereo-nir-1280x800', 0)"),
    ("0x34000/0x01", "cal.save_rectify_config(cal.RectifyConfig.with_default_grid(2, 2), 0)"),
])
def test_every_save_compares_what_it_reads_back(stuck, save):
    result = run_child(f"0:stuck={stuck}", f"""
        {save}
        return "saved"
    """)
    assert result.get("error") == "VerifyError", result
