import gc
import subprocess
import sys
import threading
import time
import uuid
import warnings

import pytest

import TavixHardwareAPI as api
from pty_device import PtyDevice, floats

ZERO_COMMAND = bytes(12)
INFO_REPLY = bytes([0x0B, 0x34, 0x12, 0x05, 0x02, 0x07]) + bytes(range(16))


@pytest.fixture
def arm(stream):
    return api.Morvek3(stream)


@pytest.fixture(autouse=True)
def default_geometry():
    yield
    # The geometry model is shared by the arms on plain streams: leave it as found.
    api.Morvek3(api.SerialStream(None)).adjust_lengths()


def reply(code, *values):
    return bytes([code]) + floats(*values)


def test_wakeup_gives_tuple_or_dict(arm, device):
    device.send(INFO_REPLY)
    assert arm.device_wakeup() == (0x1234, 5, 2, 7, list(range(16)))
    device.send(INFO_REPLY)
    info = arm.device_wakeup_dict()
    assert list(info) == ["device_id", "device_model_number", "hardware_version", "firmware_version", "device_id_ext"]
    assert info["device_id_ext"] == uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")
    assert device.drain() == b"\x0a\x0a"


def test_receive_device_info_gives_the_modules_uuid(arm, device):
    device.send(INFO_REPLY)
    device_id, model, hardware, firmware, identifier = arm.ReceiveDeviceInfo()
    assert (device_id, model, hardware, firmware) == (0x1234, 5, 2, 7)
    assert isinstance(identifier, api.UUID) and identifier.bytes() == list(range(16))
    assert device.drain() == b""


def test_identifiers_are_python_uuids(arm, device):
    device.send(bytes([0x0D, 0xD1, 0x10]) + bytes([0xFF] * 16))
    device.send(bytes([0x0D, 0xD2, 0x10]) + bytes(range(16)))
    assert str(arm.get_device_id()) == "ffffffff-ffff-ffff-ffff-ffffffffffff"
    assert arm.get_firmware_version().hex == "000102030405060708090a0b0c0d0e0f"
    assert device.drain() == b"\x0d\xd1\x0d\xd2"


def test_identifier_conversion_fails_cleanly_without_the_uuid_module(arm, device):
    device.send(bytes([0x0D, 0xD1, 0x10]) + bytes(16))
    saved = sys.modules["uuid"]
    sys.modules["uuid"] = None
    try:
        with pytest.raises(ImportError):
            arm.get_device_id()
    finally:
        sys.modules["uuid"] = saved


def test_status_queries(arm, device):
    device.send(reply(0xAB, 0.5, 1.5, 2.5) + reply(0x0C, 0, 0, 0, 1) + b"\xac\x02" + reply(0xAA, 25.0))
    assert arm.get_motor_currents() == [0.5, 1.5, 2.5]
    assert arm.get_device_orientation() == [0.0, 0.0, 0.0, 1.0]
    assert arm.get_power_status() is True
    assert arm.get_temperature() == 25.0
    assert device.drain() == b"\xab\x0c\xac\xaa"


@pytest.mark.parametrize(
    "method, request_code, reply_code",
    [
        ("end_effector_force", 0x2A, 0x2B),
        ("end_effector_position", 0x2C, 0x2B),
        ("joint_torques", 0x1A, 0x1B),
        ("joint_angles", 0x1C, 0x1B),
    ],
)
def test_commands_send_three_floats_and_return_the_state(arm, device, method, request_code, reply_code):
    device.send(reply(reply_code, 1, 2, 3, 4, 5, 6))
    assert getattr(arm, method)([1.0, -2.0, 0.5, 99.0]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert device.drain() == bytes([request_code]) + floats(1.0, -2.0, 0.5)
    device.send(reply(reply_code, 0, 0, 0, 0, 0, 0))
    getattr(arm, method)()
    assert device.drain() == bytes([request_code]) + ZERO_COMMAND


def test_send_force_overloads_send_the_same_bytes(arm, device):
    with pytest.warns(DeprecationWarning, match="^SendForce is deprecated, use end_effector_force instead$"):
        arm.SendForce(1.0, 2.0, 3.0)
    with pytest.warns(DeprecationWarning):
        arm.SendForce([1.0, 2.0, 3.0])
    assert device.drain() == 2 * (b"\x2a" + floats(1, 2, 3))


@pytest.mark.parametrize(
    "call, sent, warning",
    [
        (lambda arm: arm.SendDeviceWakeup(), b"\x0a", "SendDeviceWakeup is deprecated, use device_wakeup instead"),
        (lambda arm: arm.SendJointTorques([1, 2, 3]), b"\x1a" + floats(1, 2, 3),
         "SendJointTorques is deprecated, use joint_torques instead"),
        (lambda arm: arm.SendPosition([1, 2, 3]), b"\x2c" + floats(1, 2, 3),
         "SendPosition is deprecated, use end_effector_position instead"),
        (lambda arm: arm.ReceiveState(), b"", "ReceiveState is deprecated, use end_effector instead"),
        (lambda arm: arm.ReceiveJointState(), b"", "ReceiveJointState is deprecated, use joint_torques instead"),
    ],
)
def test_deprecated_methods_warn_first_and_errors_stop_them_before_io(arm, device, call, sent, warning):
    device.send(reply(0x2B, 1, 2, 3, 4, 5, 6) + reply(0x1B, 1, 2, 3, 4, 5, 6))
    device.wait_queued(50)
    queued = device.queued()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="^%s$" % warning):
            call(arm)
    assert device.drain() == b"" and device.queued() == queued
    with pytest.warns(DeprecationWarning) as record:
        call(arm)
    assert [str(w.message) for w in record] == [warning]
    assert device.drain() == sent


