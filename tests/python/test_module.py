import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import TavixHardwareAPI as api

VERSION = (pathlib.Path(__file__).resolve().parents[2] / "VERSION").read_text().strip()


def test_module_information():
    assert api.__doc__ == "Python Implementation of the Tavix Hardware API"
    assert api.__version__ == VERSION  # the project version, as the library and the wheel have it
    assert api.get_cpp_version() == VERSION
    assert api.get_cpp_version.__doc__.endswith("Get the version of the CPP library\n")


def test_print_cpp_version_writes_to_file_descriptor_1(capfd, monkeypatch):
    import io

    replaced = io.StringIO()
    monkeypatch.setattr(sys, "stdout", replaced)
    assert api.print_cpp_version() is None
    assert replaced.getvalue() == ""
    out, _ = capfd.readouterr()
    assert out == f"Library version: {VERSION}\n"


def test_device_is_a_type_record_only():
    with pytest.raises(TypeError):
        api.Device()
    assert [name for name in vars(api.Device) if not name.startswith("_")] == []


def test_members_are_registered_in_order():
    expected = ["SerialStream", "UUID", "Device", "get_cpp_version", "print_cpp_version",
                "detect_osmiras", "detect_handles", "detect_wired_handles", "detect_wireless_handles",
                "Osmira", "Handle", "__version__"]
    present = [name for name in vars(api) if name in expected]
    assert present == [name for name in expected if hasattr(api, name)]
    assert present[-1] == "__version__"


def test_print_cpp_version_in_a_fresh_interpreter_is_one_flushed_line():
    code = textwrap.dedent("""
        import sys, io, TavixHardwareAPI
        sys.stdout = io.StringIO()
        TavixHardwareAPI.print_cpp_version()
        import os; os._exit(0)  # no interpreter shutdown flush: the line must already be out
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, check=True, timeout=30)
    assert result.stdout == f"Library version: {VERSION}\n".encode()
