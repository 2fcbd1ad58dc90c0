"""tavix-bridge and RemoteArm through Zenoh, on loopback only (tcp/127.0.0.1, multicast
scouting off), against simulated arms. Skipped where the remote extra is not installed.
What a process listens on is read from Linux's /proc (its listening TCP sockets whose
inodes are among its open files)."""

import contextlib
import math
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

pytest.importorskip("zenoh", reason="the remote extra (eclipse-zenoh) is not installed")

import TavixHardwareAPI as api  # noqa: E402
from tavix import bridge, bridge_process, encoding, simulator  # noqa: E402
from tavix.remote import ArmFailedError, RemoteArm  # noqa: E402

COMMAND_TIMEOUT = 0.1  # s: the bridges' watchdog
WATCHDOG_SLACK = 0.010  # s: how late past COMMAND_TIMEOUT the watchdog may act


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return "tcp/127.0.0.1:%d" % probe.getsockname()[1]


def wait_until(condition, within=3.0):
    give_up = time.monotonic() + within
    while not condition():
        assert time.monotonic() < give_up, "gave up waiting"
        time.sleep(0.005)


def slack(info):
    """Whether a bridge's info says the arm has no remote effects and gets zero force."""
    return info["remote_effects"] == [] and info["force"] == [0.0, 0.0, 0.0]


class RunningBridge:
    """A bridge for one simulated arm, on a loopback endpoint of its own, its standard
    error kept in a file."""

    def __init__(self, uuid, stderr):
        self.uuid = uuid
        self.endpoint = free_endpoint()
        self.stderr = stderr

    def client(self, **options):
        return RemoteArm(self.uuid, connect=[self.endpoint], **options)

    def errors(self):
        """What the bridge wrote on its standard error so far."""
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")


@contextlib.contextmanager
def running_bridge(uuid, *options, simulator_options=(), timeout=COMMAND_TIMEOUT):
    """Yields a RunningBridge; the launcher raises if the bridge does not end cleanly."""
    with tempfile.TemporaryFile() as stderr:
        running = RunningBridge(uuid, stderr)
        with simulator.running("arm", "--uuid", uuid, *simulator_options) as path, \
                bridge_process.running("--arm-port", path, "--listen", running.endpoint,
                                       "--command-timeout", str(timeout), *options, stderr=stderr):
            yield running


@pytest.fixture(scope="module")
def publishing():
    """A bridge with its defaults: it publishes and takes no commands."""
    with running_bridge("7a5e5130-0000-4000-8000-0000000000a1") as bridge:
        yield bridge


@pytest.fixture(scope="module")
def commanded():
    """A bridge with --allow-commands."""
    with running_bridge("7a5e5130-0000-4000-8000-0000000000a2", "--allow-commands") as bridge:
        yield bridge


def test_state_arrives_and_info_answers(publishing):
    with publishing.client() as arm:
        first = arm.wait_state(timeout=5.0)
        later = arm.wait_state(timeout=2.0, after=first.cycle + 100)
        assert later.ok and len(later.position) == 3 and later.time > first.time
        info = arm.info()
        latency = arm.latency()
    assert info["uuid"] == publishing.uuid and info["allow_commands"] is False
    assert info["counters"]["published"] > 0
    assert latency["count"] > 50 and 0 < latency["p50"] < 100000


def test_without_allow_commands_an_effects_message_changes_nothing(publishing):
    with publishing.client() as arm:
        arm.wait_state(timeout=5.0)
        with pytest.raises(PermissionError, match="--allow-commands"):
            arm.set_effects(encoding.constant([2.0, 0.0, 0.0]))
        for _ in range(20):  # streamed: not even subscribed to
            arm.send_raw(encoding.encode_effects([encoding.constant([2.0, 0.0, 0.0])]))
            time.sleep(0.01)
        state = arm.wait_state(timeout=2.0, after=arm.state().cycle + 50)
        info = arm.info()
    assert state.force == [0.0, 0.0, 0.0]
    assert info["counters"]["commands"] == 0 and info["remote_effects"] == []


