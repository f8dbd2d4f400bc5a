#!/usr/bin/python3
"""Test collection server for mirto.dll.

An HTTPS server that records every request the library makes, decodes and
checks the report in it, and answers with a scripted sequence of statuses so
that tests can drive the library's retry behaviour.

Used two ways:

* as a module from tests: ``Collector(port, certfile, keyfile).start()``;
* as a command line tool, see ``--help``.

Only the Python standard library is used.
"""

import argparse
import base64
import errno
import http
import http.server
import json
import signal
import socket
import socketserver
import ssl
import sys
import threading
import time

USER_AGENT = "Mirto_Win0.0.3"
CONTENT_TYPE = "application/octet-stream"
MODULE = "DodeZarevuze"
INDEX_PREFIX = "game_analysis-"
GA_VER = "0.0.3"

IDENTIFY_ENVELOPE = ("module", "index", "identify", "properties")
EVENT_ENVELOPE = ("name",) + IDENTIFY_ENVELOPE

S, I = str, int

# kind -> (path, event name or None, properties keys and JSON types in order)
REPORTS = {
    "device identify": ("/identify", None, [
        ("identifyType", S), ("width", I), ("height", I), ("ga_ver", S),
        ("device_name", S), ("device", S), ("network", S), ("provider", S),
        ("channel", S), ("system_version", S), ("ver", S),
        ("install_uuid", S), ("persist_uuid", S)]),
    "user identify": ("/identify", None, [
        ("identifyType", S), ("mobile_identify", S), ("user_name", S),
        ("width", I), ("height", I), ("ga_ver", S), ("device_name", S),
        ("device", S), ("network", S), ("provider", S), ("channel", S),
        ("system_version", S), ("ver", S), ("install_uuid", S),
        ("persist_uuid", S), ("user_type", I), ("user_sex", I), ("user_age", I)]),
    "user-count identify": ("/identify", None, [
        ("identifyType", S), ("ga_ver", S), ("device", S),
        ("install_uuid", S), ("persist_uuid", S), ("user_count", I)]),
    "level event": ("/event", "level", [
        ("identifyType", S), ("level", I), ("ga_ver", S), ("device", S)]),
    "server event": ("/event", "server", [
        ("identifyType", S), ("server", S), ("ga_ver", S), ("device", S)]),
    "device charge event": ("/event", "charge", [
        ("identifyType", S), ("ga_ver", S), ("device", S), ("order_id", S),
        ("product", S), ("currency_type", S), ("payment", S), ("amount", I),
        ("virtual_currency_amount", I), ("install_uuid", S), ("persist_uuid", S)]),
    "user charge event": ("/event", "charge", [
        ("identifyType", S), ("ga_ver", S), ("device", S), ("order_id", S),
        ("product", S), ("currency_type", S), ("payment", S), ("amount", I),
        ("virtual_currency_amount", I)]),
}

# Values that never vary: the library version and the device facts that the
# library always reports with their built-in defaults.
_DEVICE_FIXED = {"ga_ver": GA_VER, "device": "Windows", "device_name": "unknown",
                 "network": "windows_-1", "provider": "unknown"}
FIXED_VALUES = {
    "device identify": dict(_DEVICE_FIXED, identifyType="mobile"),
    "user identify": dict(_DEVICE_FIXED, identifyType="user",
                          user_type=1, user_sex=2, user_age=0),
    "user-count identify": {"identifyType": "mobile", "ga_ver": GA_VER,
                            "device": "Windows", "user_count": 1},
    "level event": {"identifyType": "user", "ga_ver": GA_VER, "device": "Windows"},
    "server event": {"identifyType": "user", "ga_ver": GA_VER, "device": "Windows"},
    "device charge event": {"identifyType": "mobile", "ga_ver": GA_VER, "device": "Windows"},
    "user charge event": {"identifyType": "user", "ga_ver": GA_VER, "device": "Windows"},
}
# Lower bounds that the library enforces on the game's arguments.
MINIMUMS = {"level": 0, "amount": 1, "virtual_currency_amount": 0}

