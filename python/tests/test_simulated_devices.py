"""The module against tavix-sim, the device simulator, end to end."""

import math
import time
import uuid

import pytest

import TavixHardwareAPI as api
from simulator import running as running_simulator


def norm(values):
    return math.sqrt(sum(value * value for value in values))


@pytest.fixture
def arm_port():
    with running_simulator("arm", "--id", "7") as port:
        yield port


def test_arm_identity(arm_port):
    arm = api.Morvek3(api.SerialStream(arm_port))
    info = arm.device_wakeup_dict()
    assert info["device_id"] == 7 and info["device_model_number"] == 4
    assert info["device_id_ext"] == arm.get_device_id()
    assert isinstance(arm.get_firmware_version(), uuid.UUID)
    assert arm.get_power_status() is True


def test_a_steady_force_moves_the_end_effector_along_it(arm_port):
    arm = api.Morvek3(api.SerialStream(arm_port))
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    for _ in range(300):
        position, _ = arm.end_effector_force([0.0, 0.0, 2.0])
        time.sleep(0.001)
    moved = [after - before for after, before in zip(position, start)]
    assert moved[2] > 0.005
    assert abs(moved[2]) > 3 * max(abs(moved[0]), abs(moved[1]))


def test_onboard_and_host_positions_agree(arm_port):
    arm = api.Morvek3(api.SerialStream(arm_port))
    for _ in range(200):
        arm.joint_angles([10.0, -50.0, -110.0])
        time.sleep(0.002)
    onboard, _ = arm.get_end_effector_position(True)
    computed, velocity = arm.get_end_effector_position(False)
    assert computed == pytest.approx(onboard, abs=1e-4)
    assert velocity == [0.0, 0.0, 0.0]


def test_a_slow_device_is_still_answered(arm_port):
    with running_simulator("arm", "--reply-delay-us", "3000") as port:
        arm = api.Morvek3(api.SerialStream(port))
        assert arm.device_wakeup()[1] == 4


class RecordingHandle(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.statuses = []

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, length, user_data):
        self.statuses.append((quaternion, user_data))


def test_handle_callbacks_see_the_orientation_turn_and_the_user_data_come_back():
    with running_simulator("handle") as port:
        handle = RecordingHandle(api.SerialStream(port))
        handle.SendHandleState(1, 3, b"\x01\x02\x03")
        handle.RequestStatus()
        assert handle.Receive() == 21 + 3
        time.sleep(0.3)
        handle.RequestStatus()
        assert handle.Receive() == 21 + 3
    (first, data), (second, _) = handle.statuses
    assert data == [1, 2, 3]
    assert norm(first) == pytest.approx(1.0, abs=1e-3) and norm(second) == pytest.approx(1.0, abs=1e-3)
    assert first != second


def test_streamed_frames_decode_as_compact_status():
    with running_simulator("handle", "--stream", "200", "--id", "9", "--battery", "100") as port:
        handle = api.Handle(api.SerialStream(port))
        statuses = [handle.GetGantrelStatus() for _ in range(30)]
    decoded = [status for status in statuses if status["error_flag"] == 0]
    assert len(decoded) >= 25, "frames with SLIP escapes decode too; only a frame cut by the opening may fail"
    assert all(status["error_flag"] == 1 for status in statuses if status["error_flag"] != 0)
    for status in decoded:
        assert status["device_id"] == 9 and status["battery_level"] == pytest.approx(3.5)
        assert norm(status["quaternion"]) == pytest.approx(1.0, abs=1e-3)


def test_a_port_that_hangs_up_fails_at_once_and_stays_failed():
    with running_simulator("arm", "--hangup-after", "1") as port:
        arm = api.Morvek3(api.SerialStream(port))
        assert arm.device_wakeup()[1] == 4
        started = time.monotonic()
        assert arm.end_effector_force([1.0, 0.0, 0.0]) == ([0.0] * 3, [0.0] * 3)
        assert arm.get_temperature() == 0.0
        assert time.monotonic() - started < 1.0


# The two fault tests below wait out the 5-second device time-out once each.
def test_a_truncated_reply_gives_the_failure_value():
    with running_simulator("arm", "--truncate") as port:
        arm = api.Morvek3(api.SerialStream(port))
        assert arm.get_motor_currents() == [0.0, 0.0, 0.0]


def test_a_wrong_header_gives_the_failure_value():
    with running_simulator("arm", "--wrong-header") as port:
        arm = api.Morvek3(api.SerialStream(port))
        assert arm.get_power_status() is False
