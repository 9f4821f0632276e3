"""A program of a user's that uses the tools passes ``mypy --strict``: the
package is typed (py.typed) and its public functions are annotated."""

import subprocess
import sys

USER_PROGRAM = '''
import asyncio
import math
import pathlib
import threading

import vyre_client
from vyre_tools import devices, recording
from vyre_tools.aio import AsyncVYREClient
from vyre_tools.calibration_backup import (CalibrationBackup, MagnetometerRollback,
                                           read_calibration, write_calibration)
from vyre_tools.latency_timer import latency_timer
from vyre_tools.mocklog import MockLog, write_mock_log
from vyre_tools.reconnect import Gap, ReconnectingClient, batches
from vyre_tools.sim import Simulator


def record(path: pathlib.Path) -> int:
    dtype = recording.packet_dtype()
    with Simulator.spawn(rate=200) as sim, vyre_client.VYREClient(sim.port_name) as client:
        meta = recording.describe_source(dtype.names or (), client.get_device_info(),
                                         client.get_device_config())
        with recording.open_writer(path, dtype, meta) as writer:
            writer.write(client.get_data_array(block=True))
        sim.set_rate(100)
        status = sim.wait_status(lambda s: s["rate"] == 100, timeout=5.0)
    rows = recording.read(path)
    units: dict[str, str] = recording.read_metadata(path)["units"]
    log: MockLog = write_mock_log(path.with_suffix(".log"), 10, 0.01)
    frames: list[tuple[int, bytes]] = log.expected_frames()
    return len(rows) + len(units) + len(frames) + len(status) + writer.rows


async def take_batch(port: str) -> int:
    async with AsyncVYREClient.open(port) as client:
        info: vyre_client.DeviceInfo | None = await client.get_device_info(timeout_seconds=2.0)
        async for batch in client.batches():
            first: vyre_client.VYREDataPacket = batch[0]
            return len(batch) + (info.id if info else 0) + int(first.timestamp_seconds)
    mock, handle = AsyncVYREClient.new_mock()
    await handle.inject_response(0x01, b"")
    await mock.aclose()
    return 0


def calibrate(port: str, backup_path: pathlib.Path) -> bool:
    with vyre_client.VYREClient(port) as client:
        backup: CalibrationBackup = read_calibration(client)
        backup.save(backup_path)
        write_calibration(client, CalibrationBackup.load(backup_path), timeout_seconds=2.0)
        with MagnetometerRollback(client) as rollback:
            if client.run_and_apply_magnetometer_calibration(1.0):
                rollback.accept()
        return rollback.restored


def find_and_follow(identity: str) -> list[str]:
    found: devices.PortInfo = devices.find(identity, wait=1.0)
    timer = latency_timer(found.port)
    texts = [p.label() for p in devices.list_ports()] + [timer.describe() if timer else ""]
    stop = threading.Event()

    def told(gap: Gap) -> None:
        texts.append(gap.text())

    with vyre_client.VYREClient(found.port) as client:
        device = ReconnectingClient(client, found.port, stop=stop, on_gap=told)
        packets: list[vyre_client.VYREDataPacket] = device.get_data_packets(block=True)
        texts.append(str(len(packets)))
        device.close()
    for batch in batches(found.port, stop=lambda: len(texts) > 10, on_wait=print):
        gap: Gap | None = batch.gap
        texts.append(gap.text() if gap else f"{len(batch.packets)} packets")
    return texts + [str(math.inf), str(asyncio.run(take_batch(found.port)))]
'''


def test_a_users_program_passes_mypy_strict(tmp_path):
    (tmp_path / "program.py").write_text(USER_PROGRAM)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "program.py"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