_ALNUM = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
_HEX = frozenset(b"0123456789abcdefABCDEF")
_LOWER_HEX = frozenset(b"0123456789abcdef")

HANDSHAKE_TIMEOUT = 30.0
# Script entries that are words rather than statuses (see set_script).
WORD_ENTRIES = ("hold", "close", "200-cut", "200-stall", "200-late", "trickle", "endless")
CUT_LENGTH = 32                   # Content-Length promised by "200-cut" and "200-stall"
ENDLESS_LENGTH = 10 ** 12         # Content-Length promised by "endless"
TRICKLE_INTERVAL = 1.0            # seconds between the bytes of "trickle"
LATE_DELAY = 0.03                 # seconds "200-late" waits before it answers
_ENDLESS_CHUNK = b"0123456789abcdef" * 4096   # 64 KiB per write
_UNAVAILABLE = {errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT, socket.EAI_NONAME,
                getattr(socket, "EAI_ADDRFAMILY", errno.EAFNOSUPPORT)}


# ----------------------------------------------------------------------------
# Decoding and checking a report
# ----------------------------------------------------------------------------

def percent_decode(body):
    """Decode a report body.

    Returns (decoded bytes or None, alphabet_ok, error or None). The wire
    alphabet is letters, digits and '%' followed by two lower-case hex digits;
    anything else clears alphabet_ok but is still decoded where possible (a
    stray byte passes through, an upper-case escape decodes). A '%' without two
    hex digits after it cannot be decoded and gives an error.
    """
    out = bytearray()
    alphabet_ok = True
    i, n = 0, len(body)
    while i < n:
        b = body[i]
        if b == 0x25:  # '%'
            pair = body[i + 1:i + 3]
            if len(pair) < 2 or not all(c in _HEX for c in pair):
                return None, False, "bad percent escape at offset %d: %r" % (i, bytes(body[i:i + 3]))
            if not all(c in _LOWER_HEX for c in pair):
                alphabet_ok = False
            out.append(int(pair, 16))
            i += 3
            continue
        if b not in _ALNUM:
            alphabet_ok = False
        out.append(b)
        i += 1
    return bytes(out), alphabet_ok, None


def _first_alphabet_fault(body):
    i, n = 0, len(body)
    while i < n:
        b = body[i]
        if b == 0x25:
            pair = body[i + 1:i + 3]
            if len(pair) < 2 or not all(c in _LOWER_HEX for c in pair):
                return i, bytes(body[i:i + 3])
            i += 3
        elif b not in _ALNUM:
            return i, bytes([b])
        else:
            i += 1
    return None


def _no_duplicates(pairs):
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError("duplicate key %r" % key)
        seen[key] = value
    return seen


def _reject_constant(name):
    raise ValueError("non-standard JSON constant %s" % name)


def parse_json(text):
    """Parse JSON keeping key order; duplicate keys, NaN/Infinity and raw
    control characters (0x00-0x1F) inside strings are errors. The library
    escapes every control character, so a raw one means a faulty report.
    """
    decoder = json.JSONDecoder(object_pairs_hook=_no_duplicates,
                               parse_constant=_reject_constant)
    return decoder.decode(text)


_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t",
            "\n": "\\n", "\f": "\\f", "\r": "\\r"}
# the other control characters 0x01-0x1F: \u00XX with lower-case hex digits
_ESCAPES.update((chr(c), "\\u%04x" % c) for c in range(0x01, 0x20)
                if chr(c) not in _ESCAPES)


