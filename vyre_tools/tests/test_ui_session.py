"""The control center's device session and the shared device procedures,
against the simulated device, without a browser: one action at a time,
backups and configurations checked before anything is written, and an
unplug under an action noticed, with the device found again and its
calibration put back."""

import asyncio
import contextlib
import math
import time

import pytest

from vyre_tools.calibration_backup import CalibrationBackup
from vyre_tools.devices import PortInfo
from vyre_tools.mocklog import write_mock_log
from vyre_tools.procedures import backups, configuration
from vyre_tools.procedures.device_finding import DeviceFinder
from vyre_tools.sim import Simulator

from .cli_support import client_ready  # noqa: F401
from .test_cli_device import stopped

pytest.importorskip("nicegui", reason="the ui extra (NiceGUI) is not installed")
pytestmark = pytest.mark.usefixtures("client_ready")

from vyre_tools.ui import calibration_run, device_actions, link_health, replay_panel  # noqa: E402
from vyre_tools.ui.session import DeviceBusy, DeviceSession  # noqa: E402

WAIT = 30.0
MAGNETOMETER = {
    "offsets": [11.5, -6.75, 4.25],
    "scale_matrix": [0.9375, -0.046875, 0.03125, -0.046875, 1.0625, -0.03125, 0.03125, -0.03125, 0.984375],
}


@pytest.fixture(autouse=True)
def links(tmp_path, monkeypatch):
    """Simulators of other runs are not found."""
    monkeypatch.setenv("VYRE_SIM_LINKS", str(tmp_path / "links"))


