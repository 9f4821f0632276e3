"""A device's configuration (name, telemetry frequency, protocol): the one
set of checks of what a user asks for, the change itself, and what the
device's answer means.

The device takes a name of at most 32 bytes (the library cuts a longer one
where it falls, even inside a character) and a frequency of 1 to 65535 (0
stops the telemetry: every plot and recording would freeze without a word);
a frequency the link cannot carry is the device's to refuse. Its answer is a
yes or a no; no answer within the time-out is told apart from a no by when
the call returned: a time-out returns only once the whole time has passed.
"""

import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .device_calls import Steps, call, not_taken, refused

if TYPE_CHECKING:
    from vyre_client import DeviceConfig

PROTOCOLS = ("USB", "UART", "I2C", "SPI")  # the device's values 1 to 4
NAME_BYTES = 32
MIN_FREQUENCY = 1
MAX_FREQUENCY = 65535


@dataclass(frozen=True)
class Configuration:
    """A configuration as the user states it: the protocol by its name."""

    name: str
    frequency: int
    protocol: str

    def text(self) -> str:
        return f"name {self.name!r}, frequency {self.frequency}, protocol {self.protocol}"


class ConfigurationNotTaken(OSError):
    """The device refused the configuration (``refused``), did not answer in
    time, or acknowledged it but reports other values (``differences``)."""

    def __init__(self, message: str, *, refused: bool = False, differences: tuple[str, ...] = ()) -> None:
        super().__init__(message)
        self.refused = refused
        self.differences = differences


def protocol_name(protocol: object) -> str:
    """``DeviceProtocol.SPI``, 4 or "SPI" as "SPI"; an unknown number as itself."""
    if isinstance(protocol, str):
        return protocol.rpartition(".")[2].upper()
    try:
        number = int(protocol)  # type: ignore[call-overload]
    except (TypeError, ValueError):
        return str(protocol).rpartition(".")[2]
    return PROTOCOLS[number - 1] if 1 <= number <= len(PROTOCOLS) else str(number)


def check_name(name: object) -> str:
    """The name, if the device can hold it whole; ValueError saying why not."""
    if not isinstance(name, str):
        raise ValueError(f"the name must be a text, not {type(name).__name__}")
    size = len(name.encode("utf-8", "surrogatepass"))
    if size > NAME_BYTES:
        raise ValueError(f"the name is {size} bytes as UTF-8: at most {NAME_BYTES} bytes fit")
    return name


def check_frequency(frequency: object) -> int:
    """The frequency as a whole number of 1 to 65535; ValueError saying why not
    (a float is taken when it is whole)."""
    if isinstance(frequency, bool):
        raise ValueError(f"the frequency must be a whole number, not {frequency!r}")
    if isinstance(frequency, str):
        try:
            frequency = int(frequency.strip())
        except ValueError:
            raise ValueError(f"the frequency must be a whole number, not {frequency!r}") from None
    if isinstance(frequency, float):
        if not frequency.is_integer():
            raise ValueError(f"the frequency must be a whole number, not {frequency!r}")
        frequency = int(frequency)
    if not isinstance(frequency, int):
        raise ValueError(f"the frequency must be a whole number, not {frequency!r}")
    if frequency == 0:
        raise ValueError("a frequency of 0 stops the telemetry: give 1 to 65535")
    if not MIN_FREQUENCY <= frequency <= MAX_FREQUENCY:
        raise ValueError(f"the frequency must be {MIN_FREQUENCY} to {MAX_FREQUENCY}, not {frequency}")
    return frequency


def check_protocol(protocol: object) -> str:
    """The protocol's name (any case, or the device's number); ValueError otherwise."""
    name = protocol_name(protocol) if protocol is not None else ""
    if name not in PROTOCOLS:
        raise ValueError(f"the protocol must be one of {', '.join(PROTOCOLS)}, not {protocol!r}")
    return name


def check(name: object, frequency: object, protocol: object) -> Configuration:
    """The configuration asked for, every value checked; ValueError naming
    the first that the device could not take as given."""
    return Configuration(check_name(name), check_frequency(frequency), check_protocol(protocol))


def merged(
    current: "DeviceConfig",
    name: str | None = None,
    frequency: int | None = None,
    protocol: str | None = None,
) -> Configuration:
    """``current`` with the values given in its place, checked."""
    return check(
        current.name if name is None else name,
        current.frequency if frequency is None else frequency,
        protocol_name(current.protocol) if protocol is None else protocol,
    )


def as_configuration(config: "DeviceConfig") -> Configuration:
    """What the device reports, in the same terms."""
    return Configuration(config.name, int(config.frequency), protocol_name(config.protocol))


def differences(wanted: Configuration, got: Configuration) -> tuple[str, ...]:
    """Texts naming each value the device holds otherwise than asked."""
    return tuple(
        f"{key} is {getattr(got, key)!r}, not {getattr(wanted, key)!r}"
        for key in ("name", "frequency", "protocol")
        if getattr(got, key) != getattr(wanted, key)
    )


def not_accepted(elapsed: float, timeout: float, wanted: Configuration) -> ConfigurationNotTaken:
    """The error for a false answer that came after ``elapsed`` seconds."""
    if refused(elapsed, timeout):
        return ConfigurationNotTaken(
            f"the device refused the configuration ({wanted.text()}): a setting it cannot "
            "run at, such as a frequency above what the link carries",
            refused=True,
        )
    return ConfigurationNotTaken(not_taken("the configuration", elapsed, timeout))


def _read(timeout: float) -> "Steps[DeviceConfig]":
    config: DeviceConfig | None = yield call("get_device_config", timeout_seconds=timeout)
    if config is None:
        raise TimeoutError(f"the device did not answer the configuration request within {timeout:g} s")
    return config


def apply(wanted: Configuration, timeout: float) -> "Steps[DeviceConfig]":
    """Writes ``wanted`` (checked, see ``check``) and reads it back: what the
    device reports then. ConfigurationNotTaken for a refusal, no answer, or
    a read-back that differs; TimeoutError when the read-back is not answered."""
    import vyre_client

    began = time.monotonic()
    accepted = yield call(
        "set_device_config",
        wanted.name,
        wanted.frequency,
        getattr(vyre_client.DeviceProtocol, wanted.protocol),
        timeout_seconds=timeout,
    )
    if not accepted:
        raise not_accepted(time.monotonic() - began, timeout, wanted)
    now = yield from _read(timeout)
    differ = differences(wanted, as_configuration(now))
    if differ:
        raise ConfigurationNotTaken(
            f"the device acknowledged the configuration but reports otherwise: {'; '.join(differ)}",
            differences=differ,
        )
    return now


def change(
    name: str | None = None, frequency: int | None = None, protocol: str | None = None, timeout: float = 3.0
) -> "Steps[DeviceConfig]":
    """Reads the configuration, writes it with the values given in place and
    reads it back (see ``apply``); ValueError, before anything is written,
    for a value the device cannot take."""
    current = yield from _read(timeout)
    wanted = merged(current, name, frequency, protocol)
    result: DeviceConfig = yield from apply(wanted, timeout)
    return result


def describe(config: Any) -> str:
    """A device's configuration in one line."""
    return as_configuration(config).text()
