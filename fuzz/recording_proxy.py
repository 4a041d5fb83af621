#!/usr/bin/env python3
"""A loopback HTTP proxy in front of zorvane-service that keeps what the
client sends and what the service answers, for the seed corpus of the
service_decode fuzz target.

  recording_proxy.py --upstream PORT --out DIR --port-file FILE

Listens on 127.0.0.1 with a free port (written to FILE), forwards every
request to 127.0.0.1:PORT and writes, per exchange N (counted from 1),
DIR/N.target, DIR/N.request and DIR/N.reply. Stops on SIGTERM.
"""

import argparse
import http.client
import http.server
import itertools
import os
import signal
import sys
import threading

counter = itertools.count(1)
lock = threading.Lock()


def make_handler(upstream, out):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def forward(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length else b""
            connection = http.client.HTTPConnection("127.0.0.1", upstream, timeout=120)
            headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
            connection.request(self.command, self.path, body=body, headers=headers)
            reply = connection.getresponse()
            data = reply.read()
            with lock:
                n = next(counter)
            for suffix, content in (("target", self.path.encode()), ("request", body), ("reply", data)):
                with open(os.path.join(out, f"{n}.{suffix}"), "wb") as f:
                    f.write(content)
            self.send_response(reply.status)
            for k, v in reply.getheaders():
                if k.lower() not in ("content-length", "connection", "keep-alive", "transfer-encoding"):
                    self.send_header(k, v)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        do_GET = forward
        do_POST = forward

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(args.upstream, args.out))
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
