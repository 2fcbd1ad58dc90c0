"""The Python Handle class: replies dispatched to overrides, requests on the wire, the
compact status dict, deprecation, lock release and lifetime."""

import gc
import struct
import threading
import time
import warnings

import pytest

import TavixHardwareAPI
from TavixHardwareAPI import Handle

INFO = bytes.fromhex("D0 07 34 12 02 03 04")
ERROR = bytes.fromhex("DF 01 00 05")
QUATERNION = [0.5, -0.25, 1.0, 2.0]
PURE_VIRTUAL = ('Tried to call pure virtual function '
                '"API::Devices::Handle::OnReceiveHandleStatusMessage"')
DEPRECATED = "Receive with one argument is deprecated"


def status_message(user_data, device_id=0x0102, error_flag=3, hall_effect_sensor_level=4):
    """A status message as read by Receive: 21 fixed payload bytes, then the user data."""
    fixed = struct.pack("<HBB4fB", device_id, error_flag, hall_effect_sensor_level, *QUATERNION,
                        len(user_data))
    return b"\xda" + fixed + bytes(user_data)


def wait_until_queued(device, count, timeout=1.0):
    """The number of bytes waiting for the module, once `count` arrived or after `timeout`:
    the pty hands written bytes to the reading side a moment later."""
    deadline = time.monotonic() + timeout
    while device.queued() < count and time.monotonic() < deadline:
        time.sleep(0.005)
    return device.queued()


class Recorder(Handle):
    """Records every callback with its arguments and the thread it ran on."""

    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []
        self.threads = []

    def OnReceiveHandleInfo(self, *args):
        self.record("info", args)

    def OnReceiveHandleStatusMessage(self, *args):
        self.record("status", args)

    def OnReceiveHandleErrorResponse(self, *args):
        self.record("error", args)

    def record(self, kind, args):
        self.calls.append((kind,) + args)
        self.threads.append(threading.get_ident())


class TestReceive:
    @pytest.mark.parametrize(
        "reply, count",
        [(INFO, 6), (ERROR, 3), (status_message(b""), 21), (status_message(range(255)), 276)],
    )
    def test_plain_handle_reads_each_reply_without_calling_python(self, device, stream, reply,
                                                                  count):
        device.send(reply)
        assert Handle(stream).Receive() == count
        assert device.queued() == 0

    def test_subclass_overrides_receive_info_and_error_fields(self, device, stream):
        handle = Recorder(stream)
        device.send(INFO + ERROR)
        assert handle.Receive() == 6
        assert handle.Receive() == 3
        assert handle.calls == [("info", 7, 0x1234, 2, 3, 4), ("error", 1, 5)]

    @pytest.mark.parametrize("user_data", [b"", bytes(range(255))])
    def test_subclass_override_receives_status_lists(self, device, stream, user_data):
        handle = Recorder(stream)
        device.send(status_message(user_data))
        assert handle.Receive() == 21 + len(user_data)
        assert handle.calls == [
            ("status", 0x0102, QUATERNION, 3, 4, len(user_data), list(user_data))]
        assert all(isinstance(value, float) for value in handle.calls[0][2])

    def test_missing_status_override_raises_and_message_is_consumed(self, device, stream):
        class InfoOnly(Handle):
            def OnReceiveHandleInfo(self, *args):
                pass

        device.send(status_message(b"\x01\x02"))
        with pytest.raises(RuntimeError) as caught:
            InfoOnly(stream).Receive()
        assert str(caught.value) == PURE_VIRTUAL
        assert device.queued() == 0

    def test_override_exception_reaches_caller_of_receive(self, device, stream):
        raised = ValueError("bad info")

        class Failing(Handle):
            def OnReceiveHandleInfo(self, *args):
                raise raised

        device.send(INFO)
        with pytest.raises(ValueError) as caught:
            Failing(stream).Receive()
        assert caught.value is raised

    def test_override_calling_base_method_reaches_default(self, device, stream):
        class Chaining(Handle):
            def OnReceiveHandleInfo(self, *args):
                super().OnReceiveHandleInfo(*args)
                self.info = args

            def OnReceiveHandleStatusMessage(self, *args):
                super().OnReceiveHandleStatusMessage(args[0], 0.0, *args[2:5], 0)

        handle = Chaining(stream)
        device.send(INFO + status_message(b""))
        assert handle.Receive() == 6
        assert handle.info == (7, 0x1234, 2, 3, 4)
        with pytest.raises(RuntimeError) as caught:
            handle.Receive()
        assert str(caught.value) == PURE_VIRTUAL

    def test_other_threads_run_while_receive_waits_override_runs_on_caller(self, device,
                                                                           stream):
        handle = Recorder(stream)
        ticks = [0]
        stop = threading.Event()

        def count():
            while not stop.is_set():
                ticks[0] += 1
                time.sleep(0.01)

        counter = threading.Thread(target=count)
        counter.start()
        device.play(("pause", 0.3), ("send", INFO))
        try:
            before = ticks[0]
            assert handle.Receive() == 6
            advanced = ticks[0] - before
        finally:
            stop.set()
            counter.join()
        device.finish()
        assert advanced >= 10
        assert handle.threads == [threading.get_ident()]


