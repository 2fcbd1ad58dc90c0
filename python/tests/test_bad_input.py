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


BARE_USES = [
    "Port.__new__(Port).close()", "repr(Port.__new__(Port))", "Morvek3.__new__(Morvek3).get_temperature()",
    "Morvek3(SerialStream.__new__(SerialStream))", "Spring.__new__(Spring).stiffness",
    "repr(ServoLoop.__new__(ServoLoop))", "ServoLoop.__new__(ServoLoop).stop()", "ServoState.__new__(ServoState).time",
]


def test_objects_made_without_their_constructor_are_refused_never_used():
    # In a process of its own: before the refusal, these crashed or read garbage.
    script = "\n".join([
        "from TavixHardwareAPI import *",
        "for use in %r:" % (BARE_USES,),
        "    try:",
        "        eval(use)",
        "    except TypeError as error:",
        "        assert 'without its constructor' in str(error), (use, error)",
        "    else:",
        "        raise AssertionError(use + ' did not raise')",
        "loop = ServoLoop.__new__(ServoLoop)",
        "del loop",
    ])
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
