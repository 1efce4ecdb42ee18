#!/usr/bin/env python3
"""Update server for tests and benchmarks: serves a folder over HTTP on 127.0.0.1 and misbehaves
on request, path by path, as a JSON rules file says; logs every request as one JSON line.

Usage: update_server.py --root DIR [--rules FILE] [--log FILE] [--port-file FILE]

The rules file is read again for every request, so a test can change it between requests. It is
an object keyed by the request path as sent (still percent-encoded, without the query); each
value is an object with any of (the key "*" holds the rule for every path not listed):
  "status": N            answer N with an empty body (or "body") instead of the file
  "redirect": "URL"      answer 302 (or "redirect_status") with this Location
  "body": "TEXT"         send these bytes (latin-1) instead of the file's
  "extra_bytes": N       append N bytes to the body (Content-Length covers them)
  "drop_after": N        announce the full Content-Length, send N bytes, close the connection
  "stall_after": N       send N bytes, then wait "stall_seconds" (default 30) before closing
  "chunked": true        send the body with chunked transfer coding, no Content-Length
  "times": N             the rule applies to the first N requests of this path only
  "then": RULE           the rule for the requests after those N (it may have "times" itself)
  "generate": N          serve N bytes of a fixed pattern (bytes 0..250 repeated) instead of a
                         file; its digest is cheap to compute on the test side
  "endless": true        send the pattern without end and without Content-Length (chunked with
                         "chunked", else until the connection closes); "endless_limit": N ends it
                         after N bytes
  "silent": true         read the request and never answer: wait "stall_seconds" (default 30),
                         then close the connection without a byte
  "no_range": true       answer a "Range" request with the whole file, as a server without range
                         support does (otherwise "bytes=N-" and "bytes=N-M" get 206 with those
                         bytes, or 416 when N is at or past the end; a request for several ranges
                         gets the whole file, as many servers and CDNs answer it)
  "wrong_range": N       answer a range with the bytes N further on (Content-Range says so)
  "long_range": N        answer a range with N bytes more than it holds (the file's next bytes,
                         "x" past its end): Content-Range names the range asked, Content-Length
                         the longer body, as a server that miscounts a range would
  "whole_as_partial": true  answer a range with the whole file as 206 ("bytes 0-(N-1)/N")
  "rate": N              send the body at N bytes per second, like a slow line
  "rate_all": N          share one line of N bytes per second among every answer whose rule has
                         "rate_all", like a player's connection: several answers at once (the
                         ranges of a delta on four connections, say) send N bytes per second
                         together, never more than one block of N / 20 bytes ahead of it
  "delay_ms": N          wait N milliseconds before answering, like a distant server's round trip
  "etag": "TEXT"         the ETag of the answer (default: one made from the file's size and time,
                         as static servers make it); a range request whose If-Range names another
                         gets the whole file with 200, as a server whose file changed answers
  "no_validator": true   answer without ETag and Last-Modified
  "etag_per_request": true  a new ETag on every answer, as CDN nodes that each make their own:
                         no If-Range ever matches
A rule under the key "*" applies to every path that has no rule of its own.
The log holds {"path", "query", "user_agent", "pragma", "method", "range", "if_range"} per request, in
arrival order, and after each answer's body {"sent_for": path, "status": N, "bytes": N}: the
body bytes that left for that request, however it ended.
The port is printed on stdout (and written to --port-file) once the server listens.
"""
import argparse
import json
import os
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATTERN_PERIOD = 251
SEND_BLOCK = 1 << 20


class Settings:
    root = "."
    rules_file = None
    log_file = None
    lock = threading.Lock()
    hits = {}
    answers = 0
    shared_line_free = 0.0  # when the line of the "rate_all" answers takes its next block


def load_rules():
    if not Settings.rules_file or not os.path.exists(Settings.rules_file):
        return {}
    try:
        with open(Settings.rules_file, "rb") as f:
            text = f.read().decode("utf-8")
        return json.loads(text) if text.strip() else {}
    except (OSError, ValueError):
        return {}


def take_shared_line(length, rate):
    """Books the shared line for a block of `length` bytes at `rate` bytes per second and returns
    when the block may leave: an idle line earns no credit, so a burst never exceeds one block."""
    with Settings.lock:
        now = time.monotonic()
        start = max(now, Settings.shared_line_free)
        Settings.shared_line_free = start + length / rate
    return start


