"""The station archive from Python: operations run from Python are recorded
by the library exactly as orvexctl's are (same kinds, same unit, same
facts), the archive reads back through orvex.archive, and an archive that
cannot be used is a warning for an operation and an error for a reader.

Each test that writes runs on a camera of its own (a child process under
the virtual camera launcher), with its archive in the test's folder.
"""

from __future__ import annotations

import os
import subprocess

import pytest

from conftest import run_child

from orvex import archive

# The default profile's unit.
UNIT = ("OG", 123)

# Backs the camera up, then reinstalls its own firmware, recording both in
# ARCHIVE (given as a keyword, or through $ORVEX_ARCHIVE); returns the
# backup's result.
_RECORD = """
    import os
    backups = {tmp!r}
    {setup}
    with orvex.Camera(0{archive_kw}) as cam:
        cam.backup_dir = backups
        doc = cam.backup(os.path.join(backups, "python-backup.json"))
        image = cam.flash.read(0, 0x30000)
        cam.burn(image, allow_reinstall=True)
        ranges = {{r["addr"]: cam.flash.read(int(r["addr"], 16), r["length"]).hex()
                  for r in doc["document"]["ranges"]}}
    return {{"document": doc["document"], "flash": ranges}}
"""


def _orvexctl(tmp_path, *args: str) -> subprocess.CompletedProcess:
    launcher = os.environ["ORVEX_VCAM_BIN"]
    tool = os.path.join(os.path.dirname(launcher), "orvexctl")
    env = dict(os.environ, XDG_STATE_HOME=str(tmp_path / "state"), ORVEX_LOCK_DIR=str(tmp_path))
    return subprocess.run([launcher, "--in-process", "--config", "0:profile=default", "--", tool, *args],
                          capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path)


def _record(tmp_path, *, keyword: bool = True, where: str = "") -> dict:
    where = where or str(tmp_path / "line.sqlite")
    body = _RECORD.format(tmp=str(tmp_path), archive_kw=f", archive={where!r}" if keyword else "",
                          setup="" if keyword else f"os.environ['ORVEX_ARCHIVE'] = {where!r}")
    result = run_child("0:profile=default", body)
    assert "ok" in result, result
    return result["ok"]


# What must match between a tool's record and the other's: everything but
# who issued the command and when.
_FACTS = ("kind", "state", "unit_tag", "unit_number", "chip", "method", "verification", "image_length",
          "image_sha256", "exit_code", "result")


def test_operations_from_python_are_recorded_as_orvexctl_records_them(tmp_path):
    _record(tmp_path)
    line = str(tmp_path / "line.sqlite")
    from_python = archive.open(line).history(UNIT)["operations"]
    assert [o["kind"] for o in from_python] == ["backup", "burn"]
    assert all(o["command"] == "python3 orvex" for o in from_python)

    r = _orvexctl(tmp_path, "--archive", line, "-q", "flash", "dump", "-o", "fw-full.bin")
    assert r.returncode == 0, r.stderr
    with open(tmp_path / "fw-full.bin", "rb") as f:
        (tmp_path / "fw.bin").write_bytes(f.read()[:0x30000])
    for args in (["backup", "-o", "tool-backup.json"], ["burn", "--allow-reinstall", "fw.bin"]):
        r = _orvexctl(tmp_path, "--archive", line, *args)
        assert r.returncode == 0, r.stderr
    ops = archive.open(line).history("OG 123")["operations"]
    assert len(ops) == 4
    from_tool = [o for o in ops if o["command"] != "python3 orvex"]
    for mine, theirs in zip(from_python, from_tool):
        assert {k: mine.get(k) for k in _FACTS} == {k: theirs.get(k) for k in _FACTS}
        assert mine["firmware_before"] == theirs["firmware_before"]
    assert from_python[1]["firmware_after"] == from_tool[1]["firmware_after"] is not None


