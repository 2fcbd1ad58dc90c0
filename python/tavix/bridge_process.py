"""Starts tavix-bridge (tavix.bridge) as a process of its own: for the teleoperation
example and the tests, which put simulated arms on the network.

    from tavix import bridge_process, simulator

    with simulator.running("arm") as port, \\
            bridge_process.running("--arm-port", port, "--listen", "tcp/127.0.0.1:7447"):
        ...   # RemoteArm(uuid, connect=["tcp/127.0.0.1:7447"]) sees the arm

The bridge runs on this interpreter (`python -m tavix.bridge`), so it finds the module
and the `remote` extra this process has. It names what it publishes on its first lines
and prints "ready, listening on ENDPOINT, ..." once every device is open and every loop
runs; it stops, sending the arms zero force, on SIGTERM. The launcher reads nothing of
the bridge besides that.
launched() is the same with the process at hand (to signal it, or read its exit status).
"""

import contextlib
import os
import select
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import IO, Any, Iterator, List, Optional, Tuple

from tavix import child_process

START_TIMEOUT = 15.0  # seconds for the bridge to open its devices and say it is ready


class BridgeError(Exception):
    """tavix-bridge did not start, or did not end cleanly."""


READY = "ready"  # the start of the line the bridge prints once it is ready
LISTENING = "ready, listening on "  # ... followed by the endpoints, or "no endpoint"


def _ready_line(output: bytes) -> bool:
    return any(line == READY or line.startswith(READY + ",")
               for line in output.decode(errors="replace").split("\n")[:-1])


def _read_until_ready(process: "subprocess.Popen[bytes]") -> Tuple[List[str], List[str]]:
    """The lines the bridge prints before its "ready" line (the keys it publishes), and
    the endpoints that line says it listens on."""
    assert process.stdout is not None
    fd = process.stdout.fileno()
    deadline = time.monotonic() + START_TIMEOUT
    output = b""
    while not _ready_line(output):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise BridgeError("tavix-bridge was not ready within %g s: %s"
                              % (START_TIMEOUT, output.decode(errors="replace")))
        chunk = os.read(fd, 4096)
        if not chunk:
            raise BridgeError("tavix-bridge ended with status %s before it was ready: %s"
                              % (process.wait(), output.decode(errors="replace")))
        output += chunk
    lines = output.decode(errors="replace").splitlines()
    ready = next(index for index, line in enumerate(lines) if line == READY or line.startswith(READY + ","))
    listening = lines[ready][len(LISTENING):] if lines[ready].startswith(LISTENING) else ""
    endpoints = [] if listening in ("", "no endpoint") else listening.split(", ")
    return lines[:ready], endpoints



@dataclass
class BridgeProcess:
    """A running tavix-bridge: its process, the lines it printed before "ready" and the
    endpoints it said it listens on."""

    process: "subprocess.Popen[bytes]"
    lines: List[str]
    listening: List[str]


@contextlib.contextmanager
def launched(*options: str, stderr: Optional[IO[Any]] = None) -> Iterator[BridgeProcess]:
    """Runs `tavix-bridge options...` (its standard error to `stderr` if given) and, once
    it is ready, yields it; stops it on leaving if it still runs. Its exit status is then
    `process.returncode`, which this does not judge. BridgeError if it was not ready
    within START_TIMEOUT."""
    process = subprocess.Popen([sys.executable, "-m", "tavix.bridge", *options], stdout=subprocess.PIPE,
                               stderr=stderr)
    try:
        yield BridgeProcess(process, *_read_until_ready(process))
    finally:
        child_process.stop(process)


@contextlib.contextmanager
def running(*options: str, stderr: Optional[IO[Any]] = None) -> Iterator[List[str]]:
    """Runs `tavix-bridge options...` and, once it is ready, yields the lines it printed
    before (one per device: the key it publishes); stops the bridge on leaving. Raises
    BridgeError if it was not ready within START_TIMEOUT, or did not end cleanly
    (unless the body raised first)."""
    with launched(*options, stderr=stderr) as bridge:
        yield bridge.lines
    if bridge.process.returncode != 0:
        raise BridgeError("tavix-bridge ended with status %d" % bridge.process.returncode)
