"""Runs tavix-sim, the device simulator, for the Python tests and benchmarks.

    with running_simulator("arm", "--id", "7") as port:
        stream = TavixHardwareAPI.SerialStream(port)
        ...

The binary is the one named by the environment variable TAVIX_SIM, else the one
`pip install` put beside the running interpreter, else `tavix-sim` on PATH, else
build/test/sim/tavix-sim under the repository root (where the test command builds it). See `tavix-sim --help` for the devices and fault options.
"""

import contextlib
import os
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator

REPO_ROOT = Path(__file__).resolve().parents[2]
BUILT_BINARY = REPO_ROOT / "build" / "test" / "sim" / "tavix-sim"
START_TIMEOUT = 5.0  # seconds for the simulator to print its port
STOP_TIMEOUT = 5.0  # seconds for it to end after SIGTERM


def simulator_binary() -> str:
    """The path of the tavix-sim to run; FileNotFoundError if there is none."""
    configured = os.environ.get("TAVIX_SIM")
    if configured:
        return configured
    installed = Path(sys.executable).parent / "tavix-sim"
    if installed.is_file():
        return str(installed)
    on_path = shutil.which("tavix-sim")
    if on_path:
        return on_path
    if BUILT_BINARY.is_file():
        return str(BUILT_BINARY)
    raise FileNotFoundError(
        "tavix-sim not found: set TAVIX_SIM, put it on PATH or build it into %s" % BUILT_BINARY)


def _read_port_path(process: subprocess.Popen) -> str:
    """The first line the simulator prints: its port's path."""
    fd = process.stdout.fileno()
    deadline = time.monotonic() + START_TIMEOUT
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise TimeoutError("tavix-sim printed no port path within %g s" % START_TIMEOUT)
        chunk = os.read(fd, 1)
        if not chunk:
            raise RuntimeError("tavix-sim ended with status %s before printing its port" % process.wait())
        line += chunk
    return line.decode().strip()


def _stop(process: subprocess.Popen) -> int:
    """Ends the simulator (SIGTERM, then SIGKILL if it hangs) and returns its status."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    process.stdout.close()
    return process.returncode


@contextlib.contextmanager
def running_simulator(kind: str, *args: str) -> Iterator[str]:
    """Runs `tavix-sim kind args...` ("arm" or "handle", then options) and yields the
    path of its port; stops it on leaving. Raises RuntimeError if it does not end with
    status 0 (unless the body raised first)."""
    process = subprocess.Popen([simulator_binary(), kind, *args], stdout=subprocess.PIPE)
    try:
        yield _read_port_path(process)
    finally:
        status = _stop(process)
    if status != 0:
        raise RuntimeError("tavix-sim ended with status %d" % status)
