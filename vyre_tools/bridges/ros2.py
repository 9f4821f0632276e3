"""Telemetry rows as ROS 2 messages: their definitions (embedded in a file
so readers need no ROS installation) and their CDR bytes.

Per sample:

- ``sensor_msgs/msg/Imu`` on ``/vyre/imu``: the sensor frame's orientation
  (see ``samples``), angular velocity in rad/s, linear acceleration
  (specific force: 9.81 m/s² up at rest, as ROS expects) in m/s²;
- ``sensor_msgs/msg/MagneticField`` on ``/vyre/magnetic_field``, in tesla;
- ``sensor_msgs/msg/FluidPressure`` on ``/vyre/fluid_pressure``, in Pa;
- ``sensor_msgs/msg/Temperature`` on ``/vyre/temperature``, in °C;
- ``vyre_msgs/msg/Telemetry`` on ``/vyre/telemetry``: the row itself, every
  column at its own precision, so the recording reads back whole.

Every header has the sample's time (``samples.sample_times``) and the
frame id given; covariances come from ``covariance``."""

from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..recording.mcap_format import TOPIC as TELEMETRY_TOPIC
from . import samples
from .cdr import Field, Layout
from .covariance import UNKNOWN_MATRIX, UNKNOWN_ORIENTATION, Covariances, diagonal

if TYPE_CHECKING:
    import numpy as np

    Array = np.ndarray[Any, np.dtype[Any]]

DEFAULT_FRAME_ID = "vyre_imu"
TELEMETRY_TYPE = "vyre_msgs/msg/Telemetry"
_RULE = "=" * 80

_HEADER = "std_msgs/Header header\n"
_DEPENDENCIES = {
    "std_msgs/Header": "builtin_interfaces/Time stamp\nstring frame_id\n",
    "builtin_interfaces/Time": "int32 sec\nuint32 nanosec\n",
    "geometry_msgs/Quaternion": "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n",
    "geometry_msgs/Vector3": "float64 x\nfloat64 y\nfloat64 z\n",
    "geometry_msgs/Transform": "geometry_msgs/Vector3 translation\ngeometry_msgs/Quaternion rotation\n",
}
# (topic, type, own definition, the dependencies it names)
MESSAGES = (
    (
        "/vyre/imu",
        "sensor_msgs/msg/Imu",
        _HEADER + "geometry_msgs/Quaternion orientation\nfloat64[9] orientation_covariance\n"
        "geometry_msgs/Vector3 angular_velocity\nfloat64[9] angular_velocity_covariance\n"
        "geometry_msgs/Vector3 linear_acceleration\nfloat64[9] linear_acceleration_covariance\n",
        ("std_msgs/Header", "builtin_interfaces/Time", "geometry_msgs/Quaternion", "geometry_msgs/Vector3"),
    ),
    (
        "/vyre/magnetic_field",
        "sensor_msgs/msg/MagneticField",
        _HEADER + "geometry_msgs/Vector3 magnetic_field\nfloat64[9] magnetic_field_covariance\n",
        ("std_msgs/Header", "builtin_interfaces/Time", "geometry_msgs/Vector3"),
    ),
    (
        "/vyre/fluid_pressure",
        "sensor_msgs/msg/FluidPressure",
        _HEADER + "float64 fluid_pressure\nfloat64 variance\n",
        ("std_msgs/Header", "builtin_interfaces/Time"),
    ),
    (
        "/vyre/temperature",
        "sensor_msgs/msg/Temperature",
        _HEADER + "float64 temperature\nfloat64 variance\n",
        ("std_msgs/Header", "builtin_interfaces/Time"),
    ),
)


def definition(own: str, dependencies: tuple[str, ...]) -> str:
    """A message definition as ROS 2 bags embed it: the message's own
    fields, then each type it uses after a rule and ``MSG: type``."""
    parts = [own.rstrip("\n")]
    for name in dependencies:
        parts += [_RULE, f"MSG: {name}", _DEPENDENCIES[name].rstrip("\n")]
    return "\n".join(parts) + "\n"


def telemetry_definition(dtype: "np.dtype[Any]") -> str:
    """The definition of a row of ``dtype``: a header, then every column."""
    fields = "".join(f"{'float64' if dtype[n].itemsize == 8 else 'float32'} {n}\n" for n in dtype.names or ())
    return definition(_HEADER + fields, ("std_msgs/Header", "builtin_interfaces/Time"))


TRANSFORM_TYPE = "geometry_msgs/msg/TransformStamped"
TRANSFORM_DEFINITION = definition(
    _HEADER + "string child_frame_id\ngeometry_msgs/Transform transform\n",
    (
        "std_msgs/Header",
        "builtin_interfaces/Time",
        "geometry_msgs/Transform",
        "geometry_msgs/Vector3",
        "geometry_msgs/Quaternion",
    ),
)


