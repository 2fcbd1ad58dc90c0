"""Port: a stream that is open from construction on, and on which every failed device
operation raises instead of returning values that look like data."""

import errno
import struct
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest

import TavixHardwareAPI as api

TIMEOUT = 0.2  # seconds: the devices' reply time-out in these tests


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


def state_reply(code, *values):
    return bytes([code]) + floats(*values)


@pytest.fixture
def port(device):
    with api.Port(device.path, timeout=TIMEOUT) as opened:
        yield opened


@pytest.fixture
def arm(port):
    return api.Morvek3(port)


# --- the port itself ------------------------------------------------------------------


def test_exceptions_subclass_the_built_in_ones():
    assert issubclass(api.DeviceError, Exception)
    assert issubclass(api.DeviceTimeoutError, api.DeviceError) and issubclass(api.DeviceTimeoutError, TimeoutError)
    assert issubclass(api.PortError, api.DeviceError) and issubclass(api.PortError, OSError)
    assert issubclass(api.ProtocolError, api.DeviceError)
    assert not issubclass(api.ProtocolError, OSError)
    assert api.PortError.__module__ == "TavixHardwareAPI"


def test_a_port_that_cannot_be_opened_raises_with_errno_and_path(device):
    with pytest.raises(api.PortError) as missing:
        api.Port("/dev/does-not-exist-tty")
    assert missing.value.errno == errno.ENOENT
    assert missing.value.filename == "/dev/does-not-exist-tty"
    assert str(missing.value) == "cannot open /dev/does-not-exist-tty: [2] No such file or directory"

    with api.Port(device.path):
        with pytest.raises(api.PortError) as busy:
            api.Port(device.path)
    assert busy.value.errno == errno.EWOULDBLOCK
    assert str(busy.value).startswith("cannot open %s: [%d] " % (device.path, errno.EWOULDBLOCK))
    assert "another program holds the port" in str(busy.value)

    with pytest.raises(ValueError):
        api.Port(device.path + "\0")
    with pytest.raises(TypeError):
        api.Port(5)


def test_members_in_waiting_reset_and_repr(device):
    port = api.Port(device.path.encode())  # bytes name the same port
    assert isinstance(port, api.SerialStream)
    assert port.path == device.path and port.is_open and port.timeout == 5.0
    port.timeout = 0.5
    assert port.timeout == 0.5
    port.timeout = None
    assert port.timeout is None
    with pytest.raises(ValueError):
        port.timeout = 0
    assert repr(port) == "<TavixHardwareAPI.Port path=%r open timeout=None>" % device.path

    device.send(b"\x01\x02\x03")
    device.wait_queued(3)
    assert port.in_waiting == 3
    port.reset_input_buffer()
    assert port.in_waiting == 0

    port.close()
    port.close()  # closing twice is fine
    assert not port.is_open
    assert repr(port).endswith(" closed timeout=None>")
    with pytest.raises(api.PortError) as closed:
        port.in_waiting
    assert closed.value.errno == errno.EBADF
    assert str(closed.value) == "Port.in_waiting on %s: [9] Bad file descriptor (the port is closed)" % device.path


def test_a_time_out_below_one_microsecond_is_refused_none_is_no_limit(device):
    for tiny in (1e-300, 5e-7, 0.0, -1.0, float("nan")):
        with pytest.raises(ValueError, match="at least 1e-06 seconds"):
            api.Port(device.path, timeout=tiny)
    with api.Port(device.path, timeout=1e-6) as port:
        assert port.timeout == 1e-6
        with pytest.raises(ValueError):
            port.timeout = 1e-300
        assert port.timeout == 1e-6
        port.timeout = None
        assert port.timeout is None


def test_a_serial_stream_refuses_a_path_with_a_null_byte_as_port_does(device):
    for name in (device.path + "\0junk", (device.path + "\0junk").encode()):
        with pytest.raises(ValueError, match="embedded null byte in the port path"):
            api.SerialStream(name)


