import pytest

from vyre_client import DeviceProtocol

MEMBERS = [("USB", 1), ("UART", 2), ("I2C", 3), ("SPI", 4)]


@pytest.mark.parametrize("name, value", MEMBERS)
def test_member_representation_and_value(name, value):
    member = getattr(DeviceProtocol, name)
    assert type(member) is DeviceProtocol
    assert repr(member) == str(member) == f"DeviceProtocol.{name}"
    assert int(member) == value
    assert getattr(DeviceProtocol, name) is member  # made once with the class


@pytest.mark.parametrize("name, value", MEMBERS)
def test_equality_against_members_and_byte_integers(name, value):
    member = getattr(DeviceProtocol, name)
    for other_name, other_value in MEMBERS:
        same = other_value == value
        assert (member == getattr(DeviceProtocol, other_name)) is same
        assert (member != getattr(DeviceProtocol, other_name)) is not same
        assert (member == other_value) is same
        assert (other_value == member) is same
        assert (member != other_value) is not same


@pytest.mark.parametrize("other", [4.0, "SPI", "4", None, 4 + 256, -252, 2**70, [4], object()])
def test_anything_else_is_unequal(other):
    assert not (DeviceProtocol.SPI == other)
    assert DeviceProtocol.SPI != other


def test_no_member_has_value_zero():
    assert not any(getattr(DeviceProtocol, name) == 0 for name, _ in MEMBERS)


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
@pytest.mark.parametrize("other", [DeviceProtocol.UART, 2])
def test_ordering_is_refused(op, other):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": DeviceProtocol.USB, "b": other})


def test_members_are_unhashable():
    assert DeviceProtocol.__hash__ is None
    with pytest.raises(TypeError):
        hash(DeviceProtocol.USB)
    with pytest.raises(TypeError):
        {DeviceProtocol.USB}
    with pytest.raises(TypeError):
        {DeviceProtocol.USB: 1}


def test_members_are_not_integers_themselves():
    with pytest.raises(TypeError):
        [0, 1, 2][DeviceProtocol.USB]
    assert not isinstance(DeviceProtocol.USB, int)
