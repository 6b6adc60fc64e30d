"""Who may talk to valdrix-web, and which files it may touch.

A page served on loopback is still reachable from any web site the user
visits, through the browser: a rebound DNS name makes a hostile page
same-origin with us, and a plain cross-site form or WebSocket needs no
permission at all. So every request must name us in its Host (the
listening address or a loopback name, never an arbitrary name), and every
request that changes something, and every WebSocket, must come from our own
origin. Beyond loopback the network is not trusted at all: a token, printed
at start as notebook servers do, is then required on every request.
"""

from __future__ import annotations

import hmac
import ipaddress
import os
from typing import Optional
from urllib.parse import urlsplit

__all__ = ["is_loopback", "host_allowed", "origin_allowed", "token_matches", "PathError", "resolve_under"]

LOOPBACK_NAMES = ("localhost", "localhost.localdomain", "ip6-localhost")


def _ip(text: str) -> Optional[ipaddress._BaseAddress]:
    try:
        return ipaddress.ip_address(text.strip("[]"))
    except ValueError:
        return None


def is_loopback(address: str) -> bool:
    ip = _ip(address)
    return address.lower() in LOOPBACK_NAMES if ip is None else ip.is_loopback


def _split_host(host: str) -> str:
    """The name or address of a Host header, without its port."""
    host = host.strip().lower()
    if host.startswith("["):
        return host[:host.find("]") + 1] if "]" in host else host
    return host.rsplit(":", 1)[0] if host.count(":") == 1 else host


def host_allowed(host: Optional[str], listen: str) -> bool:
    """A Host header that names this server: the listening address, a
    loopback name or address, or, when listening on every address, any
    literal address (only a name can be rebound)."""
    if not host:
        return False
    name = _split_host(host)
    if name in LOOPBACK_NAMES or name == listen.lower() or name.strip("[]") == listen.lower().strip("[]"):
        return True
    ip = _ip(name)
    if ip is None:
        return False
    if ip.is_loopback:
        return True
    any_address = _ip(listen)
    return any_address is not None and any_address.is_unspecified


def origin_allowed(origin: Optional[str], host: Optional[str]) -> bool:
    """An Origin header of this server's own pages: http(s) and the very
    host and port the request was sent to."""
    if not origin or not host:
        return False
    parts = urlsplit(origin)
    return parts.scheme in ("http", "https") and parts.netloc.lower() == host.strip().lower() and not parts.path


def token_matches(given: Optional[str], token: str) -> bool:
    return given is not None and hmac.compare_digest(given.encode("utf-8", "replace"), token.encode("utf-8"))


class PathError(ValueError):
    """A path from the page outside the server's directory, or not there."""


def resolve_under(root: str, path: str, *, write: bool = False) -> str:
    """The real path of ``path`` (relative to ``root``, the real path of the
    directory valdrix-web was started in), symlinks resolved before the
    check; PathError when it lies outside ``root``. A path to write needs
    its directory to exist."""
    if not isinstance(path, str) or not path or "\0" in path:
        raise PathError("a path under the server's directory is needed")
    joined = os.path.join(root, path)
    real = os.path.realpath(joined)
    if os.path.commonpath([root, real]) != root:
        raise PathError("%s: outside the server's directory" % path)
    if write:
        if not os.path.isdir(os.path.dirname(real)):
            raise PathError("%s: no such directory" % (os.path.dirname(path) or "."))
    return real
