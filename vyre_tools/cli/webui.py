"""vyre ui: the control center in the browser (the ui extra: NiceGUI)."""

import argparse
import contextlib
import os

from .connection import add_device_arguments, choose_port, start_simulator, whole_number
from .errors import EXIT_USAGE, CliError
from .. import devices
from ..procedures.extras import install_hint


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "ui",
        help="the control center in the browser",
        description="Serve a control center for the device in the browser: "
        "its identity and configuration, live plots, the attitude, "
        "the link's health, recordings, mock-log replay and the "
        "magnetometer calibration wizard. It serves on this machine "
        "only unless --host says otherwise (over SSH, forward the "
        "port). Every request must carry the token of the run: "
        "open the address it prints (it ends in ?token=...), "
        "which leaves the token in a cookie; scripts send the "
        "header 'Authorization: token TOKEN'. Needs the ui extra.",
    )
    add_device_arguments(p, several=True)
    p.add_argument(
        "--host",
        default="127.0.0.1",
        help="address or name to serve on (default 127.0.0.1: this machine only; "
        "0.0.0.0 serves every network of the machine, with a warning)",
    )
    p.add_argument(
        "--token",
        default=None,
        metavar="TOKEN",
        help="the secret every request must carry (default: $VYRE_UI_TOKEN, "
        "else a new random one each run); an empty one asks for none, "
        "which is refused unless --host is this machine only",
    )
    p.add_argument(
        "--http-port",
        type=whole_number(0, 65535),
        default=8080,
        metavar="N",
        help="port to serve on (default 8080; 0 picks a free one)",
    )
    p.add_argument("--no-browser", action="store_true", help="do not open a browser")
    p.add_argument(
        "--data-dir",
        default="vyre-ui-data",
        metavar="DIR",
        help="folder for recordings, calibration backups and uploaded logs (default ./vyre-ui-data)",
    )
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        import nicegui  # noqa: F401  (only to tell a missing extra before anything starts)
    except ModuleNotFoundError as e:
        if e.name != "nicegui":
            raise
        raise CliError(f"'vyre ui' needs NiceGUI: {install_hint('ui')}") from None
    if args.sim_option and not args.sim:
        raise CliError("--sim-option is for the simulated device: add --sim", EXIT_USAGE)
    from ..ui.access import is_loopback, new_token
    from ..ui.server import serve

    token = args.token if args.token is not None else os.environ.get("VYRE_UI_TOKEN")
    if token is None:
        token = new_token()
    elif not token and not is_loopback(args.host):
        raise CliError(
            f"an empty --token would open the device to anyone who reaches "
            f"{args.host}: give a token, or serve on 127.0.0.1",
            EXIT_USAGE,
        )
    from ..ui.session import DeviceSession

    with contextlib.ExitStack() as stack:
        if args.sim:
            sim = start_simulator(args.sim_option)
            stack.callback(sim.close)
            # the stable link follows the device across a replug
            target = sim.link_path or sim.port_name
            devices_wanted = [(target, f"a simulated device ({target})")]
        else:
            ports = args.ports or [os.environ.get("VYRE_PORT") or None]
            # an identity is kept, so that the device is found again wherever it returns
            targets = [
                port if port and devices.is_identity(port) else choose_port(port, args.baud) for port in ports
            ]
            devices_wanted = [(target, target) for target in targets]
        several = len(devices_wanted) > 1
        sessions = [
            DeviceSession(
                target,
                baud=args.baud,
                timeout=args.timeout,
                data_dir=os.path.join(args.data_dir, f"device-{i}") if several else args.data_dir,
                label=label,
                files_url=f"/recordings/{i}",
            )
            for i, (target, label) in enumerate(devices_wanted)
        ]
        ended = serve(
            sessions, host=args.host, port=args.http_port, open_browser=not args.no_browser, token=token
        )
    if ended.failure:
        raise CliError(ended.failure)
    # as a shell reports a command a signal ended
    return 128 + ended.signal if ended.signal else 0
