"""The simulator's settings: one table serves the constructor, the command
line and ``Simulator.spawn``, so the three can never drift apart."""

import argparse
import os
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from .rig import check_mount
from .noise import options as noise_options

# A soft-iron matrix with off-diagonal terms, symmetric as real distortions
# are, so a calibration has something to undo beyond a plain offset.
DEFAULT_SOFT_IRON = (1.08, 0.05, -0.03, 0.05, 0.94, 0.04, -0.03, 0.04, 1.02)


def _vector(n: int) -> Callable[[str | Iterable[float]], tuple[float, ...]]:
    def parse(text: str | Iterable[float]) -> tuple[float, ...]:
        parts: list[str] | list[float]
        if isinstance(text, str):
            parts = [p for p in text.replace(" ", "").split(",") if p]
        else:
            parts = list(text)
        if len(parts) != n:
            raise ValueError(f"expected {n} numbers, got {len(parts)}")
        return tuple(float(p) for p in parts)

    parse.__name__ = f"{n} comma-separated numbers"
    return parse


def _int(text: str | int) -> int:
    return int(text, 0) if isinstance(text, str) else int(text)


def _bool(value: object) -> bool:
    if isinstance(value, str):
        return value.lower() in ("1", "true", "yes", "on")
    return bool(value)


def _shake_style(text: str) -> str:
    if text not in ("shake", "taps"):
        raise ValueError("shake_style is 'shake' or 'taps'")
    return text


def _motion(text: str) -> str:
    if text not in ("tumble", "still", "poses"):
        raise ValueError("motion is 'tumble', 'still' or 'poses'")
    return text


def _pose_script(text: str) -> str:
    from .pose_script import parse_script

    parse_script(text)
    return text


# A frame whose bytes stop coming for this long is given up: a host that
# abandoned a write half-way must not hold its next command back. Long enough
# for a loaded machine, where a frame's rest can come 50 ms late. Test suites
# set the variable to 0: on a machine loaded past any such bound a given-up
# frame would lose a record, and the give-up has its own test.
PARTIAL_FRAME_WAIT_ENV = "VYRE_SIM_PARTIAL_FRAME_WAIT"
PARTIAL_FRAME_WAIT = 0.25

