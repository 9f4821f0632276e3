"""Tables of the wire protocol, made from the code's own constants.

``.. wire-table:: NAME`` renders one table. The values come from the Python
side (``vyre_tools.protocol``, ``vyre_tools.mocklog``, the simulated
firmware) and from the C++ headers of ``vyre_core``; where both define a
value the build fails unless they agree, so the page cannot drift from
either.
"""

import ast
import pathlib
import re
import struct

from docutils.parsers.rst import Directive
from docutils.statemachine import StringList
from sphinx.errors import ExtensionError

from vyre_tools import mocklog
from vyre_tools import protocol as p
from vyre_tools.sim.firmware import COMMAND_PAYLOAD

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORE = ROOT / "vyre_core" / "src"
STUBS = ROOT / "vyre_python" / "stubs" / "vyre_client-stubs" / "__init__.pyi"

_CONSTANT = re.compile(r"inline constexpr [\w:]+ (\w+) = ([^;]+);")


def core_constants():
    """``NAME -> value`` of every ``inline constexpr`` number in vyre_core's
    headers, and the members of ``enum class MessageId``."""
    values = {}
    for header in sorted(CORE.glob("*.hpp")):
        text = header.read_text()
        for name, expr in _CONSTANT.findall(text):
            expr = expr.replace("'", "").strip()
            try:
                values[name] = int(expr, 0)
            except ValueError:
                try:
                    values[name] = float(expr)
                except ValueError:
                    pass  # an expression, not a number
        enum = re.search(r"enum class MessageId[^{]*\{([^}]*)\}", text)
        if enum:
            for name, number in re.findall(r"(\w+)\s*=\s*(\d+)", enum.group(1)):
                values["MessageId::" + name] = int(number)
    return values


def checked_constants():
    """The C++ constants, after checking them against the Python side."""
    core = core_constants()
    pairs = {
        "DATA_HEADER": p.DATA_HEADER,
        "RESPONSE_HEADER": p.RESPONSE_HEADER,
        "COMMAND_HEADER": p.COMMAND_HEADER,
        "MOCK_HEADER": p.MOCK_HEADER,
        "FRAME_HEAD_SIZE": p.HEAD_SIZE,
        "FRAME_OVERHEAD": p.FRAME_OVERHEAD,
        "TELEMETRY_PAYLOAD_SIZE": p.TELEMETRY.size,
        "MOCK_LOG_HEADER_IDENTIFIER": p.MOCK_LOG_HEADER_ID,
        "LOG_HEADER_SIZE": mocklog.HEADER_SIZE,
        "LOG_TICKS_PER_SECOND": mocklog.TICKS_PER_SECOND,
        "LOG_END_ZERO_RUN": mocklog.END_MARKER_ZEROS - 1,
        "MessageId::DeviceInfo": p.CMD_DEVICE_INFO,
        "MessageId::DeviceConfig": p.CMD_DEVICE_CONFIG,
        "MessageId::SetDeviceConfig": p.CMD_SET_DEVICE_CONFIG,
        "MessageId::Reboot": p.CMD_REBOOT,
        "MessageId::MockMode": p.CMD_MOCK_MODE,
        "MessageId::SetMagnetometerCalibration": p.CMD_SET_MAG_CALIBRATION,
        "MessageId::SetImuCalibration": p.CMD_SET_IMU_CALIBRATION,
        "MessageId::GetCalibration": p.CMD_GET_CALIBRATION,
        "MessageId::Cancel": p.CMD_CANCEL,
    }
    for name, python_value in pairs.items():
        if name not in core:
            raise ExtensionError(f"wire_protocol: {name} not found in {CORE}")
        if core[name] != python_value:
            raise ExtensionError(
                f"wire_protocol: {name} is {core[name]!r} in vyre_core but {python_value!r} in vyre_tools"
            )
    if mocklog.HEADER_FRAME_ID != p.MOCK_LOG_HEADER_ID:
        raise ExtensionError(
            "wire_protocol: the mock header frame identifier differs "
            "between vyre_tools.mocklog and vyre_tools.protocol"
        )
    return core


def packet_properties():
    """``(name, first docstring line)`` of VYREDataPacket's attributes, in the
    stubs' order."""
    tree = ast.parse(STUBS.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "VYREDataPacket")
    out = []
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and any(
            isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list
        ):
            doc = " ".join((ast.get_docstring(node) or "").split())
            out.append((node.name, doc))
    return out


