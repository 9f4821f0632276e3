"""The attitude view: a model of the device turned by its quaternion, with
the tilt angle and the up axis the tilt is measured from."""

import math
from collections.abc import Callable

from nicegui import ui

from ..procedures.attitude import up_axis
from .format import num
from .session import DeviceSession

REDRAW_SECONDS = 0.05


def rotation(w: float, x: float, y: float, z: float) -> list[list[float]]:
    """The rotation matrix of a quaternion, normalised first (identity for
    one of length 0 or not finite, as the library treats it)."""
    n = math.sqrt(w * w + x * x + y * y + z * z)
    if not n > 0 or not math.isfinite(n):
        return [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    w, x, y, z = w / n, x / n, y / n, z / n
    return [
        [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
        [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
        [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)],
    ]


def build(session: DeviceSession, visible: Callable[[], bool]) -> None:
    with ui.row().classes("w-full items-start"):
        # as wide as the page allows, up to its own size (the canvas follows the element)
        with ui.scene(width=360, height=420, grid=(4, 8)).classes(
            "border w-full max-w-[640px] h-[420px]"
        ) as scene:
            scene.move_camera(x=1.5, y=-1.8, z=1.3, look_at_z=0, duration=0)
            with scene.group() as body:
                scene.box(1.2, 0.8, 0.16).material("#4a7bd0")
                scene.box(0.3, 0.3, 0.05).move(0.3, 0, 0.1).material("#e0a030")  # marks +X
                scene.axes_helper(1.0)
        with ui.column():
            tilt = ui.label().classes("text-2xl font-mono").props("data-testid=tilt")
            up = ui.label().classes("font-mono")
            quaternion = ui.label().classes("font-mono text-sm")
            ui.label("red, green, blue: the body's X, Y, Z; the grid is level").classes(
                "text-sm text-gray-600"
            )
    seen = {"version": -1}

    def redraw() -> None:
        if not visible() or session.display.version == seen["version"]:
            return
        seen["version"] = session.display.version
        latest = session.display.latest
        if not latest:
            return
        q = [latest[f"est_quaternion_{c}"] for c in "wxyz"]
        body.rotate_R(rotation(*q))
        tilt.text = f"tilt {num(latest['est_tilt_angle_degrees'], 1)}°"
        up.text = f"up axis {up_axis(session.first_acceleration) or '-'}"
        quaternion.text = "q = (" + ", ".join(num(v, 4) for v in q) + ")"

    ui.timer(REDRAW_SECONDS, redraw)