# name: (parser, default, help)
OPTIONS: dict[str, tuple[Callable[[Any], Any], Any, str]] = {
    "rate": (float, 200.0, "telemetry frames per second (0 sends none; the link carries about 2325)"),
    "unthrottled": (_bool, False, "send telemetry as fast as the port takes it (benchmarks)"),
    "device_id": (_int, 0x5659_5245_0001_0042, "u64 answered to device info"),
    "firmware": (str, "1.4.2", "firmware version text (at most 8 bytes are sent)"),
    "name": (str, "VYRE-SIM", "device name (cut to 32 bytes)"),
    "protocol": (_int, 1, "device protocol: 1 USB, 2 UART, 3 I2C, 4 SPI"),
    "motion": (
        _motion,
        "tumble",
        "'tumble' turns through all orientations; 'still' rests level; 'poses' follows --pose-script",
    ),
    "tumble_rates": (_vector(3), (30.0, 72.0, 190.0), "Z-X-Z Euler angle rates of the tumble, degrees/s"),
    "hard_iron": (_vector(3), (12.0, -7.0, 4.0), "hard-iron offset added to the field, uT"),
    "soft_iron": (_vector(9), DEFAULT_SOFT_IRON, "soft-iron matrix, 9 numbers row-major"),
    "field_strength": (float, 50.0, "Earth's field magnitude, uT"),
    "inclination": (float, 64.0, "Earth's field inclination below the horizon, degrees"),
    "mag_noise": (float, 0.1, "magnetometer noise (standard deviation per axis), uT"),
    "accel_noise": (float, 0.002, "accelerometer noise, g"),
    "gyro_noise": (float, 0.05, "gyroscope noise, degrees/s"),
    "pressure_noise": (float, 1.0, "pressure noise, Pa"),
    "temperature": (float, 20.0, "mean temperature, degrees C"),
    "temperature_noise": (float, 0.02, "temperature noise, degrees C"),
    "base_altitude": (float, 250.0, "altitude at start, m"),
    "altitude_amplitude": (float, 20.0, "height of the slow climb and descent, m"),
    "altitude_period": (float, 80.0, "period of the climb and descent, s"),
    "reboot_seconds": (float, 0.3, "how long telemetry pauses for a reboot"),
    "seed": (_int, 1, "seed of the noise generators"),
    "noise": (float, 0.0, "probability of a burst of noise bytes before each frame"),
    "noise_max_len": (_int, 16, "longest noise burst, bytes"),
    "noise_header_share": (
        float,
        0.0,
        "share of noise bytes drawn from the header bytes 5A and A5 alone "
        "(the rest from all values): more false starts",
    ),
    "corrupt_rate": (float, 0.0, "probability that a telemetry frame is sent corrupted"),
    "false_header": (
        float,
        0.0,
        "probability of a false header (a frame head with nothing behind it) before each frame",
    ),
    "false_header_max_len": (_int, 256, "largest payload length a false header announces (up to 0xFFFFFFFF)"),
    "cut_rate": (float, 0.0, "probability that a telemetry frame is sent cut short (its tail never sent)"),
    "stray": (
        float,
        0.0,
        "probability of a stray frame (CRC-valid, of no use to the host: an unknown "
        "response identifier or a payload too short to decode) before each frame",
    ),
    "client_view": (
        _bool,
        False,
        "run the client's framing rules over everything sent and report the "
        "counts its link_statistics() must show (status key client_view)",
    ),
    "client_quiet": (
        float,
        0.2,
        "seconds of quiet line after which the client view gives up waiting "
        "candidates: the client's second read time-out in a row (0.1 s each)",
    ),
    "partial_frame_wait": (
        float,
        PARTIAL_FRAME_WAIT,
        "seconds the rest of a half-received command frame is waited for "
        "before its bytes are given up as noise (0: waits for ever; "
        f"${PARTIAL_FRAME_WAIT_ENV} sets the default)",
    ),
    "silent": (_bool, False, "receive commands but neither run nor answer them"),
    "answer_delay": (float, 0.0, "answer commands this many seconds late"),
    "max_backlog": (_int, 65536, "bytes of unsent output beyond which new telemetry is dropped"),
    "max_mock_records": (_int, 1_000_000, "mock records whose details are kept"),
    "link_dir": (
        str,
        "",
        "directory of the stable link to the current port, as /dev/serial/by-id "
        "holds ('': $VYRE_SIM_LINKS, else vyre-sim in the user's runtime directory)",
    ),
    "replug_after": (
        float,
        0.0,
        "pull the cable this many seconds after start, then come back on a new "
        "port behind the same stable link (0: never)",
    ),
    "replug_delay": (float, 0.5, "seconds a replug keeps the device away"),
    "clock_offset": (float, 0.0, "seconds the device's clock reads at boot"),
    "clock_drift_ppm": (
        float,
        0.0,
        "how much faster the device's clock runs than the host's, parts per million (negative: slower)",
    ),
    "burst_max": (
        _int,
        1,
        "telemetry leaves in bursts of 1 to this many frames, each burst when its last frame is due",
    ),
    "late_rate": (
        float,
        0.0,
        "probability that a telemetry frame leaves late (the frames behind it wait too)",
    ),
    "late_min": (float, 0.001, "least delay of a late frame, s"),
    "late_max": (float, 0.01, "largest delay of a late frame, s"),
    "imu_errors": (
        _bool,
        False,
        "give the accelerometer and gyroscope a bias, scale and misalignment drawn from the seed "
        "(status key imu_truth)",
    ),
    "accel_range": (float, 16.0, "accelerometer range: readings saturate here, g"),
    "gyro_range": (float, 2000.0, "gyroscope range: readings saturate here, degrees/s"),
    "pose_script": (
        _pose_script,
        "",
        "poses of motion=poses, comma-separated up axes such as +z,-x,+x+y ('~' before one: "
        "it wobbles; '': six faces and six edges); it starts at the first neutral IMU calibration write",
    ),
    "pose_hold": (float, 3.0, "seconds each pose of motion=poses is held"),
    "pose_turn": (float, 2.0, "seconds each turn between two poses takes"),
    "imu_truth_log": (
        str,
        "",
        "file to append each telemetry sample's device timestamp, true specific force (g) and "
        "true angular rate (degrees/s) in sensor axes to, seven little-endian float64 each ('': none)",
    ),
    "truth_log": (
        str,
        "",
        "file to append each telemetry sample's device timestamp and the host time "
        "(time.time()'s clock) it was taken at to, two little-endian float64 each "
        "('': none)",
    ),
    "link_delay": (float, 0.0, "least time every telemetry frame takes on the link, s"),
    "rig_origin": (
        float,
        0.0,
        "time.monotonic() reading the motion starts from, the same for every device of a rig "
        "(0: when this device starts)",
    ),
    "mount": (
        _vector(9),
        (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0),
        "rotation taking the device's axes into the rig's (how it sits on the rig), 9 numbers row-major",
    ),
    "shake_at": (float, 1.0, "seconds into the motion the shake or taps start"),
    "shake_seconds": (float, 0.0, "how long the rig is shaken (0: never)"),
    "shake_style": (_shake_style, "shake", "'shake' (a hand, 2 to 12 Hz) or 'taps' (knocks)"),
    "shake_rate": (float, 200.0, "angular rate of the shake (rms) or of a tap (peak), degrees/s"),
    "shake_seed": (_int, 7, "seed of the shake, the same for every device of a rig"),
    # white-noise density, bias instability and random walk per sensor
    **noise_options(),
}