def transform_layout(parent_frame_id: str, child_frame_id: str) -> Layout:
    """A TransformStamped from ``parent_frame_id`` to ``child_frame_id``
    without translation: the stamp and the rotation (``rotation.w`` ...) vary."""
    return Layout(
        [
            *_header(parent_frame_id),
            Field("child_frame_id", "string", text=child_frame_id),
            *_vector("translation"),
            *(Field(f"rotation.{k}", "float64") for k in "xyzw"),
        ]
    )


def stamp_fields(ns: "Array") -> dict[str, "Array"]:
    """The header's ``sec`` and ``nanosec`` of times in nanoseconds."""
    return {"sec": ns // 1_000_000_000, "nanosec": ns % 1_000_000_000}


def _header(frame_id: str) -> list[Field]:
    return [Field("sec", "int32"), Field("nanosec", "uint32"), Field("frame_id", "string", text=frame_id)]


def _vector(name: str) -> list[Field]:
    return [Field(f"{name}.x", "float64"), Field(f"{name}.y", "float64"), Field(f"{name}.z", "float64")]


def telemetry_layout(dtype: "np.dtype[Any]", frame_id: str) -> Layout:
    kinds = {4: "float32", 8: "float64"}
    return Layout([*_header(frame_id), *(Field(n, kinds[dtype[n].itemsize]) for n in dtype.names or ())])


@dataclass(frozen=True)
class Topic:
    """One topic of a ROS 2 recording: its name, type and definition, and
    the layout of its messages."""

    name: str
    type: str
    definition: str
    layout: Layout


class Ros2Messages:
    """Builds the messages of every topic for batches of rows of ``dtype``,
    with ``frame_id`` in their headers and ``covariances`` (None: unknown)."""

    def __init__(self, dtype: "np.dtype[Any]", frame_id: str, covariances: Covariances | None) -> None:
        header = _header(frame_id)
        layouts = (
            [
                Field("orientation.x", "float64"),
                Field("orientation.y", "float64"),
                Field("orientation.z", "float64"),
                Field("orientation.w", "float64"),
                Field("orientation_covariance", "float64", 9),
                *_vector("angular_velocity"),
                Field("angular_velocity_covariance", "float64", 9),
                *_vector("linear_acceleration"),
                Field("linear_acceleration_covariance", "float64", 9),
            ],
            [*_vector("magnetic_field"), Field("magnetic_field_covariance", "float64", 9)],
            [Field("fluid_pressure", "float64"), Field("variance", "float64")],
            [Field("temperature", "float64"), Field("variance", "float64")],
        )
        self.topics = [
            Topic(topic, kind, definition(own, deps), Layout([*header, *fields]))
            for (topic, kind, own, deps), fields in zip(MESSAGES, layouts)
        ]
        self.topics.append(
            Topic(
                TELEMETRY_TOPIC,
                TELEMETRY_TYPE,
                telemetry_definition(dtype),
                telemetry_layout(dtype, frame_id),
            )
        )
        self.covariances = covariances or Covariances()

    def build(self, rows: "Array") -> "Iterator[tuple[Topic, list[bytes]]]":
        """Each topic with the messages of ``rows``, one per row, in order."""
        import numpy as np

        n = len(rows)
        times, _ = samples.sample_times(rows)
        ns = samples.nanoseconds(times)
        stamp = stamp_fields(ns)
        c = self.covariances
        q, known = samples.sensor_orientation(rows)
        gyro, accel, field = (
            samples.angular_velocity(rows),
            samples.acceleration(rows),
            samples.magnetic_field(rows),
        )
        orientation_covariance = np.where(
            known[:, None], np.array(UNKNOWN_MATRIX), np.array(UNKNOWN_ORIENTATION)
        )
        values: list[dict[str, Any]] = [
            {
                **stamp,
                "orientation.w": q[:, 0],
                "orientation.x": q[:, 1],
                "orientation.y": q[:, 2],
                "orientation.z": q[:, 3],
                "orientation_covariance": orientation_covariance,
                **_axes("angular_velocity", gyro),
                "angular_velocity_covariance": diagonal(c.angular_velocity),
                **_axes("linear_acceleration", accel),
                "linear_acceleration_covariance": diagonal(c.linear_acceleration),
            },
            {
                **stamp,
                **_axes("magnetic_field", field),
                "magnetic_field_covariance": diagonal(c.magnetic_field),
            },
            {**stamp, "fluid_pressure": rows["pressure_pascals"], "variance": c.fluid_pressure},
            {**stamp, "temperature": rows["temperature_celsius"], "variance": c.temperature},
            {**stamp, **{name: rows[name] for name in rows.dtype.names or ()}},
        ]
        for topic, fields in zip(self.topics, values):
            yield topic, topic.layout.pack(n, fields)


def _axes(name: str, v: "Array") -> dict[str, "Array"]:
    return {f"{name}.x": v[:, 0], f"{name}.y": v[:, 1], f"{name}.z": v[:, 2]}
