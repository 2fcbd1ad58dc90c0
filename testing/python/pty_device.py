"""A pseudo-terminal standing in for a device (or a terminal) in the Python tests."""

import fcntl
import os
import select
import struct
import termios
import threading
import time
import tty


def floats(*values):
    """The bytes of little-endian binary32 values, back to back."""
    return struct.pack("<%df" % len(values), *values)


class PtyDevice:
    """The module opens `path` (the slave side); the test plays the device on the master
    side, step by step or as a script on a background thread (`play`, then `finish`).

    The device keeps its own descriptor on the slave side, raw from the start, so the
    line settings and the queue towards the module can be inspected."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        self._script = None
        self._failure = None

    def send(self, data):
        """Writes bytes towards the module now."""
        view = memoryview(bytes(data))
        while view:
            try:
                view = view[os.write(self.master, view):]
            except BlockingIOError:
                select.select([], [self.master], [], 0.1)

    def receive(self, count, timeout=2.0):
        """What the module wrote: returns once `count` bytes arrived or after `timeout`."""
        deadline = time.monotonic() + timeout
        received = b""
        while len(received) < count:
            try:
                chunk = os.read(self.master, count - len(received))
                if chunk:
                    received += chunk
                    continue
            except BlockingIOError:
                pass
            except OSError:
                break
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
        return received

    def drain(self, timeout=0.05):
        """Everything the module wrote that arrives within `timeout`."""
        return self.receive(1 << 20, timeout)

    def queued(self):
        """Bytes sent by the device that the module has not read yet."""
        count = struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0"))[0]
        return count

    def wait_queued(self, count, timeout=2.0):
        """Waits until at least `count` bytes sent by the device are queued for the module."""
        deadline = time.monotonic() + timeout
        while self.queued() < count and time.monotonic() < deadline:
            time.sleep(0.001)

    def settings(self):
        """The line settings of the port, as termios.tcgetattr gives them."""
        return termios.tcgetattr(self.slave)

    def hang_up(self):
        """Closes the device side: the module's port hangs up."""
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def play(self, *steps):
        """Runs steps on a background thread: ("expect", bytes), ("send", bytes),
        ("pause", seconds), ("hangup",)."""
        self.finish()
        self._failure = None
        self._script = threading.Thread(target=self._run, args=(steps,), daemon=True)
        self._script.start()

    def finish(self):
        """Waits for the script; raises AssertionError for the first step that failed."""
        if self._script is not None:
            self._script.join()
            self._script = None
        if self._failure:
            failure, self._failure = self._failure, None
            raise AssertionError(failure)

    def close(self):
        if self._script is not None:
            self._script.join()
        self.hang_up()
        os.close(self.slave)

    def _run(self, steps):
        for index, step in enumerate(steps):
            kind = step[0]
            if kind == "expect":
                got = self.receive(len(step[1]), step[2] if len(step) > 2 else 2.0)
                if got != bytes(step[1]):
                    self._failure = "step %d: expected %s, got %s" % (index, bytes(step[1]).hex(), got.hex())
                    return
            elif kind == "send":
                self.send(step[1])
            elif kind == "pause":
                time.sleep(step[1])
            elif kind == "hangup":
                self.hang_up()
            else:
                raise ValueError("unknown step %r" % (kind,))


def hung_up_stream():
    """A TavixHardwareAPI.SerialStream opened on a pseudo-terminal whose device side has
    hung up: every call that reaches the port fails at once."""
    import TavixHardwareAPI as api

    device = PtyDevice()
    stream = api.SerialStream(device.path)
    device.close()
    return stream