FLAGS = {"unthrottled", "silent", "client_view", "imu_errors"}

# amounts, times and standard deviations: below zero they mean nothing
NOT_NEGATIVE = (
    "rate",
    "field_strength",
    "mag_noise",
    "accel_noise",
    "gyro_noise",
    "pressure_noise",
    "temperature_noise",
    "altitude_amplitude",
    "altitude_period",
    "reboot_seconds",
    "client_quiet",
    "partial_frame_wait",
    "answer_delay",
    "max_backlog",
    "max_mock_records",
    "late_min",
    "late_max",
    "pose_hold",
    "link_delay",
    "rig_origin",
    "shake_at",
    "shake_seconds",
    "shake_rate",
    *noise_options(),
)


def resolve(overrides: Mapping[str, Any]) -> dict[str, Any]:
    """Defaults merged with ``overrides``, each value checked by its parser."""
    unknown = set(overrides) - set(OPTIONS)
    if unknown:
        raise TypeError(f"unknown simulator option(s): {', '.join(sorted(unknown))}")
    values: dict[str, Any] = {}
    if "partial_frame_wait" not in overrides and os.environ.get(PARTIAL_FRAME_WAIT_ENV):
        overrides = dict(overrides, partial_frame_wait=os.environ[PARTIAL_FRAME_WAIT_ENV])
    for key, (parse, default, _help) in OPTIONS.items():
        values[key] = parse(overrides[key]) if key in overrides else default
    if not 0 <= values["device_id"] < 1 << 64:
        raise ValueError("device_id must fit in 64 bits")
    if not 1 <= values["protocol"] <= 4:
        raise ValueError("protocol must be 1 to 4")
    for key in NOT_NEGATIVE:
        if not values[key] >= 0:  # NaN too
            raise ValueError(f"{key} must not be negative")
    for key in ("replug_after", "replug_delay"):
        if not 0 <= values[key] < float("inf"):
            raise ValueError(f"{key} must be a non-negative number of seconds")
    for key in ("accel_range", "gyro_range", "pose_turn"):
        if not 0 < values[key] < float("inf"):
            raise ValueError(f"{key} must be a positive number")
    if values["burst_max"] < 1:
        raise ValueError("burst_max must be at least 1")
    if not abs(values["clock_drift_ppm"]) < 1e5:
        raise ValueError("clock_drift_ppm must be within +/-100000")
    if values["late_max"] < values["late_min"]:
        raise ValueError("late_max must not be below late_min")
    if values["noise_max_len"] < 1:
        raise ValueError("noise_max_len must be at least 1")
    for key in (
        "noise",
        "noise_header_share",
        "corrupt_rate",
        "false_header",
        "cut_rate",
        "stray",
        "late_rate",
    ):
        check_probability(key, values[key])
    check_length_field(values["false_header_max_len"])
    check_mount(values["mount"])
    return values


def check_probability(name: str, value: float) -> None:
    if not 0 <= value <= 1:
        raise ValueError(f"{name} must be within [0, 1]")


def check_length_field(value: int) -> None:
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError("a length field holds 0 to 0xFFFFFFFF")


def to_argv(overrides: Mapping[str, Any]) -> list[str]:
    """Command-line flags that reproduce ``overrides``."""
    resolve(overrides)
    argv: list[str] = []
    for key, value in overrides.items():
        flag = "--" + key.replace("_", "-")
        if key in FLAGS:
            if _bool(value):
                argv.append(flag)
        elif isinstance(value, (tuple, list)):
            argv.append(f"{flag}={','.join(repr(float(v)) for v in value)}")
        else:
            argv.append(f"{flag}={value}")
    return argv


def add_arguments(parser: argparse.ArgumentParser) -> None:
    for key, (parse, default, help_text) in OPTIONS.items():
        flag = "--" + key.replace("_", "-")
        if key in FLAGS:
            parser.add_argument(
                flag, dest=key, action="store_true", default=argparse.SUPPRESS, help=help_text
            )
        else:
            shown = ",".join(f"{v:g}" for v in default) if isinstance(default, tuple) else default
            parser.add_argument(
                flag, dest=key, type=parse, default=argparse.SUPPRESS, help=f"{help_text} (default {shown})"
            )