def compact_json(value):
    """The compact form the library writes: no white space; in strings the
    seven two-character escapes (\\" \\\\ \\b \\t \\n \\f \\r), \\u00XX with
    lower-case hex digits for the other bytes 0x01-0x1F, every other
    character (0x7F and non-ASCII included) as it is."""
    if isinstance(value, dict):
        return "{" + ",".join(compact_json(k) + ":" + compact_json(v)
                              for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ",".join(compact_json(v) for v in value) + "]"
    if isinstance(value, str):
        return '"' + "".join(_ESCAPES.get(c, c) for c in value) + '"'
    if value is True:
        return "true"
    if value is False:
        return "false"
    if value is None:
        return "null"
    return json.dumps(value)


def decode_body(body):
    """All decoding stages of a body, as a dict of record fields."""
    decoded, alphabet_ok, pct_error = percent_decode(body)
    out = {"body_alphabet_ok": alphabet_ok, "percent_error": pct_error,
           "decoded": decoded, "text": None, "utf8_error": None,
           "json": None, "json_error": None}
    if decoded is None:
        return out
    try:
        out["text"] = decoded.decode("utf-8")
    except UnicodeDecodeError as e:
        out["utf8_error"] = str(e)
        return out
    try:
        out["json"] = parse_json(out["text"])
    except ValueError as e:
        out["json_error"] = str(e)
    return out


def classify(doc):
    """Which of the seven reports a decoded document is, or "unknown"."""
    if not isinstance(doc, dict):
        return "unknown"
    props = doc.get("properties")
    if not isinstance(props, dict):
        return "unknown"
    id_type = props.get("identifyType")
    if "name" in doc:
        name = doc["name"]
        if name == "level":
            return "level event"
        if name == "server":
            return "server event"
        if name == "charge":
            if id_type == "mobile":
                return "device charge event"
            if id_type == "user":
                return "user charge event"
        return "unknown"
    if id_type == "user":
        return "user identify"
    if id_type == "mobile":
        if "user_count" in props or "width" not in props:
            return "user-count identify"
        return "device identify"
    return "unknown"


def _type_name(value):
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "integer"
    if isinstance(value, float):
        return "number"
    if isinstance(value, str):
        return "string"
    if value is None:
        return "null"
    if isinstance(value, list):
        return "array"
    return "object"


def _is_type(value, wanted):
    if wanted is int:
        return type(value) is int
    return isinstance(value, wanted)


def _check_keys(where, expected, actual):
    if list(expected) == list(actual):
        return []
    missing = [k for k in expected if k not in actual]
    extra = [k for k in actual if k not in expected]
    problems = []
    if missing:
        problems.append("%s: missing keys %s" % (where, ", ".join(missing)))
    if extra:
        problems.append("%s: unexpected keys %s" % (where, ", ".join(extra)))
    if not missing and not extra:
        problems.append("%s: keys out of order: got %s, expected %s"
                        % (where, ",".join(actual), ",".join(expected)))
    return problems


def _header_values(headers, name):
    return [v for k, v in headers if k.lower() == name.lower()]


def check_request(method, path, headers):
    problems = []
    if method != "POST":
        problems.append("method is %s, expected POST" % method)
    if path not in ("/identify", "/event"):
        problems.append("path %r is neither /identify nor /event" % path)
    for name, wanted in (("User-Agent", USER_AGENT), ("Content-Type", CONTENT_TYPE)):
        values = _header_values(headers, name)
        if not values:
            problems.append("no %s header" % name)
        elif len(values) > 1:
            problems.append("%s header sent %d times" % (name, len(values)))
        elif values[0] != wanted:
            problems.append("%s is %r, expected %r" % (name, values[0], wanted))
    return problems


def check_document(path, doc, text=None):
    """Problems of a decoded report; `text` (the decoded body) adds a check of
    the compact layout."""
    if not isinstance(doc, dict):
        return ["report is a JSON %s, not an object" % _type_name(doc)]
    problems = []
    if text is not None and compact_json(doc) != text:
        problems.append("report is not in compact form (white space or unusual escapes)")
    kind = classify(doc)
    if path == "/event" or (path != "/identify" and "name" in doc):
        envelope = EVENT_ENVELOPE
    else:
        envelope = IDENTIFY_ENVELOPE
    problems += _check_keys("envelope", envelope, list(doc))
    for key in envelope[:-1]:
        if key in doc and not isinstance(doc[key], str):
            problems.append('envelope "%s" must be a string, got %s' % (key, _type_name(doc[key])))
    if doc.get("module", MODULE) != MODULE:
        problems.append('"module" is %r, expected %r' % (doc["module"], MODULE))
    index = doc.get("index")
    if isinstance(index, str) and not index.startswith(INDEX_PREFIX):
        problems.append('"index" %r does not start with %r' % (index, INDEX_PREFIX))
    props = doc.get("properties")
    if "properties" in doc and not isinstance(props, dict):
        problems.append('"properties" must be an object, got %s' % _type_name(props))
    if kind == "unknown":
        problems.append("cannot tell which report this is")
        return problems
    want_path, want_name, layout = REPORTS[kind]
    if path != want_path:
        problems.append("%s sent to %s, expected %s" % (kind, path, want_path))
    problems += _check_keys("properties", [k for k, _ in layout], list(props))
    for key, wanted in layout:
        if key in props and not _is_type(props[key], wanted):
            problems.append('properties "%s" must be a JSON %s, got %s %s'
                            % (key, _type_name(wanted()), _type_name(props[key]),
                               json.dumps(props[key], ensure_ascii=False)))
    for key, value in FIXED_VALUES[kind].items():
        if key in props and props[key] != value:
            problems.append('properties "%s" is %s, expected %s'
                            % (key, json.dumps(props[key], ensure_ascii=False), json.dumps(value)))
    for key, low in MINIMUMS.items():
        if type(props.get(key)) is int and props[key] < low:
            problems.append('properties "%s" is %d, below %d' % (key, props[key], low))
    if kind == "device identify" and props.get("install_uuid") != props.get("persist_uuid"):
        problems.append('"install_uuid" and "persist_uuid" differ')
    return problems


def validate(record):
    """List of problems with a recorded request; empty when it is a correct
    report. Works from the raw method, path, headers and body of the record,
    so a record may be altered before it is checked."""
    problems = check_request(record["method"], record["path"], record["headers"])
    body = record["body"]
    if not body:
        return problems + ["empty body"]
    stages = decode_body(body)
    if not stages["body_alphabet_ok"]:
        fault = _first_alphabet_fault(body)
        where = " (first at offset %d: %r)" % fault if fault else ""
        problems.append("body is not only letters, digits and lower-case %%xx escapes%s" % where)
    for stage in ("percent_error", "utf8_error", "json_error"):
        if stages[stage]:
            return problems + ["%s: %s" % (stage.split("_")[0], stages[stage])]
    return problems + check_document(record["path"], stages["json"], stages["text"])


def analyse_request(method, path, headers, body, **extra):
    """Build a record from one request, decoded, classified and checked."""
    record = {"method": method, "path": path,
              "headers": [[k, v] for k, v in headers], "body": bytes(body)}
    record.update(decode_body(record["body"]))
    record["kind"] = classify(record["json"])
    record["problems"] = validate(record)
    record.update(extra)
    return record


def record_to_json(record):
    """A record as a JSON-serialisable dict (for the log)."""
    out = {}
    for key, value in record.items():
        if key == "body":
            out["body_base64"] = base64.b64encode(value).decode("ascii")
            try:
                out["body_text"] = value.decode("ascii")
            except UnicodeDecodeError:
                out["body_text"] = None
        elif key == "decoded":
            out["decoded_base64"] = None if value is None else base64.b64encode(value).decode("ascii")
        else:
            out[key] = value
    return out


# ----------------------------------------------------------------------------
# The server
# ----------------------------------------------------------------------------

def _normalise_entry(entry):
    if isinstance(entry, str):
        word = entry.strip().lower()
        if word in WORD_ENTRIES:
            return word
        if word.isdigit():
            entry = int(word)
    if type(entry) is int and 100 <= entry <= 999:
        return entry
    raise ValueError("script entry %r is not a status (100-999) nor one of %s"
                     % (entry, ", ".join(WORD_ENTRIES)))


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "mirto-collector"
    sys_version = ""

    def __init__(self, request, client_address, server, connection_info):
        self._connection_info = connection_info
        super().__init__(request, client_address, server)

    def log_message(self, format, *args):  # the collector prints its own lines
        pass

    def handle_one_request(self):
        self._connection_info["state"] = "idle"
        super().handle_one_request()

    def _read_body(self):
        chunked = "chunked" in (self.headers.get("Transfer-Encoding") or "").lower()
        if chunked:
            data = bytearray()
            while True:
                size_line = self.rfile.readline(1024)
                if not size_line:
                    raise ConnectionError("connection closed inside a chunked body")
                size = int(size_line.split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline(65537) not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(data)
                data += self.rfile.read(size)
                self.rfile.readline(3)
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        length = int(length)
        if length < 0:
            raise ValueError("negative Content-Length")
        body = self.rfile.read(length)
        if len(body) != length:
            raise ConnectionError("connection closed after %d of %d body bytes" % (len(body), length))
        return body

    def _serve(self):
        info = self._connection_info
        info["state"] = "request"
        arrived_mono, arrived_wall = time.monotonic(), time.time()
        try:
            body = self._read_body()
        except (ValueError, ConnectionError, OSError) as e:
            info["errors"].append("body: %s" % e)
            self.close_connection = True
            return
        collector = self.server.collector
        action = collector._next_action()
        info["requests"] += 1
        record = analyse_request(
            self.command, self.path, self.headers.items(), body,
            time_monotonic=arrived_mono, time_wall=arrived_wall,
            time_iso=time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(arrived_wall))
            + ".%03d" % int((arrived_wall % 1) * 1000),
            client=list(self.client_address[:2]), sni=info["sni"],
            connection=info["id"], request_on_connection=info["requests"],
            request_version=self.request_version, answer=action)
        if action in ("trickle", "endless"):
            record["streamed_bytes"] = 0   # goes up while the answer is sent
        collector._add_record(record)

        if action == "close":
            self.close_connection = True
            return
        if action == "hold":
            info["state"] = "held"
            collector._stopping.wait()
            self.close_connection = True
            return
        if action == "200-cut":
            # the head promises a body that never comes: the connection closes
            self.close_connection = True
            self._send(self._head(200, CUT_LENGTH))
            return
        if action == "200-stall":
            self.close_connection = True
            self._send(self._head(200, CUT_LENGTH))
            info["state"] = "held"
            collector._stopping.wait()
            return
        if action == "trickle":
            self.close_connection = True
            info["state"] = "streaming"
            self._trickle(record, self._head(200, 0))
            return
        if action == "endless":
            self.close_connection = True
            info["state"] = "streaming"
            self._endless(record)
            return
        if action == "200-late":
            time.sleep(LATE_DELAY)
            self._answer(200)
            return
        self._answer(action)

    def _head(self, status, length, content_type=None):
        lines = ["HTTP/1.1 %d %s" % (status, self._phrase(status)),
                 "Server: %s" % self.server_version,
                 "Date: %s" % self.date_time_string(),
                 "Content-Length: %d" % length]
        if content_type:
            lines.append("Content-Type: %s" % content_type)
        if self.close_connection:
            lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("ascii")

    def _send(self, data):
        self.wfile.write(data)
        self.wfile.flush()

    def _answer(self, status):
        no_body = status in (204, 304) or status < 200 or self.command == "HEAD"
        body = b"" if no_body else ("%d %s\n" % (status, self._phrase(status))).encode("ascii")
        # one write: head and body leave in a single TLS record
        self._send(self._head(status, len(body), body and "text/plain; charset=ascii") + body)

    @staticmethod
    def _phrase(status):
        try:
            return http.HTTPStatus(status).phrase
        except ValueError:
            return "Status %d" % status

    def _trickle(self, record, data):
        """Send `data` one byte every TRICKLE_INTERVAL seconds, until it is all
        sent, the client goes away or the collector stops."""
        stopping = self.server.collector._stopping
        for i in range(len(data)):
            if i and stopping.wait(TRICKLE_INTERVAL):
                return
            try:
                self._send(data[i:i + 1])
            except OSError:      # the client went away (ssl.SSLError included)
                return
            record["streamed_bytes"] += 1

    def _endless(self, record):
        """A 200 promising ENDLESS_LENGTH bytes, then body bytes as fast as the
        client takes them until it goes away or the collector stops; the body
        bytes sent are counted in record["streamed_bytes"] as they go."""
        stopping = self.server.collector._stopping
        try:
            self._send(self._head(200, ENDLESS_LENGTH, "application/octet-stream"))
            while not stopping.is_set():
                # stop() shuts the socket down, which ends a write that the
                # client is not reading
                self._send(_ENDLESS_CHUNK)
                record["streamed_bytes"] += len(_ENDLESS_CHUNK)
        except OSError:
            pass

    do_POST = do_GET = do_PUT = do_HEAD = do_DELETE = do_OPTIONS = do_PATCH = _serve


class _Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, collector, address, family):
        self.address_family = family
        self.collector = collector
        super().__init__(address, _Handler, bind_and_activate=False)
        if family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        try:
            self.server_bind()
            self.server_activate()
        except BaseException:
            self.server_close()
            raise

    def get_request(self):
        sock, addr = self.socket.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock, addr

    def process_request(self, request, client_address):
        # Runs in the accept loop: hand the socket to a thread at once, so
        # that neither a slow nor a failed TLS handshake holds the loop up.
        t = threading.Thread(target=self.collector._serve_connection,
                             args=(self, request, client_address), daemon=True)
        threads = self.collector._threads
        threads[:] = [x for x in threads if x.is_alive()]
        threads.append(t)
        t.start()


