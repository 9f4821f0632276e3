import importlib
import importlib.metadata
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import vyre_client
import wire
from wire import TELEMETRY_FIELDS

EXPECTED_ALL = [
    "VYREClient",
    "MockDeviceHandle",
    "VYREDataPacket",
    "DeviceProtocol",
    "DeviceInfo",
    "DeviceConfig",
    "CalibrationValues",
    "__version__",
]
CLASS_NAMES = EXPECTED_ALL[:-1]

DOCSTRINGS = {
    # the client's docstring is its call signature alone; the handle has none
    "VYREClient": "",
    "MockDeviceHandle": "",
    "VYREDataPacket": "Represents processed telemetry with derived fields included.",
    "DeviceProtocol": "Represents the communication protocol used by the VYRE device.",
    "DeviceInfo": "Represents the information of the VYRE device.",
    "DeviceConfig": "Represents the configuration settings of the VYRE device.",
    "CalibrationValues": "Represents the calibration values for the VYRE device. All matrices\n"
    "are stored in row-major order.",
}


def test_all_lists_the_names_in_order_and_attributes_follow_it():
    assert vyre_client.__all__ == EXPECTED_ALL
    assert vyre_client.__version__ == "1.2.2" == importlib.metadata.version("vyre-client")
    assert vyre_client.__doc__ == ""
    # attributes were bound in the same order as __all__ grew
    bound = [name for name in vars(vyre_client) if name in EXPECTED_ALL]
    assert bound == EXPECTED_ALL
    assert not hasattr(vyre_client, "InternalFaultError")


def test_star_import_binds_every_name_including_version():
    namespace = {}
    exec("from vyre_client import *", namespace)
    assert set(EXPECTED_ALL) <= namespace.keys()
    assert namespace["__version__"] == "1.2.2"
    assert namespace["VYREDataPacket"] is vyre_client.VYREDataPacket


def test_reimport_gives_the_identical_module():
    first = sys.modules.pop("vyre_client")
    try:
        second = importlib.import_module("vyre_client")
        assert second is first
        assert second.__all__ is first.__all__
        assert second.__all__ == EXPECTED_ALL  # not appended to a second time
    finally:
        sys.modules["vyre_client"] = first


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_qualified_as_builtins_with_their_docstrings(name):
    cls = getattr(vyre_client, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == DOCSTRINGS[name]


def test_packet_uses_the_default_representation():
    packet = vyre_client.VYREDataPacket.default_zero()
    assert repr(packet).startswith("<builtins.VYREDataPacket object at 0x")


@pytest.mark.parametrize(
    "name", ["MockDeviceHandle", "DeviceProtocol", "DeviceInfo", "DeviceConfig", "CalibrationValues"]
)
@pytest.mark.parametrize("args", [(), (1,)])
def test_value_classes_without_constructor_refuse_instantiation(name, args):
    with pytest.raises(TypeError, match="cannot create"):
        getattr(vyre_client, name)(*args)


def test_text_signatures():
    sig = inspect.signature(vyre_client.VYREDataPacket)
    assert list(sig.parameters) == TELEMETRY_FIELDS
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig.parameters.values())
    assert str(inspect.signature(vyre_client.VYREDataPacket.default_zero)) == "()"
    assert str(inspect.signature(vyre_client.VYREDataPacket.as_dict)) == "(self, /)"
    assert str(inspect.signature(vyre_client.VYREDataPacket.default_zero().as_dict)) == "()"


def test_import_into_a_sub_interpreter_is_refused_and_main_module_still_works():
    script = textwrap.dedent(
        """
        import _interpreters
        import vyre_client
        sub = _interpreters.create("legacy")
        failure = _interpreters.run_string(sub, "import vyre_client")
        _interpreters.destroy(sub)
        print(failure.type.__name__)
        print(failure.msg)
        print(vyre_client.VYREDataPacket.default_zero().est_quaternion_w)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    kind, message, quaternion_w = result.stdout.splitlines()
    assert kind == "ImportError"
    assert "sub-interpreters" in message
    assert quaternion_w == "1.0"


# ---- embedding: the module in each of several interpreter lifetimes of one process

EMBEDDING_PROGRAM = r"""
#include <Python.h>

int main(int argc, char** argv) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (argc < 2 || PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    return 0;
}
"""

EMBEDDED_USE = """
import sys
sys.path.insert(0, {path!r})
import vyre_client
client, device = vyre_client.VYREClient.new_mock()
client.start()
device.inject_response({info}, {payload!r})
info = client.get_device_info(10.0)
packets = [vyre_client.VYREDataPacket.default_zero() for _ in range(50)]  # recycled through the free list
del packets
packet = vyre_client.VYREDataPacket.default_zero()
try:
    vyre_client.VYREClient.new_mock(-1)
except BaseException as error:
    fault = error
print(vyre_client.__all__, info.id, info.firmware_version, vyre_client.DeviceProtocol.SPI,
      packet.as_dict()["est_quaternion_w"], type(packet) is vyre_client.VYREDataPacket,
      type(fault).__name__, isinstance(fault, Exception))
client.stop()
"""


def python_link_flags():
    """Flags that link a program against the running interpreter's library, or None."""
    var = sysconfig.get_config_var
    libdir = var("LIBDIR") or ""
    places = [libdir, os.path.join(libdir, var("MULTIARCH") or ""), var("LIBPL") or ""]
    extra = (var("LIBS") or "").split() + (var("SYSLIBS") or "").split()
    for name, shared in ((var("LDLIBRARY"), var("Py_ENABLE_SHARED")), (var("LIBRARY"), False)):
        for place in places:
            library = os.path.join(place, name or "")
            if not name or not os.path.isfile(library):
                continue
            if shared:
                return [library, f"-Wl,-rpath,{place}", *extra]
            # linked in statically, the interpreter must export its symbols to extension modules
            return [library, *(var("LINKFORSHARED") or "").split(), *extra]
    return None


def test_each_interpreter_lifetime_of_an_embedding_program_gets_a_working_module(tmp_path):
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc") or shutil.which("clang")
    flags = python_link_flags()
    if compiler is None or flags is None:
        pytest.skip("no C compiler or no Python library to link")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    program = tmp_path / "embed"
    built = subprocess.run(
        [compiler, str(source), "-o", str(program), f"-I{sysconfig.get_config_var('INCLUDEPY')}", *flags],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert built.returncode == 0, built.stderr

    script = EMBEDDED_USE.format(
        path=os.path.dirname(vyre_client.__file__),
        info=wire.DEVICE_INFO,
        payload=wire.device_info_payload(7, b"1.0"),
    )
    home = (
        sys.base_prefix
        if sys.base_prefix == sys.base_exec_prefix
        else f"{sys.base_prefix}:{sys.base_exec_prefix}"
    )
    env = {**os.environ, "PYTHONHOME": home}
    env.pop("PYTHONPATH", None)
    ran = subprocess.run([str(program), script], capture_output=True, text=True, timeout=120, env=env)
    assert (ran.returncode, ran.stderr) == (0, "")
    expected = f"{EXPECTED_ALL} 7 1.0 DeviceProtocol.SPI 1.0 True InternalFaultError False\n"
    assert ran.stdout == expected * 2
