"""The Foxglove bridge, watched by a WebSocket client speaking Foxglove's
protocol: it subscribes to what is advertised and decodes every message.
Telemetry arrives in order and whole (or thinned as asked, while the
recording keeps everything), stamped with the synced time; the attitude
turns the sensor's reading into the reference frame; the link's health
says when the device went away and came back."""

import asyncio
import json
import re
import struct

import numpy as np
import pytest

from vyre_tools import recording

from .cli_support import client_ready, start_vyre  # noqa: F401

pytestmark = pytest.mark.usefixtures("client_ready")
pytest.importorskip("foxglove")
websockets = pytest.importorskip("websockets")


def decoder(channel):
    """The channel's decoder, from its advertised schema: ROS 2 messages by
    the MCAP ROS 2 reader's own CDR decoder, JSON by json."""
    if channel["encoding"] == "json":
        return json.loads
    from mcap.records import Schema
    from mcap_ros2.decoder import DecoderFactory

    assert (channel["encoding"], channel["schemaEncoding"]) == ("cdr", "ros2msg")
    schema = Schema(
        id=channel["id"], name=channel["schemaName"], encoding="ros2msg", data=channel["schema"].encode()
    )
    return DecoderFactory().decoder_for("cdr", schema)


async def watch(url):
    """Every message of every channel, by topic, as (log time, decoded
    message), until the server goes."""
    topics, decoders, got = {}, {}, {}
    async with websockets.connect(url, subprotocols=["foxglove.sdk.v1"], max_size=None) as ws:
        try:
            async for frame in ws:
                if isinstance(frame, str):
                    message = json.loads(frame)
                    if message["op"] == "advertise":
                        new = {c["id"]: c for c in message["channels"]}
                        topics.update(new)
                        decoders.update({i: decoder(c) for i, c in new.items()})
                        subscribe = [{"id": i, "channelId": i} for i in new]
                        await ws.send(json.dumps({"op": "subscribe", "subscriptions": subscribe}))
                    continue
                opcode, subscription, log_time = struct.unpack_from("<BIQ", frame)
                assert opcode == 1  # message data
                decoded = decoders[subscription](frame[13:])
                got.setdefault(topics[subscription]["topic"], []).append((log_time, decoded))
        except websockets.ConnectionClosed:
            pass
    return {c["topic"]: c["schemaName"] for c in topics.values()}, got


def rotate(q, v):
    w, u = q[:, :1], q[:, 1:]
    t = 2 * np.cross(u, v)
    return v + w * t + np.cross(u, t)


@pytest.mark.parametrize("display_rate", [None, 50])
def test_a_foxglove_client_sees_every_sample_at_its_synced_time(tmp_path, display_rate):
    path = tmp_path / "run.npz"
    thinning = ["--display-rate", display_rate] if display_rate else []
    proc = start_vyre(
        "bridge", "foxglove", "--sim", "--sim-option", "rate=300", "--sim-option", "replug_after=1.2",
        "--ws-port", "0", "--duration", "3.5", "--record", path, *thinning,
    )  # fmt: skip
    try:
        line = proc.stdout.readline()
        url = re.search(r"ws://\S+", line)
        assert url, line + proc.stderr.read()
        schemas, got = asyncio.run(watch(url.group()))
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, err
    assert schemas == {
        "/vyre/telemetry": "vyre_msgs/msg/Telemetry",
        "/vyre/attitude": "geometry_msgs/msg/TransformStamped",
        "/vyre/link_health": "vyre.LinkHealth",
    }
    rows = recording.read(path)
    telemetry = got["/vyre/telemetry"]
    device = np.array([m.timestamp_seconds for _, m in telemetry])
    first = int(np.searchsorted(rows["timestamp_seconds"], device[0]))
    rows = rows[first:]
    if display_rate:
        # thinned for display: about the rate asked, from the recording's samples, which keeps them all
        spacing = np.diff(device)
        assert spacing.min() > 0.5 / display_rate and 0.9 < np.median(spacing) * display_rate < 1.1
        rows = rows[np.isin(rows["timestamp_seconds"], device)]
        assert len(rows) == len(device)
    else:
        assert len(device) > len(rows) / 2
    assert np.array_equal(device, rows["timestamp_seconds"])
    synced = rows["synced_time_seconds"]
    want = np.rint(np.where(np.isfinite(synced), synced, rows["host_time_seconds"]) * 1e9)
    stamps = [m.header.stamp.sec * 10**9 + m.header.stamp.nanosec for _, m in telemetry]
    assert np.abs(np.array([t for t, _ in telemetry]) - want).max() <= 1
    assert stamps == [t for t, _ in telemetry]
    assert [m.host_time_seconds for _, m in telemetry] == rows["host_time_seconds"].tolist()

    attitude = got["/vyre/attitude"]
    # subscribed a sample or two apart: from the later start on, one for one
    times, at = [t for t, _ in telemetry], [t for t, _ in attitude]
    later = times.index(at[0]) if at[0] in times else 0
    attitude = attitude[at.index(times[0]) if times[0] in at else 0 :]
    assert [t for t, _ in attitude] == times[later:]
    rows = rows[later:]
    frames = {(m.header.frame_id, m.child_frame_id) for _, m in attitude}
    assert frames == {("vyre_world", "vyre_imu")}
    q = np.array([[getattr(m.transform.rotation, k) for k in "wxyz"] for _, m in attitude])
    sensor = np.stack([rows[f"raw_acceleration_{a}_gs"] for a in "xyz"], axis=1).astype(float)
    rotated = np.stack([rows[f"raw_rotated_acceleration_{a}_gs"] for a in "xyz"], axis=1)
    assert np.allclose(rotate(q, sensor), rotated, atol=1e-5)

    health = [m for _, m in got["/vyre/link_health"]]
    states = [h["state"] for h in health]
    back = states.index("streaming", states.index("waiting"))
    assert health[back]["reconnects"] == 1 and "reconnected" in health[back]["event"]
    assert health[back]["packets"] < health[-1]["packets"] <= len(recording.read(path))
