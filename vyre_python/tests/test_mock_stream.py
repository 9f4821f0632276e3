"""Mock log streaming through VYREClient on the in-process mock device: the
handshake, what the device receives, how streams end, stopping them, and the
argument rules."""

import inspect
import math
import time

import numpy as np
import pytest

import wire
from harness import OUT_OF_RANGE, alarm, eventually, press_ctrl_c, thread_count
from vyre_client import VYREClient
from vyre_tools.mocklog import HEADER_SIZE, MockLog, write_mock_log

HEADER_FRAME = 0x48


def log_file(tmp_path, count, name="a.log", interval=0.001):
    path = tmp_path / name
    write_mock_log(path, count, interval)
    return path


def start(client, device, path, **kwargs):
    device.inject_response(wire.ENTER_MOCK_MODE, b"\x01")
    client.start_mock_log_stream(str(path), **kwargs)


def seen_through(device, last, limit=100_000):
    """Identifiers the device receives, up to and including the first `last`."""
    seen = []
    while not seen or seen[-1] != last:
        identifier = device.wait_for_command_identifier(10.0)
        assert identifier is not None, f"no {last} after {seen[-5:]}"
        seen.append(identifier)
        assert len(seen) <= limit
    return seen


def finished(client):
    assert eventually(lambda: not client.is_mock_log_streaming(), within=30.0)


@pytest.mark.lock_modes
@pytest.mark.parametrize(
    "ack, error",
    [
        (b"\x01", None),
        (b"\x00", "^Device rejected mock mode$"),
        (None, "^Timed out waiting for mock acknowledgement$"),
    ],
)
def test_the_acknowledgement_decides_the_start(mock, tmp_path, ack, error):
    client, device = mock
    path = log_file(tmp_path, 3)
    if ack is not None:
        device.inject_response(wire.ENTER_MOCK_MODE, ack)
    begin = time.monotonic()
    if error is None:
        client.start_mock_log_stream(str(path), start_timeout_seconds=0.3)
        assert device.wait_for_command_identifier(10.0) == wire.ENTER_MOCK_MODE
        assert device.wait_for_command_identifier(10.0) == HEADER_FRAME
    else:
        with pytest.raises(OSError, match=error):
            client.start_mock_log_stream(str(path), start_timeout_seconds=0.3)
        if ack is None:
            assert time.monotonic() - begin >= 0.25
        assert not client.is_mock_log_streaming()
        assert device.wait_for_command_identifier(10.0) == wire.ENTER_MOCK_MODE
        assert device.wait_for_command_identifier(0.3) is None  # no stream, no Cancel
    assert client.is_running()  # the start started the client and nothing undid it


@pytest.mark.lock_modes
def test_ctrl_c_ends_the_acknowledgement_wait_and_the_client_stays_usable(mock, tmp_path):
    client, device = mock
    path = log_file(tmp_path, 3)
    begin = time.monotonic()
    with alarm(0.3, press_ctrl_c), pytest.raises(KeyboardInterrupt):
        client.start_mock_log_stream(str(path), start_timeout_seconds=60)
    assert time.monotonic() - begin < 30
    assert not client.is_mock_log_streaming()
    start(client, device, path, realtime=False)
    finished(client)
    assert client.stop_mock_log_stream() == 3


@pytest.mark.lock_modes
@pytest.mark.parametrize("count", [0, 100, 3000])
def test_the_device_sees_mock_mode_header_records_in_file_order_then_cancel(started, tmp_path, count):
    client, device = started
    log = write_mock_log(tmp_path / "a.log", count, 0.001)
    start(client, device, tmp_path / "a.log", realtime=False)
    seen = seen_through(device, wire.CANCEL)
    assert seen == [
        wire.ENTER_MOCK_MODE,
        HEADER_FRAME,
        *(ord(kind) for kind, _, _ in log.records),
        wire.CANCEL,
    ]
    finished(client)
    assert client.stop_mock_log_stream(cancel_device=False) == count
    assert device.wait_for_command_identifier(0.2) is None


def header_only(tmp_path):
    return MockLog().write(tmp_path / "header.log")


def short_file(tmp_path):
    path = tmp_path / "short.log"
    path.write_bytes(bytes(HEADER_SIZE - 1))
    return path


def hundred(tmp_path):
    return log_file(tmp_path, 100, "hundred.log")


