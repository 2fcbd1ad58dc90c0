"""use_python_logging: the library's "[err]" lines on the logger "TavixHardwareAPI"
instead of file descriptor 2."""

import logging
import time

import pytest

import TavixHardwareAPI as api
# From testing/python, which pyproject.toml's [tool.pytest.ini_options] puts on the path.
import pty_device


@pytest.fixture
def routed():
    api.use_python_logging(True)
    yield
    api.use_python_logging(False)


@pytest.fixture
def hung_up_stream():
    return pty_device.hung_up_stream()


class Arrivals(logging.Handler):
    """Keeps each record with the time.time() it reached the handler; sleeps `pause`
    seconds in the first one, holding up the lines behind it."""

    def __init__(self, pause=0.0):
        super().__init__()
        self.pause = pause
        self.records = []

    def emit(self, record):
        self.records.append((record, time.time()))
        if len(self.records) == 1:
            time.sleep(self.pause)


def logged(caplog):
    return [(record.name, record.levelno, record.getMessage()) for record in caplog.records]


def test_lines_reach_the_logger_in_order_from_calls_with_and_without_the_lock(routed, hung_up_stream, caplog,
                                                                             capfd):
    caplog.set_level(logging.WARNING, logger="TavixHardwareAPI")
    arm = api.Morvek3(hung_up_stream)
    # Keeps the lock: each line is delivered as it is made.
    assert arm.get_temperature() == 0.0
    # Releases it: the lines wait until the call returns.
    assert arm.end_effector_force([0.0] * 3) == ([0.0] * 3, [0.0] * 3)
    write, header, discard = ("[err] Library/src/SerialStream:53> unable to write '%d' bytes to stream",
                              "[err] Library/src/Device:75> unable to read header code from stream",
                              "[err] Library/src/Device:97> unable to read '1024' bytes from stream")
    expected = [write % 1, header, discard, write % 13, header, discard]
    records = logged(caplog)
    assert [(name, level) for name, level, _ in records] == [("TavixHardwareAPI", logging.WARNING)] * 6
    assert [message.split(": [")[0] for _, _, message in records] == expected
    assert capfd.readouterr().err == ""


def test_switching_back_restores_file_descriptor_2(hung_up_stream, caplog, capfd):
    api.use_python_logging(True)
    api.use_python_logging(False)
    api.Morvek3(hung_up_stream).SendAngle([1.0, 2.0, 3.0])
    assert caplog.records == []
    assert capfd.readouterr().err.startswith("[err] Library/src/SerialStream:53> unable to write '13' bytes")


def test_a_servo_loop_line_reaches_logging_with_no_further_call_dated_when_made(routed, device):
    # The loop's lines leave its thread through the library's logging thread, which does
    # not hold the interpreter lock: the module's own thread hands them to logging.
    arrivals = Arrivals(pause=0.3)
    logger = logging.getLogger("TavixHardwareAPI")
    logger.addHandler(arrivals)
    began = time.time()
    try:
        with api.Port(device.path, timeout=0.02) as port:  # the device stays silent
            loop = api.ServoLoop(api.Morvek3(port), max_failures=1000)
            loop.start()
            try:
                # No library call while waiting: time.sleep only.
                give_up = time.monotonic() + 2.0
                while len(arrivals.records) < 2 and time.monotonic() < give_up:
                    time.sleep(0.001)
                arrived_before_stop = len(arrivals.records)
            finally:
                loop.stop()
    finally:
        logger.removeHandler(arrivals)
    assert arrived_before_stop >= 2
    (first, first_arrived), (second, second_arrived) = arrivals.records[:2]
    assert "timeout waiting for header code" in first.getMessage()
    assert began <= first.created <= first_arrived
    # Made while the handler held up the first one: dated then, not when it arrived.
    assert first.created < second.created < second_arrived - 0.1
