"""Device access through orvex.Camera against the launcher's default camera."""

import errno

import pytest

import orvex
from conftest import run_child

SCRATCH_SECTOR = 0x35000  # the free area after the calibration records


@pytest.fixture
def cam():
    with orvex.Camera(0) as c:
        yield c


def test_one_camera_per_process():
    with orvex.Camera(0) as cam:
        with pytest.raises(orvex.CameraBusyError):
            orvex.Camera(0)
        # The refused second open left the first one working.
        assert cam.identify().chip_id == 0x15
    assert cam.closed
    with pytest.raises(orvex.CameraClosedError):
        cam.registers.read(0x0200)
    with orvex.Camera(0):
        pass


def test_missing_device_carries_index_and_errno():
    with pytest.raises(orvex.DeviceNotFoundError) as info:
        orvex.Camera(9)
    assert info.value.index == 9
    assert info.value.errno == errno.ENOENT


def test_identification_and_firmware_version(cam):
    ident = cam.identify()
    assert (ident.unit, ident.chip_id, ident.architecture, ident.rom_class) == (
        3, 0x15, orvex.Architecture.FIRST, orvex.RomClass.ROM_64K)
    assert ident.rom_version[:5] == b"215R0"
    fw = cam.firmware_version()
    assert fw.code == "V1501"
    assert len(fw.raw) == 56 and fw.raw[35:] == bytes(21)
    blocks = cam.id_blocks()
    assert [(b.tag, b.number, b.valid) for b in blocks] == [(b"OG", 123, True), (b"\xff\xff", 0, False)]


def test_identification_of_other_cameras():
    result = run_child("0:profile=unit4;1:profile=second-arch;2:profile=webcam", """
        out = []
        for i in range(3):
            with orvex.Camera(i) as cam:
                try:
                    d = cam.identify()
                    out.append([d.unit, d.chip_id, d.architecture.name, d.rom_class.name])
                except orvex.TransferError as e:
                    out.append(e.operation)
        return out
    """)
    assert result["ok"] == [[4, 0x15, "FIRST", "ROM_64K"], [3, 0x85, "SECOND", "ROM_128K"], "identify"]


def test_registers_through_both_paths(cam):
    cam.registers.write(0x0200, b"\x11\x22\x33")
    assert cam.registers.read(0x0200, 3) == b"\x11\x22\x33"
    # The same register through raw selector-1 queries: address, value, and
    # 0xFF in byte 3 to ask for a read.
    cam.xu_write(3, 1, bytes([0x01, 0x02, 0x5A, 0x00]))
    assert cam.registers.read(0x0201) == b"\x5A"
    cam.xu_write(3, 1, bytes([0x02, 0x02, 0x00, 0xFF]))
    assert cam.xu_read(3, 1, 4)[2] == 0x33


def test_failed_transfers_name_what_failed(cam):
    with pytest.raises(orvex.TransferError) as info:
        cam.xu_read(3, 9, 4)  # no such selector
    assert info.value.operation == "xu read"
    # The default camera has no image sensor on its I2C bus.
    with pytest.raises(orvex.TransferError) as info:
        cam.sensor.read(0x6C, 0x3000, 2)
    assert info.value.address == 0x3000


@pytest.mark.parametrize("call", [
    lambda c: c.flash.read(0x3FFFF, 2),
    lambda c: c.flash.read(-1, 1),
    lambda c: c.flash.rewrite_sector(0x3FFF0, bytes(17)),
    lambda c: c.registers.read(0xFFFF, 2),
    lambda c: c.xu_read(3, 1, 0),
    lambda c: c.burn(b""),
])
def test_arguments_outside_the_device_are_refused(cam, call):
    with pytest.raises(ValueError):
        call(cam)


def test_flash_rewrite_and_program(cam):
    data = bytes(range(256)) * 2
    cam.flash.rewrite_sector(SCRATCH_SECTOR + 0x10, data)
    assert cam.flash.read(SCRATCH_SECTOR, 0x10) == b"\xff" * 0x10  # erased below addr
    assert cam.flash.read(SCRATCH_SECTOR + 0x10, len(data)) == data
    # Programming an erased spot works; programming over it can only clear bits.
    tail = SCRATCH_SECTOR + 0x800
    cam.flash.write(tail, b"\xf0\x0f")
    with pytest.raises(orvex.VerifyError) as info:
        cam.flash.write(tail, b"\x0f\x0f")
    assert (info.value.offset, info.value.actual) == (0, b"\x00\x0f")


# Both flash writes of the camera read back and compare: a bit that stays
# set when programmed is a VerifyError naming its offset.
@pytest.mark.parametrize("write", ["write", "rewrite_sector"])
def test_a_flash_write_compares_what_it_reads_back(write):
    result = run_child("0:stuck=0x35011/0x01", f"""
        with orvex.Camera(0) as cam:
            try:
                cam.flash.{write}(0x35010, b"\\x10\\x00\\x10")
            except orvex.VerifyError as e:
                return [e.offset, e.actual.hex()]
            return "saved"
    """)
    assert result == {"ok": [1, "100110"]}


# A range may end exactly at the end of the flash or the register space.
@pytest.mark.parametrize("call,length", [
    pytest.param(lambda c: c.flash.read(0x3FFF0, 0x10), 0x10, id="flash tail"),
    pytest.param(lambda c: c.flash.read(0, 0x40000), 0x40000, id="whole flash"),
    pytest.param(lambda c: c.registers.read(0xFFFF, 1), 1, id="last register"),
    pytest.param(lambda c: c.registers.read(0xFFF0, 0x10), 0x10, id="register tail"),
])
def test_a_range_ending_at_the_end_is_taken(cam, call, length):
    assert len(call(cam)) == length