def hexbytes(data):
    return " ".join(f"{b:02X}" for b in data)


def table(header, rows, widths=None):
    """A list-table in rst lines."""
    lines = [".. list-table::", "   :header-rows: 1"]
    if widths:
        lines.append("   :widths: " + " ".join(str(w) for w in widths))
    lines.append("")
    for row in [header, *rows]:
        lines.append("   * - " + str(row[0]))
        lines.extend("     - " + str(cell) for cell in row[1:])
    return lines


def headers_table(core):
    use = {
        "DATA_HEADER": "device to host: telemetry",
        "RESPONSE_HEADER": "device to host: answer to a command",
        "COMMAND_HEADER": "host to device: command",
        "MOCK_HEADER": "host to device: mock-log data in mock mode",
    }
    rows = [
        (f"``{name}``", f"``0x{core[name]:04X}``", f"``{hexbytes(core[name].to_bytes(2, 'little'))}``", text)
        for name, text in use.items()
    ]
    return table(("Name", "Value", "Bytes on the wire", "Direction and use"), rows)


_COMMANDS = [
    ("DeviceInfo", "", "u64 id at 0; firmware version text, bytes 8 to 15"),
    ("DeviceConfig", "", "name text, bytes 0 to 31; u16 frequency at 32; protocol byte at 34"),
    ("SetDeviceConfig", "name (zero-padded), u16 frequency at 32, protocol byte at 34", "acknowledgement"),
    ("Reboot", "", "none awaited (one that comes is kept unclaimed)"),
    ("MockMode", "", "acknowledgement"),
    ("SetMagnetometerCalibration", "3 offsets, then 9 matrix values, f32", "acknowledgement"),
    ("SetImuCalibration", "accelerometer 3 + 9, then gyroscope 3 + 9, f32", "acknowledgement"),
    (
        "GetCalibration",
        "",
        "36 f32 values, accelerometer, gyroscope and magnetometer each 3 offsets + 9 matrix values",
    ),
    ("Cancel", "(also ends mock mode)", "acknowledgement"),
]

_MINIMUM = {
    "DeviceInfo": "DEVICE_INFO_PAYLOAD_SIZE",
    "DeviceConfig": "DEVICE_CONFIG_PAYLOAD_SIZE",
    "GetCalibration": "CALIBRATION_PAYLOAD_SIZE",
}


def identifiers_table(core):
    rows = []
    for name, command, answer in _COMMANDS:
        ident = core["MessageId::" + name]
        sent = COMMAND_PAYLOAD[ident]
        size = f"{sent} bytes" if sent else "empty"
        command = f"{size}: {command}" if sent else f"{size} {command}"
        if name in _MINIMUM:
            answer = f"at least {core[_MINIMUM[name]]} bytes: {answer}"
        elif answer == "acknowledgement":
            answer = "1 byte: acknowledgement"
        rows.append((str(ident), f"``{name}``", command.strip(), answer))
    return table(
        ("Id", "Message", "Command payload (host to device)", "Answer payload (device to host)"),
        rows,
        widths=(6, 30, 30, 34),
    )


def _unit(name):
    for suffix, unit in (
        ("_seconds", "s"),
        ("_celsius", "°C"),
        ("_pascals", "Pa"),
        ("_gs", "g"),
        ("_deg_per_s", "degrees/s"),
        ("_microteslas", "µT"),
        ("_meters_per_s", "m/s"),
        ("_meters", "m"),
        ("_degrees", "degrees"),
    ):
        if name.endswith(suffix):
            return unit
    return "—"  # a lone hyphen would read as a bullet


def telemetry_table(core):
    codes = p.TELEMETRY.format.lstrip("<")
    kinds = [c for count, c in re.findall(r"(\d*)([a-z])", codes) for _ in range(int(count or 1))]
    rows, offset = [], 0
    for field, kind in zip(p.TELEMETRY_FIELDS, kinds):
        size = struct.calcsize("<" + kind)
        rows.append((str(offset), {"d": "f64", "f": "f32"}[kind], f"``{field}``", _unit(field)))
        offset += size
    if offset != core["TELEMETRY_PAYLOAD_SIZE"]:
        raise ExtensionError("wire_protocol: telemetry fields do not fill the payload")
    return table(("Offset", "Type", "Field", "Unit"), rows)