def pattern_block(offset, length):
    """Bytes [offset, offset + length) of the endless 0..250 pattern."""
    start = offset % PATTERN_PERIOD
    repeats = (start + length) // PATTERN_PERIOD + 1
    whole = bytes(range(PATTERN_PERIOD)) * repeats
    return whole[start:start + length]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        # Headers and body leave in separate writes; without this every small response waits
        # for the client's delayed acknowledgement.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        raw_path, _, query = self.path.partition("?")
        self.write_log(raw_path, query)
        rule = self.rule_for(raw_path)
        self.raw_path = raw_path
        self.validators = (None, None)
        with Settings.lock:
            Settings.answers += 1
            self.number = Settings.answers
        if "delay_ms" in rule:
            time.sleep(int(rule["delay_ms"]) / 1000.0)
        if rule.get("silent"):
            time.sleep(float(rule.get("stall_seconds", 30)))
            self.cut_connection()
            return
        if rule.get("endless"):
            self.send_endless(rule)
            return
        if "redirect" in rule:
            self.send_response(int(rule.get("redirect_status", 302)))
            self.send_header("Location", rule["redirect"])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if "status" in rule:
            self.send_bytes(int(rule["status"]), rule.get("body", "").encode("latin-1"), rule)
            return
        if "body" in rule:
            self.send_bytes(200, rule["body"].encode("latin-1"), rule)
            return
        if "generate" in rule:
            self.send_generated(int(rule["generate"]), rule)
            return
        self.send_file(raw_path, rule)

    def write_log(self, raw_path, query):
        record = {
            "method": self.command,
            "path": raw_path,
            "query": query,
            "user_agent": self.headers.get("User-Agent", ""),
            "pragma": self.headers.get("Pragma", ""),
            "range": self.headers.get("Range", ""),
            "if_range": self.headers.get("If-Range", ""),
        }
        self.append_log(record)

    def append_log(self, record):
        line = json.dumps(record) + "\n"
        if Settings.log_file:
            with Settings.lock:
                with open(Settings.log_file, "a", encoding="utf-8") as f:
                    f.write(line)

    def rule_for(self, raw_path):
        rules = load_rules()
        rule = rules.get(raw_path, rules.get("*"))
        if not isinstance(rule, dict):
            return {}
        with Settings.lock:
            key = (raw_path, json.dumps(rule, sort_keys=True))
            seen = Settings.hits.get(key, 0)
            Settings.hits[key] = seen + 1
        while "times" in rule and seen >= int(rule["times"]):
            seen -= int(rule["times"])
            rule = rule.get("then", {})
        return rule

    def local_file(self, raw_path):
        relative = urllib.parse.unquote_to_bytes(raw_path).lstrip(b"/")
        root = os.path.realpath(os.fsencode(Settings.root))
        full = os.path.realpath(os.path.join(root, relative))
        if not full.startswith(root + b"/") or not os.path.isfile(full):
            return None
        return full

    def send_file(self, raw_path, rule):
        full = self.local_file(raw_path)
        if full is None:
            self.send_bytes(404, b"not found", {})
            return
        size = os.path.getsize(full)
        self.validators = (f'"{int(os.path.getmtime(full)):x}-{size:x}"',
                           self.date_time_string(int(os.path.getmtime(full))))
        with open(full, "rb") as f:
            def read(offset, length):
                f.seek(offset)
                return f.read(length)
            self.send_body(size, read, rule)

    def send_generated(self, size, rule):
        self.validators = (f'"pattern-{size:x}"', self.date_time_string(0))
        self.send_body(size, pattern_block, rule)

    def send_endless(self, rule):
        chunked = bool(rule.get("chunked"))
        limit = int(rule["endless_limit"]) if "endless_limit" in rule else None
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        offset = 0
        try:
            while limit is None or offset < limit:
                length = SEND_BLOCK if limit is None else min(SEND_BLOCK, limit - offset)
                self.send_block(pattern_block(offset, length), chunked)
                offset += length
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
                self.wfile.flush()
            else:
                self.cut_connection()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def send_bytes(self, status, data, rule):
        self.send_body(len(data), lambda offset, length: data[offset:offset + length], rule, status)

    def validators_of(self, rule):
        """The (ETag, Last-Modified) this answer carries; None for either it leaves out."""
        if rule.get("no_validator"):
            return None, None
        etag, modified = self.validators
        if rule.get("etag_per_request"):
            etag = f'"node-{self.number}"'
        return rule.get("etag", etag), modified

    def asked_range(self, rule, total):
        """The (first, last) of a single "Range: bytes=N-" or "bytes=N-M" header this answer
        honours, or None for the whole body: also when its If-Range names another version than
        the one served."""
        asked = self.headers.get("Range", "")
        if rule.get("no_range") or not asked.startswith("bytes=") or "," in asked:
            return None
        first, dash, last = asked[len("bytes="):].partition("-")
        if not dash or not first.isdigit() or (last and not last.isdigit()) or (last and int(last) < int(first)):
            return None
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range not in self.validators_of(rule):
            return None
        return int(first), min(int(last), total - 1) if last else total - 1

    def send_body(self, size, read, rule, status=200):
        extra = int(rule.get("extra_bytes", 0))
        total = size + extra
        chunked = bool(rule.get("chunked"))
        asked = self.asked_range(rule, total) if status == 200 else None
        if asked is not None and asked[0] >= total:
            self.send_response(416)
            self.send_header("Content-Range", f"bytes */{total}")
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.log_sent(416, 0)
            return
        partial = asked is not None
        status = 206 if partial else status
        start, end = asked if partial else (0, total - 1)
        if partial and rule.get("whole_as_partial"):
            start, end = 0, total - 1
        if partial and "wrong_range" in rule:
            shift = int(rule["wrong_range"])
            start, end = min(start + shift, total - 1), min(end + shift, total - 1)
        body_end = end + int(rule.get("long_range", 0)) if partial else end
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        etag, modified = self.validators_of(rule) if status in (200, 206) else (None, None)
        if etag:
            self.send_header("ETag", etag)
        if modified:
            self.send_header("Last-Modified", modified)
        if partial:
            self.send_header("Content-Range", f"bytes {start}-{end}/{total}")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(body_end + 1 - start))
        self.end_headers()
        # The cut rules count the bytes of this answer, wherever in the file it starts.
        limit = body_end + 1
        if "drop_after" in rule:
            limit = min(limit, start + int(rule["drop_after"]))
        if "stall_after" in rule:
            limit = min(limit, start + int(rule["stall_after"]))
        rate = int(rule.get("rate", 0))
        rate_all = int(rule.get("rate_all", 0))
        # A limited answer leaves in blocks of a twentieth of a second at its lowest rate.
        block_length = max(rate // 20, 1) if rate else SEND_BLOCK
        if rate_all:
            block_length = min(block_length, max(rate_all // 20, 1))
        began = time.monotonic()
        offset = start
        try:
            while offset < limit:
                length = min(block_length, limit - offset)
                if rate_all:
                    wait = take_shared_line(length, rate_all) - time.monotonic()
                    if wait > 0:
                        time.sleep(wait)
                if offset < size:
                    block = read(offset, min(length, size - offset))
                else:
                    block = b""
                block += b"x" * (length - len(block))
                self.send_block(block, chunked)
                offset += length
                if rate:
                    ahead = (offset - start) / rate - (time.monotonic() - began)
                    if ahead > 0:
                        time.sleep(ahead)
            if limit < body_end + 1:
                self.wfile.flush()
                if "stall_after" in rule:
                    time.sleep(float(rule.get("stall_seconds", 30)))
                self.cut_connection()
                return
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        finally:
            self.log_sent(status, offset - start)

    def log_sent(self, status, count):
        self.append_log({"sent_for": self.raw_path, "status": status, "bytes": count})

    def send_block(self, block, chunked):
        if chunked:
            self.wfile.write(b"%x\r\n" % len(block) + block + b"\r\n")
        else:
            self.wfile.write(block)

    def cut_connection(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser(description="test update server")
    parser.add_argument("--root", required=True)
    parser.add_argument("--rules")
    parser.add_argument("--log")
    parser.add_argument("--port-file")
    args = parser.parse_args()
    Settings.root = args.root
    Settings.rules_file = args.rules
    Settings.log_file = args.log
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(port))
        os.replace(args.port_file + ".tmp", args.port_file)
    print(port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