async def until(condition, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"waited {timeout:g} s for {what}"
        await asyncio.sleep(0.02)


@contextlib.asynccontextmanager
async def session_on(target, data_dir):
    session = DeviceSession(target, timeout=2.0, data_dir=str(data_dir))
    await session.start()
    try:
        yield session
    finally:
        await session.close()


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


def backup_of(device_id):
    identity = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
    return CalibrationBackup.from_json(
        {
            "format": "vyre-calibration",
            "version": 1,
            "device": {"id": device_id},
            "accelerometer": {"offsets": [0.0, 0.0, 0.0], "scale_matrix": identity},
            "gyroscope": {"offsets": [0.0, 0.0, 0.0], "scale_matrix": identity},
            "magnetometer": MAGNETOMETER,
        }
    )


def magnetometer_on(sim):
    cal = sim.status()["mag_calibration"]
    return {"offsets": cal["offsets"], "scale_matrix": cal["matrix"]}


def test_one_action_has_the_device_and_only_it_frees_it(sim, tmp_path):
    async def main():
        async with session_on(sim.port_name, tmp_path) as session:
            calibration_run.start(session, 2.0)
            # every other action is refused at once, naming what runs
            with pytest.raises(DeviceBusy, match="the magnetometer calibration runs"):
                calibration_run.start(session, 2.0)
            log = tmp_path / "short.log"
            write_mock_log(log, 50, 0.001)
            for action in (
                device_actions.save_backup(session),
                device_actions.load_backup(session, backup_of(None), "b.json"),
                device_actions.apply_configuration(session, "X", 100, "USB"),
                replay_panel.replay(session, str(log), 1.0, True, replay_panel.ReplayState()),
            ):
                with pytest.raises(DeviceBusy, match="the magnetometer calibration runs"):
                    await action
            assert session.busy == "the magnetometer calibration"  # a refusal frees nothing
            run_state = calibration_run.state(session)
            await until(lambda: run_state.phase != "collecting", "the verdict")
            assert run_state.phase == "judged", run_state.text
            assert session.busy is None
            # two backups of the same second are two files
            paths = [await device_actions.save_backup(session) for _ in range(2)]
            paths.append(run_state.backup_path)
            assert len(set(paths)) == 3
            for path in paths:
                assert CalibrationBackup.load(path).device_id == sim.options["device_id"]

    run(main())


def test_a_replay_the_device_stops_taking_fails_with_the_count_and_keeps_the_link(tmp_path):
    log = tmp_path / "flight.log"
    write_mock_log(log, 50000, 0.005)
    state = replay_panel.ReplayState()

    async def main(sim):
        async with session_on(sim.port_name, tmp_path) as session:
            replay = asyncio.create_task(replay_panel.replay(session, str(log), 1.0, False, state))
            await until(lambda: state.sent > 0, "the first records out")
            with stopped(sim):  # until the replay gives up, while it tells the device to end
                await until(lambda: "leave mock mode" in state.text, "the replay giving up")
            result = await replay
            packets = session.health.packets
            await until(lambda: session.health.packets > packets + 50, "telemetry after it")
            assert session.connected and session.busy is None
            return result

    with Simulator.spawn() as sim:
        result = run(main(sim))
        s = sim.wait_status(lambda s: not s["mock_mode"], timeout=WAIT)
    assert result.verdict == state.verdict == "failed"
    assert state.text.startswith("failed: the device took no data for 2 s: at least "), state.text
    assert f"at least {result.left_host} of 50000 records left the host" in state.text
    # the cancel came last, after what left the host (a frozen device may give up a cut frame)
    assert 0 < result.left_host - 1 <= s["mock_records"] <= result.left_host + 100 < 50000
    assert s["mock_outside"] == 0


def test_a_server_stopping_mid_replay_ends_it_out_of_mock_mode(sim, tmp_path):
    log = tmp_path / "flight.log"
    write_mock_log(log, 20000, 0.005)
    state = replay_panel.ReplayState()

    async def main():
        async with session_on(sim.port_name, tmp_path) as session:
            page = asyncio.create_task(replay_panel.replay(session, str(log), 1.0, True, state))
            await until(lambda: state.sent > 0, "the first records out")
            page.cancel()  # the page went: the replay is the session's and goes on
            await until(lambda: state.sent > 400, "records after the page went")
        # the session closed as the server's end closes it
        assert not state.running and state.verdict == "stopped", state.text

    run(main())
    s = sim.wait_status(lambda s: not s["mock_mode"], timeout=WAIT)
    assert 400 < s["mock_records"] < 20000 and s["mock_outside"] == 0


async def refreshed(session):
    """The link health as its next refresh has it."""
    session.health.gaps = -1
    await until(lambda: session.health.gaps >= 0, "the link health's refresh")
    return session.health


IN_FLIGHT = 10  # frames an unplug may cut on their way to the host
# frames a simulator starved by a busy machine still owes when a new rate
# starts over its pacing: never sent, never counted as dropped (a counting
# fault would show thousands, counted against the rate of the start)
OWED_AT_A_RATE_CHANGE = 25


def test_gaps_are_counted_against_the_frequency_of_the_moment_and_a_loss_still_counts(sim, tmp_path):
    async def main():
        async with session_on(sim.link_path, tmp_path) as session:
            name, protocol = session.config.name, configuration.protocol_name(session.config.protocol)

            async def at(frequency):
                await device_actions.apply_configuration(session, name, frequency, protocol)
                packets = session.health.packets
                await until(
                    lambda: session.health.packets > packets + frequency // 2, f"packets at {frequency} Hz"
                )

            dropped = sim.status()["telemetry_dropped"]
            for frequency in (500, 200, 100):
                await at(frequency)
            sim.set_rate(0)  # paused, as the device tells on its return
            sim.replug(delay=0.5)
            await until(lambda: not session.connected, "the unplug")
            await until(lambda: session.connected, "the return")
            # nothing counted missing but what the device really could not send
            # (its output full on a loaded machine) and the few frames an unplug
            # cuts on their way: none of the rate changes (thousands, counted
            # against the rate of the start)
            lost = sim.status()["telemetry_dropped"] - dropped + IN_FLIGHT + 3 * OWED_AT_A_RATE_CHANGE
            health = await refreshed(session)
            assert health.missing <= lost and health.gaps <= health.missing
            assert health.period == math.inf and session.config.frequency == 0
            if health.missing == 0:
                assert (
                    link_health.gaps_text(health.gaps, health.missing, health.period)
                    == "0 (0 packets missing)"
                )
            await at(200)
            lost = sim.status()["telemetry_dropped"] - dropped + IN_FLIGHT + 4 * OWED_AT_A_RATE_CHANGE
            health = await refreshed(session)
            assert health.missing <= lost and health.period == 1 / 200
            sim.set_corrupt_rate(0.05)  # frames the host rejects: packets really lost
            await until(lambda: session.health.gaps > 0, "a gap counted")
            assert session.health.missing >= session.health.gaps

    run(main())


def test_a_backup_of_another_device_is_loaded_only_when_asked(sim, tmp_path):
    async def main():
        async with session_on(sim.port_name, tmp_path) as session:
            before = magnetometer_on(sim)
            with pytest.raises(backups.OtherDevice, match="0x0000000000000B0B, not of this one"):
                await device_actions.load_backup(session, backup_of(0xB0B), "other.json")
            assert magnetometer_on(sim) == before and session.busy is None
            await device_actions.load_backup(session, backup_of(0xB0B), "other.json", any_device=True)
            assert magnetometer_on(sim) == MAGNETOMETER

    run(main())


@pytest.mark.parametrize(
    "name, frequency, protocol, why",
    [
        ("BENCH", 0, "USB", "a frequency of 0 stops the telemetry"),
        ("BENCH", 70000, "USB", "must be 1 to 65535, not 70000"),
        ("BENCH", 12.5, "USB", "whole number"),
        ("é" * 20, 100, "USB", "40 bytes as UTF-8: at most 32"),
        ("BENCH", 100, "CAN", "one of USB, UART, I2C, SPI"),
    ],
)
def test_a_configuration_the_device_cannot_take_as_given_is_not_sent(
    sim, tmp_path, name, frequency, protocol, why
):
    async def main():
        async with session_on(sim.port_name, tmp_path) as session:
            with pytest.raises(ValueError, match=why):
                await device_actions.apply_configuration(session, name, frequency, protocol)
            assert "3" not in sim.status()["commands_by_id"]  # no SetDeviceConfig went out

    run(main())


@pytest.mark.parametrize(
    "answer_delay, refused, text",
    [
        (0.0, True, "the device refused the configuration"),
        (5.0, False, "did not answer the configuration within 2 s"),
    ],
)
def test_a_refusal_is_told_apart_from_a_time_out(sim, tmp_path, answer_delay, refused, text):
    async def main():
        async with session_on(sim.port_name, tmp_path) as session:
            sim.set_answer_delay(answer_delay)
            with pytest.raises(configuration.ConfigurationNotTaken, match=text) as caught:
                await device_actions.apply_configuration(session, "BENCH", 3000, "USB")
            assert caught.value.refused is refused

    run(main())


def test_an_unplug_during_a_calibration_is_noticed_and_the_calibration_put_back(sim, tmp_path):
    async def main():
        async with session_on(sim.link_path, tmp_path) as session:
            before = magnetometer_on(sim)
            session.recorder.start("CSV", session.recording_metadata())
            calibration_run.start(session, 5.0)
            state = calibration_run.state(session)
            await until(
                lambda: state.began and sim.status()["mag_calibration"]["offsets"] == [0.0, 0.0, 0.0],
                "the collection",
            )
            sim.replug(delay=1.0)
            await until(lambda: state.phase == "failed", "the run's end")
            assert "came back" in state.text and "back on the device" in state.text, state.text
            assert magnetometer_on(sim) == before
            assert session.connected and session.busy is None
            # telemetry, and the recording, carry on
            packets = session.health.packets
            rows = session.recorder.rows
            await until(
                lambda: session.health.packets > packets + 50 and session.recorder.rows > rows + 50,
                "telemetry after the return",
            )
            assert await session.recorder.finish()

    run(main())


def test_a_server_stopped_during_a_calibration_puts_the_previous_one_back(sim, tmp_path):
    async def main():
        before = magnetometer_on(sim)
        async with session_on(sim.port_name, tmp_path) as session:
            calibration_run.start(session, 30.0)
            state = calibration_run.state(session)
            await until(
                lambda: state.began and sim.status()["mag_calibration"]["offsets"] == [0.0, 0.0, 0.0],
                "the collection",
            )
        assert magnetometer_on(sim) == before
        assert "the run was stopped; the previous calibration is back" in state.text

    run(main())


def test_a_device_known_by_its_id_is_looked_for_only_where_it_can_be(tmp_path):
    with Simulator(device_id=0xB1, rate=0) as other, Simulator(device_id=0xC2, rate=200) as sim:

        async def main():
            async with session_on("id=0xC2", tmp_path) as session:
                asked = dict(other.status()["commands_by_id"])  # by the lookup at the start
                sim.replug(delay=1.0)
                await until(lambda: not session.connected, "the unplug")
                await until(lambda: session.connected, "the return")
                assert session.port == sim.link_path
                assert other.status()["commands_by_id"] == asked

        run(main())


@pytest.mark.parametrize("stable", [True, False])
def test_a_port_where_another_device_answered_is_left_alone_while_it_stays(stable):
    link = "/dev/serial/by-id/usb-VYRE-if00"
    here = PortInfo(link if stable else "/dev/ttyACM0", "/dev/ttyACM0", link if stable else None)
    finder = DeviceFinder(here.port, 0xC2, ports=[here])
    finder.lost(ports=[])
    assert [p.port for p in finder.candidates([here], now=0.0)] == [here.port]
    assert not finder.answered(here.port, 0xB1)
    assert finder.candidates([here], now=100.0) == []
    finder.candidates([], now=101.0)  # it went away; what comes is asked
    assert [p.port for p in finder.candidates([here], now=102.0)] == [here.port]
    assert finder.answered(here.port, 0xC2)
