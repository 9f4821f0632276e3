"""The telemetry channels the live plots offer, grouped by quantity, each
with its unit."""

from dataclasses import dataclass

from ..recording.metadata import column_unit


@dataclass(frozen=True)
class ChannelGroup:
    """Columns of ``get_data_array`` drawn on one plot."""

    title: str
    columns: tuple[str, ...]

    @property
    def unit(self) -> str:
        return column_unit(self.columns[0])

    @property
    def labels(self) -> tuple[str, ...]:
        """Short names of the columns: the axis letter, or the title."""
        if len(self.columns) == 1:
            return (self.title,)
        return tuple(
            next((part for part in column.split("_") if part in ("x", "y", "z")), column)
            for column in self.columns
        )


def _xyz(prefix: str, suffix: str) -> tuple[str, ...]:
    return tuple(f"{prefix}_{axis}_{suffix}" for axis in "xyz")


GROUPS: tuple[ChannelGroup, ...] = (
    ChannelGroup("Acceleration", _xyz("raw_acceleration", "gs")),
    ChannelGroup("Angular rate", _xyz("raw_angular_rate", "deg_per_s")),
    ChannelGroup("Magnetic field", _xyz("magnetic_field", "microteslas")),
    ChannelGroup("Pressure", ("pressure_pascals",)),
    ChannelGroup("Altitude", ("est_position_z_meters",)),
    ChannelGroup("Vertical velocity", ("est_velocity_z_meters_per_s",)),
    ChannelGroup("Temperature", ("temperature_celsius",)),
    ChannelGroup("Tilt", ("est_tilt_angle_degrees",)),
)

BY_TITLE = {group.title: group for group in GROUPS}

#: columns the display keeps: every plotted one, the time and the attitude
KEPT_COLUMNS: tuple[str, ...] = (
    "timestamp_seconds",
    "host_time_seconds",
    *(column for group in GROUPS for column in group.columns),
    "est_quaternion_w",
    "est_quaternion_x",
    "est_quaternion_y",
    "est_quaternion_z",
    "raw_rotated_acceleration_x_gs",
    "raw_rotated_acceleration_y_gs",
    "raw_rotated_acceleration_z_gs",
)