def test_leaving_a_with_block_closes_the_port(device):
    with pytest.raises(KeyError):
        with api.Port(device.path) as port:
            raise KeyError
    assert not port.is_open


# --- devices on a port ------------------------------------------------------------------

# Every device operation, with arguments; each names itself in its exceptions.
ARM_OPERATIONS = [
    ("device_wakeup", ()), ("device_wakeup_dict", ()), ("get_firmware_version", ()), ("get_device_id", ()),
    ("get_motor_currents", ()), ("get_device_orientation", ()), ("get_power_status", ()),
    ("get_temperature", ()), ("end_effector_force", ([0.0] * 3,)), ("get_end_effector_position", ()),
    ("adjust_angles", ([0.0] * 3,)), ("joint_torques", ([0.0] * 3,)), ("end_effector_position", ([0.0] * 3,)),
    ("joint_angles", ([0.0] * 3,)), ("SendDeviceWakeup", ()), ("ReceiveDeviceInfo", ()),
    ("SendForce", ([0.0] * 3,)), ("SendForce", (1.0, 2.0, 3.0)), ("ReceiveState", ()), ("ReceiveJointState", ()),
    ("SendJointTorques", ()), ("SendAngle", ()), ("RequestCurrent", ()), ("ReceiveCurrent", ()),
    ("SendPosition", ()),
]
HANDLE_OPERATIONS = [
    ("SendDeviceWakeup", ()), ("SendHandleState", (1, 1, 7)), ("SendHandleState", (1, 2, b"ab")),
    ("RequestStatus", ()), ("Receive", ()), ("Receive", (5,)), ("GetGantrelStatus", ()),
]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_every_device_operation_on_a_closed_port_raises_port_error_and_sends_nothing(device, port):
    devices = {"Morvek3": api.Morvek3(port), "Handle": api.Handle(port)}
    port.close()
    for kind, operations in (("Morvek3", ARM_OPERATIONS), ("Handle", HANDLE_OPERATIONS)):
        for name, arguments in operations:
            with pytest.raises(api.PortError) as closed:
                getattr(devices[kind], name)(*arguments)
            assert closed.value.errno == errno.EBADF
            assert str(closed.value).startswith("%s.%s on %s: [9] " % (kind, name, device.path))
    assert device.drain() == b""


def test_a_silent_device_raises_one_timeout_after_one_wait(arm, capfd):
    with pytest.raises(api.DeviceTimeoutError, match="no complete reply within 0.2 s"):
        arm.get_device_id()  # two header codes: only the first is waited for
    assert capfd.readouterr().err.count("[err] ") == 1


def answer(device, request_length, reply):
    """Plays the device on a thread: takes a request, then sends `reply`."""
    def take_and_reply():
        device.receive(request_length)
        device.send(reply)
    player = threading.Thread(target=take_and_reply)
    player.start()
    return player


def test_a_wrong_header_raises_protocol_error_once_the_line_is_quiet_and_drained(arm, port, device, capfd):
    player = answer(device, 13, state_reply(0x1B, 1, 2, 3, 4, 5, 6) + bytes(40))  # another command's reply
    with pytest.raises(api.ProtocolError, match="unexpected header code"):
        arm.end_effector_force([0.0] * 3)
    player.join()
    assert capfd.readouterr().err == "", "no discard read waited out"
    assert port.in_waiting == 0

    player = answer(device, 13, state_reply(0x2B, 1, 2, 3, 4, 5, 6))
    assert arm.end_effector_force([0.0] * 3) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    player.join()


def test_a_late_reply_is_dropped_not_taken_for_the_next_one(arm, device):
    player = answer(device, 1, b"")
    with pytest.raises(api.DeviceTimeoutError):
        arm.get_temperature()
    player.join()
    device.send(state_reply(0xAA, 99.0))  # too late
    player = answer(device, 1, state_reply(0xAA, 25.0))
    assert arm.get_temperature() == 25.0
    player.join()


