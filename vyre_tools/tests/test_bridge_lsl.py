"""The Lab Streaming Layer bridge, received by an LSL inlet in another
process, with discovery kept on this machine: every sample after the inlet
connected arrives in order, its time-corrected stamp is the synced time on
LSL's clock, and the stream's description says what each channel is."""

import json
import random
import subprocess
import sys

import numpy as np
import pytest

from vyre_tools import recording

from .cli_support import cli_env, client_ready, run_vyre  # noqa: F401

pytestmark = pytest.mark.usefixtures("client_ready")
pytest.importorskip("pylsl")

# the inlet: prints the stream's description, then pulls until nothing more
# comes once the file argv[3] exists (the bridge has ended); saves each
# sample's device time, its stamp (time-corrected) and the offset of LSL's
# clock from the wall clock here
INLET = r"""
import json, os, sys, time
import numpy as np
import pylsl

found = pylsl.resolve_byprop("source_id", sys.argv[1], timeout=60)
inlet = pylsl.StreamInlet(found[0], processing_flags=pylsl.proc_clocksync)
info = inlet.info()
print(json.dumps({
    "labels": info.get_channel_labels(), "units": info.get_channel_units(),
    "types": info.get_channel_types(), "rate": info.nominal_srate(), "type": info.type(),
}), flush=True)
device, stamps = [], []
while True:
    data, ts = inlet.pull_chunk(timeout=0.2, max_samples=100000)
    if not ts and os.path.exists(sys.argv[3]):
        break
    device += [row[0] for row in data]
    stamps += ts
widths = []
for _ in range(16):
    a = pylsl.local_clock(); wall = time.time(); b = pylsl.local_clock()
    widths.append((b - a, (a + b) / 2 - wall))
np.savez(sys.argv[2], device=np.array(device), stamps=np.array(stamps), offset=min(widths)[1])
"""


@pytest.fixture
def lsl_here(tmp_path):
    """An LSL configuration that keeps discovery on this machine."""
    cfg = tmp_path / "lsl_api.cfg"
    cfg.write_text(
        "[ports]\nIPv6 = disable\n[multicast]\nResolveScope = machine\n[lab]\nKnownPeers = {127.0.0.1}\n"
    )
    return {"LSLAPICFG": str(cfg)}


def test_an_inlet_elsewhere_gets_every_sample_at_its_synced_time(tmp_path, lsl_here):
    device_id = random.getrandbits(48) | (0x5659 << 48)
    source_id = f"vyre-0x{device_id:016X}"
    got, ended = tmp_path / "inlet.npz", tmp_path / "ended"
    inlet = subprocess.Popen(
        [sys.executable, "-c", INLET, source_id, str(got), str(ended)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=cli_env(**lsl_here),
    )  # fmt: skip
    try:
        path = tmp_path / "run.npz"
        proc = run_vyre(
            "bridge", "lsl", "--sim", "--sim-option", "rate=500", "--sim-option", f"device_id={device_id}",
            "--duration", "3", "--record", path, **lsl_here,
        )  # fmt: skip
        assert proc.returncode == 0, proc.stderr
        ended.touch()
        out, err = inlet.communicate(timeout=60)
    finally:
        inlet.kill()
        inlet.wait()
    assert inlet.returncode == 0, err
    about = json.loads(out.splitlines()[0])
    assert about["type"] == "IMU" and about["rate"] == 500
    assert about["labels"][:3] == ["timestamp_seconds", "temperature_celsius", "pressure_pascals"]
    assert about["units"][3] == "g" and about["types"][3] == "Acceleration"
    assert about["units"][10] == "deg/s" and about["types"][10] == "AngularVelocity"

    rows = recording.read(path)
    inlet_got = np.load(got)
    device = inlet_got["device"]
    # what the inlet got is the recording from when it connected on: none lost, none reordered
    first = int(np.searchsorted(rows["timestamp_seconds"], device[0]))
    assert len(device) > len(rows) / 2
    assert np.array_equal(device, rows["timestamp_seconds"][first:])
    # its stamps, back on the wall clock, are the synced times (received ones before the sync)
    synced = rows["synced_time_seconds"][first:]
    want = np.where(np.isfinite(synced), synced, rows["host_time_seconds"][first:])
    error = inlet_got["stamps"] - float(inlet_got["offset"]) - want
    assert np.isfinite(synced).mean() > 0.5
    assert np.abs(error).max() < 1e-3, np.abs(error).max()
    assert np.median(np.abs(error)) < 1e-4


@pytest.mark.parametrize("bridge, package", [("lsl", "pylsl"), ("foxglove", "foxglove")])
def test_a_bridge_without_its_package_says_so_in_one_line(bridge, package, monkeypatch, capsys):
    from vyre_tools.cli import main

    monkeypatch.setitem(sys.modules, package, None)  # as if not installed
    assert main(["bridge", bridge, "--sim", "--duration", "1"]) == 1  # before the device is started
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "install the bridges extra" in err[0], err
