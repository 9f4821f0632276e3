"""vyre ui in a real browser: Debian's Chromium, headless, driven by
Playwright, against the command serving a simulated device. One server and
one page for the module; the tests run in file order, the unplug and the
signals that end a server last.

VYRE_UI_SCREENSHOTS=DIR writes the main views to DIR as PNGs (the guide's
pictures come from here)."""

import json
import os
import re
import shutil
import signal
import time

import numpy as np
import pytest

from vyre_tools import recording
from vyre_tools.mocklog import write_mock_log
from vyre_tools.sim import Simulator

from .cli_support import serving_ui

pytest.importorskip("nicegui", reason="the ui extra (NiceGUI) is not installed")
sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed")
expect = sync_api.expect

# one server and one page shared in file order: the whole module on one worker
pytestmark = pytest.mark.xdist_group("ui-browser")

RATE = 200
WAIT_MS = 15_000
expect.set_options(timeout=WAIT_MS)  # assertions too, not only actions, wait that long
SCREENSHOTS = os.environ.get("VYRE_UI_SCREENSHOTS")


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("no Chromium found (scripts/install-deps installs Debian's chromium as root)")


def shot(page, name):
    if SCREENSHOTS:
        os.makedirs(SCREENSHOTS, exist_ok=True)
        page.add_style_tag(content=".q-notifications { display: none }")
        page.wait_for_timeout(600)  # the tab's slide and a few redraws
        page.screenshot(path=os.path.join(SCREENSHOTS, f"{name}.png"), full_page=True)


@pytest.fixture(scope="module")
def sim():
    with Simulator.spawn(rate=RATE) as s:
        yield s


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("ui-data")


def serving(data_dir, *ports):
    """``vyre ui`` on ``ports``: its process, with the address it serves as ``url``."""
    return serving_ui(*(a for port in ports for a in ("-p", port)), "--data-dir", data_dir, "--timeout", "2")


@pytest.fixture(scope="module")
def server(sim, data_dir):
    with serving(data_dir, sim.link_path) as proc:
        yield proc


@pytest.fixture(scope="module")
def page(server):
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium(), headless=True)
        try:
            page = browser.new_page(viewport={"width": 1280, "height": 900})
            page.set_default_timeout(WAIT_MS)
            # a new server's first page builds on a loaded machine for a while
            page.set_default_navigation_timeout(4 * WAIT_MS)
            page.goto(server.url)
            yield page
        finally:
            browser.close()


@pytest.fixture(scope="module")
def other(page, server):
    """A second page on the same server, open alongside the first."""
    other = page.context.browser.new_page(viewport={"width": 1280, "height": 900})
    other.set_default_timeout(WAIT_MS)
    other.set_default_navigation_timeout(4 * WAIT_MS)
    other.goto(server.url)
    yield other
    other.close()


def tab(page, name):
    page.get_by_test_id(f"tab-{name}").click()


