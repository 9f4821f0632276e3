"""The up axis the tilt angle is measured from, as the library chooses it.

The library picks the body axis closest to the first finite acceleration of
a run and tells only the tilt it measures from it. Rather than repeat its
rule here (the 45-degree mount, ties, vectors too short or not finite), the
axis is read back from the library: a packet built from an acceleration
chooses its axis from it, and three known attitudes tell which axis that was
by the tilts they give."""

import functools

AXES = ("+X", "-X", "+Y", "-Y", "+Z", "-Z")
_C = 0.7071067811865476  # cos 45 degrees: a quarter turn's quaternion parts
# (w, x, y, z): level; a quarter turn about +Y (+X points down); about +X (+Y points up)
_LEVEL = (1.0, 0.0, 0.0, 0.0)
_ABOUT_Y = (_C, 0.0, _C, 0.0)
_ABOUT_X = (_C, _C, 0.0, 0.0)


def _tilt(acceleration: tuple[float, float, float], q: tuple[float, float, float, float]) -> float:
    from vyre_client import VYREDataPacket

    ax, ay, az = acceleration
    w, x, y, z = q
    return VYREDataPacket(
        0.0, 0.0, 0.0, ax, ay, az, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, w, x, y, z
    ).est_tilt_angle_degrees


@functools.lru_cache(maxsize=64)
def _axis(acceleration: tuple[float, float, float]) -> str | None:
    level, about_y, about_x = (_tilt(acceleration, q) for q in (_LEVEL, _ABOUT_Y, _ABOUT_X))
    if level == about_y == about_x == 0.0:
        return None  # no axis is upright in all three: the sample chose none
    if level < 45:
        return "+Z"
    if level > 135:
        return "-Z"
    if about_y > 135:
        return "+X"
    if about_y < 45:
        return "-X"
    return "+Y" if about_x < 45 else "-Y"


def up_axis(acceleration: tuple[float, float, float] | None) -> str | None:
    """The body axis (one of ``AXES``) a run whose first sample had this
    sensor ``acceleration`` (x, y, z in g) measures its tilt from; None for
    no sample, or one that chooses no axis (a NaN or infinity in it)."""
    if acceleration is None:
        return None
    ax, ay, az = acceleration
    return _axis((float(ax), float(ay), float(az)))
