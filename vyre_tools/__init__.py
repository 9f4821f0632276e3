"""Pure-Python tools around the VYRE client: a simulated device on a
pseudo-terminal (``vyre_tools.sim``), a writer of mock log files
(``vyre_tools.mocklog``) and the client for asyncio programs
(``vyre_tools.aio``)."""
