"""``vyre ui``: a control center for a device in the browser.

The server side holds one :class:`~vyre_tools.ui.session.DeviceSession` per
device: it owns the asyncio client and a single task that takes every packet
and hands it to the recorder (all of it) and to the display (thinned out).
The pages (NiceGUI, the ``ui`` extra) only read from the session, so a
browser that is slow, closed or absent never holds telemetry back.

Nothing outside this package imports NiceGUI; ``vyre ui`` says which extra
to install when it is missing.
"""
