"""A tcp:// source served from a thread of the test process, for the socket stream tests."""

import socket
import threading
import time


def serve_once(data, delay=0.0):
    """A tcp:// address that sends `data` to one client, `delay` seconds after it connects, and closes."""
    listener = socket.create_server(("127.0.0.1", 0))

    def run():
        with listener, listener.accept()[0] as conn:
            time.sleep(delay)
            conn.sendall(data)

    threading.Thread(target=run, daemon=True).start()
    return f"tcp://127.0.0.1:{listener.getsockname()[1]}"