class Collector:
    """HTTPS collection server for tests.

    Collector(port, certfile, keyfile, host="127.0.0.1") -- port 0 picks a
    free port (see .port after start()); host may also be a list of
    addresses, all served on the same port.
    """

    def __init__(self, port, certfile, keyfile, host="127.0.0.1", script=(200,),
                 log_path=None, on_record=None, skip_unavailable=False):
        self.requested_port = port
        self.hosts = [host] if isinstance(host, str) else list(host)
        self.skip_unavailable = skip_unavailable
        self.skipped = []
        self.certfile, self.keyfile = certfile, keyfile
        self.log_path = log_path
        self.on_record = on_record
        self.port = None
        self.addresses = []
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._records = []
        self._connections = []
        self._live = set()
        self._threads = []
        self._servers = []
        self._stopping = threading.Event()
        self._seq = 0
        self._conn_seq = 0
        self._log = None
        self.set_script(script)
        self._ssl = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._ssl.load_cert_chain(certfile, keyfile)
        self._ssl.sni_callback = self._on_sni
        self._tls_local = threading.local()

    # --- control -------------------------------------------------------------

    def start(self):
        port = self.requested_port
        try:
            for n, host in enumerate(self.hosts):
                try:
                    info = socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM, 0,
                                              socket.AI_PASSIVE)[0]
                    server = _Server(self, info[4], info[0])
                except OSError as e:
                    # an address family this machine lacks (no IPv6) may be skipped
                    if n == 0 or not self.skip_unavailable or e.errno not in _UNAVAILABLE:
                        raise
                    self.skipped.append((host, str(e)))
                    continue
                self._servers.append(server)
                port = server.server_address[1]
                self.addresses.append((host, port))
        except BaseException:
            for server in self._servers:
                server.server_close()
            self._servers = []
            self.addresses = []
            raise
        self.port = port
        if self.log_path:
            self._log = open(self.log_path, "a", encoding="utf-8")
        for server in self._servers:
            t = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                                 daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def stop(self):
        """Stop accepting, release held requests and close every connection."""
        self._stopping.set()
        servers, self._servers = self._servers, []
        for server in servers:
            server.shutdown()
            server.server_close()
        with self._lock:
            live = list(self._live)
        for sock in live:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in self._threads:
            if t is not threading.current_thread():
                t.join(5.0)
        with self._lock:
            if self._log:
                self._log.close()
                self._log = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def set_script(self, entries):
        """Answers for the next requests, one entry per request, the last one
        repeating. An entry is one of:

        a status number (100-999): that status with a short body and
            Content-Length;
        "hold": no answer, the connection stays open until stop();
        "close": the connection is closed without an answer;
        "200-cut": the head of a 200 with Content-Length 32, then the
            connection is closed without the body;
        "200-stall": the same head, then nothing; the connection stays open
            until stop();
        "200-late": an ordinary 200, sent LATE_DELAY seconds after the
            request has arrived (and been recorded), so that a client that
            goes away meanwhile leaves a request the collector has but the
            client never saw answered;
        "trickle": the head of a 200, one byte a second (about two minutes in
            all), until the client goes away or stop();
        "endless": the head of a 200 with Content-Length 10**12, then body
            bytes as fast as the client reads them until it goes away or
            stop(); record["streamed_bytes"] counts them as they go (also
            the head bytes sent so far for "trickle").

        Strings are taken case-insensitively with surrounding spaces ignored,
        as on the command line. The record's "answer" is the status number or
        the word in lower case."""
        script = [_normalise_entry(e) for e in entries]
        if not script:
            raise ValueError("empty script")
        with self._lock:
            self._script = script
            self._script_pos = 0

    def records(self):
        with self._lock:
            return list(self._records)

    def connections(self):
        """One dict per accepted connection: id, client, sni, tls_version,
        handshake_error, requests, errors, state (handshake, open, idle,
        request, held, streaming or closed)."""
        with self._lock:
            return [dict(c) for c in self._connections]

    def clear(self):
        """Forget the records and the connection list (the script stays)."""
        with self._lock:
            self._records = []
            self._connections = [c for c in self._connections if c["state"] != "closed"]

    def wait_for(self, count, timeout=10.0):
        """Wait until at least `count` records exist; returns them. Raises
        TimeoutError naming what did arrive when the time runs out."""
        got = self._wait(lambda: self._records, count, timeout)
        if len(got) < count:
            raise TimeoutError("waited for %d requests, got %d: %s" % (
                count, len(got), [(r["path"], r["kind"], r["answer"]) for r in got]))
        return got

    def wait_for_connections(self, count, timeout=10.0):
        """Wait until at least `count` connections are past their TLS
        handshake, successful or not; returns their dicts."""
        got = self._wait(lambda: [c for c in self._connections if c["state"] != "handshake"],
                         count, timeout)
        if len(got) < count:
            raise TimeoutError("waited for %d connections, got %d" % (count, len(got)))
        return [dict(c) for c in got]

    def _wait(self, items, count, timeout):
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(items()) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._changed.wait(left)
            return list(items())

    # --- inside ---------------------------------------------------------------

    def _on_sni(self, sslobj, server_name, context):
        self._tls_local.sni = server_name

    def _next_action(self):
        with self._lock:
            action = self._script[min(self._script_pos, len(self._script) - 1)]
            self._script_pos += 1
            return action

    def _add_record(self, record):
        with self._changed:
            self._seq += 1
            record["seq"] = self._seq
            self._records.append(record)
            if self._log:
                self._log.write(json.dumps(record_to_json(record), ensure_ascii=False) + "\n")
                self._log.flush()
            self._changed.notify_all()
        if self.on_record:
            self.on_record(record)

    def _serve_connection(self, server, raw, client_address):
        info = {"id": None, "client": list(client_address[:2]), "sni": None,
                "tls_version": None, "handshake_error": None, "requests": 0,
                "errors": [], "state": "handshake", "opened_wall": time.time()}
        with self._changed:
            self._conn_seq += 1
            info["id"] = self._conn_seq
            self._connections.append(info)
            self._live.add(raw)
        sock = raw
        try:
            if self._stopping.is_set():
                return
            self._tls_local.sni = None
            raw.settimeout(HANDSHAKE_TIMEOUT)
            try:
                sock = self._ssl.wrap_socket(raw, server_side=True)
            except (ssl.SSLError, OSError) as e:
                with self._changed:
                    info["handshake_error"] = str(e) or type(e).__name__
                    info["state"] = "closed"
                    self._changed.notify_all()
                return
            sock.settimeout(None)
            with self._changed:
                self._live.discard(raw)
                self._live.add(sock)
                info["sni"] = self._tls_local.sni
                info["tls_version"] = sock.version()
                info["state"] = "open"
                self._changed.notify_all()
            try:
                _Handler(sock, client_address, server, info)
            except (OSError, ssl.SSLError) as e:
                info["errors"].append(str(e))
        finally:
            try:
                sock.close()
            except OSError:
                pass
            with self._changed:
                self._live.discard(raw)
                self._live.discard(sock)
                info["state"] = "closed"
                self._changed.notify_all()


