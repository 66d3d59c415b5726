"""The station archive: every burn, backup, restore, verify and calibration
write on every unit, as libOrvexFactory records it.

    from orvex import archive
    line = archive.open("/var/lib/orvex/line.sqlite")
    print(line.status()["operations"])
    for op in line.history("OG 123")["operations"]:
        print(op["started"], op["kind"], op["state"])

Recording needs nothing from here: a :class:`orvex.Camera` opened with
``archive=`` (or with $ORVEX_ARCHIVE set, as for orvexctl) has the library
record its operations. This module reads the archive back; the library
does the reading, so a file and a line database's URL are the same here.
"""

from __future__ import annotations

import builtins
import json
import os
import tempfile
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Union

from . import _factory

Unit = Union[str, Sequence[Any]]  # "OG 123" or ("OG", 123)


def unit_text(unit: Unit) -> str:
    """A unit as the library names it: "OG 123"."""
    if isinstance(unit, str):
        return unit
    if len(unit) != 2 or not isinstance(unit[0], str) or isinstance(unit[1], bool) or not isinstance(unit[1], int):
        raise ValueError(f"a unit is \"OG 123\" or (tag, number), not {unit!r}")
    return f"{unit[0]} {unit[1]}"


@dataclass(frozen=True)
class Calibration:
    """A calibration the archive keeps of a unit, by its SHA-256: the raw
    bytes of the backed-up ranges and the backup document they came from."""

    sha256: str
    unit: Optional[tuple[str, int]]
    chip: Optional[str]
    good: bool  #: identity and a calibration worth restoring
    first: bool  #: the unit's earliest calibration the line knows (its factory one)
    raw: bytes
    document: dict[str, Any]
    event: Optional[str]  #: the UUID of the operation that saw it
    station: Optional[str]
    utc: str


class Archive:
    """One archive, named by an SQLite file's path or a line database's URL.
    Opening it checks that it can be read (and creates and migrates a
    missing file, as the library does): OSError when it cannot."""

    def __init__(self, where: Union[str, "os.PathLike[str]"]):
        self.where = os.fspath(where)
        if not self.where:
            raise ValueError("name the archive: a file or a URL")
        self.status()

    def _call(self, name: str, *args: Any, operation: str) -> dict[str, Any]:
        fn = getattr(_factory.library(), name)
        return _factory.call_without_camera(operation, lambda r: fn(self.where.encode(), *args, r))

    def status(self) -> dict[str, Any]:
        """Counts ("events", "operations", "interrupted", "failed", "units",
        "calibrations", "pending"), "schema_version" and "station"."""
        return self._call("OrvexFactory_ArchiveStatus", operation="archive status")

    def history(self, unit: Unit) -> dict[str, Any]:
        """The unit's operations, oldest first, each with "kind", "state"
        ("ok", "failed" or "interrupted"), "started", "finished" and what
        the archive knows of it; and its calibrations (without their bytes:
        see :meth:`calibrations`). A unit the archive never saw has none."""
        return self._call("OrvexFactory_ArchiveHistory", unit_text(unit).encode(), operation="archive history")

    def export(self, path: Union[str, "os.PathLike[str]"]) -> dict[str, Any]:
        """Writes every row to ``path`` as JSON lines; returns the counts."""
        return self._call("OrvexFactory_ArchiveExport", os.fspath(path).encode(), operation="archive export")

    def calibrations(self, unit: Unit) -> list[Calibration]:
        """Every calibration the archive keeps of the unit, oldest first,
        with its raw bytes and its backup document. Read through an export,
        the one library call that hands the bytes out."""
        text = unit_text(unit)
        named = self.history(text)["unit"]
        tag, number = named["tag"], named["number"]
        with tempfile.TemporaryDirectory(prefix="orvex-archive-") as tmp:
            path = os.path.join(tmp, "export.jsonl")
            self.export(path)
            with builtins.open(path, encoding="utf-8") as f:
                rows = [json.loads(line)["calibration"] for line in f if line.startswith('{"calibration"')]
        mine = sorted((r for r in rows if r.get("unit_tag") == tag and r.get("unit_number") == number),
                      key=lambda r: r["utc"])
        return [Calibration(sha256=r["sha256"], unit=(tag, number), chip=r.get("chip"), good=bool(r.get("good")),
                            first=i == 0, raw=bytes.fromhex(r["raw"]), document=json.loads(r["backup"]),
                            event=r.get("event"), station=r.get("station"), utc=r["utc"])
                for i, r in enumerate(mine)]

    def summary(self, *, since: Optional[str] = None, until: Optional[str] = None,
                station: Optional[str] = None) -> dict[str, Any]:
        """Units, burns, failed burns, interrupted operations and yield per
        station and UTC day ("rows"), per station ("stations"), per day
        ("days") and for the line ("line"); ``since`` and ``until`` are
        days (YYYY-MM-DD, both included)."""
        options = {k: v for k, v in (("since", since), ("until", until), ("station", station)) if v is not None}
        return self._call("OrvexFactory_ArchiveSummary", json.dumps(options).encode(), operation="archive summary")

    def record_station_run(self, cameras: Sequence[dict[str, Any]], exit_code: int, *,
                           command: Optional[str] = None, started_utc: Optional[str] = None) -> dict[str, Any]:
        """Records a run over several cameras as one "station run" event,
        besides the cameras' own operations: ``cameras`` as dicts with
        "serial", "node" and "exit_code"; ``exit_code`` the run's."""
        run: dict[str, Any] = {"cameras": list(cameras), "exit_code": int(exit_code)}
        if command is not None:
            run["command"] = command
        if started_utc is not None:
            run["started_utc"] = started_utc
        return self._call("OrvexFactory_ArchiveStationRun", json.dumps(run).encode(),
                          operation="record station run")

    def __repr__(self) -> str:
        return f"Archive({self.where!r})"


def open(where: Union[str, "os.PathLike[str]"]) -> Archive:  # noqa: A001 - the module's verb
    """The archive at ``where`` (a file, or a URL the library takes)."""
    return Archive(where)


__all__ = ["Archive", "Calibration", "open", "unit_text"]
