"""Reading two devices at once, one thread each.

Each thread owns its client and waits with the interpreter lock released
(``release_gil``), so neither holds up the other nor the main thread, which
prints what came in every second.

    python examples/two_devices.py /dev/ttyACM0 /dev/ttyACM1
    python examples/two_devices.py --sim --seconds 5
"""

import threading
import time

import device_ports
from vyre_client import VYREClient


class DeviceReader(threading.Thread):
    def __init__(self, port):
        super().__init__(name=f"reader {port}")
        self.port = port
        self.packets = 0
        self.latest_altitude = None
        self.error = None
        self.stop = threading.Event()

    def run(self):
        try:
            with VYREClient(self.port) as client:
                client.release_gil = True
                while not self.stop.is_set():
                    try:
                        batch = client.get_data_packets(block=True)
                    except OSError as error:
                        if "timed out" in str(error):
                            continue
                        raise
                    self.packets += len(batch)
                    self.latest_altitude = batch[-1].est_position_z_meters
        except Exception as error:  # reported by the main thread
            self.error = error


def main():
    def altitude(reader):
        return (
            "-" if reader.latest_altitude is None else f"{reader.latest_altitude:.2f} m"
        )

    args = device_ports.parse(__doc__.splitlines()[0], devices=2)
    with device_ports.ports(args, devices=2) as port_names:
        readers = [DeviceReader(port) for port in port_names]
        for reader in readers:
            reader.start()
        end = time.monotonic() + args.seconds if args.seconds is not None else None
        try:
            while end is None or time.monotonic() < end:
                time.sleep(
                    1.0 if end is None else max(0.0, min(1.0, end - time.monotonic()))
                )
                print(
                    "  ".join(
                        f"{r.port}: {r.packets} packets, altitude {altitude(r)}"
                        for r in readers
                    ),
                    flush=True,
                )
                if any(r.error for r in readers):
                    break
        except KeyboardInterrupt:
            pass
        finally:
            for reader in readers:
                reader.stop.set()
            for reader in readers:
                reader.join()
    failed = [r for r in readers if r.error]
    for reader in failed:
        print(f"{reader.port} failed: {reader.error}")
    print("totals: " + ", ".join(str(r.packets) for r in readers))
    raise SystemExit(1 if failed else 0)


if __name__ == "__main__":
    main()
