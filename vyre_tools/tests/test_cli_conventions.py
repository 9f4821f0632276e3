"""What every command keeps to: Ctrl-C ends with status 130, output for
scripts on request, messages that name what really happened, ranges checked
before anything starts."""

import json
import signal
import time

import pytest

from vyre_tools.sim import Simulator

from .cli_support import assert_png, client_ready, start_vyre, write_recording  # noqa: F401


@pytest.mark.parametrize(
    "args,interrupt,status,fragment",
    [
        (("info", "--json", "--port", "PORT"), False, 0, '"id_hex": "0x0000000000C0FFEE"'),
        (("stream", "--port", "PORT"), True, 130, "stopped by Ctrl-C"),
        (("plot", "DIR/flight.csv", "-o", "DIR/adir"), False, 0, "to DIR/adir.png"),
        (("replay", "DIR", "--port", "PORT"), False, 1, "vyre: DIR is a directory, not a mock log file"),
        (
            ("stream", "--sim", "--sim-option", "corrupt_rate=2"),
            False,
            2,
            "corrupt_rate must be within [0, 1]",
        ),
        (("info", "--sim", "--sim-option", "answer_delay=-1"), False, 2, "answer_delay must not be negative"),
        (("calibrate-mag", "--lead-in", "-1"), False, 2, "--lead-in: must be 0 or more seconds"),
    ],
    ids=[
        "info-json",
        "stream-ctrl-c",
        "plot-suffix",
        "replay-directory",
        "sim-probability",
        "sim-delay",
        "lead-in",
    ],
)
def test_command_conventions(client_ready, tmp_path, args, interrupt, status, fragment):
    write_recording(tmp_path / "flight.csv")
    fill = lambda text: str(text).replace("DIR", str(tmp_path))  # noqa: E731
    with Simulator.spawn(device_id=0xC0FFEE) as sim:
        proc = start_vyre(*(sim.port_name if a == "PORT" else fill(a) for a in args))
        try:
            if interrupt:
                # the stream asks for the configuration, then takes packets
                sim.wait_status(lambda s: s["commands_by_id"].get("2"), timeout=30)
                time.sleep(0.5)
                proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=120)
        finally:
            proc.kill()
    assert proc.returncode == status, (out, err)
    assert "Traceback" not in out + err
    assert fill(fragment) in (out if status == 0 or interrupt else err)
    if "--json" in args:
        assert json.loads(out)["calibration"]["magnetometer"]["offsets"] == [0.0, 0.0, 0.0]
    if args[0] == "plot":
        assert_png(tmp_path / "adir.png")
