"""vyre bridge: live telemetry into Foxglove or the Lab Streaming Layer (the
bridges extra)."""

import argparse
import contextlib
import os
from collections.abc import Callable
from typing import TYPE_CHECKING

from .. import devices
from .connection import add_device_arguments, choose_port, positive_float, start_simulator, whole_number
from .errors import EXIT_USAGE, CliError
from .interrupts import stop_on_interrupt
from .stream import add_mcap_profile_arguments, check_mcap_profile, recording_path

if TYPE_CHECKING:
    from ..bridges.feed import Sink


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "bridge",
        help="live telemetry into Foxglove or the Lab Streaming Layer",
        description="Serve live telemetry of one or more devices to the tools users already run: "
        "'foxglove' serves Foxglove's WebSocket protocol (open Foxglove, connect to "
        "ws://HOST:PORT), 'lsl' makes a Lab Streaming Layer outlet per device. Samples carry "
        "their synced time; a device unplugged is waited for and taken up again, which the "
        "link health says. Runs until Ctrl-C or --duration. Needs the bridges extra.",
    )
    kinds = p.add_subparsers(dest="bridge", metavar="BRIDGE")
    kinds.required = True
    fox = kinds.add_parser(
        "foxglove",
        help="a Foxglove WebSocket server",
        description="Serve Foxglove's WebSocket protocol: per device, plots of acceleration, "
        "angular rate, magnetic field, pressure, temperature and the derived values, the "
        "attitude as a frame transform (the 3D panel turns the device), and the link's health.",
    )
    fox.add_argument(
        "--host", default="127.0.0.1", help="address to serve on (default 127.0.0.1: this machine only)"
    )
    fox.add_argument(
        "--ws-port",
        type=whole_number(0, 65535),
        default=8765,
        metavar="N",
        help="port to serve on (default 8765, Foxglove's; 0 picks a free one)",
    )
    fox.add_argument(
        "--display-rate",
        type=positive_float,
        metavar="HZ",
        help="send at most this many samples a second per device for display (default: every "
        "sample); a recording (--record) still takes every one",
    )
    fox.set_defaults(run=run_foxglove)
    lsl = kinds.add_parser(
        "lsl",
        help="a Lab Streaming Layer outlet per device",
        description="Make an LSL outlet per device: every packet field as a channel (labels, units "
        "and types in the stream's description), the configured rate, the device's id as "
        "source id, each sample stamped with its synced time on LSL's clock; and a Markers "
        "stream with the link's health.",
    )
    lsl.set_defaults(run=run_lsl)
    for q in (fox, lsl):
        q.add_argument(
            "-d", "--duration", type=positive_float, metavar="SECONDS", help="stop after this many seconds"
        )
        q.add_argument(
            "-r",
            "--record",
            metavar="FILE",
            type=recording_path,
            help="also record every packet to this file (several devices: FILE-1, FILE-2, ...)",
        )
        add_mcap_profile_arguments(q)
        add_device_arguments(q, several=True)


def targets(args: argparse.Namespace, stack: contextlib.ExitStack) -> list[str]:
    """The devices to serve: their identities (found again wherever they
    return), ports, or the simulated device's stable link."""
    if args.sim_option and not args.sim:
        raise CliError("--sim-option is for the simulated device: add --sim", EXIT_USAGE)
    if args.sim:
        sim = start_simulator(args.sim_option)
        stack.callback(sim.close)
        print(f"simulated device on {sim.port_name}", flush=True)
        return [sim.link_path or sim.port_name]
    ports = args.ports or [os.environ.get("VYRE_PORT") or None]
    return [port if port and devices.is_identity(port) else choose_port(port, args.baud) for port in ports]


def serve(args: argparse.Namespace, make_sink: "Callable[[argparse.Namespace], Sink]") -> int:
    from ..bridges.feed import FeedOptions, run_bridge
    from ..bridges.health import Health

    check_mcap_profile(args, args.record, frame_id_used=args.bridge == "foxglove")
    options = FeedOptions(args.baud, args.timeout, args.record, args.mcap_profile, args.frame_id)
    told: dict[int, tuple[str, str]] = {}

    def say(healths: list[Health]) -> None:
        for i, h in enumerate(healths):
            if told.get(i) != (h.state, h.event) and h.state != "connecting":
                told[i] = (h.state, h.event)
                print(h.text(), flush=True)

    with contextlib.ExitStack() as stack, stop_on_interrupt() as stop:
        sink = make_sink(args)  # a missing extra is told before anything starts
        wanted = targets(args, stack)
        result = run_bridge(wanted, sink, lambda: stop.requested, args.duration, options, say)
    for path, rows in result.recorded:
        print(f"recorded {rows} packets to {path}", flush=True)
    if result.failures:
        raise CliError("; ".join(result.failures))
    return stop.status if stop.requested else 0


def run_lsl(args: argparse.Namespace) -> int:
    from ..bridges.feed import BridgeError
    from ..bridges.lsl import LslSink

    def sink(args: argparse.Namespace) -> LslSink:
        try:
            return LslSink()
        except BridgeError as e:
            raise CliError(str(e)) from None

    return serve(args, sink)


def run_foxglove(args: argparse.Namespace) -> int:
    from ..bridges.feed import BridgeError
    from ..bridges.foxglove import FoxgloveSink

    def sink(args: argparse.Namespace) -> FoxgloveSink:
        try:
            devices = 1 if args.sim else max(1, len(args.ports or ()))
            fox = FoxgloveSink(args.host, args.ws_port, args.display_rate, args.frame_id, devices)
        except BridgeError as e:
            raise CliError(str(e)) from None
        print(f"serving Foxglove on ws://{args.host}:{fox.port}", flush=True)
        if args.host not in ("127.0.0.1", "localhost", "::1"):
            print(f"note: anyone who reaches {args.host}:{fox.port} sees the data (no sign-in)", flush=True)
        return fox

    return serve(args, sink)
