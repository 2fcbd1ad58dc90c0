import os
import subprocess
import sys

SWEEP = os.path.join(os.path.dirname(__file__), "bad_input_sweep.py")


def test_bad_arguments_give_clean_errors_never_a_crash_or_a_hang():
    result = subprocess.run([sys.executable, SWEEP], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr[-2000:]
    assert int(result.stdout.split()[-1]) > 2000