def test_methods_not_deprecated_do_not_warn(arm, device):
    device.send(INFO_REPLY + reply(0xAB, 1, 2, 3))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        arm.ReceiveDeviceInfo()
        arm.SendAngle([1, 2, 3])
        arm.RequestCurrent()
        arm.ReceiveCurrent()
    assert device.drain() == b"\x1c" + floats(1, 2, 3) + b"\xab"


def test_reply_only_reads_return_copies_of_the_buffers(arm, device):
    device.send(reply(0x2B, 1, 2, 3, 4, 5, 6))
    position, velocity = [9.0] * 4, [9.0] * 3
    with pytest.warns(DeprecationWarning):
        assert arm.ReceiveState(position, velocity) == ([1.0, 2.0, 3.0, 9.0], [4.0, 5.0, 6.0])
    assert position == [9.0] * 4, "the caller's lists are not modified"
    device.send(reply(0xAB, 1, 2, 3))
    assert arm.ReceiveCurrent([0.0] * 5) == [1.0, 2.0, 3.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "call",
    [
        lambda arm: arm.end_effector_force([1.0, 2.0]),
        lambda arm: arm.joint_angles([]),
        lambda arm: arm.SendForce([1.0]),
        lambda arm: arm.SendAngle([1.0, 2.0]),
        lambda arm: arm.adjust_angles([0.0]),
        lambda arm: arm.ReceiveState([0.0, 0.0], [0.0, 0.0, 0.0]),
        lambda arm: arm.ReceiveJointState([0.0, 0.0, 0.0], [0.0]),
        lambda arm: arm.ReceiveCurrent([0.0, 0.0]),
    ],
)
def test_short_sequences_are_refused_before_any_io(arm, device, call):
    device.send(reply(0x2B, 1, 2, 3, 4, 5, 6))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError, match="at least 3 values"):
            call(arm)
    assert device.drain() == b"" and device.queued() == 25


def test_end_effector_position_onboard_or_computed(arm, device):
    device.send(reply(0x2B, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6))
    position, velocity = arm.get_end_effector_position()
    assert position == pytest.approx([0.1, 0.2, 0.3]) and velocity == pytest.approx([0.4, 0.5, 0.6])
    device.send(reply(0x1B, 0, -60, -120, 7, 7, 7))
    position, velocity = arm.get_end_effector_position(False)
    assert position == pytest.approx([-0.27066, 0.02450, 0.18644], abs=1e-5)
    assert velocity == [0.0, 0.0, 0.0]
    assert device.drain() == b"\x2a" + ZERO_COMMAND + b"\x1a" + ZERO_COMMAND


def test_adjust_lengths_without_arguments_restores_the_defaults(arm, device):
    arm.adjust_lengths(0.15, 0.15, 0.18, 0.18, 0.08)
    device.send(reply(0x1B, 0, -60, -120, 0, 0, 0))
    assert arm.get_end_effector_position(False)[0] == pytest.approx([-0.29353, 0.02800, 0.18644], abs=1e-5)
    arm.adjust_lengths()
    device.send(reply(0x1B, 0, -60, -120, 0, 0, 0))
    assert arm.get_end_effector_position(False)[0] == pytest.approx([-0.27066, 0.02450, 0.18644], abs=1e-5)


def test_arms_on_ports_keep_a_geometry_each(device):
    other = PtyDevice()
    try:
        with api.Port(device.path, timeout=0.2) as first_port, api.Port(other.path, timeout=0.2) as second_port:
            first = api.Morvek3(first_port)
            first.adjust_lengths(0.15, 0.15, 0.18, 0.18, 0.08)
            second = api.Morvek3(second_port)  # neither resets the first one's lengths
            api.Morvek3(api.SerialStream(None)).adjust_lengths(0.1, 0.1, 0.1, 0.1, 0.1)  # nor does the shared model
            device.play(("expect", b"\x1a" + ZERO_COMMAND), ("send", reply(0x1B, 0, -60, -120, 0, 0, 0)))
            assert first.get_end_effector_position(False)[0] == pytest.approx([-0.29353, 0.02800, 0.18644], abs=1e-5)
            device.finish()
            other.play(("expect", b"\x1a" + ZERO_COMMAND), ("send", reply(0x1B, 0, -60, -120, 0, 0, 0)))
            assert second.get_end_effector_position(False)[0] == pytest.approx([-0.27066, 0.02450, 0.18644], abs=1e-5)
            other.finish()
    finally:
        other.close()


