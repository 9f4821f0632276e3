"""The shared procedures: gap counting against the configured rate, the
packet rate, number formatting, the library's up axis, and the replay as the
control center runs it (asyncio, a consumer taking telemetry meanwhile)."""

import math

import pytest

from vyre_tools.procedures.attitude import up_axis
from vyre_tools.procedures.formatting import num, vec
from vyre_tools.procedures.telemetry_stats import GapCounter, RateMeter


def ticks(start, rate, seconds, skip=()):
    """Timestamps from ``start`` at ``rate`` Hz for ``seconds``, leaving out
    the packets numbered in ``skip``."""
    return [start + k / rate for k in range(round(seconds * rate)) if k not in skip]


def lowered():
    # 500 -> 200 -> 100 Hz, a few packets of the old rate still on their way each time
    return [
        ticks(0, 500, 1),
        ("rate", 200),
        ticks(1, 500, 0.01),
        ticks(1.01, 200, 1),
        ("rate", 100),
        ticks(2.01, 200, 0.02),
        ticks(2.03, 100, 1),
    ]


def paused():
    # 200 Hz, paused at 0 Hz for 5 s, then 200 Hz again
    return [ticks(0, 200, 1), ("rate", 0), ticks(1, 200, 0.02), ("rate", 200), ticks(6, 200, 1)]


def raised():
    return [ticks(0, 100, 1), ("rate", 500), ticks(1, 100, 0.05), ticks(1.05, 500, 1)]


def settled_then_lost():
    # the change is long past when four packets go missing at the new rate
    return [ticks(0, 500, 1), ("rate", 200), ticks(1, 200, 2, skip=range(300, 304))]


@pytest.mark.parametrize(
    "rate,events,gaps,missing,out_of_order",
    [
        (200, [ticks(0, 200, 0.5)], 0, 0, 0),
        (200, [ticks(0, 200, 0.5, skip=range(50, 54))], 1, 4, 0),
        (200, [[0.0, 0.005, 0.01, 0.005, 0.01]], 0, 0, 1),
        (None, [ticks(0, 100, 0.4), [0.5, 0.51]], 1, 10, 0),  # period estimated
        (None, [[0.0, 0.01, 0.05]], 0, 0, 0),  # too few intervals to know the period
        (500, lowered(), 0, 0, 0),
        (200, paused(), 0, 0, 0),
        (100, raised(), 0, 0, 0),
        (500, settled_then_lost(), 1, 4, 0),
        (None, [ticks(0, 500, 1), ("rate", 200), ticks(1, 200, 1)], 0, 0, 0),
    ],
    ids=[
        "steady",
        "lost",
        "back",
        "estimated",
        "short",
        "lowered",
        "paused",
        "raised",
        "settled",
        "estimated-then-set",
    ],
)
def test_gaps_count_against_the_rate_configured_at_the_moment(rate, events, gaps, missing, out_of_order):
    counter = GapCounter(rate)
    packets = 0
    for event in events:
        if isinstance(event, tuple):
            counter.set_rate(event[1])
            continue
        packets += len(event)
        for start in range(0, len(event), 7):  # in batches, as a client gives them
            counter.add(event[start : start + 7])
    counter.finish()
    assert (counter.gaps, counter.missing, counter.out_of_order) == (gaps, missing, out_of_order)
    assert counter.packets == packets


@pytest.mark.parametrize("form", ["array", "packets"])
def test_gaps_are_counted_the_same_in_arrays_and_packet_lists(form):
    import numpy as np
    import vyre_client
    from vyre_tools.recording import packet_dtype

    stamps = ticks(0, 200, 0.5, skip=range(50, 54))
    if form == "array":
        batch = np.zeros(len(stamps), packet_dtype())
        batch["timestamp_seconds"] = stamps
    else:
        batch = [vyre_client.VYREDataPacket(t, *[0.0] * 17) for t in stamps]
    counter = GapCounter(200)
    counter.add(batch)
    assert (counter.packets, counter.gaps, counter.missing) == (len(stamps), 1, 4)


def test_a_rate_must_be_a_number_of_hz():
    with pytest.raises(ValueError, match="Hz"):
        GapCounter(-5)


def test_the_rate_counts_the_last_second():
    meter = RateMeter()
    for k in range(30):
        meter.add(10, now=k / 10)
    assert meter.rate(now=2.9) == pytest.approx(100, rel=0.05)
    assert meter.rate(now=10.0) == 0


