"""``kelvane monitor``: a live web page of a stream, and the same page as a report file.

The stream is read and decoded in a thread of its own (`StreamMonitor.run`); a Starlette app
served by uvicorn gives the page, Plotly's JavaScript from the ``plotly`` package, and a
websocket that pushes a snapshot of the counts to each page every `interval` seconds. Snapshots
are taken on the event loop, never by the reader, and a page is sent the newest snapshot only
once it has drawn the previous one, so a slow page misses snapshots and no page slows the
decoding. The websocket serves only the monitor's own page: a handshake from a page of another
origin (any other site open in the same browser) is refused.

    kelvane monitor run.kvlx --dem model.dem [--layout layout.npy] [--port 0]
    kelvane monitor run.kvlx --dem model.dem --report run.html
"""

from __future__ import annotations

import asyncio
import json
import os
import threading
from importlib import resources
from typing import Any

from kelvane.monitor.state import StreamMonitor

__all__ = ["StreamMonitor", "page_html", "write_report", "make_app", "serve"]

_DEFAULT_PORTS = {"http": 80, "https": 443}


def _host_port(netloc: str, scheme: str) -> tuple[str, int] | None:
    """``host[:port]`` as (lower-case host, port), the scheme's port when none is written."""
    from urllib.parse import urlsplit

    if scheme not in _DEFAULT_PORTS or not netloc or "@" in netloc:
        return None
    try:
        parts = urlsplit(f"{scheme}://{netloc}")
        port = parts.port
    except ValueError:
        return None
    if not parts.hostname:
        return None
    return parts.hostname, port if port is not None else _DEFAULT_PORTS[scheme]


def same_origin(origin: str | None, host: str | None, scheme: str = "http") -> bool:
    """Whether a websocket handshake's ``Origin`` header names the page's own host.

    `host` is the request's ``Host`` header and `scheme` the page's (``http`` or ``https``). No
    ``Origin`` at all (a client that is not a browser: browsers always send one) is allowed; an
    opaque ``null`` origin, another host or another port is refused.
    """
    if origin is None:
        return True
    from urllib.parse import urlsplit

    parts = urlsplit(origin.strip())
    if parts.path or parts.query or parts.fragment or host is None:
        return False
    theirs = _host_port(parts.netloc, parts.scheme)
    return theirs is not None and theirs == _host_port(host, scheme)


def embed_json(value: Any) -> str:
    """`value` as JSON safe inside a ``<script>`` element: every ``<`` is written ``\\u003c``, so
    no ``</script>``, ``<!--`` or ``<script`` inside a string can end the element or change how
    the browser parses the rest of it."""
    return json.dumps(value, allow_nan=False).replace("<", "\\u003c")


def _plotly_js_path() -> str:
    import plotly

    return os.path.join(os.path.dirname(plotly.__file__), "package_data", "plotly.min.js")


def page_html(snapshot: dict[str, Any] | None = None) -> str:
    """The page: live (Plotly from ``/plotly.min.js``, data from the ``/ws`` websocket) without
    `snapshot`, or self-contained with Plotly and the snapshot inlined."""
    page = resources.files("kelvane.monitor").joinpath("page.html").read_text(encoding="utf-8")
    if snapshot is None:
        return page.replace("<!--PLOTLY-->", '<script src="/plotly.min.js"></script>')
    with open(_plotly_js_path(), encoding="utf-8") as f:
        plotly_js = f.read()
    page = page.replace("/*SNAPSHOT*/null", embed_json(snapshot))
    return page.replace("<!--PLOTLY-->", "<script>" + plotly_js.replace("</script", "<\\/script") + "</script>")


def write_report(source: str, dem: Any, out: str, layout: Any = None, **options: Any) -> dict[str, Any]:
    """Reads and decodes a finished file and writes the page, self-contained, to `out`.

    Returns the snapshot the page shows. `options` go to `StreamMonitor`.
    """
    monitor = StreamMonitor(source, dem, layout, **options)
    monitor.run(follow=False)
    snapshot = monitor.snapshot()
    with open(out, "w", encoding="utf-8") as f:
        f.write(page_html(snapshot))
    return snapshot


def _loopback_hosts(host: str) -> list[str] | None:
    """The ``Host`` names a server listening on `host` answers: loopback names only when it
    listens on a loopback address (None: any)."""
    import ipaddress

    try:
        loopback = host == "localhost" or ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return None
    if not loopback:
        return None
    own = f"[{host.strip('[]')}]" if ":" in host else host
    return sorted({"localhost", "127.0.0.1", "[::1]", own})


