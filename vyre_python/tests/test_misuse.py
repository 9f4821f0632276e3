"""Misuse from Python: foreign threads while background work runs, scripts that
end with a client, a replay or a calibration still running, and bad arguments
of every kind across the API."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import wire
from harness import InternalFaultError, NEGATIVE, OUT_OF_RANGE, TOO_BIG, run_in_thread
from vyre_client import DeviceProtocol, VYREClient

UNSENDABLE = "vyre_client::VYREClient is unsendable, but sent to another thread"


# ---------------------------------------------------------- foreign threads


def test_foreign_threads_cannot_end_a_running_stream(started, long_log):
    client, device = started
    device.inject_response(wire.ENTER_MOCK_MODE, b"\x01")
    client.start_mock_log_stream(long_log)
    for call in (
        lambda: client.stop_mock_log_stream(),
        client.stop,
        lambda: client.__exit__(None, None, None),
        lambda: client.start_mock_log_stream(long_log),
    ):
        kind, error = run_in_thread(call)
        assert kind == "error" and type(error) is InternalFaultError and UNSENDABLE in str(error)
    assert client.is_mock_log_streaming() and client.is_running()
    assert isinstance(client.stop_mock_log_stream(cancel_device=False), int)


# --------------------------------------------------------- ending scripts

EXIT_RUNS = int(os.environ.get("VYRE_EXIT_RUNS", "5"))

PRELUDE = """
import os, signal, struct, sys, time
from vyre_client import VYREClient
"""

# each script prints "ready" once its background work runs, then ends with it running
SCRIPTS = {
    "mock-client": """
        client, device = VYREClient.new_mock()
        client.start()
        device.inject_response(255, b"\\x01")
        assert client.cancel(10.0) is True
        print("ready")
    """,
    "pty-client-in-a-cycle": """
        master, slave = os.openpty()
        client = VYREClient(os.ttyname(slave))
        client.start()
        os.write(master, bytes.fromhex(sys.argv[2]) * 20)
        packets = []
        while len(packets) < 20:
            packets += client.get_data_packets()
            time.sleep(0.01)
        holder = {"client": client}
        holder["itself"] = holder  # released only by the collection at shutdown
        del client
        print("ready")
    """,
    "replay": """
        client, device = VYREClient.new_mock()
        device.inject_response(5, b"\\x01")
        client.start_mock_log_stream(sys.argv[1])
        time.sleep(0.2)
        assert client.is_mock_log_streaming()
        print("ready")
    """,
    "calibration": """
        client, device = VYREClient.new_mock()
        client.start()
        device.inject_response(6, b"\\x01")

        def leave(*_):
            print("ready", flush=True)
            sys.exit(0)  # from inside the collection wait

        signal.signal(signal.SIGALRM, leave)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        client.run_and_apply_magnetometer_calibration(60.0, 5.0)
        print("the collection was not interrupted")
    """,
}


@pytest.mark.parametrize("scenario", SCRIPTS)
def test_scripts_ending_with_background_work_exit_cleanly(long_log, scenario):
    code = PRELUDE + textwrap.dedent(SCRIPTS[scenario])
    telemetry = wire.telemetry([1.0] + [0.0] * 13 + [1.0, 0.0, 0.0, 0.0]).hex()
    for run in range(EXIT_RUNS):
        try:
            done = subprocess.run(
                [sys.executable, "-c", code, long_log, telemetry],
                capture_output=True,
                text=True,
                timeout=120,
                stdin=subprocess.DEVNULL,
            )
        except subprocess.TimeoutExpired:
            pytest.fail(f"run {run} of {scenario} hung")
        assert (done.returncode, done.stdout, done.stderr) == (0, "ready\n", ""), f"run {run}"


# -------------------------------------------------------- bad arguments

I64 = range(-(2**63), 2**63)

THREE, NINE = [0.0] * 3, [0.0] * 9
NOT_A_NUMBER = st.one_of(
    st.text(max_size=3),
    st.binary(max_size=3),
    st.none(),
    st.lists(st.floats(), max_size=2),
    st.complex_numbers(),
    st.builds(object),
    st.just(DeviceProtocol.USB),
)
NOT_A_BOOL = st.one_of(st.integers(), st.floats(), st.none(), st.text(max_size=3), st.lists(st.booleans()))
NOT_AN_INT = st.one_of(st.floats(), st.text(max_size=3), st.none(), st.decimals(allow_nan=False).map(str))


def wrong(strategy, error, message):
    return strategy.map(lambda v: (v, error, message))


def numbers_of_length(n):
    return (
        st.integers(0, 12)
        .filter(lambda k: k != n)
        .flatmap(lambda k: st.sampled_from([[0.5] * k, tuple(range(k)), np.zeros(k)]))
    )


SECONDS = st.one_of(
    wrong(NOT_A_NUMBER, TypeError, None),
    wrong(st.floats(max_value=-1e-300) | st.integers(-(2**1000), -1), InternalFaultError, NEGATIVE),
    wrong(
        st.sampled_from([math.nan, math.inf, 2.0**64, 1e300]) | st.integers(2**64, 2**1000),
        InternalFaultError,
        TOO_BIG,
    ),
)
BOOL = wrong(NOT_A_BOOL, TypeError, None)
TEXT = wrong(
    st.one_of(st.binary(), st.integers(), st.none(), st.lists(st.text(max_size=2), max_size=2)),
    TypeError,
    None,
)
FLOAT = wrong(NOT_A_NUMBER, TypeError, None)
PROTOCOL = wrong(st.one_of(st.integers(), st.text(max_size=3), st.none(), st.floats()), TypeError, None)


def unsigned(bits):
    top = 2**bits
    return st.one_of(
        wrong(NOT_AN_INT, TypeError, None),
        st.one_of(st.integers(max_value=-1), st.integers(min_value=top)).map(
            lambda v: (v, OverflowError, OUT_OF_RANGE if v in I64 else None)
        ),
    )


def sequence(n):
    return st.one_of(
        numbers_of_length(n).map(
            lambda v: (v, ValueError, rf"^expected a sequence of length {n} \(got {len(v)}\)$")
        ),
        wrong(
            st.one_of(st.integers(), st.floats(), st.none(), st.sets(st.integers(), min_size=n, max_size=n)),
            TypeError,
            None,
        ),
        wrong(
            st.lists(
                NOT_A_NUMBER.filter(lambda v: not isinstance(v, DeviceProtocol)), min_size=1, max_size=1
            ).map(lambda bad: [0.0] * (n - 1) + bad),
            TypeError,
            None,
        ),
    )


# method: its parameters in order, each with a valid value and a strategy for wrong ones
API = {
    "get_data_packets": [("block", False, BOOL)],
    "get_data_array": [("block", False, BOOL)],
    "get_device_info": [("timeout_seconds", 0.0, SECONDS)],
    "get_device_config": [("timeout_seconds", 0.0, SECONDS)],
    "get_calibration": [("timeout_seconds", 0.0, SECONDS)],
    "cancel": [("timeout_seconds", 0.0, SECONDS)],
    "set_device_config": [
        ("name", "x", TEXT),
        ("frequency", 1, unsigned(16)),
        ("protocol", DeviceProtocol.USB, PROTOCOL),
        ("timeout_seconds", 0.0, SECONDS),
    ],
    "set_imu_calibration": [
        ("accel_offsets", THREE, sequence(3)),
        ("accel_scale_matrix", NINE, sequence(9)),
        ("gyro_offsets", THREE, sequence(3)),
        ("gyro_scale_matrix", NINE, sequence(9)),
        ("timeout_seconds", 0.0, SECONDS),
    ],
    "set_magnetometer_calibration": [
        ("offsets", THREE, sequence(3)),
        ("scale_matrix", NINE, sequence(9)),
        ("timeout_seconds", 0.0, SECONDS),
    ],
    "run_and_apply_magnetometer_calibration": [
        ("collection_duration_seconds", 0.0, SECONDS),
        ("apply_timeout_seconds", 0.0, SECONDS),
    ],
    "start_mock_log_stream": [
        ("log_path", "a.log", TEXT),
        ("realtime", True, BOOL),
        ("speed", 1.0, FLOAT),
        ("chunk_size", 8192, unsigned(64)),
        ("start_timeout_seconds", 0.0, SECONDS),
        ("cancel_on_finish", True, BOOL),
    ],
    "stop_mock_log_stream": [("cancel_device", True, BOOL), ("block", True, BOOL)],
}


@st.composite
def bad_calls(draw):
    """A method, its arguments with exactly one wrong, passed by position or keyword."""
    method = draw(st.sampled_from(sorted(API)))
    params = API[method]
    wrong_at = draw(st.integers(0, len(params) - 1))
    bad, error, message = draw(params[wrong_at][2])
    values = [bad if i == wrong_at else valid for i, (_, valid, _) in enumerate(params)]
    positional = draw(st.integers(0, len(params)))
    args = values[:positional]
    kwargs = {name: value for (name, _, _), value in list(zip(params, values))[positional:]}
    return method, args, kwargs, params[wrong_at][0], error, message


def assert_unchanged(client, device):
    """Still running, nothing queued, nothing sent: the next frame out is a reboot sent now."""
    assert client.is_running() and not client.is_mock_log_streaming()
    client.ensure_ok()
    client.reboot()
    assert device.wait_for_command_identifier(10.0) == wire.REBOOT


@pytest.fixture
def quick_mock():
    client, device = VYREClient.new_mock(0.01)
    client.start()
    yield client, device
    client.stop()


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(call=bad_calls())
def test_one_bad_argument_gives_its_documented_error_and_changes_nothing(quick_mock, call):
    client, device = quick_mock
    method, args, kwargs, name, error, message = call
    with pytest.raises(BaseException) as caught:
        getattr(client, method)(*args, **kwargs)
    assert type(caught.value) is error, (method, name, caught.value)
    if message is not None:
        assert caught.match(message)
    elif error is TypeError:
        assert f"argument '{name}'" in str(caught.value)
    assert_unchanged(client, device)


# numbers that are valid waits stay short, so an accepted call returns soon
ANYTHING = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-3, 0),
    st.integers(min_value=2**64),
    st.floats(max_value=0.05),
    st.sampled_from([math.nan, math.inf, 1e300]),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.lists(st.one_of(st.integers(-3, 3), st.floats(), st.text(max_size=1)), max_size=10),
    st.builds(object),
)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(method=st.sampled_from(sorted(API)), data=st.data())
def test_arbitrary_arguments_never_take_the_client_down(quick_mock, tmp_path, method, data):
    client, device = quick_mock
    params = API[method]
    args = data.draw(st.lists(ANYTHING, min_size=len(params) + 1, max_size=len(params) + 1))
    # one argument too many, or the right count of arbitrary values
    args = args if data.draw(st.booleans()) else args[: len(params)]
    if method == "start_mock_log_stream" and isinstance(args[0], str):
        args[0] = str(tmp_path / "missing.log")
    try:
        getattr(client, method)(*args)
    except (TypeError, ValueError, OverflowError, OSError, InternalFaultError):
        pass  # nothing else may come out, and nothing may crash
    # an accepted call is a valid one: let it finish as it would
    if client.is_mock_log_streaming() or method == "stop_mock_log_stream":
        client.stop_mock_log_stream(cancel_device=False)
    while True:
        try:
            client.ensure_ok()
            break
        except OSError:
            pass
    # what the call queued goes out before a reboot queued now, however slow the reader
    client.reboot()
    while (identifier := device.wait_for_command_identifier(10.0)) != wire.REBOOT:
        assert identifier is not None, "the reboot queued after the call never went out"
    assert_unchanged(client, device)
