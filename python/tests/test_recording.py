"""Recording a servo loop into an MCAP file of ROS 2 messages (tavix.recording), read back
with mcap-ros2-support and with rosbags; and the same topics from tavix-bridge --record
and from tavix record, through Zenoh on loopback (skipped where Zenoh is missing)."""

import importlib.util
import json
import logging
import signal
import socket
import subprocess
import sys
import time
from typing import Any, NamedTuple

import pytest

pytest.importorskip("mcap_ros2", reason="the record extra (mcap-ros2-support) is not installed")

import TavixHardwareAPI as api  # noqa: E402
from mcap.reader import make_reader  # noqa: E402
from mcap_ros2.decoder import DecoderFactory  # noqa: E402
from tavix import bridge_process, recording, simulator  # noqa: E402

TIMEOUT = 0.2  # s: the port's time-out in these tests
needs_zenoh = pytest.mark.skipif(importlib.util.find_spec("zenoh") is None,
                                 reason="the remote extra (eclipse-zenoh) is not installed")


def decoded(path, topic):
    """The (log time, message) of each message on `topic`, through mcap-ros2-support."""
    with open(path, "rb") as stream:
        reader = make_reader(stream, decoder_factories=[DecoderFactory()])
        return [(message.log_time, ros_message)
                for _, _, message, ros_message in reader.iter_decoded_messages([topic])]


def messages(path, topic):
    return [ros_message for _, ros_message in decoded(path, topic)]


def stamp_ns(header):
    return header.stamp.sec * 1_000_000_000 + header.stamp.nanosec


def xyz(vector):
    return [vector.x, vector.y, vector.z]


class Recorded(NamedTuple):
    path: Any
    history: Any
    cycles: int
    recorder: recording.Recorder
    started_ns: int  # the wall clock just before start()


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """Two seconds of a simulated arm pulled by a spring, recorded from before its start."""
    path = tmp_path_factory.mktemp("recording") / "run.mcap"
    with simulator.running("arm") as port_path, api.Port(port_path, timeout=TIMEOUT) as port:
        loop = api.ServoLoop(api.Morvek3(port), history_size=10000)
        loop.add(api.Spring([0.0, 0.0, 0.1], 100.0))
        with loop.record(path) as recorder:
            started_ns = time.time_ns()
            loop.start()
            time.sleep(2.0)
            loop.stop()
    return Recorded(path, loop.history(), loop.stats()["cycles"], recorder, started_ns)


def assert_matches_history(recorded, ticks, forces, log_times):
    """Every tick once, as history() has it, stamped with one epoch plus its time."""
    history = recorded.history
    assert len(ticks) == len(history) == recorded.cycles == recorded.recorder.ticks
    assert recorded.recorder.lost == 0
    assert [(tick.cycle, tick.time) for tick in ticks] == [(int(row[0]), float(row[1])) for row in history]
    assert [xyz(force.wrench.force) for force in forces] == [[float(value) for value in row[4]] for row in history]
    stamps = [stamp_ns(tick.header) for tick in ticks]
    epoch = stamps[0] - round(ticks[0].time * 1e9)
    assert stamps == [epoch + round(tick.time * 1e9) for tick in ticks] == log_times
    assert [stamp_ns(force.header) for force in forces] == stamps
    assert all(later > earlier for earlier, later in zip(stamps, stamps[1:]))
    assert abs(epoch - recorded.started_ns) < 50_000_000


def test_every_tick_is_recorded_as_the_history_has_it(recorded):
    ticks = decoded(recorded.path, "/tavix/tick")
    forces = messages(recorded.path, "/tavix/force")
    assert_matches_history(recorded, [tick for _, tick in ticks], forces, [log_time for log_time, _ in ticks])
    stats = messages(recorded.path, "/tavix/stats")
    assert (stats[-1].cycles, stats[-1].lost) == (recorded.cycles, 0)


def test_rosbags_reads_the_same_recording(recorded):
    highlevel = pytest.importorskip("rosbags.highlevel", reason="rosbags is not installed")
    topics = {}
    with highlevel.AnyReader([recorded.path]) as reader:
        for connection, log_time, raw in reader.messages():
            topics.setdefault(connection.topic, []).append((log_time, reader.deserialize(raw, connection.msgtype)))
    ticks, forces = topics["/tavix/tick"], topics["/tavix/force"]
    assert_matches_history(recorded, [tick for _, tick in ticks], [force for _, force in forces],
                           [log_time for log_time, _ in ticks])


@pytest.fixture
def arm():
    with simulator.running("arm") as path, api.Port(path, timeout=TIMEOUT) as port:
        yield api.Morvek3(port)


def test_a_recorder_that_falls_behind_counts_and_logs_the_ticks_lost(arm, tmp_path, caplog):
    loop = api.ServoLoop(arm, history_size=16)
    recorder = recording.Recorder(loop, tmp_path / "behind.mcap", _drain_interval=0.2)
    with loop:
        time.sleep(0.5)
    with caplog.at_level(logging.WARNING, logger="tavix.recording"):
        recorder.close()
    ticks = messages(tmp_path / "behind.mcap", "/tavix/tick")
    assert recorder.lost > 0 and len(ticks) == recorder.ticks
    assert len(ticks) + recorder.lost == loop.stats()["cycles"]
    assert messages(tmp_path / "behind.mcap", "/tavix/stats")[-1].lost == recorder.lost
    assert "lost %d ticks" % recorder.lost in caplog.text


