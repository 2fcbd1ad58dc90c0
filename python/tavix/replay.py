"""tavix replay: works out the forces that effects would have sent over a recorded
session (tavix.recording_schema), for trying a scene or an effect on real motion
without the arm.

    tavix replay run.mcap --scene walls.py                       a summary
    tavix replay run.mcap --scene walls.py -o walls.mcap         and a recording of it

SCRIPT is a Python file whose `make()` returns a TavixHardwareAPI.Scene, an Effect, or
a list of them. For each recorded tick, in order, the force is worked out as the servo
loop works it out: before the tick's exchange, from the state its previous tick
received, so tick k's force comes from tick k-1's position and velocity; zero for the
first tick of a run and for the tick after a failed exchange. Ticks the loop missed
were not recorded: a tick's force comes from the tick recorded before it. A Scene is
stepped with Scene.step(position, dt), dt the time between the ticks it is stepped at:
its velocity is then the difference of those positions (in the loop, the arm's
velocity), which a material's damping and friction feel. The other effects give
Effect.force_at(position, velocity). The forces are summed as the loop sums them, before
its ramp, its max_force clamp and passivity control, which replay leaves out.

With -o it writes a recording of the same ticks under the same prefix: /tick,
/position and /velocity copied, /force the replayed force, and /proxy for each scene
at every tick. It prints the ticks replayed and the largest and RMS magnitude of the
replayed force less the recorded one. Needs the `record` extra.
"""

import argparse
import os
import runpy
import sys
import traceback
from typing import Any, List, Optional, Sequence, Tuple

import TavixHardwareAPI as api

from tavix import recording_reader
from tavix.recording_reader import Array, Recording, RecordingError

DEFAULT_PERIOD = 1e-3  # s: a scene's first step, when the recording has no two ticks to time


class ScriptError(Exception):
    """The scene script failed, or its make() returned something else than effects."""


def effects_of(script: str) -> List[api.Effect]:
    """The effects the `make()` of the Python file `script` returns (a Scene, an Effect or
    a list of them), as a list. ScriptError when that fails; what the script raised is
    printed with its traceback."""
    if not os.path.isfile(script):
        raise ScriptError("no file %s" % script)
    try:
        make = runpy.run_path(script).get("make")
        if not callable(make):
            raise ScriptError("%s defines no make()" % script)
        made = make()
    except ScriptError:
        raise
    except Exception as error:
        traceback.print_exc()
        raise ScriptError("%s failed: %s" % (script, error)) from error
    effects = list(made) if isinstance(made, (list, tuple)) else [made]
    for effect in effects:
        if not isinstance(effect, api.Effect):
            raise ScriptError("%s: make() returned %r, not a Scene, an Effect or a list of them" % (script, effect))
    return effects


def _typical_period(recording: Recording) -> float:
    import numpy

    steps = numpy.diff(recording.ticks.time)
    steps = steps[steps > 0]
    return float(numpy.median(steps)) if len(steps) else DEFAULT_PERIOD


class Replayer:
    """Works out the force of each tick of `recording` from `effects`, in order."""

    def __init__(self, recording: Recording, effects: Sequence[api.Effect]) -> None:
        self.recording = recording
        self.scenes = [effect for effect in effects if isinstance(effect, api.Scene)]
        self.others = [effect for effect in effects if not isinstance(effect, api.Scene)]
        self._period = _typical_period(recording)
        self._stepped: Optional[int] = None  # the tick the scenes were last stepped at

    def uses_previous(self, tick: int) -> bool:
        """Whether the loop worked out tick `tick`'s force from the tick before: not at
        the start of a run (its cycles start again) nor after a failed exchange."""
        ticks = self.recording.ticks
        return tick > 0 and bool(ticks.ok[tick - 1]) and ticks.cycle[tick] > ticks.cycle[tick - 1]

    def force(self, tick: int) -> List[float]:
        """The force of tick `tick` (ticks in order: the scenes step once per call that
        uses a state)."""
        state = tick - 1
        if not self.uses_previous(tick) or not self._recorded(state):
            return [0.0, 0.0, 0.0]
        position = self.recording.position[state].tolist()
        velocity = self.recording.velocity[state].tolist()
        total = [0.0, 0.0, 0.0]
        for scene in self.scenes:
            total = _sum(total, scene.step(position, self._dt(state)))
        for effect in self.others:
            total = _sum(total, effect.force_at(position, velocity))
        self._stepped = state
        return total

    def _recorded(self, state: int) -> bool:
        """Whether tick `state`'s position and velocity were recorded (a file may lack some)."""
        import numpy

        return bool(numpy.isfinite(self.recording.position[state]).all()
                    and numpy.isfinite(self.recording.velocity[state]).all())

    def _dt(self, state: int) -> float:
        """The time from the last step's tick to `state`'s: by the ticks' times within a
        run, by their stamps across runs."""
        if self._stepped is None:
            return self._period
        ticks = self.recording.ticks
        within_run = float(ticks.time[state] - ticks.time[self._stepped])
        across_runs = float(ticks.stamp_ns[state] - ticks.stamp_ns[self._stepped]) / 1e9
        return next((dt for dt in (within_run, across_runs) if dt > 0), self._period)


