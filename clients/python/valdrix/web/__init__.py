"""valdrix-web: the bench in a browser.

    valdrix-web --instrument 127.0.0.1:9761

serves one page (a live scope, campaigns analysed as they run, the trace
files under the directory it was started in) and holds one connection to
the instrument. It listens on 127.0.0.1:8765 by default; any other address
needs a token, printed in the address to open.

Exit statuses: 0 stopped (Ctrl-C or SIGTERM); 1 the address cannot be
listened on; 2 usage.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import secrets
import signal
import sys
from typing import List, Optional, Tuple

from .. import __version__
from ..codes import DEFAULT_PORT

__all__ = ["main", "build_parser"]

PROG = "valdrix-web"
DEFAULT_LISTEN = ("127.0.0.1", 8765)


def _address(default_port: int):
    def parse(text: str) -> Tuple[str, int]:
        host, sep, port = text.rpartition(":")
        if not sep:
            host, port = text, str(default_port)
        host = host.strip("[]")
        try:
            number = int(port)
        except ValueError:
            raise argparse.ArgumentTypeError("%r: ADDRESS:PORT with a port number" % text) from None
        if not host or not 0 <= number <= 65535:
            raise argparse.ArgumentTypeError("%r: ADDRESS:PORT, port 0 to 65535" % text)
        return host, number

    parse.__name__ = "address"
    return parse


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Serves the bench in a browser: a live scope, "
                                     "campaigns analysed as they run, and the trace files under this directory.",
                                     epilog="Exit statuses: 0 stopped, 1 cannot listen, 2 usage.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    parser.add_argument("--instrument", type=_address(DEFAULT_PORT), default=("127.0.0.1", DEFAULT_PORT),
                        metavar="HOST:PORT", help="the instrument or valdrixd-sim (127.0.0.1:%d)" % DEFAULT_PORT)
    parser.add_argument("--listen", type=_address(DEFAULT_LISTEN[1]), default=DEFAULT_LISTEN,
                        metavar="ADDRESS:PORT", help="where the page is served (127.0.0.1:8765); an address "
                        "other than loopback needs a token")
    parser.add_argument("--token", default=None, metavar="T",
                        help="token every request must carry (default: none on loopback, a random one elsewhere)")
    parser.add_argument("--refresh", type=float, default=0.5, metavar="S",
                        help="seconds between live analysis updates of a campaign (0.5)")
    return parser


async def _serve(args: argparse.Namespace) -> int:
    from aiohttp import web

    from . import access
    from .app import Server, make_app

    host, port = args.listen
    token = args.token
    if token is None and not access.is_loopback(host):
        token = secrets.token_urlsafe(24)
    server = Server(args.instrument[0], args.instrument[1], os.getcwd(), host, token, refresh=args.refresh)
    runner = web.AppRunner(make_app(server), access_log=None, handle_signals=False)
    await runner.setup()
    site = web.TCPSite(runner, host, port)
    try:
        await site.start()
    except OSError as e:
        await runner.cleanup()
        print("%s: cannot listen on %s:%d: %s" % (PROG, host, port, e.strerror or e), file=sys.stderr)
        return 1
    bound = site._server.sockets[0].getsockname()[1] if site._server and site._server.sockets else port
    shown = "[%s]" % host if ":" in host else host
    url = "http://%s:%d/" % (shown, bound)
    if token is not None:
        url += "?token=" + token
    print("%s: serving %s in %s; instrument %s:%d; open %s" % (PROG, shown, server.root, args.instrument[0],
                                                              args.instrument[1], url), flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    await runner.cleanup()
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    if not args.refresh > 0:
        build_parser().error("--refresh takes a positive number of seconds")
    try:
        import aiohttp  # noqa: F401 - the optional dependency of this console script
    except ImportError:
        print("%s: needs aiohttp (Debian: python3-aiohttp; pip: valdrix[web])" % PROG, file=sys.stderr)
        return 1
    try:
        return asyncio.run(_serve(args))
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