def test_streamed_effects_apply_and_the_watchdog_zeroes_the_force_when_the_client_dies(commanded):
    # The commanding client is a process of its own, killed outright.
    script = ("import sys, time\n"
              "from tavix.remote import RemoteArm\nfrom tavix import encoding\n"
              "arm = RemoteArm(sys.argv[1], connect=[sys.argv[2]])\n"
              "while True:\n"
              "    arm.stream_effects(encoding.constant([2.0, 0.0, 0.0]))\n"
              "    time.sleep(0.01)\n")
    controller = subprocess.Popen([sys.executable, "-c", script, commanded.uuid, commanded.endpoint])
    try:
        with commanded.client() as arm:
            arm.wait_state(timeout=5.0)
            wait_until(lambda: abs(arm.state().force[0] - 2.0) < 1e-6, within=5.0)
            assert arm.info()["remote_effects"] == ["constant"]
            controller.kill()
            controller.wait(5.0)
            killed = time.monotonic()
            wait_until(lambda: arm.state().force == [0.0, 0.0, 0.0], within=2.0)
            assert time.monotonic() - killed < COMMAND_TIMEOUT + 0.5
            info = arm.info()
    finally:
        if controller.poll() is None:
            controller.kill()
            controller.wait()
    assert info["remote_effects"] == [] and info["counters"]["expired"] >= 1


# --- Acknowledged commands -------------------------------------------------------------

INVALID = {
    "a force that is not a number": [encoding.constant([math.nan, 0.0, 0.0])],
    "a stiffness of 1e9": [encoding.spring([0.0, 0.0, 0.0], 1e9)],
    "a force of 100 N": [encoding.constant([100.0, 0.0, 0.0])],
    "17 effects": [encoding.damper(1.0)] * (encoding.MAX_EFFECTS + 1),
}


def test_set_effects_returns_once_applied_and_invalid_effects_are_refused_on_both_sides(commanded):
    with commanded.client() as arm:
        before = arm.info()["counters"]
        for effects in INVALID.values():  # refused before anything is sent
            with pytest.raises(ValueError, match="not sent"):
                arm.set_effects(*effects)
            with pytest.raises(ValueError, match="not sent"):
                arm.stream_effects(*effects)
        time.sleep(0.05)  # for anything sent to be counted
        after = arm.info()["counters"]
        assert all(after[name] == before[name] for name in ("commands", "malformed", "refused"))
        replies = [arm.ask_raw(encoding.encode_effects(effects, arm.controller)) for effects in INVALID.values()]
        arm.set_effects(encoding.constant([1.0, 0.0, 0.0]), encoding.damper(2.0))
        applied = arm.info()  # no wait: the reply came once they were applied
        arm.set_effects()
    assert [reply.outcome for reply in replies] == [encoding.INVALID] * len(INVALID)
    assert "stiffness" in replies[1].reason and "17 effects" in replies[3].reason
    assert applied["remote_effects"] == ["constant", "damper"] and applied["controller"] == arm.controller
    assert applied["counters"]["malformed"] - before["malformed"] == len(INVALID)


def test_a_bridge_that_serves_no_such_arm_or_does_not_answer_is_an_error_naming_the_wait(publishing):
    import zenoh

    with pytest.raises(LookupError, match=r"7a5e5130-0000-4000-8000-00000000dead on %s.*0\.30 s"
                       % publishing.endpoint):
        RemoteArm("7A5E5130000040008000-00000000DEAD", connect=[publishing.endpoint], timeout=0.3)
    with pytest.raises(ValueError, match="uuid"):
        RemoteArm("7a5e5130-0000-4000-8000", connect=[publishing.endpoint])
    # A stand-in for a bridge that answers for its arm's info and nothing else.
    config = zenoh.Config()
    config.insert_json5("listen/endpoints", "[]")
    config.insert_json5("scouting/multicast/enabled", "false")
    session = zenoh.open(config)
    silent = "7a5e5130-0000-4000-8000-0000000000d1"
    info = session.declare_queryable("tavix/%s/info" % silent, lambda query: query.reply(query.key_expr, b"{}"))
    try:
        arm = RemoteArm(silent.upper().replace("-", ""), session=session)
        assert arm.uuid == silent
        began = time.monotonic()
        with pytest.raises(TimeoutError, match=r"no bridge answered for the arm %s within 0\.30 s" % silent):
            arm.set_effects(encoding.damper(1.0), timeout=0.3)
        assert time.monotonic() - began >= 0.3
        arm.close()
    finally:
        info.undeclare()
        session.close()


