"""Recordings read back: a recorded arm played again by tavix replay-device, a scene
replayed over recorded motion by tavix replay, a recording drawn by tavix plot, and the
reader they share."""

import os
import signal
import subprocess
import sys
import time

import pytest

import TavixHardwareAPI as api
from tavix import plotting, recording_reader, recording_schema, replay, simulator

numpy = pytest.importorskip("numpy")
pytest.importorskip("mcap_ros2")

TIMEOUT = 0.2  # s: the ports' time-out
SPRING_DROP = 0.02  # m: the spring pulls the arm this far down while it is recorded
PLANE_BELOW = 0.005  # m: the replayed scene's plane, below where the arm starts
SCENE_SCRIPT = """
import TavixHardwareAPI as api

def make():
    return api.Scene([api.Plane([0.0, 0.0, %r], [0.0, 0.0, 1.0], api.Material(stiffness=400.0, damping=0.5))])
"""


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """A recording of about a second of the simulated arm, pulled down by a spring."""
    path = tmp_path_factory.mktemp("recorded") / "run.mcap"
    with simulator.running("arm") as port_path, api.Port(port_path, timeout=TIMEOUT) as port:
        arm = api.Morvek3(port)
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        loop = api.ServoLoop(arm, max_force=2.0)
        loop.add(api.Spring([start[0], start[1], start[2] - SPRING_DROP], 50.0, damping=1.0))
        with loop.record(path), loop:
            time.sleep(1.0)
    return path


def test_a_replayed_device_answers_the_recorded_states_in_order_then_rests(recorded, tmp_path):
    ticks = recording_reader.load(recorded, series=("position", "velocity"))
    expected = [(list(p), list(v)) for p, v, ok in zip(ticks.position, ticks.velocity, ticks.ticks.ok) if ok]
    device = subprocess.Popen([sys.executable, "-m", "tavix.replay_device", str(recorded)], stdout=subprocess.PIPE,
                              env=dict(os.environ, TMPDIR=str(tmp_path)))
    try:
        with api.Port(simulator._read_port_path(device), timeout=TIMEOUT) as port:
            arm = api.Morvek3(port)
            answered = [arm.end_effector_force([0.0, 0.0, 0.0]) for _ in expected]
            # The wire carries binary32, as the recording's numbers came: they are equal.
            assert [(list(p), list(v)) for p, v in answered] == expected
            assert arm.end_effector_force([0.0, 0.0, 0.0]) == (expected[-1][0], [0.0, 0.0, 0.0])
        device.send_signal(signal.SIGINT)
        assert device.wait(10) == 0
    finally:
        device.kill()
        device.stdout.close()
    assert os.listdir(tmp_path) == [], "the states' file is removed"


def test_replaying_a_scene_steps_it_over_the_positions_a_tick_late_and_records_it(recorded, tmp_path, capsys):
    recording = recording_reader.load(recorded)
    assert recording.ticks.ok.all() and (numpy.diff(recording.ticks.cycle) > 0).all(), "one run, no failure"
    script = tmp_path / "plane.py"
    script.write_text(SCENE_SCRIPT % float(recording.position[0][2] - PLANE_BELOW))
    output = tmp_path / "replayed.mcap"
    assert replay.main([str(recorded), "--scene", str(script), "-o", str(output)]) == 0
    assert "%d ticks of /tavix replayed" % len(recording) in capsys.readouterr().out

    # Tick k sends the force of tick k-1's position, stepped by the time since the step before.
    scene = replay.effects_of(str(script))[0]
    expected = [[0.0, 0.0, 0.0]]
    for k in range(1, len(recording)):
        dt = recording.ticks.time[k - 1] - recording.ticks.time[k - 2] if k > 1 else 0.001
        expected.append(scene.step(recording.position[k - 1].tolist(), dt))
    replayed = recording_reader.load(output)
    assert (replayed.force == numpy.array(expected)).all()
    assert (replayed.position == recording.position).all()
    assert numpy.abs(replayed.force[:, 2]).max() > 0.5 and replayed.proxies.in_contact.any(), "the plane was touched"
    assert len(replayed.proxies.stamp_ns) == len(recording)


def test_plot_draws_a_png(recorded, tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "run.png"
    assert plotting.main([str(recorded), "-o", str(output)]) == 0
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def write_ticks(path, prefixes, count, chunk_size=1 << 20):
    """A recording of `count` ticks 1 ms apart, each prefix's, in chunks of about `chunk_size` bytes."""
    from mcap_ros2.writer import Writer

    with open(path, "wb") as stream:
        writer = Writer(stream, chunk_size=chunk_size)
        schemas = {name: writer.register_msgdef(topic.datatype, recording_schema.definition(topic.datatype))
                   for name, topic in recording_schema.TOPICS.items()}
        for cycle in range(count):
            stamp = 1_700_000_000_000_000_000 + cycle * 1_000_000
            header = {"stamp": {"sec": stamp // 10**9, "nanosec": stamp % 10**9}, "frame_id": "arm"}
            point = {"x": cycle * 1e-4, "y": 0.0, "z": 0.0}
            for prefix in prefixes:
                write = lambda name, message: writer.write_message(  # noqa: E731
                    recording_schema.topic_name(prefix, name), schemas[name], dict(message, header=header), stamp)
                write("tick", {"cycle": cycle, "time": cycle * 1e-3, "round_trip_us": 100.0, "lateness_us": 5.0,
                               "ok": True})
                write("position", {"point": point})
        writer.finish()


def test_the_reader_needs_a_prefix_among_several_arms_and_reads_a_file_in_parts_as_whole(tmp_path, monkeypatch):
    several = tmp_path / "two.mcap"
    write_ticks(several, ["/tavix/a", "/tavix/b"], 10)
    with pytest.raises(recording_reader.RecordingError, match="name one with --prefix: /tavix/a, /tavix/b"):
        recording_reader.load(several)
    assert recording_reader.load(several, "/tavix/b").prefix == "/tavix/b"

    chunked = tmp_path / "chunked.mcap"
    write_ticks(chunked, ["/tavix"], 3000, chunk_size=4096)
    monkeypatch.setattr(recording_reader, "PARALLEL_FROM_CHUNKS", 2)
    whole, parts = recording_reader.load(chunked), recording_reader.load(chunked, workers=3)
    assert (parts.ticks.cycle == numpy.arange(3000)).all()
    assert (parts.position == whole.position).all()
