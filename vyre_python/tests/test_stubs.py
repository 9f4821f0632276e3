import ast
import pathlib
import subprocess
import sys

import pytest

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
BAD_LINES = [
    (4, "is read-only"),
    (5, "Missing positional arguments"),
    (6, "Incompatible types"),
    (8, "Incompatible types"),
]


@pytest.fixture(scope="module")
def type_checked(tmp_path_factory):
    """mypy's error lines for each of the two scripts, from one run over both
    (most of a run is loading the standard library's stubs)."""
    folder = tmp_path_factory.mktemp("typing")
    scripts = {"good_use.py": GOOD_USE, "bad_use.py": BAD_USE}
    for name, text in scripts.items():
        (folder / name).write_text(text)
    result = run("mypy", "--strict", *scripts, cwd=folder)
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    return {name: [line for line in errors if line.startswith(f"{name}:")] for name in scripts}, result.stdout


def test_type_checker_accepts_correct_use(type_checked):
    errors, output = type_checked
    assert errors["good_use.py"] == [] and "(checked 2 source files)" in output, output


def test_type_checker_flags_misuse(type_checked):
    errors, output = type_checked
    assert len(errors["bad_use.py"]) == len(BAD_LINES), output
    for (line, text), error in zip(BAD_LINES, errors["bad_use.py"]):
        assert error.startswith(f"bad_use.py:{line}: error: ") and text in error, error


def _stubs():
    """The working tree's stubs; where the suite runs on its own (against an
    installed wheel), the installed ones."""
    here = pathlib.Path(__file__).parents[1] / "stubs" / "vyre_client-stubs" / "__init__.pyi"
    if here.exists():
        return here
    installed = (pathlib.Path(p) / "vyre_client-stubs" / "__init__.pyi" for p in sys.path if p)
    return next(f for f in installed if f.exists())


STUBS = _stubs()


def undocumented_names(tree):
    """Dotted names of the stubs' classes, functions and attributes that carry
    no docstring. Property setters share their getter's; names with a single
    leading underscore are the stubs' own helpers."""
    missing = []

    def visit(body, prefix):
        for i, node in enumerate(body):
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                name = prefix + node.name
                setter = any(
                    isinstance(d, ast.Attribute) and d.attr == "setter"
                    for d in getattr(node, "decorator_list", [])
                )
                if not setter and not ast.get_docstring(node):
                    missing.append(name)
                if isinstance(node, ast.ClassDef):
                    visit(node.body, name + ".")
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                name = node.target.id
                if name.startswith("_") and not name.startswith("__"):
                    continue
                after = body[i + 1] if i + 1 < len(body) else None
                documented = (
                    isinstance(after, ast.Expr)
                    and isinstance(after.value, ast.Constant)
                    and isinstance(after.value.value, str)
                    and after.value.value.strip()
                )
                if not documented:
                    missing.append(prefix + name)

    if not ast.get_docstring(tree):
        missing.append("<module>")
    visit(tree.body, "")
    return missing


def test_every_public_name_in_the_stubs_has_a_docstring():
    tree = ast.parse(STUBS.read_text(), filename=str(STUBS))
    assert undocumented_names(tree) == []
    # the check itself sees a bare name
    bare = '"""m"""\nclass A:\n    """a"""\n    x: int\n    def f(self) -> None: ...\n'
    assert undocumented_names(ast.parse(bare)) == ["A.x", "A.f"]
