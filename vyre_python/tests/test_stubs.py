import pathlib
import subprocess
import sys

ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stubtest_finds_the_installed_stubs_consistent_with_the_module(tmp_path):
    result = run("mypy.stubtest", "vyre_client", "--allowlist", str(ALLOWLIST), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


GOOD_USE = """
import vyre_client

def read(p: vyre_client.VYREDataPacket, info: vyre_client.DeviceInfo, cal: vyre_client.CalibrationValues) -> float:
    d: dict[str, float] = p.as_dict()
    fields: list[str] = vyre_client.VYREDataPacket.__struct_fields__
    info.id = info.id + 1
    cal.magnetometer_offsets = (1, 2.5, 3)
    protocol: int = int(vyre_client.DeviceProtocol.SPI)
    version: str = vyre_client.__version__
    return p.est_mach_number + len(d) + len(fields) + protocol + len(version)
"""

# (line, text the error must contain) for each misuse below
BAD_USE = """
import vyre_client
p = vyre_client.VYREDataPacket.default_zero()
p.timestamp_seconds = 1.0
vyre_client.VYREDataPacket(1.0)
tilt: str = p.est_tilt_angle_degrees
def change(config: vyre_client.DeviceConfig) -> None:
    config.protocol = 2
"""
BAD_LINES = [(4, "is read-only"), (5, "Missing positional arguments"), (6, "Incompatible types"),
             (8, "Incompatible types")]


def test_type_checker_accepts_correct_use(tmp_path):
    script = tmp_path / "good_use.py"
    script.write_text(GOOD_USE)
    result = run("mypy", "--strict", "--no-incremental", script.name, cwd=tmp_path)
    assert result.returncode == 0, result.stdout


def test_type_checker_flags_misuse(tmp_path):
    script = tmp_path / "bad_use.py"
    script.write_text(BAD_USE)
    result = run("mypy", "--strict", "--no-incremental", script.name, cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert len(errors) == len(BAD_LINES), result.stdout
    for (line, text), error in zip(BAD_LINES, errors):
        assert error.startswith(f"{script.name}:{line}: error: ") and text in error, error