class TestDeprecatedReceive:
    def test_one_argument_warns_once_then_reads(self, device, stream):
        device.send(ERROR)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert Handle(stream).Receive(5) == 3
        assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, DEPRECATED)]
        assert caught[0].filename == __file__

    def test_out_of_range_argument_is_rejected_without_warning(self, stream):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(TypeError, match="incompatible function arguments"):
                Handle(stream).Receive(300)
        assert caught == []

    def test_warning_as_error_raises_before_reading(self, device, stream):
        device.send(ERROR)
        assert wait_until_queued(device, len(ERROR)) == len(ERROR)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(DeprecationWarning, match=DEPRECATED):
                Handle(stream).Receive(5)
        assert device.queued() == len(ERROR)


class TestRequests:
    @pytest.mark.parametrize(
        "args, sent",
        [
            ((1, 1, 0x42), "DB 01 00 01 42"),
            ((0x0102, 0, 0x42), "DB 02 01 00"),
            ((1, 3, b"\xaa\xbb\xcc"), "DB 01 00 03 AA BB CC"),
            ((7, 2, bytearray(b"\xaa\xbb\xcc")), "DB 07 00 02 AA BB"),
            ((1,), "DB 01 00 00"),
            ((1, 0), "DB 01 00 00"),
            ((), "DB 00 00 00"),
        ],
    )
    def test_send_handle_state_writes_header_and_data_length_bytes(self, device, stream, args,
                                                                   sent):
        Handle(stream).SendHandleState(*args)
        assert device.drain() == bytes.fromhex(sent)

    @pytest.mark.parametrize("args", [(1, 4, b"\xaa\xbb\xcc"), (1, 1, None), (1, 1), (1, 2, 0x42)])
    def test_send_handle_state_refuses_data_length_beyond_user_data(self, device, stream, args):
        with pytest.raises(ValueError, match="data_length"):
            Handle(stream).SendHandleState(*args)
        assert device.drain() == b""

    @pytest.mark.parametrize("args", [(70000,), (1, 256), (1, 1, 256), (1, 1, "x")])
    def test_send_handle_state_rejects_out_of_range_or_wrong_types(self, stream, args):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            Handle(stream).SendHandleState(*args)

    def test_wakeup_and_status_request_are_single_codes(self, device, stream):
        handle = Handle(stream)
        handle.SendDeviceWakeup()
        assert device.drain() == b"\x0a"
        handle.RequestStatus()
        assert device.drain() == b"\xda"


