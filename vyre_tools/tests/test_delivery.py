"""The simulator's bursty and late delivery: order kept, nothing early, the
frames behind a late one held with it."""

import pytest

from vyre_tools.sim.delivery import Delivery


@pytest.mark.parametrize("burst_max, late_rate", [(1, 0.0), (10, 0.0), (1, 0.3)])
def test_frames_leave_in_order_never_before_they_are_due(burst_max, late_rate):
    delivery = Delivery(3, burst_max, late_rate, 0.001, 0.01)
    due = [i * 0.004 for i in range(2000)]
    delivery.push(list(range(2000)), due)
    releases = []  # (time, frames)
    while (now := delivery.next_release()) is not None:
        releases.append((now, delivery.release(now)))
    frames = [f for _, out in releases for f in out]
    assert frames == list(range(len(frames))) and len(frames) > 2000 - burst_max
    assert all(now >= due[f] for now, out in releases for f in out)
    # how late each release is after its last frame was due
    held = [now - due[out[-1]] for now, out in releases]
    if late_rate:
        assert sum(h >= 0.001 for h in held) > 0.5 * late_rate * len(releases)
        assert max(len(out) for _, out in releases) > 1  # the frames behind a late one wait
    else:
        assert max(held) == 0.0
        assert max(len(out) for _, out in releases) == burst_max