def _sum(a: Sequence[float], b: Sequence[float]) -> List[float]:
    return [a[0] + b[0], a[1] + b[1], a[2] + b[2]]


def replay(recording: Recording, effects: Sequence[api.Effect], output: Optional[str] = None) -> Array:
    """The force of each tick of `recording` worked out from `effects` (an n x 3 array);
    with `output`, also written there as a recording."""
    import numpy

    replayer = Replayer(recording, effects)
    forces = numpy.zeros((len(recording), 3))
    writer = _Writer(recording, replayer.scenes, output) if output else None
    try:
        for tick in range(len(recording)):
            forces[tick] = replayer.force(tick)
            if writer is not None:
                writer.write(tick, forces[tick])
    finally:
        if writer is not None:
            writer.close()
    return forces


class _Writer:
    """The replayed ticks into a recording of their own, under the recording's prefix."""

    def __init__(self, recording: Recording, scenes: Sequence[api.Scene], path: str) -> None:
        from tavix import recording as recording_file

        self._module = recording_file
        self._file = recording_file.RecordingFile(path)
        self._recording = recording
        self._scenes = scenes

    def write(self, tick: int, force: Array) -> None:
        recording, ticks = self._recording, self._recording.ticks
        stamp = int(ticks.stamp_ns[tick])
        row = (ticks.cycle[tick], ticks.time[tick], recording.position[tick], recording.velocity[tick], force,
               ticks.round_trip_us[tick], ticks.lateness_us[tick], ticks.ok[tick])
        self._module.write_tick(self._file, recording.prefix, recording.frame_id, stamp, row)
        header = self._module.header(stamp, recording.frame_id)
        for index, scene in enumerate(self._scenes):
            self._file.write(recording.prefix, "proxy", self._module.proxy_message(index, scene, header), stamp)

    def close(self) -> None:
        self._file.close()


def differences(replayed: Array, recorded: Array) -> Tuple[int, float, float]:
    """The ticks compared (those whose force was recorded), and the largest and the RMS
    magnitude of `replayed` less `recorded` over them (N)."""
    import numpy

    compared = numpy.isfinite(recorded).all(axis=1)
    magnitude = numpy.linalg.norm(replayed[compared] - recorded[compared], axis=1)
    if not len(magnitude):
        return 0, float("nan"), float("nan")
    return len(magnitude), float(magnitude.max()), float(numpy.sqrt(numpy.mean(magnitude ** 2)))


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="tavix replay", description="Works out the forces a scene or effects would have sent over a recorded "
        "session, as the servo loop works them out, and compares them with the forces recorded.")
    parser.add_argument("path", metavar="PATH", help="the recording (MCAP)")
    parser.add_argument("--scene", metavar="SCRIPT", required=True,
                        help="a Python file whose make() returns a Scene, an Effect or a list of them")
    parser.add_argument("-o", "--output", metavar="OUT", help="write the replayed ticks there (MCAP)")
    parser.add_argument("--prefix", help="the arm's topic prefix, for a recording of several arms")
    arguments = parser.parse_args(argv)
    try:
        effects = effects_of(arguments.scene)
        recording = recording_reader.load(arguments.path, arguments.prefix, ("position", "velocity", "force"),
                                          workers=None)
        forces = replay(recording, effects, arguments.output)
    except (ScriptError, RecordingError, ImportError, OSError) as error:
        print("tavix replay: %s" % error, file=sys.stderr)
        return 1
    compared, largest, rms = differences(forces, recording.force)
    print("%d ticks of %s replayed; |replayed - recorded force| over %d ticks: max %.6g N, RMS %.6g N" % (
        len(recording), recording.prefix, compared, largest, rms))
    if arguments.output:
        print("wrote %s" % arguments.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