# ----------------------------------------------------------------------------
# Command line
# ----------------------------------------------------------------------------

def _print_record(record, pretty, out, mark=None):
    print("%s[%s] #%d %s %s  %s -> %s  (from %s, sni %s)" % (
        "[%s] " % mark if mark else "",
        record["time_iso"], record["seq"], record["method"], record["path"],
        record["kind"], record["answer"], "%s:%s" % tuple(record["client"]),
        record["sni"]), file=out)
    if record["json"] is not None:
        print(json.dumps(record["json"], indent=2 if pretty else None,
                         ensure_ascii=False), file=out)
    elif record["text"] is not None:
        print(record["text"], file=out)
    else:
        print(repr(record["body"][:400]), file=out)
    for problem in record["problems"]:
        print("  ! %s" % problem, file=out)
    out.flush()


def summary_line(records):
    by_path = {}
    for r in records:
        kinds = by_path.setdefault(r["path"], {})
        kinds[r["kind"]] = kinds.get(r["kind"], 0) + 1
    parts = []
    for path in sorted(by_path):
        kinds = by_path[path]
        parts.append("%s %d (%s)" % (path, sum(kinds.values()), ", ".join(
            "%s %d" % (k, kinds[k]) for k in sorted(kinds))))
    failed = sum(1 for r in records if r["problems"])
    return "summary: %d reports received%s%s; %d failed validation" % (
        len(records), ": " if parts else "", "; ".join(parts), failed)