@pytest.mark.parametrize(
    "value,text",
    [
        (None, "-"),
        (math.nan, "NaN"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (-0.125, "-0.12"),
    ],
)
def test_numbers_read_the_same_everywhere(value, text):
    from vyre_tools.ui.format import num as page_num

    assert num(value) == page_num(value) == text
    assert vec([value, 1.0]) == f"({text}, 1.00)"


@pytest.mark.parametrize(
    "acceleration,axis",
    [
        ((0.0, 0.0, 1.0), "+Z"),
        ((0.0, 0.0, -1.0), "-Z"),
        ((1.0, -1.0, 0.0), "+X"),
        ((-1.0, 1.0, 0.0), "-X"),
        ((1.0, 1.0, 0.0), "+Y"),
        ((-1.0, -1.0, 0.0), "-Y"),
        ((1.0, 0.0, 0.0), "+X"),  # halfway between +X and +Y: the earlier
        ((0.0, 0.0, 0.0), "+Z"),  # too short to point anywhere
        ((math.nan, 0.0, 1.0), None),
        (None, None),
    ],
)
def test_the_up_axis_is_the_one_the_library_measures_tilt_from(acceleration, axis):
    assert up_axis(acceleration) == axis


def test_a_replay_on_the_asyncio_client_stops_on_request_and_tells_the_truth(tmp_path):
    import asyncio
    from vyre_tools.aio import AsyncVYREClient
    from vyre_tools.mocklog import write_mock_log
    from vyre_tools.procedures.replay import replay_async, replay_plan
    from vyre_tools.sim import Simulator

    write_mock_log(tmp_path / "long.log", 3000, 0.004)  # 12 s of log
    plan = replay_plan(tmp_path / "long.log")
    seen = []

    async def run(port):
        async with AsyncVYREClient.open(port) as client:

            async def consume():  # as the page's session does, all along
                async for _ in client.batches(arrays=True):
                    pass

            consumer = asyncio.create_task(consume())
            try:
                return await replay_async(
                    client, plan, on_progress=seen.append, stop=lambda: seen and seen[-1].left_host > 100
                )
            finally:
                consumer.cancel()

    with Simulator.spawn() as sim:
        result = asyncio.run(run(sim.port_name))
        s = sim.status()
    assert result.verdict == "stopped" and result.problem is None
    assert 100 < result.left_host == s["mock_records"] < 3000
    assert s["mock_outside"] == 0 and not s["mock_mode"]
    assert [p.phase for p in seen][0] == "streaming" and seen[-1].phase == "ending"


def field_rows(host_times, directions, centre=(12.0, -7.0, 4.0), radius=40.0):
    from vyre_tools.recording import packet_dtype

    np = pytest.importorskip("numpy")
    rows = np.zeros(len(host_times), packet_dtype())
    rows["host_time_seconds"] = host_times
    for axis, c in zip("xyz", centre):
        rows[f"magnetic_field_{axis}_microteslas"] = c + radius * directions[:, "xyz".index(axis)]
    return rows


def test_a_collection_in_progress_tells_its_samples_and_the_directions_they_cover():
    from vyre_tools.procedures.magnetometer_calibration import MagnetometerCalibration

    np = pytest.importorskip("numpy")
    # directions all over the sphere, the upper half first, as a turning hand might
    rng = np.random.default_rng(3)
    d = rng.normal(size=(4000, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    d = d[np.argsort(-d[:, 2])]
    run = MagnetometerCalibration(10.0, 1.0)
    run.take(field_rows(np.full(10, 99.0), d[:10]))  # before the collection: let go
    run.began = 100.0
    run.take(field_rows(np.linspace(99.0, 105.0, 2000), d[:2000]))  # a third of it before began
    half = run.progress()
    assert half.samples == len(run.samples) and 1000 < half.samples < 2000
    assert half.coverage < 0.7
    run.take(field_rows(np.linspace(105.0, 111.0, 2000), d[2000:]))  # the last sixth after the end
    assert run.window_closed
    whole = run.progress()
    assert whole.samples == len(run.samples) < 3700
    assert whole.coverage > 0.95 and len(whole.points) <= 1500
    assert np.allclose(whole.centre, (12.0, -7.0, 4.0), atol=2.0)
