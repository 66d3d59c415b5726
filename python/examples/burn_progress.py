#!/usr/bin/env python3
"""Burns a firmware image with a progress bar, keeping the calibration.

    burn_progress.py firmware.bin [-d 0] [--quick] [--no-keep]

A burn erases the whole flash, calibration records included; unless
--no-keep is given they are read first and saved again afterwards.

Under the virtual camera, burning the camera's own firmware back:
    orvex-vcam --state cam.bin -- python3 -c \
        "import orvex; c = orvex.Camera(0); open('fw.bin', 'wb').write(c.flash.read(0, 0x30000))"
    orvex-vcam --state cam.bin -- python3 burn_progress.py fw.bin
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import orvex
from orvex import calibration as cal


def bar(fraction: float, width: int = 40) -> None:
    done = int(fraction * width)
    sys.stderr.write(f"\r[{'#' * done}{'.' * (width - done)}] {fraction * 100:5.1f}%")
    if fraction >= 1.0:
        sys.stderr.write("\n")
    sys.stderr.flush()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("image", type=Path)
    ap.add_argument("-d", "--device", type=int, default=0, help="video index (default 0)")
    ap.add_argument("--quick", action="store_true", help="verify 8 bytes per KiB instead of every byte")
    ap.add_argument("--no-keep", action="store_true", help="do not restore the calibration records")
    args = ap.parse_args()
    image = args.image.read_bytes()
    try:
        kept = None
        if not args.no_keep:
            kept = (cal.read_marker_config(args.device), cal.read_sensor_type(args.device),
                    cal.read_extra_params(5, args.device), cal.read_rectify_config(args.device))
        with orvex.Camera(args.device) as cam:
            cam.burn(image, progress=bar, full_check=not args.quick)
            version = cam.firmware_version()
        print(f"burned {args.image} ({len(image)} bytes), firmware {version.code}")
        if kept:
            marker, sensor_type, params, rectify = kept
            cal.save_marker_config(marker, args.device)
            cal.save_sensor_type(sensor_type, args.device)
            cal.save_extra_params(params, args.device)
            cal.save_rectify_config(rectify, args.device)
            print("calibration records restored and verified")
    except orvex.OrvexError as e:
        print(f"\n{type(e).__name__}: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