def test_malformed_messages_are_counted_and_dropped(commanded):
    with commanded.client() as arm:
        arm.wait_state(timeout=5.0)
        before = arm.info()["counters"]
        bad = [b"\x00\xff not json", b'{"version": 2, "effects": []}',
               b'{"version": 1, "effects": [{"type": "constant", "force": [NaN, 0, 0]}]}',
               encoding.encode_effects([encoding.spring([0, 0, 0], 1e9)]),
               encoding.encode_effects([encoding.wall([0, 0, 0], [0, 0, 0], 100.0)]),
               encoding.encode_state(1, 0.0, [0] * 3, [0] * 3, [0] * 3, True, 0)]
        for payload in bad:
            arm.send_raw(payload)
        wait_until(lambda: arm.info()["counters"]["malformed"] - before["malformed"] == len(bad))
        info = arm.info()
        state = arm.wait_state(timeout=2.0, after=arm.state().cycle + 20)
    assert info["counters"]["commands"] == before["commands"]
    assert info["remote_effects"] == [] and state.force == [0.0, 0.0, 0.0]


def test_the_encodings_check_their_layout():
    state = encoding.encode_state(7, 0.5, [1, 2, 3], [4, 5, 6], [7, 8, 9], True, 42)
    assert len(state) == 104 and encoding.decode_state(state).position == [1.0, 2.0, 3.0]
    for broken in (state[:-1], b"XX" + state[2:], state[:2] + b"\x02" + state[3:], state[:3] + b"\x02" + state[4:]):
        with pytest.raises(encoding.MessageError):
            encoding.decode_state(broken)
    status = encoding.encode_status({"device_id": 3, "quaternion": [1, 0, 0, 0], "error_flag": 0,
                                     "hall_effect_sensor_level": 9, "buttons": 1, "battery_level": 3.9}, 1)
    assert len(status) == 80 and encoding.decode_status(status).hall_effect_sensor_level == 9


def test_a_handle_status_is_published():
    import zenoh

    endpoint = free_endpoint()
    # The launcher raises if the bridge does not end cleanly.
    with simulator.running("handle", "--id", "7") as path, \
            bridge_process.running("--handle-port", path, "--listen", endpoint) as published:
        config = zenoh.Config()
        config.insert_json5("connect/endpoints", '["%s"]' % endpoint)
        config.insert_json5("scouting/multicast/enabled", "false")
        session = zenoh.open(config)
        received = []
        subscriber = session.declare_subscriber(
            "tavix/handle/7/status", lambda sample: received.append(sample.payload.to_bytes()))
        wait_until(lambda: len(received) >= 3, within=10.0)
        subscriber.undeclare()
        session.close()
    assert published == ["handle 7: tavix/handle/7/status"]
    decoded = encoding.decode_status(received[-1])
    assert decoded.device_id == 7 and decoded.error_flag == 0 and len(decoded.quaternion) == 4


# --- Faults a tester found: each test names the behaviour that mends it. ---------------

def motor_currents(port_path):
    """The simulated arm's motor currents, read once the bridge has let go of its port:
    zero exactly when the last force the arm was sent is zero."""
    with api.Port(port_path, timeout=1.0) as port:
        return api.Morvek3(port).get_motor_currents()