def test_malformed_replies_raise_protocol_error(arm, port, device):
    player = answer(device, 2, b"\x0d\xd1\x0f" + bytes(16))  # an identifier length of 15
    with pytest.raises(api.ProtocolError, match="malformed reply"):
        arm.get_device_id()
    player.join()

    handle = api.Handle(port)
    device.send(b"\xda" + bytes(10) + b"\xc0" + bytes(8))  # END after 10 of 18 body bytes
    with pytest.raises(api.ProtocolError, match="malformed reply"):
        handle.GetGantrelStatus()
    device.send(b"\x55")
    with pytest.raises(api.ProtocolError):
        handle.Receive()


# The queries that keep the interpreter lock on a plain SerialStream, with their replies.
LOCK_KEEPING_QUERIES = [
    ("get_firmware_version", b"\x0d\xd2\x10" + bytes(range(16)), uuid.UUID(bytes=bytes(range(16)))),
    ("get_device_id", b"\x0d\xd1\x10" + bytes(16), uuid.UUID(int=0)),
    ("get_motor_currents", state_reply(0xAB, 1, 2, 3), [1.0, 2.0, 3.0]),
    ("get_device_orientation", state_reply(0x0C, 0, 0, 0, 1), [0.0, 0.0, 0.0, 1.0]),
    ("get_power_status", b"\xac\x01", True),
    ("get_temperature", state_reply(0xAA, 25.0), 25.0),
]


@pytest.mark.parametrize("name, reply, result", LOCK_KEEPING_QUERIES, ids=[q[0] for q in LOCK_KEEPING_QUERIES])
def test_queries_release_the_interpreter_lock_on_a_port(device, name, reply, result):
    # The reply comes from a Python thread that takes the request first: it can only
    # come if the query lets that thread run while it waits.
    with api.Port(device.path, timeout=5.0) as port:
        arm = api.Morvek3(port)
        player = answer(device, 2 if reply[0] == 0x0D else 1, reply)
        try:
            assert getattr(arm, name)() == result
        finally:
            player.join()


def test_a_hang_up_in_the_middle_of_a_loop_raises_port_error_within_50_ms(device):
    answered = 100
    hung_up_at = []

    def play_arm():
        for _ in range(answered):
            if len(device.receive(13)) != 13:
                return
            device.send(state_reply(0x2B, 0, 0, 0, 0, 0, 0))
        device.receive(13)
        hung_up_at.append(time.monotonic())
        device.hang_up()

    with api.Port(device.path) as port:  # the default time-out: only the hang-up can end the wait soon
        arm = api.Morvek3(port)
        player = threading.Thread(target=play_arm)
        player.start()
        exchanges = 0
        try:
            with pytest.raises(api.PortError) as lost:
                while True:
                    arm.end_effector_force([0.0, 0.0, 0.1])
                    exchanges += 1
            raised_at = time.monotonic()
        finally:
            player.join()
    assert exchanges == answered
    assert lost.value.errno == errno.EIO
    assert "the device hung up or was unplugged" in str(lost.value)
    assert raised_at - hung_up_at[0] < 0.05


def test_the_spring_example_counts_a_dropped_reply_instead_of_using_it(device):
    info = b"\x0b\x01\x00\x04\x01\x03" + bytes(16)

    def play_arm():
        answered = 0
        while True:
            code = device.receive(1)
            if not code:
                return  # the example closed its port
            if code == b"\x0a":
                device.send(info)
                continue
            device.receive(12)
            answered += 1
            if answered != 500:  # one reply is dropped
                device.send(state_reply(0x2B, 0.01, 0.0, 0.0, 0.0, 0.0, 0.0))

    player = threading.Thread(target=play_arm)
    player.start()
    example = Path(__file__).resolve().parents[2] / "examples" / "spring.py"
    try:
        run = subprocess.run([sys.executable, str(example), device.path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    finally:
        player.join()
    assert run.returncode == 0, run.stderr
    missed = int(run.stdout.rsplit("1000 exchanges, ", 1)[1].split()[0])
    assert missed >= 1
