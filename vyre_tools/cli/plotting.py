"""Figures: a telemetry recording against time, and magnetometer samples
before and after calibration.  Drawn with matplotlib's Agg renderer straight
into files; no pyplot state, except for the window of ``vyre plot`` without
an output file."""

import math
import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from types import ModuleType

    import numpy as np
    from matplotlib.figure import Figure

    from ..procedures.magnetometer_quality import Vector

# one column of a recording: a float64 array, or a list of floats
type Column = Sequence[float] | np.ndarray[Any, np.dtype[np.float64]]


def require_matplotlib() -> "ModuleType":
    """The matplotlib module, set to draw into files; ModuleNotFoundError
    (naming it) when the cli extra is not installed."""
    import matplotlib

    matplotlib.use("Agg")
    return matplotlib


def _figure(**kwargs: Any) -> "Figure":
    require_matplotlib()
    from matplotlib.figure import Figure

    return Figure(**kwargs)


def image_path(path: str | os.PathLike[str]) -> str:
    """The file a figure saved to ``path`` lands in: a name without a suffix
    gets ".png", as matplotlib would add it."""
    path = os.fspath(path)
    if os.path.splitext(path)[1]:
        return path
    return os.path.normpath(path) + ".png"


def _save(fig: "Figure", path: str | os.PathLike[str]) -> str:
    """Saves the figure; returns the path of the file written."""
    written = image_path(path)
    try:
        fig.savefig(written, dpi=100)
    except (OSError, ValueError) as e:
        from .errors import CliError

        raise CliError(f"cannot write {written}: {getattr(e, 'strerror', None) or e}") from None
    return written


def _xyz(prefix: str, suffix: str, up: str = "z") -> list[tuple[str, str | None]]:
    return [(f"{prefix}_{axis}_{suffix}", axis if axis != "z" else up) for axis in "xyz"]


#: the panels ``vyre plot`` can draw, by the name ``--channels`` takes:
#: (title, unit, [(column, label)])
PANELS: dict[str, tuple[str, str, list[tuple[str, str | None]]]] = {
    "altitude": ("Altitude (estimated)", "m", [("est_position_z_meters", None)]),
    "vertical-velocity": ("Vertical velocity (estimated)", "m/s", [("est_velocity_z_meters_per_s", None)]),
    "rotated-acceleration": (
        "Acceleration in the reference frame",
        "g",
        _xyz("raw_rotated_acceleration", "gs", "z (up)"),
    ),
    "tilt": ("Tilt", "deg", [("est_tilt_angle_degrees", None)]),
    "mach": ("Mach number", "", [("est_mach_number", None)]),
    "acceleration": ("Acceleration (sensor axes)", "g", _xyz("raw_acceleration", "gs")),
    "angular-rate": ("Angular rate", "deg/s", _xyz("raw_angular_rate", "deg_per_s")),
    "magnetic-field": ("Magnetic field", "µT", _xyz("magnetic_field", "microteslas")),
    "pressure": ("Pressure", "Pa", [("pressure_pascals", None)]),
    "temperature": ("Temperature", "°C", [("temperature_celsius", None)]),
}


def columns_of(panels: Sequence[str]) -> list[str]:
    """The recording's columns the ``panels`` draw, the time first."""
    return ["timestamp_seconds", *(column for name in panels for column, _ in PANELS[name][2])]


def recording_figure(
    columns: Mapping[str, Column],
    path: str | os.PathLike[str],
    title: str | None = None,
    panels: Sequence[str] = tuple(PANELS),
) -> str:
    """The ``panels`` (names of PANELS) against time from ``columns``
    (name -> float64 array or list of floats); returns the path written."""
    fig = _figure(figsize=(10, 1.5 + 2.1 * len(panels)), layout="constrained")
    draw_recording(fig, columns, title, panels)
    return _save(fig, path)


