"""Commands, time-outs, late answers and argument errors."""

import time

import vyre_client
from vyre_client import DeviceProtocol
from vyre_tools.sim import Simulator

# This device answers every command 0.5 s late.
with Simulator.spawn(rate=50, answer_delay=0.5) as sim:
    with vyre_client.VYREClient(sim.port_name) as client:
        config = client.get_device_config(timeout_seconds=2.0)
        print("config:", config.name, config.frequency, config.protocol)

        # A setter answers True (accepted) or False (refused, or no answer in time).
        accepted = client.set_device_config(
            "ROCKET-1", 100, DeviceProtocol.UART, timeout_seconds=2.0
        )
        print("accepted:", accepted)

        # Too short a time-out: None, not an error. The answer still comes...
        assert client.get_device_config(timeout_seconds=0.1) is None
        time.sleep(1.0)
        # ...and is kept: the next call of the same kind returns it at once,
        # while its own answer waits in turn for the call after it.
        started = time.monotonic()
        late = client.get_device_config(timeout_seconds=2.0)
        print(f"late answer {late.name!r} after {time.monotonic() - started:.3f} s")
        assert late.name == "ROCKET-1"

        # Argument errors are raised before anything is sent.
        try:
            client.set_device_config("x", 70000, DeviceProtocol.USB)
        except OverflowError as error:
            print("OverflowError:", error)
        # A negative time-out is an internal fault: InternalFaultError derives
        # from BaseException (an `except Exception` does not catch it) and is not
        # an attribute of the module, so it is caught by name.
        try:
            client.get_device_info(timeout_seconds=-1)
        except Exception:
            raise AssertionError("not reached")
        except BaseException as error:
            if type(error).__name__ != "InternalFaultError":
                raise
            print("InternalFaultError:", error)

    # stop() keeps the port open: close() lets go of it before it is opened again.
    client.close()
    with vyre_client.VYREClient(sim.port_name) as again:
        assert again.is_running()