def test_the_environment_names_the_archive_as_for_orvexctl(tmp_path):
    _record(tmp_path, keyword=False, where=str(tmp_path / "env.sqlite"))
    status = archive.open(tmp_path / "env.sqlite").status()
    assert (status["operations"], status["interrupted"], status["failed"]) == (2, 0, 0)
    # An empty name records nothing, whatever the environment says.
    result = run_child("0:profile=default", f"""
        import os
        os.environ["ORVEX_ARCHIVE"] = {str(tmp_path / "env.sqlite")!r}
        with orvex.Camera(0, archive="") as cam:
            cam.backup_dir = {str(tmp_path)!r}
            cam.backup()
        return True
    """)
    assert result == {"ok": True}
    assert archive.open(tmp_path / "env.sqlite").status()["operations"] == 2


def test_calibrations_come_back_as_the_bytes_the_backup_holds(tmp_path):
    backed = _record(tmp_path)
    cals = archive.open(tmp_path / "line.sqlite").calibrations(UNIT)
    # The backup and the burn's own backup saw the same calibration: kept once.
    assert len(cals) == 1
    c = cals[0]
    doc = backed["document"]
    expected = b"".join(bytes.fromhex(r["data"]) for r in doc["ranges"])
    assert isinstance(c.raw, bytes) and c.raw == expected
    assert expected == b"".join(bytes.fromhex(h) for h in backed["flash"].values())
    assert c.document["ranges"] == doc["ranges"]
    assert (c.unit, c.good, c.first, c.chip) == (UNIT, True, True, doc["device"]["chip_id"])
    import hashlib
    assert c.sha256 == hashlib.sha256(expected).hexdigest()
    summary = archive.open(tmp_path / "line.sqlite").summary()
    assert (summary["line"]["burns"], summary["line"]["passed_burns"], summary["line"]["units"]) == (1, 1, 1)


@pytest.mark.parametrize("unit", ["OG 249", ("OG", 249), "OF 7"])
def test_a_unit_the_archive_never_saw_has_no_history(tmp_path, unit):
    a = archive.open(tmp_path / "empty.sqlite")
    h = a.history(unit)
    assert (h["operations"], h["calibrations"]) == ([], [])
    assert a.calibrations(unit) == []


def test_an_archive_that_cannot_be_opened_raises(tmp_path):
    (tmp_path / "text").write_text("this is not an archive\n")
    for where in (tmp_path / "no such folder" / "a.sqlite", tmp_path / "text", "postgresql:///line"):
        with pytest.raises(OSError):
            archive.open(where)
    assert (tmp_path / "text").read_text() == "this is not an archive\n"
    with pytest.raises(ValueError):
        archive.open("")
    a = archive.open(tmp_path / "a.sqlite")
    for bad in ("123", "OG", ("OG", "123"), ("OG", True), ("OG", 1, 2)):
        with pytest.raises(ValueError):
            a.history(bad)  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        a.summary(since="yesterday")


def test_an_archive_that_cannot_be_written_warns_and_the_operation_goes_on(tmp_path):
    where = str(tmp_path / "no such folder" / "a.sqlite")
    result = run_child("0:profile=default", f"""
        import warnings
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            with orvex.Camera(0, archive={where!r}) as cam:
                cam.backup_dir = {str(tmp_path)!r}
                doc = cam.backup()
        return {{"good": doc["good"], "recorded": doc["archive"]["recorded"],
                 "warnings": [(w.category.__name__, str(w.message)) for w in seen]}}
    """)
    r = result["ok"]
    assert (r["good"], r["recorded"]) == (True, False)
    assert [w[0] for w in r["warnings"]] == ["ArchiveWarning"]
    assert "not recorded" in r["warnings"][0][1] and "no such folder" in r["warnings"][0][1]


def test_a_station_run_from_python_is_one_event(tmp_path):
    a = archive.open(tmp_path / "line.sqlite")
    done = a.record_station_run([{"serial": "S0", "exit_code": 0}], 0, command="python3 line.py")
    assert done["recorded"] is True
    s = a.status()
    assert (s["operations"], s["events"]) == (1, 2)
    with pytest.raises(ValueError):
        a.record_station_run([], "no")  # type: ignore[arg-type]
