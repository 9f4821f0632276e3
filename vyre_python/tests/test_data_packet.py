import decimal
import fractions
import gc
import threading
import math
import sys
import tracemalloc
import weakref

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from vyre_client import VYREDataPacket
from wire import TELEMETRY_FIELDS as INPUTS

FIELDS = [
    "timestamp_seconds",
    "temperature_celsius",
    "pressure_pascals",
    "raw_acceleration_x_gs",
    "raw_acceleration_y_gs",
    "raw_acceleration_z_gs",
    "raw_rotated_acceleration_x_gs",
    "raw_rotated_acceleration_y_gs",
    "raw_rotated_acceleration_z_gs",
    "est_tilt_angle_degrees",
    "raw_angular_rate_x_deg_per_s",
    "raw_angular_rate_y_deg_per_s",
    "raw_angular_rate_z_deg_per_s",
    "magnetic_field_x_microteslas",
    "magnetic_field_y_microteslas",
    "magnetic_field_z_microteslas",
    "est_position_z_meters",
    "est_velocity_z_meters_per_s",
    "est_mach_number",
    "est_quaternion_w",
    "est_quaternion_x",
    "est_quaternion_y",
    "est_quaternion_z",
]
DERIVED = [
    "raw_rotated_acceleration_x_gs",
    "raw_rotated_acceleration_y_gs",
    "raw_rotated_acceleration_z_gs",
    "est_tilt_angle_degrees",
    "est_mach_number",
]
K = 0.70710677  # 1/sqrt(2) as the nearest f32, widened
SIN45 = math.sqrt(0.5)


def packet(**given):
    """A packet from keyword arguments; unnamed inputs are 0, the quaternion is identity."""
    values = dict.fromkeys(INPUTS, 0.0)
    values["est_quaternion_w"] = 1.0
    values.update(given)
    return VYREDataPacket(**values)


def f32(value):
    with np.errstate(over="ignore"):
        return float(np.float32(value))


def test_struct_fields_are_created_once_in_declaration_order():
    assert VYREDataPacket.__struct_fields__ == FIELDS
    assert VYREDataPacket.__struct_fields__ is VYREDataPacket.__struct_fields__
    members = [
        name for name, value in vars(VYREDataPacket).items() if type(value).__name__ == "member_descriptor"
    ]
    assert members == FIELDS


def test_integers_go_through_the_float_conversion():
    p = VYREDataPacket(*range(18))
    for index, name in enumerate(INPUTS):
        assert getattr(p, name) == float(index) and type(getattr(p, name)) is float


@pytest.mark.parametrize("name", INPUTS)
def test_only_the_timestamp_keeps_double_precision(name):
    expected = [0.1, 1e300] if name == "timestamp_seconds" else [0.10000000149011612, math.inf]
    assert [getattr(packet(**{name: value}), name) for value in (0.1, 1e300)] == expected


def test_positional_and_keyword_construction_agree():
    values = [float(i) * 1.5 for i in range(18)]
    by_position = VYREDataPacket(*values)
    by_keyword = VYREDataPacket(**dict(zip(INPUTS, values)))
    mixed = VYREDataPacket(*values[:9], **dict(zip(INPUTS[9:], values[9:])))
    assert by_position.as_dict() == by_keyword.as_dict() == mixed.as_dict()


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, 1.0),
        (np.float32(0.25), 0.25),
        (np.float64(-3.5), -3.5),
        (np.int64(12), 12.0),
        (fractions.Fraction(3, 4), 0.75),
        (decimal.Decimal("1.5"), 1.5),
        (Floaty(), 2.5),
        (Indexy(), 7.0),
        (1e39, math.inf),  # beyond single precision
    ],
)
def test_numeric_objects_are_accepted(value, expected):
    assert packet(pressure_pascals=value).pressure_pascals == expected


@pytest.mark.parametrize("value", ["1.0", None, 1j, [1.0], object()])
@pytest.mark.parametrize("name", ["timestamp_seconds", "magnetic_field_y_microteslas", "est_quaternion_z"])
def test_non_numeric_value_names_the_argument(name, value):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        packet(**{name: value})


def test_rewritten_type_error_keeps_the_original_cause():
    root = KeyError("root cause")

    class Broken:
        def __float__(self):
            raise TypeError("no float today") from root

    with pytest.raises(TypeError) as caught:
        packet(est_position_z_meters=Broken())
    assert str(caught.value) == "argument 'est_position_z_meters': no float today"
    assert caught.value.__cause__ is root


