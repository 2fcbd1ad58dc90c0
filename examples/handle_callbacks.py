#!/usr/bin/env python3
"""A Gantrel handle through its callbacks, and its compact status frames.

    python examples/handle_callbacks.py                  simulated handles
    python examples/handle_callbacks.py /dev/ttyUSB0     a real handle
    python examples/handle_callbacks.py /dev/rfcomm0 --streaming

A handle answers requests later, through callbacks: `Receive` reads one reply and calls
the method overridden below for its kind (info, status message or error response).
This example wakes the handle, sends it some user data with SendHandleState, and asks
for its status a few times, printing what each callback gets.

A handle can also stream compact status frames on its own; `GetGantrelStatus` reads the
next one. Frames and status messages both begin with the same code (0xDA), so on a
streaming port the replies to requests cannot be told apart from the frames: with
--streaming the example only reads frames. Without a port it runs both parts against
the simulator, `tavix-sim handle` and `tavix-sim handle --stream 100`.

Exit status: 0 on success, 1 when the handle does not answer or the simulator is missing.
"""

import argparse
import os
import sys
import time
from typing import List, Optional, Sequence, Union

import TavixHardwareAPI as api

from tavix import simulator

USER_DATA = b"hello"
STATUS_REQUESTS = 3
STATUS_INTERVAL = 0.2  # s between status requests: long enough to see the handle turn
STREAM_HZ = "100"  # frames per second of the simulated streaming handle


class Failure(Exception):
    """The handle did not answer: the example stops with this message."""


class PrintingHandle(api.Handle):
    """Prints each reply as its callback receives it.

    A subclass must call Handle.__init__; the callbacks run on the thread that called
    Receive, before Receive returns."""

    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.device_id: Optional[int] = None  # learnt from the info reply

    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, device_model_number: int,
                            hardware_version: int, firmware_version: int) -> None:
        self.device_id = device_id
        print("  info: handle %d, model %d, hardware version %d, firmware version %d, "
              "tool data remaining %d" % (device_id, device_model_number, hardware_version,
                                          firmware_version, tool_data_remaining))

    # Receive passes the quaternion and the user data as lists; the types also allow the
    # single values that a direct call from Python may pass.
    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: Union[float, List[float]],
                                     error_flag: int, hall_effect_sensor_level: int,
                                     user_data_length: int, user_data: Union[int, List[int]]) -> None:
        quaternion_list = quaternion if isinstance(quaternion, list) else [quaternion]
        user_data_list = user_data if isinstance(user_data, list) else [user_data]
        print("  status: handle %d, orientation (x y z w) %s, hall-effect level %d, error flag %d, "
              "user data %r (%d bytes)" % (device_id, numbers(quaternion_list), hall_effect_sensor_level,
                                           error_flag, bytes(user_data_list), user_data_length))

    # The simulator never sends an error response; a real handle does for a request it
    # cannot carry out.
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        print("  error response: handle %d, error code %d" % (device_id, error_code))


def numbers(values: Sequence[float]) -> str:
    return "(" + " ".join("%.3f" % value for value in values) + ")"


def receive_reply(handle: api.Handle, waiting_for: str) -> None:
    """Reads one reply, which calls its callback; Receive returns -1 when none came
    within the time-out (5 s)."""
    if handle.Receive() < 0:
        raise Failure("the handle sent no %s" % waiting_for)


def talk_to_handle(port: str) -> None:
    """Requests and replies: wake-up, user data, status."""
    print("Handle on %s" % port)
    handle = PrintingHandle(api.SerialStream(port))

    print("Waking the handle")
    handle.SendDeviceWakeup()
    receive_reply(handle, "reply to the wake-up: is it a handle, and is it powered on?")

    # The user data travels to the handle; the simulated one sends it back in its status.
    print("Sending user data %r" % USER_DATA)
    handle.SendHandleState(handle.device_id or 0, len(USER_DATA), USER_DATA)

    for request in range(STATUS_REQUESTS):
        if request:
            time.sleep(STATUS_INTERVAL)
        print("Requesting the status")
        handle.RequestStatus()
        receive_reply(handle, "status message")


def read_frames(port: str, count: int) -> None:
    """Reads `count` compact status frames from a streaming handle."""
    print("Streaming handle on %s: reading %d compact status frames" % (port, count))
    handle = api.Handle(api.SerialStream(port))
    for number in range(1, count + 1):
        frame = handle.GetGantrelStatus()
        if frame["error_flag"] == 2:  # nothing with the frame code arrived in time
            raise Failure("no frame arrived within 5 s: is the handle streaming?")
        if frame["error_flag"] == 1:
            # The frame came in damaged or incomplete.
            print("  frame %d: malformed, skipped" % number)
            continue
        print("  frame %d: handle %d, orientation %s, hall-effect level %d, buttons %d, battery %.2f V" % (
            number, frame["device_id"], numbers(frame["quaternion"]), frame["hall_effect_sensor_level"],
            frame["buttons"], frame["battery_level"]))


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Talks to a Gantrel handle through its callbacks, "
                                     "or reads its compact status frames. Without a port, runs both "
                                     "against the simulator.")
    parser.add_argument("port", nargs="?", help="the handle's serial port")
    parser.add_argument("--streaming", action="store_true",
                        help="the handle on PORT streams compact status frames: read those")
    parser.add_argument("--frames", type=int, default=5, help="how many frames to read (default 5)")
    arguments = parser.parse_args(argv)
    if arguments.streaming and not arguments.port:
        parser.error("--streaming describes the handle on PORT: give its port")
    if arguments.frames < 1:
        parser.error("--frames must be 1 or more")
    return arguments


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    try:
        if arguments.port and not os.path.exists(arguments.port):
            raise Failure("the port %s does not exist" % arguments.port)
        if arguments.port and arguments.streaming:
            read_frames(arguments.port, arguments.frames)
        elif arguments.port:
            talk_to_handle(arguments.port)
        else:
            with simulator.running("handle") as port:
                talk_to_handle(port)
            print()
            with simulator.running("handle", "--stream", STREAM_HZ) as port:
                read_frames(port, arguments.frames)
    except (Failure, simulator.SimulatorError) as error:
        print("handle_callbacks: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
