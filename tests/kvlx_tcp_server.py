"""A one-connection KVLX server for the TCP stream tests, run as a separate process.

    python kvlx_tcp_server.py MODE DATA_FILE [ARG]

It listens on 127.0.0.1 on an ephemeral port, prints the port on its first output line,
accepts one connection (waiting at most 30 s) and serves DATA_FILE's bytes:

- ``bytewise``: one byte per send, with TCP_NODELAY and a short pause now and then;
- ``prefix``: the first ARG bytes, then it closes the connection;
- ``delay``: nothing for ARG seconds, then everything;
- ``all``: everything at once.

It runs in its own process, as a remote peer would (tests/test_stream_waits.py serves from
threads of the test process instead).
"""

import socket
import sys
import time


def main():
    mode, path = sys.argv[1], sys.argv[2]
    arg = sys.argv[3] if len(sys.argv) > 3 else None
    data = open(path, "rb").read()
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as srv:
        srv.bind(("127.0.0.1", 0))
        srv.listen(1)
        srv.settimeout(30)
        print(srv.getsockname()[1], flush=True)
        conn, _ = srv.accept()
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if mode == "bytewise":
                for i in range(len(data)):
                    conn.sendall(data[i : i + 1])
                    if i % 7 == 0:
                        time.sleep(0.0005)
            elif mode == "prefix":
                conn.sendall(data[: int(arg)])
            elif mode == "delay":
                time.sleep(float(arg))
                conn.sendall(data)
            else:
                conn.sendall(data)
            conn.shutdown(socket.SHUT_WR)
            # Wait for the client to close, so that nothing it has not read is lost.
            conn.settimeout(30)
            while conn.recv(4096):
                pass


if __name__ == "__main__":
    main()
