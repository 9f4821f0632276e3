"""The attitude view: a model of the board turned by its quaternion, its
axes drawn and labelled, the reference frame's up and the heading of the
board's X on the level grid; beside it the tilt angle, the up axis the tilt
is measured from, and the heading."""

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


def heading(r: list[list[float]]) -> float:
    """Degrees (0 to 360) from the reference frame's X to the body's X
    projected on the level plane, counter-clockwise seen from above."""
    return math.degrees(math.atan2(r[1][0], r[0][0])) % 360.0


AXIS_COLOURS = {"X": "#d62828", "Y": "#2a9d3a", "Z": "#1d4ed8"}
AXIS_LENGTH = 0.9
HEIGHT = 0.5  # of the board's middle above the level grid
LABEL = "font-weight: bold; font-size: 14px; color: {}"


def _board(scene: ui.scene) -> None:
    """A circuit board in the body frame: X along its length, Z out of its top."""
    scene.box(1.2, 0.8, 0.04).material("#1e6b3a")  # the board
    scene.box(0.22, 0.22, 0.05).move(0.05, 0.0, 0.045).material("#1a1a1a")  # the sensor
    scene.box(0.16, 0.1, 0.04).move(-0.3, 0.18, 0.04).material("#2b2b2b")  # a regulator
    scene.box(0.14, 0.26, 0.09).move(0.56, 0.0, 0.065).material("#b8b8b8")  # the connector, at +X
    for x in (-0.52, 0.47):
        for y in (-0.32, 0.32):
            scene.cylinder(0.035, 0.035, 0.05).rotate(math.pi / 2, 0, 0).move(x, y, 0.0).material("#d4a72c")
    for name, (dx, dy, dz) in zip("XYZ", ((1, 0, 0), (0, 1, 0), (0, 0, 1))):
        colour = AXIS_COLOURS[name]
        # a bar along the axis, from the board's middle
        sx, sy, sz = (0.04 + (AXIS_LENGTH - 0.04) * d for d in (dx, dy, dz))
        scene.box(sx, sy, sz).move(dx * AXIS_LENGTH / 2, dy * AXIS_LENGTH / 2, dz * AXIS_LENGTH / 2).material(
            colour
        )
        tip = AXIS_LENGTH + 0.1
        scene.text(name, LABEL.format(colour)).move(dx * tip, dy * tip, dz * tip)


def build(session: DeviceSession, visible: Callable[[], bool]) -> None:
    with ui.row().classes("w-full items-start"):
        # as wide as the page allows, up to its own size (the canvas follows the element)
        with (
            ui.scene(width=360, height=420, grid=(4, 8))
            .classes("border w-full max-w-[640px] h-[420px]")
            .props("data-testid=attitude-scene") as scene
        ):
            scene.move_camera(x=1.5, y=-1.9, z=1.9, look_at_z=0.45, duration=0)
            # the reference frame: up, and the heading of the body's X on the level grid
            scene.box(0.03, 0.03, 1.3).move(-0.9, -0.9, 0.65).material("#777777")
            scene.text("up", LABEL.format("#555555")).move(-0.9, -0.9, 1.4)
            with scene.group() as pointer:
                scene.box(1.0, 0.05, 0.01).move(0.5, 0, 0.005).material("#e07a1f")
                scene.text("heading", LABEL.format("#b85c10")).move(1.2, 0, 0.01)
            # the board turns about its middle, above the grid
            with scene.group().move(0, 0, HEIGHT), scene.group() as body:
                _board(scene)
        with ui.column():
            tilt = ui.label().classes("text-2xl font-mono").props("data-testid=tilt")
            up = ui.label().classes("font-mono")
            direction = ui.label().classes("font-mono").props("data-testid=heading")
            quaternion = ui.label().classes("font-mono text-sm")
            ui.label(
                "red, green, blue: the board's X, Y, Z (the connector at +X); grey: up in the "
                "reference frame, over the level grid; orange, on the grid: where the board's X "
                "heads, counted from the reference frame's X towards its Y"
            ).classes("text-sm text-gray-600 max-w-xs")
    seen = {"version": -1}

    def redraw() -> None:
        if not visible() or session.display.version == seen["version"]:
            return
        seen["version"] = session.display.version
        latest = session.display.latest
        if not latest:
            return
        q = [latest[f"est_quaternion_{c}"] for c in "wxyz"]
        r = rotation(*q)
        body.rotate_R(r)
        pointer.rotate(0.0, 0.0, math.radians(heading(r)))
        tilt.text = f"tilt {num(latest['est_tilt_angle_degrees'], 1)}°"
        up.text = f"up axis {up_axis(session.first_acceleration) or '-'}"
        direction.text = f"heading {heading(r):.0f}°"
        quaternion.text = "q = (" + ", ".join(num(v, 4) for v in q) + ")"

    ui.timer(REDRAW_SECONDS, redraw)