@pytest.mark.parametrize(
    "value, error",
    [(10**400, OverflowError), (type("Bad", (), {"__float__": lambda self: 1 / 0})(), ZeroDivisionError)],
)
def test_other_conversion_errors_pass_unchanged(value, error):
    with pytest.raises(error) as caught:
        packet(temperature_celsius=value)
    assert not str(caught.value).startswith("argument ")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (range(17), {}, r"missing required argument 'est_quaternion_z'"),
        ((), {}, r"missing required argument 'timestamp_seconds'"),
        (range(19), {}, r"takes 18 positional arguments but 19 were given"),
        (range(18), {"bogus": 1.0}, r"unexpected keyword argument 'bogus'"),
        (range(18), {"pressure_pascals": 1.0}, r"multiple values for argument 'pressure_pascals'"),
    ],
)
def test_argument_matching_errors_name_the_constructor_and_argument(args, kwargs, message):
    with pytest.raises(TypeError, match=rf"^VYREDataPacket\(\) .*{message}"):
        VYREDataPacket(*args, **kwargs)


def test_default_zero_is_the_identity_attitude_at_rest():
    p = VYREDataPacket.default_zero()
    assert p.est_quaternion_w == 1.0
    assert all(getattr(p, name) == 0.0 for name in FIELDS if name != "est_quaternion_w")
    assert VYREDataPacket.default_zero() is not p


@pytest.mark.parametrize(
    "inputs, expected",
    [
        # identity attitude, 1 g along sensor x: the 45-degree mount splits it; up axis +X (tie with +Y)
        (
            {"raw_acceleration_x_gs": 1.0},
            {
                "raw_rotated_acceleration_x_gs": K,
                "raw_rotated_acceleration_y_gs": K,
                "raw_rotated_acceleration_z_gs": 0.0,
                "est_tilt_angle_degrees": 90.0,
            },
        ),
        # 1 g along z, level: the attitude above, so only each packet's own up axis tells the tilts apart
        (
            {"raw_acceleration_z_gs": 1.0},
            {
                "raw_rotated_acceleration_x_gs": 0.0,
                "raw_rotated_acceleration_y_gs": 0.0,
                "raw_rotated_acceleration_z_gs": 1.0,
                "est_tilt_angle_degrees": 0.0,
            },
        ),
        # a quaternion that is not unit length is normalised first
        (
            {"raw_acceleration_z_gs": 1.0, "est_quaternion_w": 3.0},
            {"raw_rotated_acceleration_z_gs": 1.0, "est_tilt_angle_degrees": 0.0},
        ),
        # turned 90 degrees about x: z goes to -y, and the up axis leaves the vertical
        (
            {"raw_acceleration_z_gs": 1.0, "est_quaternion_w": SIN45, "est_quaternion_x": SIN45},
            {
                "raw_rotated_acceleration_x_gs": 0.0,
                "raw_rotated_acceleration_y_gs": -1.0,
                "raw_rotated_acceleration_z_gs": 0.0,
                "est_tilt_angle_degrees": 90.0,
            },
        ),
        # an all-zero quaternion leaves the body vector unrotated and the tilt 0
        (
            {
                "raw_acceleration_x_gs": 2.0,
                "raw_acceleration_y_gs": 1.0,
                "raw_acceleration_z_gs": -0.5,
                "est_quaternion_w": 0.0,
            },
            {
                "raw_rotated_acceleration_x_gs": f32(f32(K * 2.0) - K),
                "raw_rotated_acceleration_y_gs": f32(f32(K * 2.0) + K),
                "raw_rotated_acceleration_z_gs": -0.5,
                "est_tilt_angle_degrees": 0.0,
            },
        ),
        # a NaN acceleration or quaternion component zeroes the rotation and the tilt
        (
            {"raw_acceleration_y_gs": math.nan, "raw_acceleration_z_gs": 1.0},
            {
                "raw_rotated_acceleration_x_gs": 0.0,
                "raw_rotated_acceleration_y_gs": 0.0,
                "raw_rotated_acceleration_z_gs": 0.0,
                "est_tilt_angle_degrees": 0.0,
            },
        ),
        (
            {"raw_acceleration_z_gs": 1.0, "est_quaternion_y": math.inf},
            {"raw_rotated_acceleration_z_gs": 0.0, "est_tilt_angle_degrees": 0.0},
        ),
        # Mach number: the speed of sound at 15 degrees C, in either vertical direction
        ({"temperature_celsius": 15.0, "est_velocity_z_meters_per_s": -340.29}, {"est_mach_number": 1.0}),
        ({"temperature_celsius": 15.0, "est_velocity_z_meters_per_s": 170.145}, {"est_mach_number": 0.5}),
        ({"temperature_celsius": -273.15, "est_velocity_z_meters_per_s": 100.0}, {"est_mach_number": 0.0}),
        ({"temperature_celsius": -400.0, "est_velocity_z_meters_per_s": 100.0}, {"est_mach_number": 0.0}),
        ({"temperature_celsius": math.nan, "est_velocity_z_meters_per_s": 100.0}, {"est_mach_number": 0.0}),
        ({"temperature_celsius": 15.0, "est_velocity_z_meters_per_s": math.inf}, {"est_mach_number": 0.0}),
    ],
)
def test_derived_values(inputs, expected):
    p = packet(**inputs)
    for name, value in expected.items():
        assert getattr(p, name) == pytest.approx(value, abs=2e-5), name


