"""A device that hangs up (is unplugged) in the middle of an exchange."""

import subprocess
import sys
import time
import uuid

import pytest

import TavixHardwareAPI as api
from pty_device import floats

ZEROS = [0.0, 0.0, 0.0]
ZERO_STATE = (ZEROS, ZEROS)

# Each operation, the bytes it sends, the start of a reply that never completes, and
# the value it gives when the exchange fails.
ARM_OPERATIONS = [
    ("device_wakeup", (), b"\x0a", b"\x0b\x34\x12", (0, 0, 0, 0, [0] * 16)),
    ("device_wakeup_dict", (), b"\x0a", b"\x0b\x34",
     {"device_id": 0, "device_model_number": 0, "hardware_version": 0, "firmware_version": 0,
      "device_id_ext": uuid.UUID(int=0)}),
    ("get_device_id", (), b"\x0d\xd1", b"\x0d\xd1\x10\x01", uuid.UUID(int=0)),
    ("get_firmware_version", (), b"\x0d\xd2", b"\x0d", uuid.UUID(int=0)),
    ("get_motor_currents", (), b"\xab", b"\xab" + floats(1.0), ZEROS),
    ("get_device_orientation", (), b"\x0c", b"\x0c" + floats(1.0), [0.0] * 4),
    ("get_power_status", (), b"\xac", b"", False),
    ("get_temperature", (), b"\xaa", b"\xaa\x00", 0.0),
    ("end_effector_force", ([1.0, 2.0, 3.0],), b"\x2a" + floats(1, 2, 3), b"\x2b" + floats(1.0), ZERO_STATE),
    ("joint_torques", (ZEROS,), b"\x1a" + floats(0, 0, 0), b"\x1b" + floats(1.0, 2.0), ZERO_STATE),
    ("end_effector_position", (ZEROS,), b"\x2c" + floats(0, 0, 0), b"\x2b", ZERO_STATE),
    ("joint_angles", (ZEROS,), b"\x1c" + floats(0, 0, 0), b"", ZERO_STATE),
    ("get_end_effector_position", (True,), b"\x2a" + floats(0, 0, 0), b"\x2b" + floats(5.0), ZERO_STATE),
    ("ReceiveCurrent", ([7.0, 7.0, 7.0],), b"", b"\xab" + floats(1.0), [7.0, 7.0, 7.0]),
]


class CountingHandle(api.Handle):
    calls = 0

    def OnReceiveHandleStatusMessage(self, *arguments):
        CountingHandle.calls += 1


HANDLE_OPERATIONS = [
    ("Receive", (), b"", b"\xda\x01\x00\x00\x05" + floats(0.5), 5),
    ("GetGantrelStatus", (), b"", b"\xda\x01\x02",
     {"device_id": 0, "quaternion": [0.0] * 4, "error_flag": 1, "hall_effect_sensor_level": 0, "buttons": 0,
      "battery_level": 0.0}),
]


# The device side runs in another process, which holds the last descriptor of the
# device's end: some operations keep the interpreter lock while they wait, so no Python
# thread of this process could answer them. Its exit hangs the port up.
DEVICE_SCRIPT = """
import os, select, sys, time
fd, request, partial = int(sys.argv[1]), bytes.fromhex(sys.argv[2]), bytes.fromhex(sys.argv[3])
print("ready", flush=True)
received = b""
while len(received) < len(request) and select.select([fd], [], [], 2.0)[0]:
    received += os.read(fd, len(request) - len(received))
os.write(fd, partial)
time.sleep(0.02)
"""


def run_through_hang_up(device, call, request, partial_reply):
    """Calls while the device takes the request, sends part of a reply and hangs up;
    returns the result, the wall time and the CPU time of the call."""
    peer = subprocess.Popen(
        [sys.executable, "-c", DEVICE_SCRIPT, str(device.master), request.hex(), partial_reply.hex()],
        pass_fds=[device.master], stdout=subprocess.PIPE)
    device.hang_up()  # the peer's descriptor is now the last one
    assert peer.stdout.readline() == b"ready\n"
    wall, cpu = time.monotonic(), time.thread_time()
    result = call()
    wall, cpu = time.monotonic() - wall, time.thread_time() - cpu
    assert peer.wait(5) == 0
    peer.stdout.close()
    return result, wall, cpu


@pytest.mark.parametrize("name, arguments, request_bytes, partial_reply, failure", ARM_OPERATIONS,
                         ids=[operation[0] for operation in ARM_OPERATIONS])
def test_arm_operations_fail_at_once_when_the_device_hangs_up(device, stream, name, arguments, request_bytes,
                                                              partial_reply, failure):
    arm = api.Morvek3(stream)
    method = getattr(arm, name)
    result, wall, cpu = run_through_hang_up(device, lambda: method(*arguments), request_bytes, partial_reply)
    assert result == failure
    assert wall < 0.5, "the hang-up ends the wait, not the 5-second time-out"
    assert cpu < 0.05, "waiting for the device must not spin"

    later = time.monotonic()
    assert method(*arguments) == failure
    assert time.monotonic() - later < 0.1, "later calls fail fast"


@pytest.mark.parametrize("name, arguments, request_bytes, partial_reply, failure", HANDLE_OPERATIONS,
                         ids=[operation[0] for operation in HANDLE_OPERATIONS])
def test_handle_operations_fail_at_once_when_the_device_hangs_up(device, stream, name, arguments, request_bytes,
                                                                 partial_reply, failure):
    handle = CountingHandle(stream)
    result, wall, _ = run_through_hang_up(device, lambda: getattr(handle, name)(*arguments), request_bytes,
                                          partial_reply)
    if name == "Receive":
        assert result < 21 and CountingHandle.calls == 0, "an incomplete message reaches no callback"
    else:
        assert result == failure
    assert wall < 0.5


def test_requests_to_a_hung_up_port_return_normally(device, stream):
    arm, handle = api.Morvek3(stream), api.Handle(stream)
    device.hang_up()
    arm.SendAngle([1.0, 2.0, 3.0])
    arm.RequestCurrent()
    handle.SendHandleState(1, 1, 7)
    handle.RequestStatus()
    assert handle.Receive() == -1
