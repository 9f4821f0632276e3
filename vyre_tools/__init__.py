"""Pure-Python tools around the VYRE client: a simulated device on a
pseudo-terminal (``vyre_tools.sim``), a writer of mock log files
(``vyre_tools.mocklog``), the client for asyncio programs
(``vyre_tools.aio``), telemetry recordings (``vyre_tools.recording``),
reconnecting (``vyre_tools.reconnect``), finding devices
(``vyre_tools.devices``) and calibration backups
(``vyre_tools.calibration_backup``).

The package is typed (it ships ``py.typed``): type checkers read the
annotations of its public functions."""
