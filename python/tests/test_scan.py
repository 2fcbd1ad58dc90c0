"""Finding devices: scan() probes every port at once and tells what is on each;
open_arm() and open_handle() open a device by its identity. Each test scans a device
directory of its own, with a stand-in for sysfs where USB identities are wanted."""

import gc
import subprocess
import sys
import threading
import uuid
from pathlib import Path

import pytest

import TavixHardwareAPI as api
from pty_device import PtyDevice
from tavix.simulator import running as simulated

TIMEOUT = 0.3  # seconds: a scan's time-out in these tests
ARM_UUID = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")
OTHER_UUID = uuid.UUID("ffeeddcc-bbaa-9988-7766-554433221100")
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "find_devices.py"


def arm_reply(model=4):
    """An arm's wake-up reply: device id 0x1234, the model, hardware 2, firmware 7,
    identifier ARM_UUID."""
    return bytes([0x0B, 0x34, 0x12, model, 2, 7]) + ARM_UUID.bytes


def add_usb_port(sysfs, port, address, **files):
    """Lays out sysfs as the kernel does: class/tty/<port>/device links to the USB
    interface (ttyACM) or to the adapter's port directory below it (ttyUSB), and the
    interface's parent is the USB device with the descriptor files."""
    device = sysfs / "devices" / "usb1" / address
    interface = device / (address + ":1.0")
    port_device = interface / port if port.startswith("ttyUSB") else interface
    port_device.mkdir(parents=True)
    for name, text in files.items():
        (device / name).write_text(text + "\n")
    (sysfs / "class" / "tty" / port).mkdir(parents=True)
    (sysfs / "class" / "tty" / port / "device").symlink_to(port_device)


def collect():
    """Frees what is unreachable, a device from open_arm() and its port among it: CPython
    frees it at once, PyPy over two collections."""
    gc.collect()
    gc.collect()


@pytest.fixture
def dev(tmp_path):
    directory = tmp_path / "dev"
    (directory / "serial" / "by-id").mkdir(parents=True)
    return directory


@pytest.fixture
def silent():
    device = PtyDevice()
    yield device
    device.close()


