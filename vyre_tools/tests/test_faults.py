import errno
import os
import select
import time

import pytest

from vyre_tools import protocol as p
from vyre_tools.sim.clientview import ClientView
from vyre_tools.sim.output import FALSE_HEADER, NOISE, TELEMETRY


@pytest.mark.parametrize(
    "sim",
    [
        {"rate": 1000, "noise": 0.3},
        {"rate": 1000, "corrupt_rate": 0.2},
        {"rate": 1000, "noise": 0.5, "corrupt_rate": 0.5, "noise_max_len": 40},
        {"rate": 1000, "false_header": 0.05},
        {"rate": 1000, "false_header": 0.3, "false_header_max_len": 0xFFFFFFFF, "noise": 0.3},
        {"rate": 1000, "cut_rate": 0.1, "noise": 0.3, "noise_header_share": 0.3},
    ],
    indirect=True,
)
def test_faults_spare_intact_frames(sim, host):
    host.read_for(0.2)
    assert host.request(1) is not None  # responses get through the faults too
    host.read_for(0.1)
    s = host.drain(sim)
    o = sim.options
    total = s["telemetry_sent"] + s["telemetry_corrupted"]
    assert len(host.telemetry) == s["telemetry_sent"] > 0
    assert s["telemetry_corrupted"] == pytest.approx(o["corrupt_rate"] * total, abs=0.1 * total)
    assert (s["noise_bytes"] > 0) == (o["noise"] > 0)
    assert (s["false_headers"] > 0) == (o["false_header"] > 0)
    # every spoiled frame and false header was a candidate the host turned down
    rejected = host.bad_crc + host.oversized + host.given_up
    assert rejected >= s["telemetry_corrupted"] + s["false_headers"] + s["telemetry_cut"]
    assert (s["telemetry_cut"] > 0) == (o["cut_rate"] > 0)


def test_silent_then_answering_again(sim, host):
    sim.set_silent(True)
    assert host.request(1, timeout=0.3) is None
    assert host.request(5, timeout=0.3) is None
    host.telemetry.clear()
    host.read_for(0.1)
    s = sim.status()
    assert host.telemetry and s["commands_ignored"] == 2 and not s["mock_mode"]
    sim.set_silent(False)
    assert host.request(1) is not None


def test_late_answers(sim, host):
    sim.set_answer_delay(0.4)
    sent = time.monotonic()
    host.command(2)
    host.command(1)
    assert host.wait(lambda: len(host.responses) == 2)
    assert [r[0] for r in host.responses] == [2, 1]
    assert min(r[2] for r in host.responses) - sent >= 0.4
    sim.set_answer_delay(0)
    assert host.request(1) is not None and sim.status()["delayed_responses"] == 0


@pytest.mark.parametrize("sim", [{"rate": 2300, "max_backlog": 4096}], indirect=True)
def test_unread_port_drops_whole_frames(sim, host):
    # nobody reads: the pty and the backlog fill up
    sim.wait_status(lambda s: s["telemetry_dropped"] > 0, timeout=30)
    host.read_for(0.3)
    s = sim.status()
    assert s["telemetry_dropped"] > 0 and s["failure"] is None
    assert host.bad_crc == 0 and len(host.telemetry) > 200


def test_hang_up(sim, host):
    host.read_for(0.1)
    sim.hang_up()
    poller = select.poll()
    poller.register(host.fd, select.POLLIN)
    events = poller.poll(5000)
    assert events and events[0][1] & select.POLLHUP
    try:
        assert os.read(host.fd, 100) == b""
    except OSError as e:
        assert e.errno == errno.EIO
    assert not os.path.exists(sim.port_name)
    s = sim.status()
    assert s["hung_up"] and not s["running"]
    sim.set_rate(10)  # setters after a hang-up are harmless


def test_client_view_accounts_for_a_false_header_that_meets_a_matching_crc():
    """The once-in-65536 case, made on purpose: a false head whose span holds an
    intact frame and then its own CRC.  The client takes the span for a frame;
    the view says which outcome no fault planned and which planned one went missing."""
    inner = p.build_frame(p.DATA_HEADER, 0, bytes(p.TELEMETRY.size))
    head = p.HEAD.pack(p.DATA_HEADER, 7, len(inner))
    view = ClientView(give_up_after=0.1)
    for data, kind, frames in (
        (head, FALSE_HEADER, 0),
        (inner, TELEMETRY, 1),
        (p.crc16(head + inner).to_bytes(2, "little"), NOISE, 0),
    ):
        view.written(data, 0, len(data), kind, frames, now=0.0)
    s = view.stats(now=0.0)
    assert (s["telemetry_frames"], s["frame_bytes"], s["noise_bytes"]) == (1, 96, 0)
    assert s["unplanned"]["telemetry_frames"] == 1
    assert s["missed"]["telemetry_frames"] == s["missed"]["refused"] == 1
