#!/usr/bin/env python3
"""A scriptable HTTP server on loopback that records every request.

Tests talk to it over HTTP. Each test uses its own channel: the first segment
of the request target ("/CHANNEL/..."), so tests running at the same time do
not see each other's requests or replies.

  POST /_control/channel          a channel name never handed out before.
  POST /_control/script/CHANNEL   body: one reply per line, "STATUS HEXBODY"
                                  (HEXBODY may be empty). Replies are queued
                                  and used in order by the channel's requests.
  GET  /_control/log/CHANNEL      the channel's requests so far, each as
                                      request CONNECTION METHOD TARGET
                                      header NAME: VALUE      (one per header)
                                      body HEX
                                  CONNECTION numbers the TCP connections in
                                  the order they were accepted.

Any other request is recorded under its channel and answered with the next
scripted reply, or with 404 "no scripted reply". Replies carry
Content-Length and keep the connection open.

  recording_server.py start --state-dir DIR   starts it in the background on
      127.0.0.1 with an ephemeral port, writes DIR/port and DIR/pid, and
      returns once it listens.
  recording_server.py stop --state-dir DIR    stops the server DIR/pid names.
  recording_server.py serve --state-dir DIR   runs it in the foreground.
"""

import argparse
import collections
import http.server
import itertools
import os
import signal
import sys
import threading
import time

MAX_BODY = 64 * 1024 * 1024

lock = threading.Lock()
scripts = collections.defaultdict(collections.deque)
logs = collections.defaultdict(list)
connection_numbers = itertools.count(1)
channel_numbers = itertools.count(1)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        self.connection_number = next(connection_numbers)

    def log_message(self, *args):
        pass

    def reply(self, status, body, content_type="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def read_body(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        if length < 0 or length > MAX_BODY:
            raise ValueError("body too large")
        return self.rfile.read(length)

    def handle_any(self):
        try:
            body = self.read_body()
        except ValueError:
            self.reply(413, b"body too large")
            self.close_connection = True
            return
        target = self.path
        if target == "/_control/channel":
            self.reply(200, ("c%d" % next(channel_numbers)).encode("ascii"))
            return
        if target.startswith("/_control/script/"):
            channel = target[len("/_control/script/"):]
            try:
                queued = []
                for line in body.decode("ascii").splitlines():
                    if line.strip():
                        status, _, hex_body = line.strip().partition(" ")
                        queued.append((int(status), bytes.fromhex(hex_body)))
            except ValueError:
                self.reply(400, b"bad script")
                return
            with lock:
                scripts[channel].extend(queued)
            self.reply(200, b"ok")
            return
        if target.startswith("/_control/log/"):
            channel = target[len("/_control/log/"):]
            with lock:
                text = "".join(logs[channel])
            self.reply(200, text.encode("latin-1"))
            return
        channel = target.lstrip("/").split("/", 1)[0]
        entry = "request %d %s %s\n" % (self.connection_number, self.command, target)
        for name, value in self.headers.items():
            entry += "header %s: %s\n" % (name, value)
        entry += "body %s\n" % body.hex()
        with lock:
            logs[channel].append(entry)
            scripted = scripts[channel].popleft() if scripts[channel] else None
        if scripted is None:
            self.reply(404, b"no scripted reply")
        else:
            self.reply(scripted[0], scripted[1], "text/html")

    do_GET = do_POST = do_PUT = do_HEAD = handle_any


def serve(state_dir):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    port_file = os.path.join(state_dir, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.server_address[1])
    with open(os.path.join(state_dir, "pid"), "w") as f:
        f.write("%d\n" % os.getpid())
    os.replace(port_file + ".tmp", port_file)
    try:
        server.serve_forever()
    finally:
        for name in ("port", "pid"):
            try:
                os.remove(os.path.join(state_dir, name))
            except FileNotFoundError:
                pass


def start(state_dir):
    os.makedirs(state_dir, exist_ok=True)
    stop(state_dir)
    port_file = os.path.join(state_dir, "port")
    if os.fork() == 0:
        os.setsid()
        if os.fork() != 0:
            os._exit(0)
        # Detach from the caller's output, which ctest waits on.
        devnull = os.open(os.devnull, os.O_RDWR)
        log = os.open(os.path.join(state_dir, "server.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(devnull, 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        try:
            serve(state_dir)
        finally:
            os._exit(0)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if os.path.exists(port_file):
            with open(port_file) as f:
                print("recording server listens on 127.0.0.1:%s" % f.read().strip())
            return 0
        time.sleep(0.05)
    print("recording server did not start; see %s" % os.path.join(state_dir, "server.log"), file=sys.stderr)
    return 1


def stop(state_dir):
    pid_file = os.path.join(state_dir, "pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and os.path.exists(pid_file):
        time.sleep(0.05)
    for name in ("port", "pid"):
        try:
            os.remove(os.path.join(state_dir, name))
        except FileNotFoundError:
            pass
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=("start", "stop", "serve"))
    parser.add_argument("--state-dir", required=True)
    args = parser.parse_args()
    if args.command == "start":
        return start(args.state_dir)
    if args.command == "stop":
        return stop(args.state_dir)
    os.makedirs(args.state_dir, exist_ok=True)
    serve(args.state_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
