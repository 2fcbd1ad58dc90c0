"""The examples in examples/ run as a user runs them: each a process of its own, with
this interpreter."""

import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RUN_TIMEOUT = 60  # seconds for one example to finish


def example_command(name, *args):
    """The command that runs examples/<name> with `args`."""
    return [sys.executable, str(EXAMPLES / name), *args]


def run_example(name, *args, timeout=RUN_TIMEOUT, env=None):
    """Runs examples/<name> with `args`, in `env` (by default this process's
    environment); returns the completed process, its output collected as text."""
    return subprocess.run(example_command(name, *args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout, env=env)


def output_of(name, *args, timeout=RUN_TIMEOUT):
    """Runs examples/<name> with `args`, which must succeed without a word on standard
    error; returns its standard output."""
    example = run_example(name, *args, timeout=timeout)
    assert example.returncode == 0, example.stderr
    assert example.stderr == ""
    return example.stdout
