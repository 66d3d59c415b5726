"""The library's safety rules reach Python unchanged: guarded flash
writes, backups that never replace a file, restore by the identity rule."""

from __future__ import annotations

import pytest

from conftest import run_child


@pytest.mark.parametrize("addr,length,refused", [
    (0x30000, 4, True),        # the calibration records
    (0x2FFFC, 8, True),        # running into them
    (0x3FA00, 24, True),       # the second identification block's sector
    (0x19000, 1, True),        # the first block's sector
    (0x2FFF8, 8, False),       # ending right before the records
    (0x35000, 16, False),      # the free area
])
def test_flash_writes_are_guarded(addr: int, length: int, refused: bool) -> None:
    result = run_child("0:fresh", f"""
        with orvex.Camera(0) as cam:
            before = cam.flash.read(0, 0x40000)
            try:
                cam.flash.write({addr}, b"\\x00" * {length})
            except orvex.RefusedError as e:
                return ["refused", str(e), cam.flash.read(0, 0x40000) == before]
            return ["written", cam.flash.read({addr}, {length}).hex()]
    """)
    assert "ok" in result, result
    if refused:
        assert result["ok"][0] == "refused"
        assert "--include-calibration" in result["ok"][1]
        assert result["ok"][2], "a refusal changes nothing"
    else:
        assert result["ok"] == ["written", "00" * length]


def test_an_included_write_goes_ahead() -> None:
    result = run_child("0:fresh", """
        with orvex.Camera(0) as cam:
            cam.flash.write(0x30000, b"\\x12\\x34", include_calibration=True)
            return cam.flash.read(0x30000, 2).hex()
    """)
    assert result == {"ok": "1234"}


def test_the_same_refusal_as_the_tool() -> None:
    result = run_child("0:", """
        with orvex.Camera(0) as cam:
            try:
                cam.flash.update(0x30000, b"\\x00")
            except orvex.RefusedError as e:
                return str(e)
    """)
    assert result["ok"].startswith("the sectors 0x30000-0x30FFF include the unit's calibration records")


def test_backup_never_replaces_a_file_and_restores_the_same_unit(tmp_path) -> None:
    keep = tmp_path / "keep.json"
    keep.write_text("mine")
    result = run_child("0:", f"""
        with orvex.Camera(0) as cam:
            cam.backup_dir = {str(tmp_path / 'backups')!r}
            try:
                cam.backup({str(keep)!r})
                return "replaced"
            except orvex.RefusedError as e:
                refused = str(e)
            doc = cam.backup({str(tmp_path / 'b.json')!r})
            cam.flash.write(0x30000, b"\\x00", include_calibration=True)
            done = cam.restore({str(tmp_path / 'b.json')!r})
            return [refused, doc["good"], done["match"], cam.flash.read(0x30000, 1) != b"\\x00"]
    """)
    assert "ok" in result, result
    refused, good, match, restored = result["ok"]
    assert "never replaces a file" in refused
    assert keep.read_text() == "mine"
    assert good and match == "same" and restored


def test_restore_refuses_a_block_at_the_other_location(tmp_path) -> None:
    backup = tmp_path / "b.json"
    made = run_child("0:", f"""
        with orvex.Camera(0) as cam:
            cam.backup_dir = {str(tmp_path / 'backups')!r}
            return cam.backup({str(backup)!r})["good"]
    """)
    assert made == {"ok": True}
    result = run_child("0:id2", f"""
        with orvex.Camera(0) as cam:
            before = cam.flash.read(0, 0x40000)
            try:
                cam.restore({str(backup)!r})
                return "restored"
            except orvex.RefusedError as e:
                return [str(e), cam.flash.read(0, 0x40000) == before]
    """)
    assert "ok" in result, result
    assert "different locations" in result["ok"][0] and "--force" in result["ok"][0]
    assert result["ok"][1]