def no_window_reason() -> str | None:
    """Why no plot window can open here, or None when one can."""
    import sys

    if sys.platform.startswith("linux") and not (
        os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
    ):
        return "there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"
    return None


def show_recording(
    columns: Mapping[str, Column], title: str | None = None, panels: Sequence[str] = tuple(PANELS)
) -> None:
    """The ``panels`` in a window; returns once the user closes it."""
    import matplotlib
    import matplotlib.pyplot as plt  # picks a window toolkit that is installed

    backend = matplotlib.get_backend().lower()
    if backend in ("agg", "pdf", "ps", "svg", "cairo", "template") or backend.startswith("module://"):
        from .errors import CliError

        raise CliError(
            f"matplotlib has no window toolkit here (backend {backend}; install "
            "tkinter or PyQt): write an image with -o FILE.png"
        )
    fig = plt.figure(figsize=(10, min(9.0, 1.5 + 2.1 * len(panels))), layout="constrained")
    draw_recording(fig, columns, title, panels)
    plt.show()


def draw_recording(
    fig: "Figure",
    columns: Mapping[str, Column],
    title: str | None = None,
    panels: Sequence[str] = tuple(PANELS),
) -> None:
    t0 = columns["timestamp_seconds"][0]
    t = [x - t0 for x in columns["timestamp_seconds"]]
    axes = fig.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, (panel, unit, series) in zip(axes, (PANELS[name] for name in panels)):
        for name, label in series:
            ax.plot(t, columns[name], linewidth=1, label=label)
        ax.set_title(panel, loc="left", fontsize=10)
        ax.set_ylabel(unit)
        ax.grid(True, alpha=0.3)
        if any(label for _, label in series):
            # beside the panel: inside it would hide some of the data
            ax.legend(loc="upper left", bbox_to_anchor=(1.005, 1.0), borderaxespad=0.0, fontsize=8)
    axes[-1].set_xlabel("device time since the first sample (s)")
    if title:
        fig.suptitle(title)


def calibration_figure(
    raw: "Sequence[Vector]",
    corrected: "Sequence[Vector]",
    offsets: Sequence[float],
    path: str | os.PathLike[str],
) -> str:
    """Raw and corrected field samples in the XY, XZ and YZ planes; returns
    the path written."""
    fig = _figure(figsize=(15, 5.4), layout="constrained")
    axes = fig.subplots(1, 3)
    lengths = [math.sqrt(x * x + y * y + z * z) for x, y, z in corrected]
    radius = sum(lengths) / len(lengths) if lengths else 0.0
    ring = [(radius * math.cos(a / 90 * math.pi), radius * math.sin(a / 90 * math.pi)) for a in range(181)]
    for ax, (i, j, name) in zip(axes, ((0, 1, "XY"), (0, 2, "XZ"), (1, 2, "YZ"))):
        ax.scatter([m[i] for m in raw], [m[j] for m in raw], s=3, alpha=0.5, color="tab:orange", label="raw")
        ax.scatter(
            [m[i] for m in corrected],
            [m[j] for m in corrected],
            s=3,
            alpha=0.5,
            color="tab:blue",
            label="calibrated",
        )
        ax.plot(
            [p[0] for p in ring],
            [p[1] for p in ring],
            color="black",
            linewidth=0.8,
            linestyle="--",
            label=f"{radius:.1f} µT",
        )
        ax.plot(
            [offsets[i]],
            [offsets[j]],
            marker="+",
            markersize=12,
            color="tab:red",
            linestyle="none",
            label="fitted offset",
        )
        ax.set_aspect("equal", adjustable="datalim")
        ax.set_title(f"{name} projection", fontsize=10)
        ax.set_xlabel(f"{name[0]} (µT)")
        ax.set_ylabel(f"{name[1]} (µT)")
        ax.grid(True, alpha=0.3)
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="outside lower center", ncols=4, fontsize=9)
    fig.suptitle("Magnetometer samples: the raw ellipsoid and the calibrated sphere")
    return _save(fig, path)