def make_app(monitor: StreamMonitor, interval: float = 0.5, follow: bool = True, *,
             hosts: list[str] | None = None) -> Any:
    """The Starlette app: ``/`` the page, ``/plotly.min.js``, ``/snapshot`` (JSON) and ``/ws``.

    Its lifespan starts `monitor.run` in a thread and a task that takes a snapshot every
    `interval` seconds; each page asks for the next one when it has drawn the last. The reader
    is stopped on shutdown. With `hosts`, a request whose ``Host`` is none of them is refused
    (400): a site whose name is made to resolve to this machine (DNS rebinding) would otherwise
    be the page's own origin and read the snapshots.
    """
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.middleware.trustedhost import TrustedHostMiddleware
    from starlette.responses import FileResponse, HTMLResponse, Response
    from starlette.routing import Route, WebSocketRoute
    from starlette.websockets import WebSocket, WebSocketDisconnect

    # The newest snapshot and its number; `fresh` is set when the next one is published.
    latest: dict[str, Any] = {"text": "null", "version": 0, "fresh": asyncio.Event()}

    async def publish() -> None:
        while True:
            latest["text"] = json.dumps(monitor.snapshot(), allow_nan=False)
            latest["version"] += 1
            latest["fresh"].set()
            latest["fresh"] = asyncio.Event()
            await asyncio.sleep(interval)

    async def index(request: Any) -> Any:
        return HTMLResponse(page_html())

    async def plotly_js(request: Any) -> Any:
        return FileResponse(_plotly_js_path(), media_type="text/javascript")

    async def snapshot(request: Any) -> Any:
        return Response(latest["text"], media_type="application/json")

    async def ws(socket: WebSocket) -> None:
        # The page asks for each snapshot when it has drawn the last one, and gets the newest
        # one it has not seen: a slow page skips snapshots instead of queueing them.
        # Browsers let any page open a websocket to any address and name that page's origin in
        # the Origin header: only the monitor's own page may read the snapshots (closing before
        # accepting answers the handshake with 403).
        scheme = "https" if socket.url.scheme == "wss" else "http"
        if not same_origin(socket.headers.get("origin"), socket.headers.get("host"), scheme):
            await socket.close(code=1008)
            return
        await socket.accept()
        seen = 0
        try:
            while True:
                await socket.receive_text()
                while latest["version"] == seen:
                    await latest["fresh"].wait()
                seen = latest["version"]
                await socket.send_text(latest["text"])
        except (WebSocketDisconnect, RuntimeError, OSError):
            pass

    from contextlib import asynccontextmanager

    @asynccontextmanager
    async def lifespan(app: Any) -> Any:
        reader = threading.Thread(target=monitor.run, kwargs={"follow": follow}, name="kelvane-monitor", daemon=True)
        reader.start()
        task = asyncio.create_task(publish())
        try:
            yield
        finally:
            task.cancel()
            monitor.stop()
            await asyncio.to_thread(reader.join, 2.0)

    routes = [Route("/", index), Route("/plotly.min.js", plotly_js), Route("/snapshot", snapshot),
              WebSocketRoute("/ws", ws)]
    middleware = [] if hosts is None else [Middleware(TrustedHostMiddleware, allowed_hosts=hosts, www_redirect=False)]
    return Starlette(routes=routes, lifespan=lifespan, middleware=middleware)


def serve(monitor: StreamMonitor, host: str = "127.0.0.1", port: int = 0, interval: float = 0.5,
          follow: bool = True) -> None:
    """Serves the monitor's page until interrupted, printing its URL once listening."""
    import uvicorn

    config = uvicorn.Config(make_app(monitor, interval, follow, hosts=_loopback_hosts(host)), host=host, port=port,
                            log_level="warning", lifespan="on")
    server = uvicorn.Server(config)

    async def main() -> None:
        task = asyncio.create_task(server.serve())
        while not server.started and not task.done():
            await asyncio.sleep(0.02)
        if server.started:
            bound = server.servers[0].sockets[0].getsockname()
            shown = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
            print(f"kelvane monitor: http://{shown}:{bound[1]}/ (Ctrl-C stops)", flush=True)
        await task

    asyncio.run(main())
