#!/usr/bin/env python3
"""How long scan() takes over 8 ports: all answering, half silent, all busy.

    python bench/bench_scan.py [--runs N] [--timeout SECONDS] [--detection]

Plays the devices with tavix-sim (arms on ttyACM0-3, handles on ttyUSB0-3) and stands
silent pseudo-terminals in for ports without a device, all linked into a device
directory of its own. A busy port is one this process holds with a Port. Prints the
median and the slowest of N scans per case. With --detection also times, once, the
sequential probes of `tavix detect` (the library's arm probe on the ttyACM ports, its
handle probe on every port, one after another) over the half-silent ports: about 40 s.
"""

import argparse
import contextlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterator, List

import TavixHardwareAPI as api
from tavix import simulator

# The silent ports are the tests' pseudo-terminal device, which nobody plays.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "testing" / "python"))
from pty_device import PtyDevice  # noqa: E402

PORTS = ["ttyACM%d" % n for n in range(4)] + ["ttyUSB%d" % n for n in range(4)]


@contextlib.contextmanager
def silent_port(link: Path) -> Iterator[None]:
    """A pseudo-terminal nobody answers on, linked as `link`."""
    device = PtyDevice()
    link.symlink_to(device.path)
    try:
        yield
    finally:
        device.close()


def device_for(name: str, dev: Path) -> "contextlib.AbstractContextManager[object]":
    kind = "arm" if name.startswith("ttyACM") else "handle"
    return simulator.running(kind, "--link", str(dev / name))


def timed(runs: int, scan: Callable[[], List[api.ScanRecord]]) -> str:
    seconds = []
    kinds = ""
    for _ in range(runs):
        started = time.monotonic()
        records = scan()
        seconds.append(time.monotonic() - started)
        kinds = ", ".join("%d %s" % (sum(r.kind == k for r in records), k)
                          for k in ("arm", "handle", "silent", "busy") if any(r.kind == k for r in records))
    return "median %.1f ms, slowest %.1f ms (%s)" % (1000 * statistics.median(seconds), 1000 * max(seconds), kinds)


def detection_seconds(dev: Path) -> float:
    tool = shutil.which("tavix", path=str(Path(sys.executable).parent)) or shutil.which("tavix")
    if tool is None:
        raise SystemExit("tavix, the command-line tool, is not beside python nor on PATH")
    started = time.monotonic()
    subprocess.run([tool, "detect", "--dev", str(dev)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True)
    return time.monotonic() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--timeout", type=float, default=0.5)
    parser.add_argument("--detection", action="store_true")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        dev = Path(directory)

        def scan() -> List[api.ScanRecord]:
            return api.scan(args.timeout, device_directory=dev)

        with contextlib.ExitStack() as devices:
            for name in PORTS:
                devices.enter_context(device_for(name, dev))
            print("8 ports, all answering:  " + timed(args.runs, scan))
        for name in PORTS:
            (dev / name).unlink(missing_ok=True)

        with contextlib.ExitStack() as devices:
            for name in PORTS:
                silent = name.endswith(("2", "3"))
                devices.enter_context(silent_port(dev / name) if silent else device_for(name, dev))
            print("8 ports, 4 silent:       " + timed(args.runs, scan))
            if args.detection:
                print("  tavix detect, probing one port after another: %.1f s" % detection_seconds(dev))
        for name in PORTS:
            (dev / name).unlink(missing_ok=True)

        with contextlib.ExitStack() as ports:
            for name in PORTS:
                ports.enter_context(silent_port(dev / name))
                ports.enter_context(api.Port(dev / name))
            print("8 ports, all busy:       " + timed(args.runs, scan))


if __name__ == "__main__":
    main()