def test_scan_tells_what_is_on_each_port(dev, tmp_path, silent):
    sysfs = tmp_path / "sys"
    add_usb_port(sysfs, "ttyUSB0", "1-2", idVendor="0403", idProduct="6001", serial="H1", manufacturer="FTDI",
                 product="FT232R USB UART")
    (dev / "ttyACM1").symlink_to(silent.path)
    held = PtyDevice()
    (dev / "rfcomm0").symlink_to(held.path)
    with simulated("arm", "--link", str(dev / "ttyACM0"), "--uuid", str(ARM_UUID)), \
            simulated("handle", "--link", str(dev / "ttyUSB0"), "--id", "7"), \
            api.Port(held.path):
        (dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_H1-if00-port0").symlink_to("../../ttyUSB0")
        records = {Path(record.path).name: record for record in api.scan(TIMEOUT, device_directory=dev,
                                                                         sysfs_root=sysfs)}
    held.close()

    assert sorted(records) == ["rfcomm0", "ttyACM0", "ttyACM1", "ttyUSB0"]
    arm = records["ttyACM0"]
    assert (arm.kind, arm.path, arm.handle, arm.usb) == ("arm", str(dev / "ttyACM0"), None, None)
    assert arm.arm == api.ArmInfo(device_id=1, device_model_number=4, hardware_version=1, firmware_version=3,
                                  uuid=ARM_UUID)
    handle = records["ttyUSB0"]
    assert handle.kind == "handle" and handle.handle is not None and handle.handle.device_id == 7
    assert handle.usb == api.UsbIdentity(0x0403, 0x6001, "H1", "FTDI", "FT232R USB UART")
    assert handle.by_id == str(dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_H1-if00-port0")
    assert records["ttyACM1"].kind == "silent"
    assert (records["rfcomm0"].kind, records["rfcomm0"].note) == ("busy", "held by another program")
    assert silent.drain() == b"\x0a", "woken once"


def test_scan_lets_other_threads_run_while_it_waits(dev, silent):
    # The device is played from Python: it can answer only while the scan does not hold
    # the interpreter lock.
    (dev / "ttyACM0").symlink_to(silent.path)
    found = []
    scanning = threading.Thread(target=lambda: found.extend(api.scan(5.0, device_directory=dev)))
    scanning.start()
    assert silent.receive(1, timeout=4.0) == b"\x0a"
    silent.send(arm_reply())
    scanning.join()
    assert [record.kind for record in found] == ["arm"]


def test_arguments_are_checked_before_any_scan():
    assert api.scan(device_directory="/nonexistent-device-directory") == []
    with pytest.raises(ValueError):
        api.scan(0)
    with pytest.raises(TypeError):
        api.scan(TIMEOUT, "/dev")  # the places are keyword-only
    with pytest.raises(ValueError):
        api.open_arm(timeout=0)
    with pytest.raises(TypeError):
        api.open_arm(5)
    with pytest.raises(ValueError):
        api.open_handle(70000)


def test_open_arm_by_uuid_or_as_the_only_arm(dev):
    with simulated("arm", "--link", str(dev / "ttyACM0"), "--uuid", str(ARM_UUID)), \
            simulated("arm", "--link", str(dev / "ttyACM1"), "--uuid", str(OTHER_UUID)):
        with pytest.raises(api.DeviceError) as several:
            api.open_arm(scan_timeout=TIMEOUT, device_directory=dev)
        assert str(several.value).startswith("2 arms found; name one with uuid= or port=; ports seen: ")
        assert "%s (arm, uuid %s)" % (dev / "ttyACM1", OTHER_UUID) in str(several.value)

        arm = api.open_arm(str(OTHER_UUID), scan_timeout=TIMEOUT, device_directory=dev, timeout=1.0)
        assert isinstance(arm, api.Morvek3)
        assert arm.device_wakeup_dict()["device_id_ext"] == OTHER_UUID
        del arm
        collect()

        arm = api.open_arm(port=dev / "ttyACM0", scan_timeout=TIMEOUT)
        assert arm.device_wakeup_dict()["device_id_ext"] == ARM_UUID
        del arm
        collect()

        with pytest.raises(api.DeviceError) as wrong:
            api.open_arm(OTHER_UUID, port=dev / "ttyACM0", scan_timeout=TIMEOUT)
        assert str(wrong.value) == "no arm with uuid %s found; ports seen: %s (arm, uuid %s)" % (
            OTHER_UUID, dev / "ttyACM0", ARM_UUID)

    with pytest.raises(api.DeviceError) as none:
        api.open_arm(device_directory=dev / "empty")
    assert str(none.value) == "no arm found; no serial ports in %s" % (dev / "empty")


def test_open_handle_by_device_id(dev, silent):
    (dev / "ttyUSB1").symlink_to(silent.path)
    with simulated("handle", "--link", str(dev / "ttyUSB0"), "--id", "7"):
        handle = api.open_handle(7, scan_timeout=TIMEOUT, device_directory=dev)
        assert isinstance(handle, api.Handle)
        with pytest.raises(api.DeviceError) as missing:
            api.open_handle(8, scan_timeout=TIMEOUT, device_directory=dev)
        assert "no handle with device id 8 found; ports seen: " in str(missing.value)
        assert "%s (silent)" % (dev / "ttyUSB1") in str(missing.value)


def test_example_lists_the_devices(dev):
    with simulated("arm", "--link", str(dev / "ttyACM0"), "--uuid", str(ARM_UUID)):
        example = subprocess.run([sys.executable, str(EXAMPLE), "--dev", str(dev)], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert example.returncode == 0, example.stderr
    assert "%s  arm  uuid %s" % (dev / "ttyACM0", ARM_UUID) in example.stdout