class TestGetGantrelStatus:
    def test_clean_frame_becomes_dict_in_field_order(self, device, stream):
        body = bytes.fromhex("11 22 03 E5 09 00 00 00 00 40 00 80 FF 7F FF FF 64 00")
        device.send(b"\xda" + body + b"\xc0")
        status = Handle(stream).GetGantrelStatus()
        assert list(status) == ["device_id", "quaternion", "error_flag", "hall_effect_sensor_level",
                                "buttons", "battery_level"]
        assert status == {
            "device_id": 9,
            "quaternion": [0.5, -1.0, 0.999969482421875, -0.000030517578125],
            "error_flag": 3,
            "hall_effect_sensor_level": 5,
            "buttons": 7,
            "battery_level": 3.5,
        }
        assert isinstance(status["battery_level"], float)

    def test_silent_port_gives_error_flag_2_after_time_out(self, stream):
        handle = Handle(stream)
        started = time.monotonic()
        status = handle.GetGantrelStatus()
        assert 4.5 < time.monotonic() - started < 8
        assert status == {"device_id": 0, "quaternion": [0.0] * 4, "error_flag": 2,
                          "hall_effect_sensor_level": 0, "buttons": 0, "battery_level": 0.0}


class TestDirectCallbackCalls:
    def test_plain_handle_callbacks_do_nothing(self, stream):
        handle = Handle(stream)
        assert handle.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
        assert handle.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 4, 5) is None
        assert handle.OnReceiveHandleErrorResponse(1, 2) is None

    def test_status_call_forwards_padded_lists_to_override(self, stream):
        handle = Recorder(stream)
        Handle.OnReceiveHandleStatusMessage(handle, 7, 0.25, 1, 2, 3, 0x42)
        Handle.OnReceiveHandleStatusMessage(handle, 7, 0.25, 1, 2, 0, 0x42)
        assert handle.calls == [("status", 7, [0.25, 0.0, 0.0, 0.0], 1, 2, 3, [0x42, 0, 0]),
                                ("status", 7, [0.25, 0.0, 0.0, 0.0], 1, 2, 0, [])]

    def test_info_and_error_calls_reach_overrides(self, stream):
        handle = Recorder(stream)
        Handle.OnReceiveHandleInfo(handle, 1, 2, 3, 4, 5)
        Handle.OnReceiveHandleErrorResponse(handle, 65535, 255)
        assert handle.calls == [("info", 1, 2, 3, 4, 5), ("error", 65535, 255)]


class TestConstructionAndSignatures:
    def test_none_stream_is_refused(self):
        with pytest.raises(TypeError, match="SerialStream"):
            Handle(None)

    def test_handle_keeps_its_stream_alive(self, device):
        stream = TavixHardwareAPI.SerialStream(device.path)
        handle = Handle(stream)
        del stream
        gc.collect()
        handle.RequestStatus()
        assert device.drain() == b"\xda"

    def test_signatures_name_module_types_and_both_overloads(self):
        assert Handle.__doc__ == "The gantrel handle class"
        assert Handle.__init__.__doc__.startswith(
            "__init__(self: TavixHardwareAPI.Handle, arg0: TavixHardwareAPI.SerialStream) -> None")
        send = Handle.SendHandleState.__doc__
        common = "SendHandleState(self: TavixHardwareAPI.Handle, device_id: int = 0, " \
                 "data_length: int = 0, user_data: "
        assert "1. " + common + "int = None) -> None" in send
        assert "2. " + common + "Optional[Union[bytes, bytearray]] = None) -> None" in send
        receive = Handle.Receive.__doc__
        assert "1. Receive(self: TavixHardwareAPI.Handle) -> int" in receive
        assert "2. Receive(self: TavixHardwareAPI.Handle, obsolete: int) -> int" in receive
        assert Handle.GetGantrelStatus.__doc__.startswith(
            "GetGantrelStatus(self: TavixHardwareAPI.Handle) -> dict")