def test_as_dict_holds_every_attribute_in_order():
    p = VYREDataPacket(*(0.5 * i + 0.1 for i in range(18)))
    d = p.as_dict()
    assert list(d) == FIELDS
    assert d == {name: getattr(p, name) for name in FIELDS}
    assert all(type(v) is float for v in d.values())
    assert d["timestamp_seconds"] == 0.1
    assert p.as_dict() is not d


def test_as_dict_survives_changes_to_the_struct_fields_list():
    fields = VYREDataPacket.__struct_fields__
    saved = list(fields)
    fields.clear()
    try:
        assert list(VYREDataPacket.default_zero().as_dict()) == saved
    finally:
        fields[:] = saved


@pytest.mark.parametrize("name", FIELDS)
def test_attributes_are_read_only(name):
    p = VYREDataPacket.default_zero()
    with pytest.raises(AttributeError):
        setattr(p, name, 1.0)
    with pytest.raises(AttributeError):
        delattr(p, name)
    assert getattr(p, name) == (1.0 if name == "est_quaternion_w" else 0.0)


def test_instance_is_the_bare_record():
    p = VYREDataPacket.default_zero()
    with pytest.raises(AttributeError):
        p.extra = 1
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(p)
    assert VYREDataPacket.__basicsize__ == object.__basicsize__ + 96
    assert sys.getsizeof(p) == object.__basicsize__ + 96


def test_compares_and_hashes_by_identity():
    a, b = VYREDataPacket.default_zero(), VYREDataPacket.default_zero()
    assert a == a and a != b
    assert hash(a) != hash(b)
    assert len({a, b, a}) == 2


def test_released_packet_storage_is_reused():
    p = VYREDataPacket.default_zero()
    address = id(p)
    del p
    assert id(VYREDataPacket(*range(18))) == address


def test_churn_of_a_million_packets_does_not_grow_memory():
    def churn(rounds):
        for i in range(rounds):
            # batches larger than the free list, so packets go both to the
            # list and back to the allocator
            batch = [
                VYREDataPacket(i, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 1, 0, 0, 0) for _ in range(50)
            ]
            batch += [VYREDataPacket.default_zero() for _ in range(50)]
            assert batch[0].timestamp_seconds == i
            del batch

    gc.collect()
    churn(100)  # warm up
    type_refs = sys.getrefcount(VYREDataPacket)
    tracemalloc.start()
    try:
        churn(1000)
        baseline, _ = tracemalloc.get_traced_memory()
        churn(9000)
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current - baseline < 64 * 1024
    # every instance, recycled or not, gave back the reference it held on its type
    assert sys.getrefcount(VYREDataPacket) == type_refs


@given(st.lists(st.floats(allow_nan=False), min_size=18, max_size=18))
def test_stored_inputs_are_the_rounded_arguments(values):
    p = VYREDataPacket(*values)
    assert p.timestamp_seconds == values[0]
    for name, value in zip(INPUTS[1:], values[1:]):
        assert getattr(p, name) == f32(value)


bounded = st.floats(min_value=-1e6, max_value=1e6)


@given(
    accel=st.tuples(bounded, bounded, bounded),
    quaternion=st.tuples(bounded, bounded, bounded, bounded),
    temperature=st.floats(min_value=-273.0, max_value=1e4),
    velocity=bounded,
)
def test_derived_values_stay_physical(accel, quaternion, temperature, velocity):
    names = [
        "raw_acceleration_x_gs",
        "raw_acceleration_y_gs",
        "raw_acceleration_z_gs",
        "est_quaternion_w",
        "est_quaternion_x",
        "est_quaternion_y",
        "est_quaternion_z",
    ]
    p = packet(
        **dict(zip(names, accel + quaternion)),
        temperature_celsius=temperature,
        est_velocity_z_meters_per_s=velocity,
    )
    assert 0.0 <= p.est_tilt_angle_degrees <= 180.0
    assert 0.0 <= p.est_mach_number < math.inf
    # the mounting turn and the attitude rotation both keep the vector's length
    stored = [getattr(p, name) for name in names[:3]]
    rotated = [getattr(p, name) for name in DERIVED[:3]]
    assert math.hypot(*rotated) == pytest.approx(math.hypot(*stored), rel=1e-4, abs=1e-3)


def test_packets_move_freely_between_threads():
    made = []
    threads = [
        threading.Thread(target=lambda i=i: made.extend(VYREDataPacket(*[i] * 18) for _ in range(100)))
        for i in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted({p.timestamp_seconds for p in made}) == [0.0, 1.0, 2.0, 3.0]
    assert len(made) == 400