def test_adjust_angles_calibrates_against_the_reported_pose(arm, device):
    device.send(reply(0x1B, 10, 20, 30, 0, 0, 0))
    arm.adjust_angles([0.0, 0.0, 0.0])
    device.send(reply(0x1B, 10, 20, 30, 0, 0, 0))
    assert arm.get_end_effector_position(False)[0] == pytest.approx([0.0, 0.02450, -0.11855], abs=1e-5)
    device.send(reply(0x1B, 0, 0, 0, 0, 0, 0))
    arm.adjust_angles([0.0, 0.0, 0.0])  # back to no calibration


def test_failures_on_a_hung_up_port_give_zero_values_at_once(arm, device):
    device.hang_up()
    started = time.monotonic()
    assert arm.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    assert arm.device_wakeup_dict()["device_id_ext"] == uuid.UUID(int=0)
    assert arm.end_effector_force([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    assert arm.get_power_status() is False
    assert arm.ReceiveCurrent([5.0] * 3) == [5.0] * 3
    assert time.monotonic() - started < 1.0


def test_constructor_refuses_none_and_is_not_a_device():
    with pytest.raises(TypeError, match="SerialStream"):
        api.Morvek3(None)
    assert not isinstance(api.Morvek3(api.SerialStream(None)), api.Device)


def test_arm_keeps_its_stream_alive(device):
    arm = api.Morvek3(api.SerialStream(device.path))
    gc.collect()
    arm.SendAngle([1.0, 2.0, 3.0])
    assert device.drain() == b"\x1c" + floats(1, 2, 3)


def test_exchanges_let_other_threads_run_but_status_queries_do_not(arm, device):
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        device.play(("expect", b"\x2a" + ZERO_COMMAND), ("pause", 0.3), ("send", reply(0x2B, 0, 0, 0, 0, 0, 0)))
        before = len(ticks)
        arm.end_effector_force()
        released = len(ticks) - before
        device.finish()

        # A peer that needs no interpreter lock: another process answers after 0.3 s.
        answer = "import os, time; time.sleep(0.3); os.write(%d, %r)" % (device.master, reply(0xAA, 20.0))
        peer = subprocess.Popen([sys.executable, "-c", answer], pass_fds=[device.master])
        before = len(ticks)
        assert arm.get_temperature() == 20.0
        held = len(ticks) - before
        peer.wait()
    finally:
        stop.set()
        counter.join()
    assert released > 20
    assert held <= 5  # a switch or two around the call; released, it would be hundreds


def test_signatures_show_names_defaults_and_shapes():
    assert api.Morvek3.__doc__ == "Morvek3 Device Class"
    assert api.Morvek3.__init__.__doc__.startswith(
        "__init__(self: TavixHardwareAPI.Morvek3, arg0: TavixHardwareAPI.SerialStream) -> None")
    assert api.Morvek3.joint_torques.__doc__.startswith(
        "joint_torques(self: TavixHardwareAPI.Morvek3, joint torque request vector: List[float] = [0.0, 0.0, 0.0]) -> tuple")
    assert api.Morvek3.get_motor_currents.__doc__.startswith(
        "get_motor_currents(self: TavixHardwareAPI.Morvek3) -> Annotated[List[float], FixedSize(3)]")
    assert "inner_arm_1: float = 0.14, outer_arm_1: float = 0.14, inner_arm_2: float = 0.165" in api.Morvek3.adjust_lengths.__doc__
    assert "2. SendForce(self: TavixHardwareAPI.Morvek3, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None" in api.Morvek3.SendForce.__doc__
    doc_lines = api.Morvek3.ReceiveDeviceInfo.__doc__.split("\n")[2:-1]
    assert len(doc_lines) == 13 and doc_lines[0] == "" and doc_lines[12] == " " * 12
    assert doc_lines[1] == " " * 12 + "Receive device info and return a tuple with the following fields: "
    assert doc_lines[11] == " " * 12 + "device_id_ext (UUID)"


def test_methods_are_registered_in_order():
    names = [name for name in vars(api.Morvek3) if not name.startswith("_")]
    assert names == [
        "device_wakeup", "device_wakeup_dict", "get_firmware_version", "get_device_id", "get_motor_currents",
        "get_device_orientation", "get_power_status", "get_temperature", "end_effector_force",
        "get_end_effector_position", "adjust_angles", "adjust_lengths", "joint_torques", "end_effector_position",
        "joint_angles", "SendDeviceWakeup", "ReceiveDeviceInfo", "SendForce", "ReceiveState", "ReceiveJointState",
        "SendJointTorques", "SendAngle", "RequestCurrent", "ReceiveCurrent", "SendPosition",
    ]
