"""tavix replay-device: plays a recorded arm, for running a program against a session
recorded before (tavix.recording_schema).

    tavix replay-device run.mcap                       prints the port's path
    tavix replay-device bridge.mcap --prefix /tavix/<uuid> --link /tmp/arm

It reads the end effector's recorded states, the position and velocity of each tick
whose exchange succeeded, in the order of the ticks; writes them to a temporary file;
and runs `tavix-sim arm --replay FILE` (the simulator tavix.simulator finds), whose
first line on standard output is the path of its port. Each force or position command
a program sends there is answered with the next recorded state; after the last, with
the last position at rest. SIGINT, SIGTERM and SIGHUP stop the simulator; the
temporary file is removed at the end. The exit status is the simulator's (0 after
those signals), or 1 when the recording cannot be read or the simulator not found.
Needs the `record` extra.
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
from types import FrameType
from typing import Any, Dict, List, Optional, Sequence

from tavix import child_process, recording_reader, simulator
from tavix.recording_reader import Array, Recording, RecordingError

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def recorded_states(recording: Recording) -> Array:
    """An n x 6 array, x, y, z, vx, vy, vz, of the ticks whose exchange succeeded (a
    failed one holds the state before it, not one the arm sent) and whose state is
    recorded, in their order."""
    import numpy

    states = numpy.hstack([recording.position, recording.velocity])
    kept: Array = states[recording.ticks.ok & numpy.isfinite(states).all(axis=1)]
    return kept


def write_states(states: Array, path: str) -> None:
    """Writes `states` as tavix-sim --replay reads them: little-endian binary64, a row
    after the other."""
    states.astype("<f8").tofile(path)


def run(command: List[str]) -> int:
    """Runs `command`, its output the caller's, until it ends; the stop signals this
    process receives meanwhile are passed on to it. Its exit status (128 + the signal's
    number if a signal ended it)."""
    process: "Optional[subprocess.Popen[bytes]]" = None
    asked: List[int] = []  # stop signals received, the first passed on

    def pass_on(number: int, frame: Optional[FrameType]) -> None:
        asked.append(number)
        if process is not None and process.poll() is None:
            process.send_signal(number)

    # The handlers come first, so that no signal can come between the start and them.
    previous: Dict[int, Any] = {number: signal.signal(number, pass_on) for number in STOP_SIGNALS}
    try:
        process = subprocess.Popen(command)
        if asked:
            process.send_signal(asked[0])
        status = process.wait()
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if process is not None:
            child_process.stop(process)  # when this process ends on an exception, its simulator ends too
    return status if status >= 0 else 128 - status


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="tavix replay-device", description="Plays an arm that answers each force or position command with "
        "the next state of a recording, on a pseudo-terminal whose path it prints first.")
    parser.add_argument("path", metavar="PATH", help="the recording (MCAP)")
    parser.add_argument("--prefix", help="the arm's topic prefix, for a recording of several arms")
    parser.add_argument("--link", metavar="PATH", help="also make PATH a symbolic link to the port")
    arguments = parser.parse_args(argv)
    try:
        recording = recording_reader.load(arguments.path, arguments.prefix, ("position", "velocity"), workers=None)
        states = recorded_states(recording)
        if not len(states):
            raise RecordingError("%s holds no state of %s that the arm sent" % (arguments.path, recording.prefix))
        binary = simulator.find_binary()
    except (RecordingError, ImportError, simulator.SimulatorError) as error:
        print("tavix replay-device: %s" % error, file=sys.stderr)
        return 1
    print("tavix replay-device: %d states of %s from %s" % (len(states), recording.prefix, arguments.path),
          file=sys.stderr)
    descriptor, states_path = tempfile.mkstemp(prefix="tavix-replay-", suffix=".states")
    os.close(descriptor)
    try:
        write_states(states, states_path)
        link = ["--link", arguments.link] if arguments.link else []
        return run([binary, "arm", "--replay", states_path, *link])
    finally:
        os.unlink(states_path)


if __name__ == "__main__":
    sys.exit(main())