def choose(page, testid, option):
    # a click that lands while a tab still slides in opens no menu: open it
    # again until the option shows
    wanted = page.get_by_role("option", name=option, exact=True)
    for _ in range(WAIT_MS // 2500):
        page.get_by_test_id(testid).click()
        try:
            wanted.wait_for(state="visible", timeout=2500)
        except sync_api.TimeoutError:
            page.keyboard.press("Escape")
            continue
        wanted.click()
        return
    wanted.click()  # fails with the locator's own account


def test_the_page_shows_the_device_id(page):
    expect(page.get_by_test_id("device-id")).to_have_text("0x5659524500010042")
    assert_fits(page, "device")
    shot(page, "device")


def test_live_values_change(page):
    tab(page, "live")
    newest = page.get_by_test_id("live-time")
    expect(newest).to_have_text(re.compile(r"t = \d+\.\d{3} s"))
    first = newest.inner_text()
    expect(newest).not_to_have_text(first)
    expect(page.get_by_test_id("live-values")).to_contain_text("µT")
    assert_fits(page, "live")
    shot(page, "live")
    tab(page, "attitude")
    expect(page.get_by_test_id("tilt")).to_contain_text("°")
    expect(page.get_by_test_id("heading")).to_have_text(re.compile(r"heading \d+°"))
    # the board's axes, up and the heading are named in the view itself
    for label in ("X", "Y", "Z", "up", "heading"):
        expect(page.get_by_test_id("attitude-scene").get_by_text(label, exact=True)).to_be_visible()
    assert_fits(page, "attitude")
    shot(page, "attitude")
    tab(page, "link")
    expect(page.get_by_test_id("link-rate")).to_contain_text("(configured")
    assert_fits(page, "link")
    shot(page, "link")


# what does not fit the page: its overflow to the right, the elements that
# reach out of it (clipped by the page, they make no overflow), and those whose
# text is cut (an ellipsis, or text wider than its box);
# the row of tabs scrolls by design
LAYOUT = """() => {
    const shown = [...document.querySelectorAll("body *")].filter(
        el => el.getClientRects().length && !el.closest(".q-tabs, .q-notifications, .q-loading-bar"));
    const cut = shown.filter(el => {
        if (el.scrollWidth <= el.clientWidth + 1 || !el.textContent.trim()) return false;
        const text = [...el.childNodes].some(n => n.nodeType === 3 && n.textContent.trim());
        return text || getComputedStyle(el).textOverflow === "ellipsis";
    });
    const out = shown.filter(el => {
        const box = el.getBoundingClientRect();
        const drawn = el.textContent.trim() || ["CANVAS", "INPUT", "IMG", "svg"].includes(el.tagName);
        return drawn && box.width > 0 && (box.right > innerWidth + 1 || box.left < -1);
    });
    const name = el => `${el.tagName} ${el.className}: ${el.textContent.trim().slice(0, 40)}`;
    return {
        overflow: document.scrollingElement.scrollWidth - innerWidth,
        cut: cut.map(name),
        out: out.map(name),
    };
}"""
FITS = {"overflow": 0, "cut": [], "out": []}


def assert_fits(page, name):
    """The view shown fits the page, its labels whole (once it has slid in and drawn)."""
    try:
        page.wait_for_function(f"(r => !r.overflow && !r.cut.length && !r.out.length)(({LAYOUT})())")
    except sync_api.TimeoutError:
        pass  # the assertion says what does not fit
    got = page.evaluate(LAYOUT)
    assert got == FITS, f"{name}: {json.dumps(got, indent=1)}"


def test_every_view_fits_a_narrow_page_with_its_labels_whole(page):
    # at 1280 px, the tests of each view look too
    page.set_viewport_size({"width": 400, "height": 900})
    try:
        for name in ("device", "live", "attitude", "link", "recording", "replay", "calibration"):
            tab(page, name)
            expect(page.get_by_test_id(f"tab-{name}")).to_have_class(re.compile("q-tab--active"))
            assert_fits(page, name)
            shot(page, f"{name}-narrow")
    finally:
        page.set_viewport_size({"width": 1280, "height": 900})


def test_a_configuration_edit_reaches_the_device_and_every_open_page(page, other, sim):
    expect(other.get_by_test_id("config-name")).to_have_value("VYRE-SIM")
    tab(page, "device")
    page.get_by_test_id("config-name").fill("BENCH-7")
    page.get_by_test_id("config-frequency").fill("250")
    choose(page, "config-protocol", "SPI")
    page.get_by_test_id("config-apply").click()
    expect(page.get_by_test_id("config-answer")).to_contain_text(
        "name 'BENCH-7', frequency 250, protocol SPI"
    )
    status = sim.status()
    assert (status["name"], status["frequency"], status["protocol"]) == ("BENCH-7", 250, 4)
    expect(page.get_by_test_id("header-device")).to_contain_text("BENCH-7 0x5659524500010042")
    expect(other.get_by_test_id("header-device")).to_contain_text("BENCH-7 0x5659524500010042")
    expect(other.get_by_test_id("config-name")).to_have_value("BENCH-7")
    expect(other.get_by_test_id("config-frequency")).to_have_value("250")
    expect(other.get_by_test_id("device-activity")).to_have_text("last: a configuration change: done")


@pytest.mark.parametrize(
    "name, frequency, why",
    [
        ("BENCH-7", "70000", "must be 1 to 65535, not 70000"),  # the page clamped it
        ("BENCH-7", "0", "0 stops the telemetry"),
        ("é" * 20, "250", "40 bytes as UTF-8"),  # the library would cut it
    ],
)
def test_a_configuration_the_device_cannot_take_is_refused_with_why(page, sim, name, frequency, why):
    tab(page, "device")
    before = sim.status()
    page.get_by_test_id("config-name").fill(name)
    page.get_by_test_id("config-frequency").fill(frequency)
    page.get_by_test_id("config-apply").click()
    expect(page.get_by_test_id("config-answer")).to_contain_text(re.compile(f"not sent: .*{why}"))
    after = sim.status()
    assert (after["name"], after["frequency"]) == (before["name"], before["frequency"])


def test_a_backup_of_another_device_is_loaded_only_when_confirmed(page, sim, tmp_path):
    identity = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
    offsets = [11.5, -6.75, 4.25]
    backup = tmp_path / "other.json"
    backup.write_text(
        json.dumps(
            {
                "format": "vyre-calibration",
                "version": 1,
                "device": {"id": 0xB0B},
                **{
                    sensor: {"offsets": [0.0, 0.0, 0.0], "scale_matrix": identity}
                    for sensor in ("accelerometer", "gyroscope")
                },
                "magnetometer": {"offsets": offsets, "scale_matrix": identity},
            }
        )
    )
    before = sim.status()["mag_calibration"]
    tab(page, "device")
    page.get_by_test_id("backup-load").locator("input[type=file]").set_input_files(str(backup))
    expect(page.get_by_test_id("backup-other-device")).to_contain_text("0x0000000000000B0B, not of this one")
    assert sim.status()["mag_calibration"] == before
    page.get_by_test_id("backup-load-anyway").click()
    expect(page.get_by_test_id("mag-offsets")).to_contain_text("11.500")
    assert sim.status()["mag_calibration"]["offsets"] == offsets


@pytest.mark.parametrize("fmt", ["CSV", "Parquet", "NPZ", "MCAP"])
def test_a_recording_from_the_page_reads_back_whole(page, data_dir, fmt):
    tab(page, "recording")
    choose(page, "record-format", fmt)
    page.get_by_test_id("record-start").click()
    status = page.get_by_test_id("record-status")
    expect(status).to_contain_text("recording to")
    expect(status).to_contain_text(re.compile(r": [1-9]\d{2,} packets"))
    page.get_by_test_id("record-stop").click()
    expect(status).to_have_text("not recording")
    suffix = {"CSV": ".csv", "Parquet": ".parquet", "NPZ": ".npz", "MCAP": ".mcap"}[fmt]
    newest = max((data_dir / "recordings").glob(f"*{suffix}"), key=os.path.getmtime)
    expect(page.get_by_test_id("record-files")).to_contain_text(newest.name)
    rows = recording.read(newest)
    assert len(rows) >= 100
    # every packet of the run, none lost to the page: the device's steps are even
    steps = np.diff(rows["timestamp_seconds"])
    assert steps.max() < 1.5 / RATE, steps.max()
    assert recording.read_metadata(newest)["device_id"] == "0x5659524500010042"
    if fmt == "MCAP":
        assert_fits(page, "recording")
        shot(page, "recording")


@pytest.mark.parametrize(
    "name", ['x :title="(window.__pwned=1)" y.csv', "run#2.csv", "what?.csv", "flight 1.csv"]
)
def test_a_recording_of_any_name_is_listed_and_downloads_whole(page, data_dir, name):
    path = data_dir / "recordings" / name
    path.write_text(f"timestamp_seconds\n{len(name)}.0\n")
    os.utime(path, (1, 1))  # older than the page's own recordings
    tab(page, "recording")
    link = page.get_by_test_id("record-files").get_by_role("link", name=name, exact=True)
    with page.expect_download() as download:
        link.click()
    with open(download.value.path()) as got:
        assert got.read() == path.read_text()
    assert download.value.suggested_filename.endswith(".csv")
    assert page.evaluate("window.__pwned") is None


def test_a_mock_log_replays_from_the_page(page, sim, data_dir):
    log = data_dir / "short.log"
    write_mock_log(log, 200, 0.001)
    before = sim.status()["mock_records"]
    tab(page, "replay")
    page.get_by_test_id("replay-path").fill(str(log))
    page.get_by_test_id("replay-start").click()
    expect(page.get_by_test_id("replay-status")).to_contain_text(
        "complete: replayed 200 of 200 records", timeout=30_000
    )
    expect(page.get_by_test_id("replay-status")).to_contain_text("the device left mock mode")
    assert sim.status()["mock_records"] - before == 200
    assert_fits(page, "replay")


def test_the_calibration_wizard_keeps_or_rolls_back(page, other, sim):
    before = sim.status()["mag_calibration"]
    tab(page, "calibration")
    tab(other, "calibration")
    page.get_by_test_id("cal-duration").fill("5")
    page.get_by_test_id("cal-start").click()
    # the run is the server's: every open page follows it
    expect(other.get_by_test_id("device-activity")).to_have_text("busy: the magnetometer calibration")
    expect(other.get_by_test_id("cal-status")).to_contain_text(re.compile(r"collecting: .*of 5 s"))
    status = page.get_by_test_id("cal-status")
    expect(status).to_contain_text("verdict: good", timeout=30_000)
    expect(other.get_by_test_id("cal-status")).to_have_text(status.inner_text())
    expect(page.get_by_test_id("cal-points")).to_contain_text(re.compile(r"^[1-9]\d* samples, \d+ %"))
    # and a page opened afterwards
    other.reload()
    tab(other, "calibration")
    expect(other.get_by_test_id("cal-status")).to_have_text(status.inner_text())
    assert_fits(page, "calibration")
    shot(page, "calibration")
    page.get_by_test_id("cal-keep").click()
    expect(status).to_contain_text("kept")
    # the fit undoes the simulated hard-iron offset
    assert np.allclose(sim.status()["mag_calibration"]["offsets"], (12.0, -7.0, 4.0), atol=1.0)
    page.get_by_test_id("cal-rollback").click()
    expect(status).to_contain_text("rolled back")
    assert sim.status()["mag_calibration"] == before


def test_the_imu_wizard_refuses_a_session_without_poses_and_restores(page, sim):
    # the shared device tumbles: never still, so no pose is ever held
    before = sim.status()["imu_calibration"]
    tab(page, "imu")
    page.get_by_test_id("imu-seconds").fill("5")
    page.get_by_test_id("imu-start").click()
    expect(page.get_by_test_id("imu-next")).to_contain_text("+Z up")
    expect(page.get_by_test_id("imu-still")).to_contain_text("moving")
    status = page.get_by_test_id("imu-status")
    expect(status).to_contain_text("too few distinct poses", timeout=30_000)
    expect(status).to_contain_text("the previous calibration is back")
    shot(page, "imu-calibration")
    assert sim.status()["imu_calibration"] == before


# whether a live chart's first line breaks (a row without its value) after a device time
BREAKS_AFTER = """([id, after]) => getElement(document.querySelector(`[data-testid=${id}]`))
    .chart.getOption().dataset[0].source.some(row => row[1] === null && row[0] >= after)"""


def test_a_noise_capture_of_the_turning_device_is_refused_and_frees_it(page):
    tab(page, "noise")
    page.get_by_test_id("noise-duration").fill("2")
    page.get_by_test_id("noise-start").click()
    status = page.get_by_test_id("noise-status")
    expect(status).to_contain_text("refused: the angular rate on")
    expect(status).to_contain_text("the device turned")
    expect(page.get_by_test_id("noise-start")).to_be_enabled()


def test_an_unplug_shows_the_banner_and_the_page_recovers(page, sim):
    tab(page, "live")
    newest = page.get_by_test_id("live-time")
    expect(newest).to_have_text(re.compile(r"t = \d+\.\d{3} s"))
    before = float(newest.get_attribute("data-device-time"))
    # away long enough for the banner to be seen between the assertion's looks
    # on a loaded machine
    sim.replug(delay=4.0)
    expect(page.get_by_test_id("banner-away")).to_be_visible()
    expect(page.get_by_test_id("banner-away")).to_contain_text("unplugged")
    expect(page.get_by_test_id("live-quiet")).to_contain_text(re.compile(r"no telemetry for [1-9]\d* s"))
    shot(page, "unplugged")
    expect(page.get_by_test_id("banner-back")).to_be_visible()
    expect(page.get_by_test_id("banner-away")).to_be_hidden()
    expect(page.get_by_test_id("live-quiet")).to_be_hidden()
    first = newest.inner_text()
    expect(newest).not_to_have_text(first)
    # the time away is a break in the lines, not a straight one across it
    page.wait_for_function(BREAKS_AFTER, arg=["chart-acceleration", before], timeout=WAIT_MS)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_ends_the_server_with_its_recording_whole(page, tmp_path, signum):
    # Ctrl-C, kill, and the SSH session or terminal going away
    with Simulator.spawn(rate=RATE) as sim, serving(tmp_path, sim.link_path) as proc:
        # a fresh server's first page is slow on a loaded machine: the
        # actions that follow wait for what they need of it
        page.goto(proc.url, wait_until="commit")
        tab(page, "recording")
        choose(page, "record-format", "Parquet")  # unreadable unless closed
        page.get_by_test_id("record-start").click()
        expect(page.get_by_test_id("record-status")).to_contain_text(re.compile(r": [1-9]\d{2,} packets"))
        proc.send_signal(signum)
        assert proc.wait(20) == 128 + signum
    (newest,) = (tmp_path / "recordings").glob("*.parquet")
    assert len(recording.read(newest)) >= 100


def test_several_devices_get_a_tab_each_and_align_live_on_one_axis(page, tmp_path):
    ids = (0x5659_5245_0000_0A01, 0x5659_5245_0000_0A02)
    rig = dict(rate=RATE, motion="still", rig_origin=time.monotonic())
    with (
        Simulator.spawn(device_id=ids[0], **rig) as one,
        # the second device's link is 3 ms slower: its synced times read that much late
        Simulator.spawn(device_id=ids[1], link_delay=0.003, seed=2, **rig) as two,
        serving(tmp_path, one.link_path, two.link_path) as proc,
    ):
        page.goto(proc.url)
        for i, ident in enumerate(ids):
            page.get_by_test_id(f"device-tab-{i}").click()
            panel = page.get_by_test_id(f"device-panel-{i}")
            expect(panel.get_by_test_id("device-id")).to_have_text(f"0x{ident:016X}")
            panel.get_by_test_id("tab-live").click()
            newest = panel.get_by_test_id("live-time")
            expect(newest).to_have_text(re.compile(r"t = \d+\.\d{3} s"))
            first = newest.inner_text()
            expect(newest).not_to_have_text(first)

        # every device on one axis, and the alignment by a shake they all felt
        page.get_by_test_id("device-tab-together").click()
        together = page.get_by_test_id("device-panel-together")
        expect(together.get_by_test_id("timeline-chart")).to_be_visible()
        together.get_by_test_id("timeline-align").click()
        status = together.get_by_test_id("timeline-status")
        expect(status).to_contain_text("hold the devices together and shake")
        at = time.monotonic() + 0.3
        for sim in (one, two):
            sim.shake(at, 1.0)
        expect(status).to_contain_text("the plot shows the aligned times")
        offset = float(re.search(r"device 1 \(.*\): offset ([-+.\d]+) ms", status.inner_text()).group(1))
        assert 2.5 < offset < 3.5
