"""A live plot of a device's altitude and acceleration, fed by a thread.

The reading thread owns the client and waits for packets with the interpreter
lock released (``release_gil``), so the plot's window stays responsive.

    python examples/live_plot.py /dev/ttyACM0
    python examples/live_plot.py --sim --seconds 10
    MPLBACKEND=Agg python examples/live_plot.py --sim --seconds 3 --save plot.png
"""

import collections
import threading
import time

import matplotlib.pyplot as plt

import device_ports
from vyre_client import VYREClient

WINDOW = 2000  # samples shown


def read(port, samples, stop, errors):
    """The reading thread: every client call happens here."""
    try:
        with VYREClient(port) as client:
            client.release_gil = True
            while not stop.is_set():
                try:
                    batch = client.get_data_packets(block=True)
                except OSError as error:
                    if "timed out" in str(error):
                        continue  # nothing for the client's timeout: look at `stop` again
                    raise
                samples.extend(
                    (
                        p.timestamp_seconds,
                        p.est_position_z_meters,
                        p.raw_acceleration_x_gs,
                        p.raw_acceleration_y_gs,
                        p.raw_acceleration_z_gs,
                    )
                    for p in batch
                )
    except Exception as error:  # shown by the main thread
        errors.append(error)


def main():
    args = device_ports.parse(
        __doc__.splitlines()[0],
        extra=[
            (
                ("--save",),
                {
                    "metavar": "PNG",
                    "help": "write the last picture to this file at the end",
                },
            )
        ],
    )
    samples = collections.deque(
        maxlen=WINDOW
    )  # appends and copies are safe across threads
    stop, errors = threading.Event(), []
    with device_ports.ports(args) as (port,):
        reader = threading.Thread(target=read, args=(port, samples, stop, errors))
        reader.start()
        fig, (height, accel) = plt.subplots(2, 1, sharex=True, layout="constrained")
        height.set_ylabel("altitude (m)")
        accel.set_ylabel("acceleration (g)")
        accel.set_xlabel("device time (s)")
        (height_line,) = height.plot([], [])
        accel_lines = [accel.plot([], [], label=axis)[0] for axis in "xyz"]
        # beside the axes, where it never hides a line
        accel.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
        end = time.monotonic() + args.seconds if args.seconds is not None else None
        frames = 0
        try:
            while (
                plt.fignum_exists(fig.number)
                and not errors
                and (end is None or time.monotonic() < end)
            ):
                rows = list(samples)
                if rows:
                    columns = list(zip(*rows))
                    height_line.set_data(columns[0], columns[1])
                    for line, values in zip(accel_lines, columns[2:]):
                        line.set_data(columns[0], values)
                    for axes in (height, accel):
                        axes.relim()
                        axes.autoscale_view()
                    frames += 1
                plt.pause(0.05)  # draws and handles the window's events
        finally:
            stop.set()
            reader.join()
    if args.save:
        fig.savefig(args.save)
    if errors:
        raise SystemExit(f"reading failed: {errors[0]}")
    print(f"plot updated {frames} times, last {len(samples)} samples shown")


if __name__ == "__main__":
    main()
