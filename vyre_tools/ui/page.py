"""The page: a header naming the device (or a tab per device) and what it
is doing, the unplug banner, one tab per view.

Everything a page shows of a device is read from its session on a timer,
so a change made in one tab (a rename, an action and how it ended) shows
in every open page without a reload."""

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
    timeline,
)
from .format import device_id
from .session import DeviceSession

type Visible = Callable[[], bool]
type View = Callable[[DeviceSession, Visible], None]

#: the tabs of a device, in order: a name and the view's build(session, visible),
#: where visible() tells whether the view's tab is the one shown
VIEWS: tuple[tuple[str, View], ...] = (
    ("Device", lambda session, visible: device_panel.build(session)),
    ("Live", live_plots.build),
    ("Attitude", attitude.build),
    ("Link", lambda session, visible: link_health.build(session)),
    ("Recording", lambda session, visible: recording_panel.build(session)),
    ("Replay", lambda session, visible: replay_panel.build(session)),
    ("Calibration", lambda session, visible: calibration_wizard.build(session)),
    ("IMU", lambda session, visible: imu_calibration_wizard.build(session)),
    ("Noise", lambda session, visible: noise_view.build(session)),
)
TABS = tuple(name for name, _ in VIEWS)
REFRESH_SECONDS = 0.25

# Long words (a port path, a file name) break rather than leave the page, and
# an uploader says nothing of sizes until it has a file.
STYLE = """
body { overflow-wrap: anywhere; }
.q-uploader:not(:has(.q-uploader__file)) .q-uploader__subtitle { display: none; }
"""
# A 3D view draws at the size of its element, which follows the page's width:
# each is redrawn whenever that size changes, also when its tab comes back.
SCENES_FOLLOW_THEIR_SIZE = """<script>
new MutationObserver(() => {
  for (const el of document.querySelectorAll(".nicegui-scene:not([data-follows])")) {
    el.dataset.follows = "";
    const canvas = el.querySelector("canvas");
    new ResizeObserver(() => {
      const width = el.clientWidth, height = el.clientHeight;
      if (width && height && (canvas.clientWidth !== width || canvas.clientHeight !== height))
        getElement(el)?.resize?.();
    }).observe(el);
  }
}).observe(document.body, {childList: true, subtree: true});
</script>"""


def title(session: DeviceSession) -> str:
    name = session.config.name if session.config else ""
    ident = device_id(session.info.id) if session.info else ""
    return f"{name} {ident}".strip()


def activity(session: DeviceSession) -> str:
    """What the device is doing, or how its latest action ended."""
    if session.busy:
        return f"busy: {session.busy}"
    return f"last: {session.outcome}" if session.outcome else ""


def build(sessions: Sequence[DeviceSession]) -> None:
    ui.page_title("VYRE control center")
    ui.add_css(STYLE)
    ui.add_body_html(SCENES_FOLLOW_THEIR_SIZE)
    several = len(sessions) > 1
    # the banners sit in the header, so that they show on every tab, scrolled or not
    with ui.header().classes("flex-col items-stretch gap-0 p-0"):
        with ui.row().classes("items-center p-3 gap-x-4 gap-y-0"):
            ui.label("VYRE control center").classes("text-xl font-bold")
            if not several:
                named = ui.label().classes("text-sm break-all").props("data-testid=header-device")
                doing = ui.label().classes("text-sm").props("data-testid=device-activity")
                _follow(lambda: f"{title(sessions[0])} on {sessions[0].label}", named.set_text)
                _follow(lambda: activity(sessions[0]), doing.set_text)
        for session in sessions:
            link_health.build_banner(session, named=several)
    if not several:
        build_device(sessions[0], lambda: True)
        return
    with ui.tabs().classes("w-full bg-gray-100") as devices:
        for i, session in enumerate(sessions):
            device_tab = ui.tab(f"device-{i}", label=title(session)).props(f"data-testid=device-tab-{i}")
            _follow(lambda session=session: title(session), _labelling(device_tab))  # type: ignore[misc]
        ui.tab("together", label="All devices").props("data-testid=device-tab-together")
    with ui.tab_panels(devices, value="device-0").classes("w-full"):
        for i, session in enumerate(sessions):
            with ui.tab_panel(f"device-{i}").props(f"data-testid=device-panel-{i}"):
                ui.label(f"on {session.label}").classes("text-sm text-gray-600 break-all")
                doing = ui.label().classes("text-sm").props(f"data-testid=device-activity-{i}")
                _follow(lambda session=session: activity(session), doing.set_text)  # type: ignore[misc]
                build_device(session, _showing(devices, f"device-{i}"))
        with ui.tab_panel("together").props("data-testid=device-panel-together"):
            timeline.build(sessions, _showing(devices, "together"))


def _follow(text: Callable[[], str], show: Callable[[str], object]) -> None:
    """Shows ``text()`` with ``show`` now and whenever it changes."""
    shown: list[str | None] = [None]

    def refresh() -> None:
        now = text()
        if now != shown[0]:
            shown[0] = now
            show(now)

    refresh()
    ui.timer(REFRESH_SECONDS, refresh)


def _labelling(tab: ui.tab) -> Callable[[str], None]:
    def show(label: str) -> None:
        tab.props["label"] = label

    return show


def _showing(tabs: ui.tabs, name: str) -> Callable[[], bool]:
    return lambda: bool(tabs.value == name)


def build_device(session: DeviceSession, shown: Visible) -> None:
    """The views of one device; ``shown()`` tells whether its tab is the one shown."""
    with ui.tabs().classes("w-full") as tabs:
        for name in TABS:
            ui.tab(name).props(f"data-testid=tab-{name.lower()}")
    with ui.tab_panels(tabs, value=TABS[0]).classes("w-full"):
        for name, view in VIEWS:
            with ui.tab_panel(name):
                view(session, lambda name=name: shown() and tabs.value == name)  # type: ignore[misc]
