import os
import re
import subprocess
import sys
import termios

import pytest

import TavixHardwareAPI as api


PYPROJECT = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "pyproject.toml")


def composed_doc(signature, docstring):
    return "%s\n\n%s\n" % (signature, docstring)


def project_version():
    with open(PYPROJECT, encoding="utf-8") as pyproject:
        return re.search(r'^version\s*=\s*"([^"]+)"', pyproject.read(), re.MULTILINE).group(1)


def test_module_attributes_and_versions():
    assert api.__doc__ == "Python Implementation of the Tavix Hardware API"
    assert api.__version__ == project_version()
    assert api.get_cpp_version() == api.__version__


@pytest.mark.parametrize(
    "name, signature, docstring",
    [
        ("get_cpp_version", "() -> str", "Get the version of the CPP library"),
        ("print_cpp_version", "() -> None", "Print the version of the CPP library"),
        ("detect_morvek3s", "() -> List[str]", "detect available morvek3 devices"),
        ("detect_handles", "() -> List[str]", "detect available handles"),
        ("detect_wired_handles", "() -> List[str]", "detect available wired handles"),
        ("detect_wireless_handles", "() -> List[str]", "detect available wireless handles"),
    ],
)
def test_module_functions_show_their_signatures(name, signature, docstring):
    function = getattr(api, name)
    assert function.__doc__ == composed_doc(name + signature, docstring)
    with pytest.raises(TypeError):
        function(None)


def test_version_line_goes_to_file_descriptor_one_not_sys_stdout():
    code = "import io, sys, TavixHardwareAPI as api; sys.stdout = io.StringIO(); print(api.print_cpp_version())"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout == "Library version: %s\n" % project_version()


def test_device_is_a_bare_type():
    with pytest.raises(TypeError, match=": No constructor defined!$"):
        api.Device()
    assert api.Device.__bases__[0].__name__ == "pybind11_object"


@pytest.mark.skipif(sys.implementation.name == "pypy", reason="PyPy gives every extension object a __dict__")
def test_classes_refuse_unknown_attributes():
    with pytest.raises(AttributeError):
        api.UUID().colour = "red"


def test_serial_stream_signature_names_the_registered_class():
    assert api.SerialStream.__init__.__doc__ == composed_doc(
        "__init__(self: TavixHardwareAPI.SerialStream, arg0: str) -> None", "Initialize the serial stream"
    )


def test_serial_stream_opens_the_port_raw_at_115200(device):
    stream = api.SerialStream(device.path)
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = device.settings()
    assert (ispeed, ospeed) == (termios.B115200, termios.B115200)
    assert iflag == termios.IGNBRK | termios.IGNPAR
    assert oflag == 0 and lflag == 0
    assert cflag & ~termios.CBAUD == termios.CS8 | termios.CREAD | termios.CLOCAL
    assert cc[termios.VMIN] in (0, b"\0") and cc[termios.VTIME] in (0, b"\0")  # PyPy gives bytes
    del stream


@pytest.mark.parametrize("port", [lambda path: path.encode(), lambda path: bytearray(path.encode())])
def test_serial_stream_takes_the_port_name_as_bytes(device, port):
    stream = api.SerialStream(port(device.path))
    arm = api.Morvek3(stream)
    arm.SendAngle([1.0, 2.0, 3.0])
    assert device.drain()[:1] == b"\x1c"


def test_serial_stream_accepts_missing_ports_and_none():
    api.SerialStream("/dev/does-not-exist-tty")
    api.SerialStream(None)


@pytest.mark.parametrize("arguments", [(), (5,), ("a", "b"), ([],)])
def test_serial_stream_rejects_other_arguments(arguments):
    with pytest.raises(TypeError):
        api.SerialStream(*arguments)


def test_uuid_is_sixteen_zero_bytes_with_identity_equality():
    first, second = api.UUID(), api.UUID()
    assert first.bytes() == [0] * 16
    assert callable(first.bytes) and not isinstance(first.bytes, list)
    assert first != second and first == first
    assert api.UUID.bytes.__doc__ == "bytes(self: TavixHardwareAPI.UUID) -> List[int]\n"


def test_detection_finds_nothing_without_candidate_ports():
    if any(marker in name for name in os.listdir("/dev") for marker in ("ttyACM", "ttyUSB", "rfcomm")):
        pytest.skip("this machine has candidate serial ports")
    assert api.detect_morvek3s() == []
    assert api.detect_handles() == []
    assert api.detect_wired_handles() == []
    assert api.detect_wireless_handles() == []
