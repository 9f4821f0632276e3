"""The device procedures both front ends call (the ``vyre`` command and the
control center): checks of a configuration, calibration backups, the
magnetometer calibration and its verdict, finding a device again, the replay
of a mock log and its completion check, telemetry statistics (packet rate,
gaps), number formatting and the up axis. One concept per module; each is
written once, for the blocking client and the asyncio one alike (see
``device_calls``)."""
