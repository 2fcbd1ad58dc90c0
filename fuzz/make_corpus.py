#!/usr/bin/env python3
"""Writes the starting corpus of each harness to fuzz/corpus/<harness>/: a few small,
valid device messages for libFuzzer to mutate. Run it again after changing it; the
files it writes are kept in the repository."""

import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


# Handle replies read by Receive.
INFO = bytes([0xD0, 0x07, 0x34, 0x12, 0x02, 0x03, 0x04])
ERROR = bytes([0xDF, 0x01, 0x00, 0x05])


def status_message(user_data):
    return (bytes([0xDA, 0x34, 0x12, 0x09, 0x1F]) + floats(2.0, -0.5, 0.25, 7.0)
            + bytes([len(user_data)]) + bytes(user_data))


# Compact status frames read by GetGantrelStatus: an 18-byte body that needs no
# stuffing (error flag 0, sensors E5, device 2C, quaternion -1, 0.5, 0.99997, -0.00003,
# battery 255), then END.
BODY = bytes([0x01, 0x01, 0x00, 0xE5, 0x2C, 0x01, 0x01, 0x01,
              0x00, 0x80, 0x00, 0x40, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x01])
CLEAN_FRAME = BODY + bytes([0xC0])
# Body byte 17 is ESC, sent as ESC ESC_ESC: the pair ends right before the END.
STUFFED_AT_END = BODY[:17] + bytes([0xDB, 0xDD, 0xC0])
# The device id is END, sent as ESC ESC_END: the frame is 20 bytes long.
STUFFED_INSIDE = BODY[:4] + bytes([0xDB, 0xDC]) + BODY[5:] + bytes([0xC0])
END_INSIDE = BODY[:4] + bytes([0xC0]) + BODY[5:] + bytes([0xC0])

# Arm operations, by the index the harness gives them, and their replies.
WAKEUP, RECEIVE_INFO, DEVICE_ID, FIRMWARE_VERSION = 0, 1, 2, 3
END_EFFECTOR_FORCE, JOINT_TORQUES = 4, 6
MOTOR_CURRENTS, ORIENTATION, POWER, TEMPERATURE, RECEIVE_CURRENT = 8, 9, 10, 11, 12
ONBOARD_POSITION, HOST_POSITION, ADJUST_ANGLES, SEND_WAKEUP = 13, 14, 15, 16

DEVICE_INFO = bytes([0x0B, 0x34, 0x12, 0x05, 0x02, 0x07]) + bytes(range(16))
JOINT_STATE = bytes([0x1B]) + floats(10.0, -20.0, 30.0, 0.5, 0.25, -1.0)

FILES = {
    "fuzz_handle_receive": {
        "info": INFO,
        "status_no_user_data": status_message([]),
        "status_three_bytes_user_data": status_message([0xAA, 0xBB, 0xCC]),
        "error": ERROR,
        "one_of_each": INFO + status_message([1]) + ERROR,
        "unknown_code_then_error": bytes([0x55]) + ERROR,
    },
    "fuzz_gantrel_status": {
        "clean_frame": bytes([0xDA]) + CLEAN_FRAME,
        "stuffed_at_end": bytes([0xDA]) + STUFFED_AT_END,
        "stuffed_inside": bytes([0xDA]) + STUFFED_INSIDE,
        "end_inside": bytes([0xDA]) + END_INSIDE,
        "stray_bytes_then_frame": bytes([0x55, 0xD0, 0xDA]) + CLEAN_FRAME,
        "short_frame": bytes([0xDA, 0x01, 0x01, 0x01]),
    },
    "fuzz_unstuff": {
        "clean_frame": CLEAN_FRAME,
        "stuffed_at_end": STUFFED_AT_END,
        "stuffed_inside": STUFFED_INSIDE,
        "end_inside": END_INSIDE,
    },
    "fuzz_arm_exchanges": {
        "device_wakeup": bytes([WAKEUP]) + DEVICE_INFO,
        "receive_device_info": bytes([RECEIVE_INFO]) + DEVICE_INFO,
        "device_id": bytes([DEVICE_ID, 0x0D, 0xD1, 0x10]) + bytes(range(0x20, 0x30)),
        "device_id_wrong_length": bytes([DEVICE_ID, 0x0D, 0xD1, 0x0F]) + bytes(range(0x20, 0x30)),
        "firmware_version": bytes([FIRMWARE_VERSION, 0x0D, 0xD2, 0x10]) + bytes(range(0x40, 0x50)),
        "end_effector_force": bytes([END_EFFECTOR_FORCE, 0x2B]) + floats(0.1, 0.2, 0.3, 0.0, -0.5, 1.0),
        "joint_torques": bytes([JOINT_TORQUES]) + JOINT_STATE,
        "motor_currents": bytes([MOTOR_CURRENTS, 0xAB]) + floats(0.5, 1.5, -2.5),
        "orientation": bytes([ORIENTATION, 0x0C]) + floats(0.0, 0.7071, 0.0, 0.7071),
        "power_on": bytes([POWER, 0xAC, 0x01]),
        "temperature": bytes([TEMPERATURE, 0xAA]) + floats(36.6),
        "receive_current": bytes([RECEIVE_CURRENT, 0xAB]) + floats(0.5, 1.5, -2.5),
        "onboard_position": bytes([ONBOARD_POSITION, 0x2B]) + floats(0.1, 0.2, 0.3, 0.0, 0.0, 0.0),
        "host_position": bytes([HOST_POSITION]) + JOINT_STATE,
        "adjust_angles": bytes([ADJUST_ANGLES]) + JOINT_STATE,
        "send_only_leaves_reply": bytes([SEND_WAKEUP]) + DEVICE_INFO,
    },
}


def main():
    for harness, files in FILES.items():
        directory = CORPUS / harness
        directory.mkdir(parents=True, exist_ok=True)
        for name, content in files.items():
            (directory / name).write_bytes(content)


if __name__ == "__main__":
    main()
