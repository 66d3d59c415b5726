#!/usr/bin/env python3
"""Burns a firmware image with a progress bar per phase, keeping the calibration.

    burn_progress.py firmware.bin [-d 0] [--quick] [--library]

The default burn erases and programs only the sectors the image covers, so
the calibration records and the identification blocks never leave the
flash. --library uses the library's chip-erase burner instead; the
calibration is then backed up first and written back afterwards.

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


def bar(phase: str, done: int, total: int, width: int = 40) -> None:
    fraction = done / total if total > 0 else 1.0
    filled = int(fraction * width)
    sys.stderr.write(f"\r{phase:>14} [{'#' * filled}{'.' * (width - filled)}] {fraction * 100:5.1f}%")
    if done >= total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("image", type=Path)
    ap.add_argument("-d", "--device", type=int, default=0, help="video index (default 0)")
    ap.add_argument("--quick", action="store_true", help="verify 8 bytes per KiB instead of every byte")
    ap.add_argument("--library", action="store_true", help="the library's chip-erase burner")
    ap.add_argument("--allow-older", action="store_true", help="burn an image older than the camera's firmware")
    ap.add_argument("--allow-reinstall", action="store_true", help="burn the firmware version the camera runs")
    args = ap.parse_args()
    image = args.image.read_bytes()
    try:
        with orvex.Camera(args.device) as cam:
            result = cam.burn(image, progress=bar, full_check=not args.quick,
                              method="library" if args.library else "sector", image_name=str(args.image),
                              allow_older=args.allow_older, allow_reinstall=args.allow_reinstall)
            version = cam.firmware_version()
        print(f"burned {args.image} ({len(image)} bytes, {result['method']}), firmware {version.code}")
        print("calibration kept" + (f"; backup {result['backup']}" if result.get("backup") else ""))
    except orvex.OrvexError as e:
        print(f"\n{type(e).__name__}: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