def main(argv=None):
    p = argparse.ArgumentParser(description="HTTPS test collector for mirto.dll reports.")
    p.add_argument("--port", type=int, default=443)
    p.add_argument("--host", action="append",
                   help="address to listen on; may repeat (default: 127.0.0.1 and ::1)")
    p.add_argument("--cert", required=True, help="server certificate (PEM)")
    p.add_argument("--key", required=True, help="its private key (PEM)")
    p.add_argument("--log", help="append every record to this JSON-lines file")
    p.add_argument("--script", default="200",
                   help="comma-separated answers: status numbers, hold, close, 200-cut, "
                        "200-stall, 200-late, trickle, endless; the last repeats")
    p.add_argument("--pretty", action="store_true", help="indent the printed JSON")
    p.add_argument("--mark-first", type=int, default=0, metavar="N",
                   help="print the first N reports with the --mark text in front")
    p.add_argument("--mark", default="marked", help="the text --mark-first shows")
    args = p.parse_args(argv)

    print_lock = threading.Lock()
    shown = [0]

    def show(record):
        with print_lock:
            shown[0] += 1
            mark = args.mark if shown[0] <= args.mark_first else None
            _print_record(record, args.pretty, sys.stdout, mark)

    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        script = [e for e in args.script.split(",") if e.strip()]
        collector = Collector(args.port, args.cert, args.key,
                              host=args.host or ["127.0.0.1", "::1"], script=script,
                              log_path=args.log, on_record=show, skip_unavailable=True)
        collector.start()
    except (ValueError, OSError, ssl.SSLError) as e:
        print("collector: %s" % e, file=sys.stderr)
        return 2
    for host, why in collector.skipped:
        print("collector: warning: not listening on %s: %s" % (host, why), file=sys.stderr)

    print("collector: listening on %s, port %d; script %s" % (
        ", ".join(h for h, _ in collector.addresses), collector.port,
        ",".join(str(e) for e in collector._script)), flush=True)
    while not stop.wait(0.5):
        pass
    collector.stop()
    print(summary_line(collector.records()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
