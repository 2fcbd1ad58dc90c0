import os
import subprocess
import sys

import pty_device

SWEEP = os.path.join(os.path.dirname(__file__), "bad_input_sweep.py")


def test_bad_arguments_give_clean_errors_never_a_crash_or_a_hang():
    # The sweep's own process finds the tests' pty device where this one does.
    path = os.pathsep.join(filter(None, [os.path.dirname(pty_device.__file__), os.environ.get("PYTHONPATH")]))
    result = subprocess.run([sys.executable, SWEEP], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PYTHONPATH=path))
    assert result.returncode == 0, result.stdout + result.stderr[-2000:]
    assert int(result.stdout.split()[-1]) > 2000