def packet_table(core):
    wire = set(p.TELEMETRY_FIELDS)
    rows = [
        (str(i), f"``{name}``", _unit(name), "wire" if name in wire else "**derived**", doc)
        for i, (name, doc) in enumerate(packet_properties(), 1)
    ]
    return table(("#", "Attribute", "Unit", "Source", "Meaning"), rows, widths=(4, 30, 9, 9, 48))


def sizes_table(core):
    rows = [
        ("Frame head (header, identifier, length)", f"{core['FRAME_HEAD_SIZE']} bytes"),
        ("Frame overhead (head and CRC)", f"{core['FRAME_OVERHEAD']} bytes"),
        (
            "Longest payload the host's framer waits for",
            f"{core['MAX_FRAME_PAYLOAD']} bytes (a longer length field is refused at once)",
        ),
        ("Telemetry payload", f"{core['TELEMETRY_PAYLOAD_SIZE']} bytes (more is ignored, less is dropped)"),
        ("Telemetry frame", f"{p.TELEMETRY_FRAME_SIZE} bytes"),
        ("Device name field", f"{core['DEVICE_NAME_FIELD_SIZE']} bytes"),
        ("Telemetry frames per second a 2,000,000 baud link carries", f"about {p.LINK_FRAME_RATE}"),
    ]
    return table(("What", "Size"), rows)


def mocklog_table(core):
    rows = [
        (
            f"``{kind}`` (0x{ord(kind):02X})",
            str(n),
            str(n + 5),
            str(n + 4),
            str(n + 4 + core["FRAME_OVERHEAD"]),
        )
        for kind, n in mocklog.DATA_SIZES.items()
    ]
    return table(("Type", "Data bytes", "Record bytes", "Frame payload bytes", "Frame bytes"), rows)


def mocklog_facts(core):
    return table(
        ("What", "Value"),
        [
            (
                "Header block at the start of the file",
                f"{core['LOG_HEADER_SIZE']} bytes, sent unchanged as one "
                f"mock frame with identifier 0x{core['MOCK_LOG_HEADER_IDENTIFIER']:02X} ('H')",
            ),
            (
                "Timestamp clock",
                f"{int(core['LOG_TICKS_PER_SECOND']):,} ticks per second, u32, wrapping at 2**32",
            ),
            ("Zero padding between records", f"up to {core['LOG_END_ZERO_RUN']} bytes"),
            (
                "End-of-log marker",
                f"{core['LOG_END_ZERO_RUN'] + 1} zero bytes in a row; nothing after it is read",
            ),
        ],
    )


def examples_table(core):
    ack = p.build_frame(core["RESPONSE_HEADER"], core["MessageId::SetDeviceConfig"], b"\x01")
    config = b"rocket".ljust(core["DEVICE_NAME_FIELD_SIZE"], b"\0") + struct.pack("<HB", 100, 2)
    rows = [
        ("CRC-16/KERMIT of the ASCII bytes ``123456789``", f"``0x{p.crc16(b'123456789'):04X}``"),
        (
            "Command: get device info",
            f"``{hexbytes(p.build_frame(core['COMMAND_HEADER'], core['MessageId::DeviceInfo']))}``",
        ),
        (
            "Command: cancel",
            f"``{hexbytes(p.build_frame(core['COMMAND_HEADER'], core['MessageId::Cancel']))}``",
        ),
        (
            "Command: set device config, name ``rocket``, frequency 100, UART",
            f"``{hexbytes(p.build_frame(core['COMMAND_HEADER'], core['MessageId::SetDeviceConfig'], config))}``",
        ),
        ("Answer: set device config accepted", f"``{hexbytes(ack)}``"),
    ]
    return table(("Frame", "Bytes"), rows, widths=(40, 60))


TABLES = {
    "headers": headers_table,
    "identifiers": identifiers_table,
    "telemetry": telemetry_table,
    "packet": packet_table,
    "sizes": sizes_table,
    "mocklog-records": mocklog_table,
    "mocklog-facts": mocklog_facts,
    "examples": examples_table,
}


class WireTable(Directive):
    required_arguments = 1

    def run(self):
        name = self.arguments[0]
        if name not in TABLES:
            raise self.error(f"unknown wire table {name!r}; one of {', '.join(TABLES)}")
        lines = TABLES[name](checked_constants())
        node_holder = []
        from docutils import nodes

        container = nodes.container()
        self.state.nested_parse(
            StringList(lines, source=f"wire-table {name}"), self.content_offset, container
        )
        node_holder.extend(container.children)
        return node_holder


def setup(app):
    app.add_directive("wire-table", WireTable)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