def test_a_signal_that_ends_the_bridge_leaves_the_arm_at_zero_force():
    uuid = "7a5e5130-0000-4000-8000-0000000000b1"
    endpoint = free_endpoint()
    with simulator.running("arm", "--uuid", uuid) as path:
        with bridge_process.launched("--arm-port", path, "--listen", endpoint, "--allow-commands",
                                     "--command-timeout", "10") as running, \
                RemoteArm(uuid, connect=[endpoint]) as arm:
            arm.wait_state(timeout=5.0)
            arm.set_effects(encoding.constant([3.0, 0.0, 0.0]))
            wait_until(lambda: abs(arm.state().force[0] - 3.0) < 1e-6, within=5.0)
            os.kill(running.process.pid, signal.SIGHUP)  # a terminal or SSH session closing
            status = running.process.wait(5.0)
        currents = motor_currents(path)
    assert currents == [0.0, 0.0, 0.0]
    assert status == 1  # not a normal stop


def test_the_watchdog_acts_on_time_at_any_rate_and_after_an_oversized_message():
    with running_bridge("7a5e5130-0000-4000-8000-0000000000b2", "--allow-commands", "--rate", "1") as running, \
            running.client() as arm:
        for _ in range(5):
            arm.set_effects(encoding.constant([2.0, 0.0, 0.0]))
            time.sleep(0.02)
        arm.send_raw(b"[" * (8 * encoding.MAX_MESSAGE_BYTES))  # dropped unread, after the last command
        wait_until(lambda: slack(arm.info()), within=3.0)  # the effects removed, and a tick since
        info = arm.info()
    assert info["counters"]["commands"] == 5 and info["counters"]["malformed"] == 1
    assert info["counters"]["expired"] == 1 and info["force"] == [0.0, 0.0, 0.0]
    assert COMMAND_TIMEOUT <= info["expired_after"] <= COMMAND_TIMEOUT + WATCHDOG_SLACK


def test_an_in_place_update_never_shows_a_tick_a_mix_of_two_messages():
    # Two springs, alternated as fast as they can be: A, stiff, at the arm's position, and
    # B, soft, far away. Each alone gives a modest force; A's stiffness with B's centre
    # would give thousands of newtons (clamped to max_force).
    max_force = 5.0
    with simulator.running("arm") as path, api.Port(path, timeout=0.01) as port:
        loop = api.ServoLoop(api.Morvek3(port), max_force=max_force)
        loop.start()
        try:
            remote = bridge.RemoteEffects(loop, timeout=10.0)
            time.sleep(0.2)  # past the loop's ramp
            x, y, z = loop.state().position
            springs = [encoding.spring([x, y, z], 600.0), encoding.spring([x + 5.0, y, z], 0.2)]
            messages = [encoding.parse_effects_message(encoding.encode_effects([spring], "test"))
                        for spring in springs]
            began = time.monotonic()
            while time.monotonic() - began < 1.0:
                for message in messages:
                    assert remote.command(message).outcome == encoding.APPLIED
            history = loop.history()
            remote.close()
        finally:
            loop.stop()
    assert len(history) > 500

    def alone(spring, position):
        pull = [spring["stiffness"] * (c - p) for c, p in zip(spring["center"], position)]
        return min(max_force, math.sqrt(sum(f * f for f in pull)))

    # A tick's force comes from the position of the tick before it (damping is zero).
    worst = [(math.sqrt(sum(f * f for f in row[4])), max(alone(spring, before[2]) for spring in springs))
             for before, row in zip(history[:-1], history[1:]) if row[1] > 0.15]
    mixed = [(force, bound) for force, bound in worst if force > bound * 1.001 + 1e-3]
    assert not mixed, "%d ticks of a mix, e.g. %.2f N where the messages give %.2f N at most" % (
        len(mixed), *mixed[0])