# (log file, start arguments, count or error text, whether the header frame goes out)
ENDS = [
    pytest.param(hundred, {"speed": 0.0}, "^speed must be > 0$", False, id="speed-0"),
    pytest.param(hundred, {"speed": -1}, "^speed must be > 0$", False, id="speed-negative"),
    pytest.param(hundred, {"speed": math.nan}, 100, True, id="speed-nan-never-sleeps"),
    pytest.param(short_file, {}, "^failed to fill whole buffer$", False, id="shorter-than-header"),
    pytest.param(header_only, {}, 0, True, id="exactly-the-header"),
    pytest.param(hundred, {"chunk_size": 0}, 0, True, id="chunk-size-0"),
    pytest.param(lambda p: p / "missing.log", {}, "No such file or directory", False, id="missing-file"),
    pytest.param(
        lambda p: f"{p}/a\0b", {}, "^file name contained an unexpected NUL byte$", False, id="nul-in-path"
    ),
]


@pytest.mark.lock_modes
@pytest.mark.parametrize("make_log, kwargs, outcome, header_sent", ENDS)
def test_how_a_stream_ends_and_what_the_device_sees(
    started, tmp_path, make_log, kwargs, outcome, header_sent
):
    client, device = started
    start(client, device, make_log(tmp_path), **kwargs)
    seen = seen_through(device, wire.CANCEL)
    assert seen[:2] == [wire.ENTER_MOCK_MODE, HEADER_FRAME if header_sent else wire.CANCEL]
    finished(client)
    if isinstance(outcome, int):
        assert len(seen) == outcome + 3
        client.ensure_ok()
        assert client.stop_mock_log_stream(cancel_device=False) == outcome
    else:
        # reported once: at once on the error queue, not again when the thread is collected
        with pytest.raises(OSError, match=outcome):
            client.ensure_ok()
        assert client.stop_mock_log_stream(cancel_device=False) is None


@pytest.mark.lock_modes
def test_one_stream_at_a_time_and_a_finished_one_is_collected_by_the_next_start(started, tmp_path, long_log):
    client, device = started
    start(client, device, long_log)
    assert eventually(lambda: device.wait_for_command_identifier(0) == HEADER_FRAME)
    with pytest.raises(OSError, match="^Mock stream already running$"):
        client.start_mock_log_stream(long_log)
    assert client.stop_mock_log_stream(cancel_device=False) < 2000
    client.ensure_ok()

    start(client, device, hundred(tmp_path), realtime=False)
    finished(client)
    # the finished stream's count (100) is dropped; the new one's comes back
    start(client, device, log_file(tmp_path, 7, "seven.log"), realtime=False)
    finished(client)
    assert client.stop_mock_log_stream() == 7


@pytest.mark.lock_modes
@pytest.mark.parametrize("cancel_device", [True, False])
@pytest.mark.parametrize("block", [True, False])
def test_stopping_a_running_stream(started, long_log, cancel_device, block):
    client, device = started
    start(client, device, long_log)
    seen = [device.wait_for_command_identifier(10.0) for _ in range(80)]  # into the paced phase
    assert client.is_mock_log_streaming()
    result = client.stop_mock_log_stream(cancel_device=cancel_device, block=block)
    if block:
        assert not client.is_mock_log_streaming()
    else:
        assert result is None
        finished(client)  # the thread saw the flag; a later call collects it
        result = client.stop_mock_log_stream(cancel_device=False)
    assert 78 <= result < 2000
    assert client.stop_mock_log_stream(cancel_device=False) is None
    # one Cancel ends the stream (cancel_on_finish); the stop sends another
    while (identifier := device.wait_for_command_identifier(0.5)) is not None:
        seen.append(identifier)
    assert seen.count(wire.CANCEL) == 1 + cancel_device
    assert len(seen) == result + 2 + 1 + cancel_device


@pytest.mark.lock_modes
@pytest.mark.parametrize("cancel_device", [True, False])
def test_stop_without_a_stream_sends_only_the_requested_cancel(started, cancel_device):
    client, device = started
    assert client.stop_mock_log_stream(cancel_device=cancel_device, block=True) is None
    expected = wire.CANCEL if cancel_device else None
    assert device.wait_for_command_identifier(0.5) == expected


