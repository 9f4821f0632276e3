"""The page: a header naming the device, the unplug banner, one tab per view."""

from nicegui import ui

from . import (attitude, calibration_wizard, device_panel, link_health, live_plots,
               recording_panel, replay_panel)
from .format import device_id
from .session import DeviceSession

TABS = ("Device", "Live", "Attitude", "Link", "Recording", "Replay", "Calibration")


def build(session: DeviceSession) -> None:
    ui.page_title("VYRE control center")
    # the banner sits in the header, so that it shows on every tab, scrolled or not
    with ui.header().classes("flex-col items-stretch gap-0 p-0"):
        with ui.row().classes("items-center p-3"):
            ui.label("VYRE control center").classes("text-xl font-bold")
            name = session.config.name if session.config else ""
            ident = device_id(session.info.id) if session.info else ""
            ui.label(f"{name} {ident} on {session.label}").classes("text-sm")
        link_health.build_banner(session)
    with ui.tabs().classes("w-full") as tabs:
        for title in TABS:
            ui.tab(title).props(f"data-testid=tab-{title.lower()}")
    with ui.tab_panels(tabs, value="Device").classes("w-full"):
        with ui.tab_panel("Device"):
            device_panel.build(session)
        with ui.tab_panel("Live"):
            live_plots.build(session, lambda: tabs.value == "Live")
        with ui.tab_panel("Attitude"):
            attitude.build(session, lambda: tabs.value == "Attitude")
        with ui.tab_panel("Link"):
            link_health.build(session)
        with ui.tab_panel("Recording"):
            recording_panel.build(session)
        with ui.tab_panel("Replay"):
            replay_panel.build(session)
        with ui.tab_panel("Calibration"):
            calibration_wizard.build(session)