def test_a_stiffness_above_what_the_loop_renders_passively_is_invalid_for_the_effects_damping():
    with simulator.running("arm") as path, api.Port(path, timeout=0.01) as port:
        loop = api.ServoLoop(api.Morvek3(port), device_damping=2.0)  # 1333 N/m at 1 kHz, 667 with 1 N s/m
        remote = bridge.RemoteEffects(loop, timeout=10.0)
        try:
            walls = [encoding.wall([0.0] * 3, [0.0, 0.0, 1.0], stiffness, 1.0) for stiffness in (667.0, 666.0)]
            replies = [remote.command(encoding.parse_effects_message(encoding.encode_effects([wall], "test")))
                       for wall in walls]
            counters = remote.snapshot()["counters"]
        finally:
            remote.close()
    assert [reply.outcome for reply in replies] == [encoding.INVALID, encoding.APPLIED]
    assert "a wall's stiffness 667 N/m is above 666.667 N/m" in replies[0].reason
    assert (counters["malformed"], counters["commands"]) == (1, 1)


def test_one_controller_at_a_time(commanded):
    with commanded.client() as first, commanded.client() as second:
        first.wait_state(timeout=5.0)
        first.set_effects(encoding.constant([0.5, 0.0, 0.0]))
        with pytest.raises(PermissionError, match=first.controller):
            second.set_effects(encoding.constant([-0.5, 0.0, 0.0]))
        assert second.info()["controller"] == first.controller
        second.take_control()  # a supervisor's: the holder's effects go
        info = second.info()
        assert info["controller"] == second.controller and info["remote_effects"] == []
        second.release_control()
        assert second.info()["controller"] is None


MALFORMED = {
    "a 400-digit integer": b'{"version": 1, "effects": [{"type": "damper", "damping": %s}]}' % (b"9" * 400),
    "a type given as a list": b'{"version": 1, "effects": [{"type": ["spring"], "damping": 1.0}]}',
    "deeply nested JSON": b'{"version": 1, "effects": ' + b"[" * 20000 + b"]" * 20000 + b"}",
    "version true": b'{"version": true, "effects": []}',
    "version 1.0": b'{"version": 1.0, "effects": []}',
    "a controller that is not a name": b'{"version": 1, "controller": 7, "effects": []}',
}


def test_every_malformed_message_is_counted_and_none_raises(commanded):
    with commanded.client() as arm:
        arm.wait_state(timeout=5.0)
        before = arm.info()["counters"]
        for payload in MALFORMED.values():
            arm.send_raw(payload)
        wait_until(lambda: arm.info()["counters"]["malformed"] - before["malformed"] >= len(MALFORMED))
        time.sleep(0.05)  # for anything counted twice, or applied, to show
        counters = arm.info()["counters"]
    assert counters["malformed"] - before["malformed"] == len(MALFORMED)
    assert counters["commands"] == before["commands"]
    assert "Traceback" not in commanded.errors()


def test_an_arm_that_hangs_up_is_published_as_failed_and_refuses_commands():
    with running_bridge("7a5e5130-0000-4000-8000-0000000000b3", "--allow-commands", "--no-reopen",
                        simulator_options=("--hangup-after", "2500")) as running, running.client() as arm:
        arm.wait_state(timeout=5.0)
        wait_until(lambda: arm.info()["failed"] is not None, within=10.0)
        info = arm.info()
        wait_until(lambda: arm.state().failed, within=2.0)
        last, received = arm.state(), arm.received
        time.sleep(0.1)
        assert arm.received == received and arm.info()["counters"]["published"] == info["counters"]["published"]
        with pytest.raises(ArmFailedError, match="failed"):
            arm.set_effects(encoding.constant([1.0, 0.0, 0.0]))
        with pytest.raises(ArmFailedError):
            arm.take_control()
    assert not last.ok and last.force == [0.0, 0.0, 0.0] and info["running"] is False