def test_each_run_after_a_stop_gets_its_own_start(arm, tmp_path):
    loop = api.ServoLoop(arm)
    with loop.record(tmp_path / "runs.mcap"):
        for _ in range(2):
            with loop:
                time.sleep(0.3)
            time.sleep(0.3)
    ticks = messages(tmp_path / "runs.mcap", "/tavix/tick")
    second = next(index for index, tick in enumerate(ticks) if index and tick.cycle <= ticks[index - 1].cycle)
    epochs = [stamp_ns(tick.header) - round(tick.time * 1e9) for tick in ticks]
    assert len(set(epochs[:second])) == len(set(epochs[second:])) == 1
    assert epochs[second] - stamp_ns(ticks[second - 1].header) > 250_000_000  # the pause between the runs


def test_effects_are_written_at_the_start_and_on_each_change_and_scenes_proxies_each_drain(arm, tmp_path):
    scene = api.Scene([api.Sphere([0.0, 0.0, -0.3], 0.05)])
    loop = api.ServoLoop(arm)
    loop.add(api.Spring([0.0, 0.0, 0.1], 100.0))
    loop.add(scene)
    with loop.record(tmp_path / "scene.mcap"):
        with loop:
            time.sleep(0.3)
            scene.add(api.Sphere([0.0, 0.0, 0.3], 0.05))
            time.sleep(0.3)
    path = tmp_path / "scene.mcap"
    effects = [json.loads(message.data) for message in messages(path, "/tavix/effects")]
    assert [[effect["type"] for effect in described] for described in effects] == [["Spring", "Scene"]] * 2
    assert [len(described[1]["shapes"]) for described in effects] == [1, 2]
    proxies = messages(path, "/tavix/proxy")
    tick_stamps = {stamp_ns(tick.header) for tick in messages(path, "/tavix/tick")}
    assert len(proxies) > 10 and {proxy.scene for proxy in proxies} == {0}
    assert {stamp_ns(proxy.header) for proxy in proxies} <= tick_stamps


def test_a_recording_without_numpy_takes_the_history_tuples(arm, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy raises ImportError
    loop = api.ServoLoop(arm)
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    with loop.record(tmp_path / "tuples.mcap"):
        with loop:
            time.sleep(0.3)
    history = loop.history()
    forces = messages(tmp_path / "tuples.mcap", "/tavix/force")
    assert isinstance(history, list)
    assert [xyz(force.wrench.force) for force in forces] == [list(row[4]) for row in history]


# --- Through Zenoh: the bridge's --record and tavix record. ----------------------------

def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return "tcp/127.0.0.1:%d" % probe.getsockname()[1]


@needs_zenoh
def test_the_bridge_records_every_tick_of_its_arm_under_its_uuid_until_it_stops(tmp_path):
    uuid = "7a5e5130-0000-4000-8000-0000000000d1"
    with simulator.running("arm", "--uuid", uuid) as port_path, \
            bridge_process.running("--arm-port", port_path, "--listen", free_endpoint(),
                                   "--record", str(tmp_path / "bridge.mcap")):
        time.sleep(0.5)
    ticks = messages(tmp_path / "bridge.mcap", "/tavix/%s/tick" % uuid)
    last = messages(tmp_path / "bridge.mcap", "/tavix/%s/stats" % uuid)[-1]
    assert ticks[0].cycle == 0 and all(later.cycle > earlier.cycle for earlier, later in zip(ticks, ticks[1:]))
    assert (last.cycles, last.lost) == (len(ticks), 0)
    assert {tick.header.frame_id for tick in ticks} == {uuid}


@needs_zenoh
def test_tavix_record_writes_the_state_streams_of_the_arms_named_until_sigterm(tmp_path):
    uuid = "7a5e5130-0000-4000-8000-0000000000d2"
    endpoint = free_endpoint()
    path = tmp_path / "remote.mcap"
    with simulator.running("arm", "--uuid", uuid) as port_path, \
            bridge_process.running("--arm-port", port_path, "--listen", endpoint):
        command = subprocess.Popen([sys.executable, "-m", "tavix.record_command", "--connect", endpoint, uuid,
                                    "-o", str(path)], stdout=subprocess.PIPE, text=True)
        try:
            assert command.stdout.readline().startswith("tavix record: recording 1 arm")
            time.sleep(1.0)
            command.send_signal(signal.SIGTERM)
            output = command.communicate(timeout=10.0)[0]
        finally:
            if command.poll() is None:
                command.kill()
                command.wait()
    assert command.returncode == 0
    ticks = messages(path, "/tavix/%s/tick" % uuid)
    assert "wrote %s" % path in output and "%s: %d ticks" % (uuid, len(ticks)) in output
    assert len(ticks) > 100 and all(later.cycle > earlier.cycle for earlier, later in zip(ticks, ticks[1:]))
    assert {tick.header.frame_id for tick in ticks} == {uuid}
    # One start for the loop; only an arm that fails (its last state is not ok) and comes back changes it.
    epochs = [stamp_ns(tick.header) - round(tick.time * 1e9) for tick in ticks]
    assert all(later == earlier or not (tick.ok and following.ok)
               for tick, following, earlier, later in zip(ticks, ticks[1:], epochs, epochs[1:]))
