"""The device procedures both front ends call (the ``vyre`` command and the
control center): checks of a configuration, calibration backups, the
magnetometer calibration and its verdict, and finding a device again. One
concept per module; each is written once, for the blocking client and the
asyncio one alike (see ``device_calls``)."""
