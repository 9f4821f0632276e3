"""The page: a header naming the device (or a tab per device), the unplug
banner, one tab per view."""

from collections.abc import Callable, Sequence

from nicegui import ui

from . import (
    attitude,
    calibration_wizard,
    device_panel,
    imu_calibration_wizard,
    link_health,
    live_plots,
    noise_view,
    recording_panel,
    replay_panel,
)
from .format import device_id
from .session import DeviceSession

TABS = ("Device", "Live", "Attitude", "Link", "Recording", "Replay", "Calibration", "IMU", "Noise")


def title(session: DeviceSession) -> str:
    name = session.config.name if session.config else ""
    ident = device_id(session.info.id) if session.info else ""
    return f"{name} {ident}".strip()


def build(sessions: Sequence[DeviceSession]) -> None:
    ui.page_title("VYRE control center")
    several = len(sessions) > 1
    # the banners sit in the header, so that they show on every tab, scrolled or not
    with ui.header().classes("flex-col items-stretch gap-0 p-0"):
        with ui.row().classes("items-center p-3"):
            ui.label("VYRE control center").classes("text-xl font-bold")
            if not several:
                ui.label(f"{title(sessions[0])} on {sessions[0].label}").classes("text-sm")
        for session in sessions:
            link_health.build_banner(session, named=several)
    if not several:
        build_device(sessions[0], lambda: True)
        return
    with ui.tabs().classes("w-full bg-gray-100") as devices:
        for i, session in enumerate(sessions):
            ui.tab(f"device-{i}", label=title(session)).props(f"data-testid=device-tab-{i}")
    with ui.tab_panels(devices, value="device-0").classes("w-full"):
        for i, session in enumerate(sessions):
            with ui.tab_panel(f"device-{i}").props(f"data-testid=device-panel-{i}"):
                ui.label(f"on {session.label}").classes("text-sm text-gray-600")
                build_device(session, _showing(devices, f"device-{i}"))


def _showing(tabs: ui.tabs, name: str) -> Callable[[], bool]:
    return lambda: bool(tabs.value == name)


def build_device(session: DeviceSession, shown: Callable[[], bool]) -> None:
    """The views of one device; ``shown()`` tells whether its tab is the one shown."""
    with ui.tabs().classes("w-full") as tabs:
        for name in TABS:
            ui.tab(name).props(f"data-testid=tab-{name.lower()}")
    with ui.tab_panels(tabs, value="Device").classes("w-full"):
        with ui.tab_panel("Device"):
            device_panel.build(session)
        with ui.tab_panel("Live"):
            live_plots.build(session, lambda: shown() and tabs.value == "Live")
        with ui.tab_panel("Attitude"):
            attitude.build(session, lambda: shown() and tabs.value == "Attitude")
        with ui.tab_panel("Link"):
            link_health.build(session)
        with ui.tab_panel("Recording"):
            recording_panel.build(session)
        with ui.tab_panel("Replay"):
            replay_panel.build(session)
        with ui.tab_panel("Calibration"):
            calibration_wizard.build(session)
        with ui.tab_panel("IMU"):
            imu_calibration_wizard.build(session)
        with ui.tab_panel("Noise"):
            noise_view.build(session)
