#!/usr/bin/env python3
"""Lists what is on each serial port, then opens the arm if there is exactly one.

    python examples/find_devices.py [--dev DIR] [--timeout SECONDS]

scan() wakes the device on every port at once and waits for the replies together, so
it takes about one time-out (half a second by default) however many ports there are.
A port another program holds is reported busy and left alone. open_arm() does the same
and opens the arm it finds; give it uuid= to choose among several.
"""

import argparse

import TavixHardwareAPI as api


def describe(record: api.ScanRecord) -> str:
    if record.arm is not None:
        return "uuid %s, device id %d" % (record.arm.uuid, record.arm.device_id)
    if record.handle is not None:
        return "device id %d" % record.handle.device_id
    return record.note or ""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dev", default="/dev", help="device directory (default /dev)")
    parser.add_argument("--timeout", type=float, default=0.5, help="seconds each device has to answer")
    args = parser.parse_args()

    records = api.scan(args.timeout, device_directory=args.dev)
    for record in records:
        usb = " [USB %04x:%04x %s]" % (record.usb.vendor_id, record.usb.product_id, record.usb.serial_number) \
            if record.usb is not None else ""
        print("%s  %s  %s%s" % (record.path, record.kind, describe(record), usb))
    if not records:
        print("no serial ports in %s" % args.dev)

    if sum(record.kind == "arm" for record in records) == 1:
        arm = api.open_arm(scan_timeout=args.timeout, device_directory=args.dev, timeout=1.0)
        info = arm.device_wakeup_dict()
        print("opened the arm: device id %d, model %d" % (info["device_id"], info["device_model_number"]))


if __name__ == "__main__":
    main()
