"""Calls every public callable of the module with bad arguments, one argument at a
time, and fails on any outcome other than a clean TypeError or ValueError or a normal
return. Run as a script (the test runs it in a subprocess, so that a crash fails the
test instead of ending the test run); prints the number of calls made.

Devices sit on a port that has hung up, so every call that does reach the port fails
at once instead of waiting out the device time-out.
"""

import math
import sys
import warnings

import TavixHardwareAPI as api
from pty_device import hung_up_stream

BAD_VALUES = [
    None, True, object(), {}, "", "a\0b", b"", b"\0", bytearray(b"\0\1"), [], [1.0], [1.0, 2.0],
    [1.0] * 1000, (1.0, 2.0, 3.0), ["a", "b", "c"], [None] * 3, [math.nan] * 3, [math.inf, -math.inf, 0.0],
    math.nan, math.inf, -math.inf, -1, 0, 255, 256, 65535, 65536, -2 ** 63, 2 ** 64, 10 ** 100, 1.5,
]


class Subclass(api.Handle):
    def OnReceiveHandleStatusMessage(self, *arguments):
        pass


def valid_calls(stream):
    """Each callable with arguments it accepts."""
    arm, handle, subclass = api.Morvek3(stream), api.Handle(stream), Subclass(stream)
    three = [0.0, 0.0, 0.0]
    calls = [
        (api.SerialStream, ("/dev/does-not-exist",)),
        (api.UUID, ()),
        (api.UUID().bytes, ()),
        (api.Morvek3, (stream,)),
        (api.Handle, (stream,)),
        (Subclass, (stream,)),
        (api.get_cpp_version, ()),
        (api.print_cpp_version, ()),
        # Detection is only called with bad arguments: a real sweep of /dev takes seconds.
        (api.detect_morvek3s, None),
        (api.detect_handles, None),
        (api.detect_wired_handles, None),
        (api.detect_wireless_handles, None),
        (arm.get_end_effector_position, (True,)),
        (arm.adjust_angles, (three,)),
        (arm.adjust_lengths, (0.14, 0.14, 0.165, 0.165, 0.0765)),
        (arm.SendForce, (1.0, 2.0, 3.0)),
        (arm.ReceiveState, (three, three)),
        (arm.ReceiveJointState, (three, three)),
    ]
    for name in ["end_effector_force", "joint_torques", "end_effector_position", "joint_angles", "SendForce",
                 "SendJointTorques", "SendAngle", "ReceiveCurrent", "SendPosition"]:
        calls.append((getattr(arm, name), (three,)))
    for name in ["device_wakeup", "device_wakeup_dict", "get_firmware_version", "get_device_id",
                 "get_motor_currents", "get_device_orientation", "get_power_status", "get_temperature",
                 "SendDeviceWakeup", "ReceiveDeviceInfo", "RequestCurrent"]:
        calls.append((getattr(arm, name), ()))
    for target in (handle, subclass):
        calls += [
            (target.SendDeviceWakeup, ()),
            (target.SendHandleState, (1, 1, 7)),
            (target.SendHandleState, (1, 3, b"abc")),
            (target.RequestStatus, ()),
            (target.OnReceiveHandleInfo, (1, 2, 3, 4, 5)),
            (target.OnReceiveHandleStatusMessage, (1, 0.5, 0, 0, 2, 7)),
            (target.OnReceiveHandleErrorResponse, (1, 2)),
            (target.Receive, ()),
            (target.Receive, (5,)),
            (target.GetGantrelStatus, ()),
        ]
    return calls


def variants(arguments):
    """Argument lists with one bad value each, plus too few and too many arguments."""
    if arguments is None:
        yield from ((value,) for value in BAD_VALUES)
        return
    for index in range(len(arguments)):
        for value in BAD_VALUES:
            yield arguments[:index] + (value,) + arguments[index + 1:]
    if arguments:
        yield arguments[:-1]
    yield arguments + (0,)


def main():
    warnings.simplefilter("ignore")
    calls = 0
    for function, arguments in valid_calls(hung_up_stream()):
        for attempt in variants(arguments):
            try:
                function(*attempt)
            except (TypeError, ValueError):
                pass
            except BaseException as error:
                print("%s%r raised %s: %s" % (getattr(function, "__qualname__", function), attempt,
                                               type(error).__name__, error))
                return 1
            calls += 1
    print(calls)
    return 0


if __name__ == "__main__":
    sys.exit(main())
