"""The figure of ``vyre noise``: Allan deviation against averaging time,
log-log, one panel per sensor, each axis with its fitted curve and its
bias-instability minimum marked."""

import os
from typing import TYPE_CHECKING

from .plotting import _figure, _save

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..procedures.noise import NoiseReport

COLOURS = ("tab:red", "tab:green", "tab:blue")


def draw_noise(fig: "Figure", report: "NoiseReport") -> None:
    import numpy as np

    sensors = []
    for c in report.channels:
        if c.sensor not in sensors:
            sensors.append(c.sensor)
    axes = fig.subplots(len(sensors), 1, squeeze=False)[:, 0]
    for ax, sensor in zip(axes, sensors):
        for i, c in enumerate(ch for ch in report.channels if ch.sensor is sensor):
            ok = c.curve.terms > 0
            taus, dev = c.curve.taus[ok], c.curve.deviation[ok]
            err = c.curve.errors[ok] * dev
            colour = COLOURS[i % len(COLOURS)]
            ax.errorbar(taus, dev, yerr=err, color=colour, linewidth=1, marker=".", label=c.axis or None)
            smooth = np.logspace(np.log10(taus[0]), np.log10(taus[-1]), 100)
            ax.plot(smooth, c.figures.model(smooth), color=colour, linestyle="--", linewidth=0.8)
            b = c.figures.instability
            if b.tau is not None and not b.upper_bound:
                ax.plot([b.tau], [b.value * 0.6643], marker="v", color=colour, markersize=7)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(f"{sensor.name}", loc="left", fontsize=10)
        ax.set_ylabel(f"Allan deviation ({sensor.unit})")
        ax.grid(True, which="both", alpha=0.3)
        if len(sensor.columns) > 1:
            ax.legend(loc="upper right", fontsize=8)
    axes[-1].set_xlabel(
        "averaging time τ (s); dashed: the fit of white noise, a flat floor and random walk; ▼: the minimum"
    )
    fig.suptitle(f"Allan deviation of {report.source}")


def noise_figure(report: "NoiseReport", path: str | os.PathLike[str]) -> str:
    """The figure written to ``path`` (PNG); the path written."""
    fig = _figure(
        figsize=(8, 2.6 * len({c.sensor.name for c in report.channels}) + 0.6), layout="constrained"
    )
    draw_noise(fig, report)
    return _save(fig, path)


def show_noise(report: "NoiseReport") -> None:
    """The figure in a window; returns once the user closes it."""
    import matplotlib
    import matplotlib.pyplot as plt

    backend = matplotlib.get_backend().lower()
    if backend in ("agg", "pdf", "ps", "svg", "cairo", "template") or backend.startswith("module://"):
        from .errors import CliError

        raise CliError(
            f"matplotlib has no window toolkit here (backend {backend}; install "
            "tkinter or PyQt): write an image with -o FILE.png"
        )
    fig = plt.figure(figsize=(8, 11), layout="constrained")
    draw_noise(fig, report)
    plt.show()
