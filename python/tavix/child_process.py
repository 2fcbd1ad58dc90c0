"""Ending the helper processes that tavix.simulator and tavix.bridge_process start."""

import subprocess

STOP_TIMEOUT = 5.0  # seconds for a process to end after SIGTERM


def stop(process: "subprocess.Popen[bytes]") -> int:
    """Ends `process` (SIGTERM, then SIGKILL if it does not end in time), closes its
    standard output and returns its exit status."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout is not None:
        process.stdout.close()
    return process.returncode
