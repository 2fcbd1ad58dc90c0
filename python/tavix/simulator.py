"""Starts tavix-sim, the device simulator: for the examples when no real device is named,
and for the tests and benchmarks.

    from tavix import simulator

    with simulator.running("arm") as port:
        arm = TavixHardwareAPI.Morvek3(TavixHardwareAPI.SerialStream(port))

tavix-sim plays a Morvek3 arm or a Gantrel handle on a new pseudo-terminal, prints the
terminal's path on its first line and answers requests until it is stopped
(`tavix-sim --help` lists its options). `pip install .` puts it beside the Python
interpreter, so in the virtual environment that has the module it is simply there.
"""

import contextlib
import os
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, List

from tavix import child_process

# Where the repository's own builds put it (tools/test.sh builds into build/test), for
# this file used from the repository (python/tavix/) rather than installed.
REPO_ROOT = Path(__file__).resolve().parents[2]
BUILT_BINARIES = [REPO_ROOT / "build" / name / "sim" / "tavix-sim" for name in ("test", "dev")]
START_TIMEOUT = 5.0  # seconds for the simulator to print its port


class SimulatorError(Exception):
    """tavix-sim is missing, or did not start."""


def find_binary() -> str:
    """The tavix-sim to run: the one named by $TAVIX_SIM if set (an explicit choice wins),
    else the one beside this interpreter, else the one on PATH, else a repository build."""
    configured = os.environ.get("TAVIX_SIM")
    if configured:
        if not os.access(configured, os.X_OK):
            raise SimulatorError("TAVIX_SIM names %s, which is not an executable file" % configured)
        return configured
    candidates: List[Path] = [Path(sys.executable).parent / "tavix-sim"]
    on_path = shutil.which("tavix-sim")
    if on_path:
        candidates.append(Path(on_path))
    candidates.extend(BUILT_BINARIES)
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    raise SimulatorError(
        "tavix-sim, the device simulator, was not found.\n"
        "  It comes with the module: `pip install .` in the repository puts it beside python\n"
        "  (%s). Otherwise put it on PATH or set TAVIX_SIM to its path.\n"
        "  To use a real device instead, name its port (see --help)." % Path(sys.executable).parent)


def _read_port_path(process: "subprocess.Popen[bytes]") -> str:
    """The first line the simulator prints: the path of its port."""
    assert process.stdout is not None
    fd = process.stdout.fileno()
    deadline = time.monotonic() + START_TIMEOUT
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise SimulatorError("tavix-sim printed no port within %g s" % START_TIMEOUT)
        # One byte at a time: nothing after the first line is read away.
        chunk = os.read(fd, 1)
        if not chunk:
            raise SimulatorError("tavix-sim ended with status %s before printing its port" % process.wait())
        line += chunk
    return line.decode().strip()



@contextlib.contextmanager
def running(kind: str, *options: str) -> Iterator[str]:
    """Runs `tavix-sim kind options...` (kind is "arm" or "handle") and yields the path
    of its port; stops the simulator on leaving. Raises SimulatorError if the simulator
    did not end cleanly (unless the body raised first)."""
    process = subprocess.Popen([find_binary(), kind, *options], stdout=subprocess.PIPE)
    try:
        yield _read_port_path(process)
    finally:
        status = child_process.stop(process)
    if status != 0:
        raise SimulatorError("tavix-sim ended with status %d" % status)