@pytest.mark.lock_modes
@pytest.mark.parametrize(
    "end",
    [
        pytest.param(lambda c: c.stop(), id="stop"),
        pytest.param(lambda c: c.__exit__(None, None, None), id="__exit__"),
    ],
)
def test_ending_the_client_ends_a_running_stream(mock, long_log, end):
    client, device = mock
    before = thread_count()
    start(client, device, long_log)
    assert thread_count() == before + 2  # reader and streaming thread
    end(client)
    assert not client.is_running() and not client.is_mock_log_streaming()
    assert eventually(lambda: thread_count() == before)
    client.ensure_ok()
    assert client.stop_mock_log_stream(cancel_device=False) is None  # its count is gone


@pytest.mark.lock_modes
@pytest.mark.parametrize(
    "end, copies",
    [
        pytest.param(lambda c: c.stop(), 1, id="stop-does-not-report-it-twice"),
        pytest.param(lambda c: c.__exit__(None, None, None), 1, id="__exit__-collects-it-quietly"),
    ],
)
def test_an_uncollected_failed_stream_at_the_end_of_the_client(mock, tmp_path, end, copies):
    client, device = mock
    start(client, device, hundred(tmp_path), speed=0)
    finished(client)
    end(client)
    for _ in range(copies):
        with pytest.raises(OSError, match="^speed must be > 0$"):
            client.ensure_ok()
    client.ensure_ok()


# ---- arguments


def start_with(*args, **kwargs):
    return lambda c, path: c.start_mock_log_stream(*args or (path,), **kwargs)


def stop_with(**kwargs):
    return lambda c, path: c.stop_mock_log_stream(**kwargs)


def bool_errors(call, name):
    return [
        pytest.param(call(**{name: value}), TypeError, f"argument '{name}'", id=f"{name}={value!r}")
        for value in (1, 0, None)
    ]


ARGUMENT_ERRORS = [
    pytest.param(start_with(b"a.log"), TypeError, "argument 'log_path'", id="bytes-path"),
    pytest.param(
        lambda c, path: c.start_mock_log_stream(),
        TypeError,
        "missing required argument 'log_path'",
        id="no-path",
    ),
    pytest.param(start_with(chunk_size=-1), OverflowError, OUT_OF_RANGE, id="negative-chunk"),
    pytest.param(start_with(chunk_size=2**64), OverflowError, OUT_OF_RANGE, id="huge-chunk"),
    pytest.param(start_with(chunk_size=8.0), TypeError, "argument 'chunk_size'", id="float-chunk"),
    pytest.param(start_with(speed="fast"), TypeError, "argument 'speed'", id="text-speed"),
    pytest.param(
        start_with(start_timeout_seconds=None),
        TypeError,
        "argument 'start_timeout_seconds'",
        id="none-timeout",
    ),
    pytest.param(start_with(loop=True), TypeError, "loop", id="unknown-keyword"),
    *bool_errors(start_with, "realtime"),
    *bool_errors(start_with, "cancel_on_finish"),
    *bool_errors(stop_with, "cancel_device"),
    *bool_errors(stop_with, "block"),
]


@pytest.mark.parametrize("call, error, message", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_before_anything_happens(mock, tmp_path, call, error, message):
    client, device = mock
    device.inject_response(wire.ENTER_MOCK_MODE, b"\x01")
    with pytest.raises(error, match=message):
        call(client, str(header_only(tmp_path)))
    assert not client.is_running()  # a start would have started the client
    client.start()
    assert device.wait_for_command_identifier(0.3) is None


def test_numpy_and_int_arguments_and_positional_order(started, tmp_path):
    client, device = started
    path = hundred(tmp_path)
    device.inject_response(wire.ENTER_MOCK_MODE, b"\x01")
    client.start_mock_log_stream(str(path), np.False_, 2, np.uint64(64), 1, np.True_)
    finished(client)
    assert client.stop_mock_log_stream(np.False_, np.True_) == 100
    assert seen_through(device, wire.CANCEL)[-1] == wire.CANCEL
    assert device.wait_for_command_identifier(0.3) is None  # cancel_device False: no second Cancel


SIGNATURES = {
    "start_mock_log_stream": (
        "(self, /, log_path, realtime=True, speed=1.0, chunk_size=8192, start_timeout_seconds=5.0, "
        "cancel_on_finish=True)",
        "Start streaming a mock log file in the background.",
    ),
    "stop_mock_log_stream": ("(self, /, cancel_device=True, block=True)", None),
    "is_mock_log_streaming": ("(self, /)", None),
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures_and_docstrings(name):
    method = getattr(VYREClient, name)
    assert (str(inspect.signature(method)), method.__doc__) == SIGNATURES[name]