def test_a_verify_ending_at_the_end_of_the_flash_is_taken(cam):
    tail = cam.flash.read(0x3FFF0, 0x10)
    cam.flash.verify(0x3FFF0, tail)


# A burn may wipe the flash: each runs on a camera of its own, with a
# backup folder of its own.
_BURN = """
    import tempfile
    backups = tempfile.mkdtemp()
    with orvex.Camera(0) as cam:
        image = cam.flash.read(0, 0x30000)
        calibration = cam.flash.read(0x30000, 0x5000)
        phases = []
        def progress(phase, done, total):
            assert 0 <= done <= total
            if not phases or phases[-1] != phase:
                phases.append(phase)
        # The camera's own firmware again: a reinstall.
        doc = cam.burn(image, progress=progress, backup_dir=backups, allow_reinstall=True, {args})
        return {{"same": cam.flash.read(0, len(image)) == image,
                 "code": cam.firmware_version().code,
                 "calibration": ("kept" if cam.flash.read(0x30000, 0x5000) == calibration else
                                 "erased" if cam.flash.read(0x30000, 0x5000) == b"\\xff" * 0x5000 else "other"),
                 "phases": phases, "method": doc["method"], "backup": doc["backup"] is not None}}
"""


@pytest.mark.parametrize("args, method, calibration, phases", [
    ("", "sector", "kept", ["backup", "erase", "program", "verify"]),
    ("method='library'", "library", "kept",
     ["backup", "erase", "program", "verify", "restore", "verify restore", "restore", "verify restore"]),
    ("erase_calibration=True", "library", "erased", ["backup", "erase", "program", "verify"]),
])
def test_burn_keeps_the_calibration_unless_asked(args, method, calibration, phases):
    result = run_child("0:profile=default", _BURN.format(args=args))
    r = result["ok"]
    assert r["same"] and r["code"] == "V1501"
    assert (r["method"], r["calibration"], r["phases"]) == (method, calibration, phases)
    assert r["backup"]


def test_burn_refusals_carry_the_librarys_message():
    result = run_child("0:profile=default", """
        with orvex.Camera(0) as cam:
            before = cam.flash.read(0, 0x40000)
            out = {}
            for name, call in [("short", lambda: cam.burn(before[:0x100])),
                               ("sector and erase", lambda: cam.burn(before[:0x30000], method="sector",
                                                                     erase_calibration=True)),
                               ("method", lambda: cam.burn(before[:0x30000], method="chip"))]:
                try:
                    call()
                    out[name] = "burned"
                except (orvex.OrvexError, ValueError) as e:
                    out[name] = [type(e).__name__, str(e)]
            out["unchanged"] = cam.flash.read(0, 0x40000) == before
            return out
    """)
    r = result["ok"]
    assert r["short"][0] == "RefusedError" and "0x00168" in r["short"][1]
    assert r["method"][0] == "ValueError"
    assert r["sector and erase"][0] == "ValueError" and "--method=library" in r["sector and erase"][1]
    assert r["unchanged"]


def test_burn_progress_exception_surfaces_after_the_burn():
    result = run_child("0:profile=default", """
        import tempfile
        class Stop(orvex.OrvexError):
            pass
        calls = []
        def progress(phase, done, total):
            calls.append(phase)
            raise Stop("cancelled")
        with orvex.Camera(0) as cam:
            image = cam.flash.read(0, 0x4000)
            try:
                cam.burn(image, progress=progress, full_check=False, backup_dir=tempfile.mkdtemp(),
                         allow_reinstall=True)
            except Stop:
                return {"calls": len(calls), "burned": cam.flash.read(0, 0x4000) == image}
    """)
    # The callback runs once, the burn still completes.
    assert result["ok"] == {"calls": 1, "burned": True}


def test_burn_failure_raises():
    # The image fits the camera; its flash stays write-protected.
    result = run_child("0:profile=locked", """
        import tempfile
        with orvex.Camera(0) as cam:
            cam.burn(cam.flash.read(0, 0x30000), backup_dir=tempfile.mkdtemp(), allow_reinstall=True)
    """)
    assert result["error"] == "TransferError"
    assert "still write-protected" in result["message"] and "nothing was erased" in result["message"]


def test_burn_compares_firmware_versions():
    # The code version sits at 0x1F3 on this chip: V1501 on the camera.
    result = run_child("", """
        import tempfile
        out = {}
        with orvex.Camera(0) as cam:
            image = bytearray(cam.flash.read(0, 0x30000))
            for name, code, kw in [("same", b"V1501", {}), ("same allowed", b"V1501", {"allow_reinstall": True}),
                                   ("older", b"V1500", {}), ("older allowed", b"V1500", {"allow_older": True}),
                                   ("newer", b"V1502", {})]:
                image[0x1F3:0x1F8] = code
                try:
                    doc = cam.burn(bytes(image), dry_run=True, backup_dir=tempfile.mkdtemp(), **kw)
                    out[name] = doc["firmware"]["change"]
                except orvex.RefusedError as e:
                    out[name] = "refused: " + str(e).split(";")[0]
        return out
    """)
    assert result["ok"] == {
        "same": "refused: the image holds firmware V1501 CV15.R01.A (2024-06-15), the version the camera runs",
        "same allowed": "same",
        "older": "refused: the image holds firmware V1500 CV15.R01.A (2024-06-15), older than the camera's "
                 "V1501 CV15.R01.A (2024-06-15)",
        "older allowed": "older",
        "newer": "newer",
    }
