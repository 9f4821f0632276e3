"""link_statistics() against what the simulated device sent and spoiled: every
fault at once for 3 s, every counter exact.  The device's client view runs
the client's framing rules over the bytes it wrote, so the counts compared
are exact whatever the faults happen to form (see vyre_tools.sim.clientview)."""

import time

import pytest

from vyre_tools.sim import Simulator

from .cli_support import client_ready  # noqa: F401

pytestmark = pytest.mark.usefixtures("client_ready")

FAULTS = dict(
    noise=0.3,
    noise_max_len=64,
    noise_header_share=0.2,
    corrupt_rate=0.03,
    cut_rate=0.03,
    false_header=0.03,
    false_header_max_len=300,
    stray=0.03,
)
FRAMER_KEYS = (
    "bytes_received",
    "frame_bytes",
    "noise_bytes",
    "buffered_bytes",
    "telemetry_frames",
    "response_frames",
    "short_frames",
    "unknown_responses",
    "crc_rejected",
    "length_rejected",
    "given_up",
)


def test_every_counter_is_what_the_device_sent_and_spoiled(start_client):
    # nothing is sent before the rate is set: both framers start on a quiet line
    with Simulator.spawn(rate=0, client_view=True, **FAULTS) as sim:
        client = start_client(sim.port_name)
        sim.set_rate(500)
        packets = 0
        end = time.monotonic() + 3.0
        while time.monotonic() < end:
            packets += len(client.get_data_packets())
            assert client.get_device_info(10.0) is not None  # answers have faults before them too
            time.sleep(0.05)
        sim.set_rate(0)
        cut = sim.wait_status(lambda s: s["pending_output_bytes"] == 0, timeout=30)["telemetry_cut"]
        # the last frame goes out cut: its candidate waits until the line is quiet
        sim.set_cut_rate(1.0)
        sim.set_rate(1)  # one frame now, the next in a second
        sim.wait_status(lambda s: s["telemetry_cut"] > cut)
        sim.set_rate(0)
        sim.wait_status(lambda s: s["pending_output_bytes"] == 0, timeout=30)
        # both give up what still waits once the line is quiet: at most a last
        # byte that may start a header stays
        deadline = time.monotonic() + 30
        while (
            max(
                (s := sim.status())["client_view"]["buffered_bytes"],
                client.link_statistics()["buffered_bytes"],
            )
            > 1
        ):
            assert time.monotonic() < deadline, "a candidate was never given up"
            time.sleep(0.02)
        packets += len(client.get_data_packets())
        got = client.link_statistics()

    view = s["client_view"]
    assert {k: got[k] for k in FRAMER_KEYS} == {k: view[k] for k in FRAMER_KEYS}
    assert got["bytes_received"] == s["bytes_written"]
    assert got["packets_delivered"] == packets == got["telemetry_frames"]
    assert got["packets_waiting"] == got["answers_dropped"] == got["read_errors"] == 0

    # kind by kind, what came out is what went in, give or take chance frames
    sent = {
        "telemetry_frames": s["telemetry_sent"],
        "response_frames": s["responses_sent"],
        "short_frames": s["stray_short"],
        "unknown_responses": s["stray_unknown"],
        "refused": s["telemetry_corrupted"] + s["telemetry_cut"] + s["false_headers"],
    }
    counted = {k: got[k] for k in sent if k in got}
    counted["refused"] = got["crc_rejected"] + got["length_rejected"] + got["given_up"]
    for kind, n in sent.items():
        assert counted[kind] - view["unplanned"][kind] + view["missed"][kind] == n, kind
    for fault in ("telemetry_corrupted", "telemetry_cut", "false_headers", "stray_short", "stray_unknown"):
        assert s[fault] > 0, fault
    assert view["unplanned"]["refused"] > 0  # false starts in noise and inside spoiled frames
    assert got["given_up"] > 0
