#!/usr/bin/env python3
"""A scriptable HTTP server on loopback that records every request.

Tests talk to it over HTTP. Each test uses its own channel: the first segment
of the request target ("/CHANNEL/..."), so tests running at the same time do
not see each other's requests or replies.

  POST /_control/channel          a channel name never handed out before.
  POST /_control/script/CHANNEL   body: one reply per line, queued and used
                                  in order by the channel's requests:
      STATUS HEXBODY              the reply (HEXBODY may be empty)
      delay SECONDS STATUS HEXBODY    the same reply after a pause
      trickle STATUS HEXBODY      the head at once, then the body one byte
                                  per second
      reset STATUS HEXBODY KEEP   the head announcing the whole body, its
                                  first KEEP bytes, then a TCP reset
      cut STATUS HEXBODY KEEP     the same, then an orderly close (FIN)
      large STATUS SIZE           SIZE bytes of "x", streamed in pieces
      refuse                      no reply: a TCP reset at once
      hold [SECONDS]              no reply until the client goes away (at
                                  most SECONDS, default 600), then a close
      initialise SCANID [SECONDS] an initialise reply with one unknown
                                  static id per digest of the request's
                                  "md5s" field ("SCANID|-1,-2,...|..."),
                                  after a pause of SECONDS when given
                                  Replies other than plain ones close the
                                  connection afterwards.
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
import base64
import collections
import http.server
import itertools
import os
import select
import signal
import socket
import struct
import sys
import threading
import time

MAX_BODY = 64 * 1024 * 1024
MAX_HOLD_SECONDS = 600
# Scripted bodies are kept in memory; large replies are generated instead.
MAX_SCRIPTED_BODY = 16 * 1024 * 1024
MAX_LARGE_REPLY = 1024 * 1024 * 1024
PIECE = b"x" * 65536

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
                queued = [parse_script_line(line) for line in body.decode("ascii").splitlines() if line.strip()]
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
            self.play(scripted, body)

    def head(self, status, length):
        self.send_response(status)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(length))
        self.end_headers()
        self.wfile.flush()

    def reset_connection(self):
        # SO_LINGER with a zero time: closing sends RST instead of FIN. The
        # descriptor closes once the handler's streams are closed too.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def client_gone(self, timeout):
        """Waits up to `timeout` seconds; True when the client has closed."""
        readable, _, _ = select.select([self.connection], [], [], timeout)
        if not readable:
            return False
        try:
            gone = self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True
        if not gone:
            # Bytes the client sent ahead stay unread; only the pause counts.
            time.sleep(timeout)
        return gone

    def play(self, scripted, request_body):
        kind = scripted[0]
        if kind == "reply":
            _, status, body = scripted
            self.reply(status, body, "text/html")
            return
        self.close_connection = True
        try:
            if kind == "delay":
                _, seconds, status, body = scripted
                if not self.client_gone(seconds):
                    self.reply(status, body, "text/html")
            elif kind == "trickle":
                _, status, body = scripted
                self.head(status, len(body))
                for i in range(len(body)):
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                    if i + 1 < len(body) and self.client_gone(1.0):
                        return
            elif kind in ("reset", "cut"):
                _, status, body, keep = scripted
                self.head(status, len(body))
                self.wfile.write(body[:keep])
                self.wfile.flush()
                time.sleep(0.2)
                if kind == "reset":
                    self.reset_connection()
            elif kind == "large":
                _, status, size = scripted
                self.head(status, size)
                left = size
                while left > 0:
                    n = min(left, len(PIECE))
                    self.wfile.write(PIECE[:n])
                    left -= n
            elif kind == "refuse":
                self.reset_connection()
            elif kind == "hold":
                _, seconds = scripted
                deadline = time.monotonic() + seconds
                while time.monotonic() < deadline and not self.client_gone(min(1.0, deadline - time.monotonic())):
                    pass
            elif kind == "initialise":
                _, scan_id, seconds = scripted
                if seconds > 0 and self.client_gone(seconds):
                    return
                count = initialise_digest_count(request_body)
                ids = ",".join("-%d" % (i + 1) for i in range(count))
                self.reply(200, ("%s|%s|2026-12-08 12:00:00|127.0.0.1" % (scan_id, ids)).encode("latin-1"),
                           "text/html")
        except OSError:
            # The client went away mid-reply; nothing more to do.
            pass

    do_GET = do_POST = do_PUT = do_HEAD = handle_any


def parse_script_line(line):
    """One script line as a tuple; ValueError when it is malformed."""
    words = line.split()
    if not words:
        raise ValueError("empty")

    def body_of(hex_text):
        body = bytes.fromhex(hex_text)
        if len(body) > MAX_SCRIPTED_BODY:
            raise ValueError("scripted body too large")
        return body

    kind = words[0]
    if kind[0].isdigit():
        if len(words) > 2:
            raise ValueError("extra words")
        return ("reply", int(kind), body_of(words[1] if len(words) > 1 else ""))
    if kind == "delay" and len(words) in (3, 4):
        return ("delay", min(float(words[1]), MAX_HOLD_SECONDS), int(words[2]),
                body_of(words[3] if len(words) > 3 else ""))
    if kind == "trickle" and len(words) in (2, 3):
        return ("trickle", int(words[1]), body_of(words[2] if len(words) > 2 else ""))
    if kind in ("reset", "cut") and len(words) == 4:
        return (kind, int(words[1]), body_of(words[2]), int(words[3]))
    if kind == "large" and len(words) == 3:
        size = int(words[2])
        if not 0 <= size <= MAX_LARGE_REPLY:
            raise ValueError("size")
        return ("large", int(words[1]), size)
    if kind == "refuse" and len(words) == 1:
        return ("refuse",)
    if kind == "hold" and len(words) in (1, 2):
        return ("hold", min(float(words[1]), MAX_HOLD_SECONDS) if len(words) > 1 else MAX_HOLD_SECONDS)
    if kind == "initialise" and len(words) in (2, 3):
        return ("initialise", words[1], min(float(words[2]), MAX_HOLD_SECONDS) if len(words) > 2 else 0.0)
    raise ValueError("unknown script line")


def initialise_digest_count(body):
    """The number of 16-byte digests in the "md5s" field of a form body."""
    for field in body.split(b"&"):
        name, _, value = field.partition(b"=")
        if name == b"md5s":
            padded = value + b"=" * (-len(value) % 4)
            try:
                return len(base64.urlsafe_b64decode(padded)) // 16
            except ValueError:
                return 0
    return 0


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
