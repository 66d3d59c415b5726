#!/usr/bin/env python3
"""Exports a camera's calibration records to JSON and imports them back.

    calibration_roundtrip.py export calib.json    # camera -> file
    calibration_roundtrip.py import calib.json    # file -> camera (read back and checked)
    calibration_roundtrip.py roundtrip            # both, through a temporary file

Under the virtual camera: orvex-vcam -- python3 calibration_roundtrip.py roundtrip
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
from pathlib import Path

import orvex
from orvex import calibration as cal


def export(index: int, path: Path, params: int) -> dict:
    doc = {
        "marker": cal.read_marker_config(index).to_dict(),
        "sensor_type": cal.read_sensor_type(index),
        "extra_params": cal.read_extra_params(params, index),
        "rectify": cal.read_rectify_config(index).to_dict(),
    }
    # NaN (never-written values) is written as JSON's NaN extension.
    path.write_text(json.dumps(doc, indent=2) + "\n")
    return doc


def import_(index: int, path: Path) -> dict:
    doc = json.loads(path.read_text())
    # Each save reads its record back and raises VerifyError on a difference.
    cal.save_marker_config(cal.MarkerConfig.from_dict(doc["marker"]), index)
    cal.save_sensor_type(doc["sensor_type"], index)
    cal.save_extra_params(doc["extra_params"], index)
    cal.save_rectify_config(cal.RectifyConfig.from_dict(doc["rectify"]), index)
    return doc


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("action", choices=["export", "import", "roundtrip"])
    ap.add_argument("file", nargs="?", type=Path)
    ap.add_argument("-d", "--device", type=int, default=0, help="video index (default 0)")
    ap.add_argument("--params", type=int, default=5, help="extra parameters to export (default 5)")
    args = ap.parse_args()
    try:
        if args.action == "export":
            export(args.device, args.file or Path("calibration.json"), args.params)
        elif args.action == "import":
            import_(args.device, args.file or Path("calibration.json"))
        else:
            with tempfile.TemporaryDirectory() as tmp:
                path = Path(tmp) / "calibration.json"
                before = export(args.device, path, args.params)
                import_(args.device, path)
                after = export(args.device, path, args.params)
                if json.dumps(before) != json.dumps(after):
                    print("records differ after the round trip", file=sys.stderr)
                    return 1
                print(json.dumps(after["marker"]))
                print(f"sensor type {after['sensor_type']!r}, {len(after['extra_params'])} extra parameters, "
                      f"base grid {after['rectify']['rows']} x {after['rectify']['cols']}: round trip ok")
    except orvex.OrvexError as e:
        print(f"{type(e).__name__}: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