def test_the_bridge_reopens_an_arm_that_comes_back_with_no_remote_effects(tmp_path):
    uuid = "7a5e5130-0000-4000-8000-0000000000c1"
    link = str(tmp_path / "ttyACM0")  # where a scan of tmp_path finds the simulator
    endpoint = free_endpoint()
    with contextlib.ExitStack() as first, tempfile.TemporaryFile() as stderr:
        first.enter_context(simulator.running("arm", "--uuid", uuid, "--link", link))
        with bridge_process.running("--scan", "--dev", str(tmp_path), "--listen", endpoint, "--allow-commands",
                                    "--command-timeout", "10", stderr=stderr), \
                RemoteArm(uuid, connect=[endpoint]) as arm:
            arm.set_effects(encoding.constant([1.0, 0.0, 0.0]))
            wait_until(lambda: arm.state().force == [1.0, 0.0, 0.0], within=5.0)
            first.close()  # the simulator ends: the arm hangs up
            wait_until(lambda: arm.state().failed, within=5.0)
            failed = arm.state()
            with simulator.running("arm", "--uuid", uuid, "--link", link):
                wait_until(lambda: not arm.state().failed, within=10.0)
                state = arm.wait_state(timeout=2.0, after=arm.state().cycle + 20)
                info = arm.info()
                arm.set_effects(encoding.constant([1.0, 0.0, 0.0]))  # a client commands again
                wait_until(lambda: arm.state().force == [1.0, 0.0, 0.0], within=5.0)
    assert info["counters"]["reopened"] == 1 and info["failed"] is None and info["port"] == link
    assert info["remote_effects"] == [] and info["controller"] is None
    assert state.ok and state.force == [0.0, 0.0, 0.0] and state.cycle > failed.cycle


# --- Where each side listens ---------------------------------------------------------------

def listening_sockets(pid):
    """The (address, port) of every TCP socket process `pid` listens on, the address as
    /proc writes it (127.0.0.1 is "0100007F")."""
    inodes = set()
    for name in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, name))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    found = []
    for table in ("tcp", "tcp6"):
        with open("/proc/%d/net/%s" % (pid, table)) as lines:
            for line in list(lines)[1:]:
                fields = line.split()
                if fields[3] == "0A" and fields[9] in inodes:  # LISTEN
                    address, port = fields[1].split(":")
                    found.append((address, int(port, 16)))
    return found


def test_a_remote_arm_opened_with_defaults_listens_nowhere(publishing):
    script = ("import sys\nfrom tavix.remote import RemoteArm\n"
              "with RemoteArm(sys.argv[1], connect=[sys.argv[2]]) as arm:\n"
              "    arm.wait_state(timeout=5.0)\n    print('open', flush=True)\n    sys.stdin.read()\n")
    client = subprocess.Popen([sys.executable, "-c", script, publishing.uuid, publishing.endpoint],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert client.stdout.readline() == b"open\n"
        sockets = listening_sockets(client.pid)
    finally:
        client.stdin.close()
        client.wait(5.0)
    assert sockets == [] and client.returncode == 0


def test_a_bridge_whose_configuration_names_no_listen_endpoint_listens_on_loopback_only(tmp_path):
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", 7447))
        except OSError:
            pytest.skip("another program listens on 127.0.0.1:7447, the bridge's default")
    config = tmp_path / "no-listen.json5"
    config.write_text('{ mode: "peer", scouting: { multicast: { enabled: false } } }')
    with simulator.running("arm") as path, \
            bridge_process.launched("--arm-port", path, "--config", str(config)) as running:
        sockets = listening_sockets(running.process.pid)
    assert sockets == [("0100007F", 7447)] and running.listening == [bridge.DEFAULT_LISTEN]


def test_a_listen_address_in_use_is_one_line_of_error_and_status_1():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        endpoint = "tcp/127.0.0.1:%d" % taken.getsockname()[1]
        ended = subprocess.run([sys.executable, "-m", "tavix.bridge", "--arm-port", "/nonexistent", "--listen",
                                endpoint], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
    errors = ended.stderr.decode().splitlines()
    assert ended.returncode == 1 and len(errors) == 1 and "Address already in use" in errors[0], errors
