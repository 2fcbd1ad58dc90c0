#!/usr/bin/env python3
"""Lists the arms and handles the module's detection finds.

    python examples/detect_devices.py

Detection looks at the serial ports in /dev whose names contain ttyACM (USB CDC-ACM:
arms), ttyUSB (USB serial adapters: wired handles) or rfcomm (Bluetooth: wireless
handles), wakes whatever is on each and keeps the ports whose device answers as the
kind asked for. The ports are probed one after another, and a port with nothing
answering on it costs a time-out: several seconds each. Found ports can be given to the
other examples (haptic_demo.py --port, handle_callbacks.py PORT).
"""

import time
from typing import Callable, List, Tuple

import TavixHardwareAPI as api

Detection = Callable[[], List[str]]

DETECTIONS: List[Tuple[str, Detection]] = [
    ("Morvek3 arms (detect_morvek3s, ttyACM ports)", api.detect_morvek3s),
    ("Handles on any port (detect_handles)", api.detect_handles),
    ("Wired handles (detect_wired_handles, ttyUSB ports)", api.detect_wired_handles),
    ("Wireless handles (detect_wireless_handles, rfcomm ports)", api.detect_wireless_handles),
]


def show(heading: str, detect: Detection) -> None:
    print(heading + ":", flush=True)  # shown before the probes, which may take a while
    started = time.monotonic()
    ports = detect()
    for port in ports:
        print("  " + port)
    if not ports:
        print("  none found")
    print("  (%.1f s)" % (time.monotonic() - started))


def main() -> None:
    print("Probing serial ports; a port where nothing answers takes several seconds.\n")
    for heading, detect in DETECTIONS:
        show(heading, detect)


if __name__ == "__main__":
    main()
