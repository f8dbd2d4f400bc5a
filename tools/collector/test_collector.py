"""Tests of the test collector itself, run natively against a collector on
an ephemeral loopback port with Python's own TLS client."""

import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import collector as col  # noqa: E402

HEADERS = {"User-Agent": "Mirto_Win0.0.3", "Content-Type": "application/octet-stream"}
LEVEL_EVENT = ('{"name":"level","module":"DodeZarevuze","index":"game_analysis-A1",'
               '"identify":"u9","properties":{"identifyType":"user","level":7,'
               '"ga_ver":"0.0.3","device":"Windows"}}')


def encode(text):
    """The library's body encoding: every byte but ASCII letters and digits
    becomes %xx in lower case."""
    return "".join(chr(b) if chr(b).isascii() and chr(b).isalnum() else "%%%02x" % b
                   for b in text.encode("utf-8")).encode("ascii")


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.fail("openssl is not installed (scripts/bootstrap.sh installs it)")
    folder = tmp_path_factory.mktemp("certs")
    subprocess.run(["sh", os.path.join(HERE, "make_certs.sh"), str(folder)],
                   check=True, capture_output=True)
    return folder


@pytest.fixture
def collector(certs):
    c = col.Collector(0, str(certs / "server.pem"), str(certs / "server.key")).start()
    yield c
    c.stop()


def client_context(certs):
    return ssl.create_default_context(cafile=str(certs / "ca.pem"))


def connect(collector, certs, name="localhost"):
    raw = socket.create_connection(("127.0.0.1", collector.port), timeout=10)
    return client_context(certs).wrap_socket(raw, server_hostname=name)


def https(collector, certs):
    return http.client.HTTPSConnection("localhost", collector.port,
                                       context=client_context(certs), timeout=10)


def post(conn, path="/event", body=None, headers=HEADERS):
    conn.request("POST", path, encode(LEVEL_EVENT) if body is None else body, dict(headers))
    resp = conn.getresponse()
    resp.read()
    return resp


def raw_request(path="/event", body=b"abc"):
    return (b"POST " + path.encode() + b" HTTP/1.1\r\nHost: localhost\r\n"
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


class TestCertificates:
    def test_server_certificate_valid_for_every_test_name(self, collector, certs):
        for name in ("localhost", "collector.test", "other.test"):
            with connect(collector, certs, name) as s:
                assert s.version() is not None
        assert [c["sni"] for c in collector.wait_for_connections(3)] == [
            "localhost", "collector.test", "other.test"]

    @pytest.mark.parametrize("pair", ["untrusted-server", "selfsigned"])
    def test_negative_certificates_are_not_trusted_by_the_test_ca(self, certs, pair):
        bad = col.Collector(0, str(certs / (pair + ".pem")), str(certs / (pair + ".key"))).start()
        try:
            with pytest.raises(ssl.SSLCertVerificationError):
                connect(bad, certs)
            conns = bad.wait_for_connections(1)
            assert conns[0]["handshake_error"] and conns[0]["requests"] == 0
            # the negative certificates still name the host: only the chain fails
            ctx = ssl.create_default_context(cafile=str(certs / (pair + ".pem")) if pair ==
                                             "selfsigned" else str(certs / "untrusted-ca.pem"))
            with ctx.wrap_socket(socket.create_connection(("127.0.0.1", bad.port), timeout=10),
                                 server_hostname="collector.test"):
                pass
        finally:
            bad.stop()

    def test_second_run_keeps_the_files(self, certs):
        before = {p.name: p.read_bytes() for p in certs.iterdir()}
        out = subprocess.run(["sh", os.path.join(HERE, "make_certs.sh"), str(certs)],
                             check=True, capture_output=True, text=True)
        assert "up to date" in out.stdout
        assert {p.name: p.read_bytes() for p in certs.iterdir()} == before

    def test_broken_set_is_rebuilt(self, certs, tmp_path):
        for p in certs.iterdir():
            shutil.copy(p, tmp_path / p.name)
        # a key that does not belong to its certificate
        shutil.copy(certs / "selfsigned.key", tmp_path / "server.key")
        subprocess.run(["sh", os.path.join(HERE, "make_certs.sh"), str(tmp_path)],
                       check=True, capture_output=True)
        c = col.Collector(0, str(tmp_path / "server.pem"), str(tmp_path / "server.key")).start()
        try:
            with connect(c, tmp_path):
                pass
        finally:
            c.stop()


class TestRecording:
    def test_request_is_recorded_and_decoded(self, collector, certs):
        resp = post(https(collector, certs))
        assert resp.status == 200
        (rec,) = collector.wait_for(1)
        assert (rec["method"], rec["path"], rec["answer"]) == ("POST", "/event", 200)
        names = [k for k, _ in rec["headers"]]
        assert names.index("User-Agent") < names.index("Content-Type")
        assert ["Content-Type", "application/octet-stream"] in rec["headers"]
        assert rec["body"] == encode(LEVEL_EVENT)
        assert rec["text"] == LEVEL_EVENT
        assert list(rec["json"]) == ["name", "module", "index", "identify", "properties"]
        assert rec["json"]["properties"]["level"] == 7
        assert rec["body_alphabet_ok"] and rec["kind"] == "level event" and rec["problems"] == []
        assert rec["client"][0] == "127.0.0.1" and rec["sni"] == "localhost"
        assert rec["time_wall"] > 0 and rec["time_monotonic"] > 0

    def test_sni_name_is_recorded(self, collector, certs):
        with connect(collector, certs, "localhost") as s:
            s.sendall(raw_request())
            assert read_head(s).startswith(b"HTTP/1.1 200")
        assert collector.wait_for(1)[0]["sni"] == "localhost"

    @pytest.mark.parametrize("body, failed_stage", [
        (b"%7b%zz", "percent_error"),
        (b"%7b%22%ff%22%7d", "utf8_error"),
        (b"%7b%22a%22%3a%7d", "json_error"),
        (b"%7b%22a%22%3a1%2c%22a%22%3a2%7d", "json_error"),  # duplicate key
        (b"%7b%22a%22%3a%22%1b%22%7d", "json_error"),  # raw ESC inside a string
    ])
    def test_decoding_failures_are_recorded(self, collector, certs, body, failed_stage):
        post(https(collector, certs), body=body)
        rec = collector.wait_for(1)[0]
        stages = ["percent_error", "utf8_error", "json_error"]
        for stage in stages:
            assert bool(rec[stage]) == (stage == failed_stage), stage
        assert rec["json"] is None and rec["kind"] == "unknown" and rec["problems"]

    def test_keep_alive_requests_share_one_connection(self, collector, certs):
        conn = https(collector, certs)
        assert post(conn).status == 200
        assert post(conn, path="/identify").status == 200
        first, second = collector.wait_for(2)
        assert first["connection"] == second["connection"]
        assert (first["request_on_connection"], second["request_on_connection"]) == (1, 2)
        assert [r["path"] for r in collector.records()] == ["/event", "/identify"]
        assert len(collector.connections()) == 1

    def test_failed_handshake_does_not_stop_the_server(self, collector, certs):
        with socket.create_connection(("127.0.0.1", collector.port), timeout=10) as s:
            s.sendall(b"GET / HTTP/1.1\r\n\r\n")   # plain HTTP on the TLS port
            try:
                s.recv(100)
            except ConnectionResetError:
                pass
        assert collector.wait_for_connections(1)[0]["handshake_error"]
        assert post(https(collector, certs)).status == 200
        assert len(collector.wait_for(1)) == 1

    def test_silent_client_does_not_hold_up_the_accept_loop(self, collector, certs):
        with socket.create_connection(("127.0.0.1", collector.port), timeout=10):
            # connected, handshake never started
            assert post(https(collector, certs)).status == 200
            assert collector.wait_for(1)[0]["connection"] == 2

    def test_clear_forgets_records(self, collector, certs):
        post(https(collector, certs))
        collector.wait_for(1)
        collector.clear()
        assert collector.records() == []
        post(https(collector, certs))
        assert collector.wait_for(1)[0]["seq"] == 2


class TestScript:
    def test_sequence_then_last_entry_repeats(self, collector, certs):
        collector.set_script([500, 500, 200])
        conn = https(collector, certs)
        statuses = [post(conn).status for _ in range(5)]
        assert statuses == [500, 500, 200, 200, 200]
        assert [r["answer"] for r in collector.wait_for(5)] == statuses

    @pytest.mark.parametrize("status", [200, 204, 301, 404, 500])
    def test_every_answer_has_content_length(self, collector, certs, status):
        collector.set_script([status])
        with connect(collector, certs) as s:
            s.sendall(raw_request())
            head = read_head(s).decode("ascii")
        assert head.startswith("HTTP/1.1 %d " % status)
        assert "\r\nContent-Length: " in head

    def test_close_answers_nothing(self, collector, certs):
        collector.set_script(["close", 200])
        with connect(collector, certs) as s:
            s.sendall(raw_request())
            assert read_head(s) == b""
        assert collector.wait_for(1)[0]["answer"] == "close"
        assert post(https(collector, certs)).status == 200

    def test_hold_blocks_neither_other_connections_nor_stop(self, collector, certs):
        collector.set_script(["hold", 200])
        held = connect(collector, certs)
        held.sendall(raw_request())
        collector.wait_for(1)
        assert post(https(collector, certs)).status == 200
        assert [r["answer"] for r in collector.wait_for(2)] == ["hold", 200]

        stopper = threading.Thread(target=collector.stop)
        stopper.start()
        stopper.join(30)
        assert not stopper.is_alive()
        assert read_head(held) == b""   # closed without any answer
        held.close()
        assert {c["state"] for c in collector.connections()} == {"closed"}

    def test_bad_entries_are_refused(self, collector):
        for bad in (["wait"], [99], [], [True]):
            with pytest.raises(ValueError):
                collector.set_script(bad)
        collector.set_script(["500", " hold", "CLOSE"])   # CLI spelling is accepted
        collector.set_script(["200-Cut", "200-stall ", "TRICKLE", "endless"])
        with pytest.raises(ValueError):
            collector.set_script(["200-cutt"])


def head_length(head):
    """The Content-Length of a response head (bytes), or None."""
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return int(value)
    return None


def stop_in_time(collector, low=0.0, high=3.0):
    """Stop the collector from another thread; fail unless it takes between
    `low` and `high` seconds."""
    started = time.monotonic()
    stopper = threading.Thread(target=collector.stop)
    stopper.start()
    stopper.join(30)
    took = time.monotonic() - started
    assert not stopper.is_alive(), "stop() did not return"
    assert low <= took < high, took
    return took


def wait_closed(collector, timeout):
    """Wait until the collector's only connection is closed, e.g. after the
    client went away in the middle of an answer."""
    deadline = time.monotonic() + timeout
    while collector.connections()[0]["state"] != "closed":
        assert time.monotonic() < deadline, "still answering a client that left"
        time.sleep(0.02)


class TestHostileAnswers:
    def test_cut_sends_the_head_then_closes_before_the_body(self, collector, certs):
        collector.set_script(["200-cut", 200])
        with connect(collector, certs) as s:
            s.sendall(raw_request())
            data = read_head(s)
            head, _, rest = data.partition(b"\r\n\r\n")
            assert head.startswith(b"HTTP/1.1 200 ") and head_length(head) > 0
            while True:          # EOF, with none of the promised body
                chunk = s.recv(4096)
                if not chunk:
                    break
                rest += chunk
            assert rest == b""
        assert collector.wait_for(1)[0]["answer"] == "200-cut"
        assert post(https(collector, certs)).status == 200

    def test_late_records_the_request_before_it_answers_200(self, collector, certs):
        collector.set_script(["200-late"])
        s = connect(collector, certs)
        started = time.monotonic()
        s.sendall(raw_request())
        head = read_head(s)
        answered = time.monotonic() - started
        assert head.startswith(b"HTTP/1.1 200 ")
        assert 0.028 <= answered < 2.0, answered
        assert collector.wait_for(1)[0]["answer"] == "200-late"
        s.close()

    def test_stall_sends_the_head_then_nothing_until_stop(self, collector, certs):
        collector.set_script(["200-stall"])
        s = connect(collector, certs)
        s.sendall(raw_request())
        head = read_head(s)
        assert head.startswith(b"HTTP/1.1 200 ") and head.endswith(b"\r\n\r\n")
        assert head_length(head) > 0
        s.settimeout(1.5)
        with pytest.raises(socket.timeout):
            s.recv(4096)
        assert collector.wait_for(1)[0]["answer"] == "200-stall"
        assert [c["state"] for c in collector.connections()] == ["held"]
        s.settimeout(10)
        stop_in_time(collector)
        assert s.recv(4096) == b""      # released: closed, still without a body
        s.close()

    def test_trickle_sends_about_one_byte_a_second(self, collector, certs):
        collector.set_script(["trickle"])
        s = connect(collector, certs)
        s.sendall(raw_request())
        got = b""
        deadline = time.monotonic() + 3.0
        while time.monotonic() < deadline:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = s.recv(4096)
            except socket.timeout:
                break
            assert chunk, "closed while trickling"
            got += chunk
        assert 2 <= len(got) <= 5, got
        assert b"HTTP/1.1 200 OK\r\n".startswith(got)
        (rec,) = collector.wait_for(1)
        assert rec["answer"] == "trickle" and len(got) <= rec["streamed_bytes"] <= 5
        s.settimeout(10)
        stop_in_time(collector, high=2.0)
        while s.recv(4096):
            pass
        s.close()
        assert rec["streamed_bytes"] <= 6

    def test_trickle_ends_when_the_client_leaves(self, collector, certs, monkeypatch):
        monkeypatch.setattr(col, "TRICKLE_INTERVAL", 0.05)
        collector.set_script(["trickle"])
        with connect(collector, certs) as s:
            s.sendall(raw_request())
            assert s.recv(1) == b"H"
        wait_closed(collector, 3.0)
        count = collector.wait_for(1)[0]["streamed_bytes"]
        assert 1 <= count < len(b"HTTP/1.1 200 OK\r\nServer: mirto-collector\r\n")

    def test_endless_streams_until_the_client_leaves(self, collector, certs):
        collector.set_script(["endless"])
        s = connect(collector, certs)
        s.sendall(raw_request())
        data = read_head(s)
        head, _, body = data.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200 ") and head_length(head) >= 10 ** 12
        while len(body) < 2 ** 20 + 1:
            chunk = s.recv(65536)
            assert chunk, "stream ended after %d bytes" % len(body)
            body += chunk
        (rec,) = collector.wait_for(1)
        # the count runs ahead of the client by at most what the buffers hold
        assert len(body) <= rec["streamed_bytes"] <= len(body) + 2 ** 24
        s.close()
        wait_closed(collector, 5.0)
        count = rec["streamed_bytes"]
        time.sleep(0.2)
        assert rec["streamed_bytes"] == count >= len(body)

    def test_hostile_answers_block_neither_others_nor_stop(self, collector, certs):
        entries = ["200-stall", "trickle", "endless"]
        collector.set_script(entries + [200])
        clients = []
        for n in range(len(entries)):
            s = connect(collector, certs)
            s.sendall(raw_request())
            clients.append(s)
            collector.wait_for(n + 1)  # keep the order of the entries
        # the endless client reads nothing: the collector's writes block
        assert post(https(collector, certs)).status == 200
        assert [r["answer"] for r in collector.wait_for(4)] == entries + [200]
        stop_in_time(collector)
        assert {c["state"] for c in collector.connections()} == {"closed"}
        for s in clients:
            s.close()


def analyse(body=None, path="/event", headers=HEADERS, method="POST"):
    body = encode(LEVEL_EVENT) if body is None else body
    return col.analyse_request(method, path, list(headers.items()), body)


def level_with(transform):
    return encode(transform(LEVEL_EVENT))


class TestValidate:
    def test_correct_level_event_passes(self):
        rec = analyse()
        assert rec["kind"] == "level event"
        assert col.validate(rec) == []

    def test_validate_checks_the_recorded_request_not_its_stored_verdict(self, collector, certs):
        post(https(collector, certs))
        rec = dict(collector.wait_for(1)[0])
        assert col.validate(rec) == []
        rec["body"] = rec["body"].replace(b"%3a7%2c", b"%3a%227%22%2c")
        assert col.validate(rec)

    @pytest.mark.parametrize("name, body, words", [
        ("quoted integer", level_with(lambda t: t.replace('"level":7', '"level":"7"')),
         ['"level"', "integer", "string"]),
        ("boolean as integer", level_with(lambda t: t.replace('"level":7', '"level":true')),
         ['"level"', "boolean"]),
        ("missing key", level_with(lambda t: t.replace(',"device":"Windows"', "")),
         ["missing", "device"]),
        ("keys out of order", level_with(lambda t: t.replace(
            '"level":7,"ga_ver":"0.0.3"', '"ga_ver":"0.0.3","level":7')), ["order"]),
        ("envelope out of order", level_with(lambda t: t.replace(
            '"name":"level","module":"DodeZarevuze"', '"module":"DodeZarevuze","name":"level"')),
         ["envelope", "order"]),
        ("upper-case hex", encode(LEVEL_EVENT).replace(b"%7b", b"%7B", 1), ["offset 0"]),
        ("raw hyphen", encode(LEVEL_EVENT).replace(b"%2d", b"-", 1), ["'-'"]),
        ("spaces", level_with(lambda t: t.replace('":', '": ')), ["compact"]),
        ("wrong version", level_with(lambda t: t.replace("0.0.3", "0.0.4")), ['"ga_ver"']),
        ("wrong module", level_with(lambda t: t.replace("DodeZarevuze", "Dode")), ['"module"']),
        ("wrong index", level_with(lambda t: t.replace("game_analysis-", "game-")), ['"index"']),
    ])
    def test_faulty_report_is_flagged(self, name, body, words):
        problems = col.validate(analyse(body))
        assert len(problems) == 1, problems
        for word in words:
            assert word in problems[0], (name, problems)

    def test_raw_control_character_in_a_string_is_invalid_json(self):
        rec = analyse(level_with(lambda t: t.replace('"u9"', '"u\x1b9"')))
        assert rec["json"] is None and rec["kind"] == "unknown"
        assert "control character" in rec["json_error"]
        assert rec["problems"] == ["json: " + rec["json_error"]]

    def test_escaped_control_characters_round_trip_byte_for_byte(self):
        # what the library writes for each byte 0x01-0x1F, and 0x7F left raw
        short = {0x08: "\\b", 0x09: "\\t", 0x0a: "\\n", 0x0c: "\\f", 0x0d: "\\r"}
        written = "".join(short.get(c, "\\u%04x" % c) for c in range(0x01, 0x20)) + "\x7f"
        text = LEVEL_EVENT.replace('"u9"', '"u' + written + '9"')
        rec = analyse(encode(text))
        assert rec["problems"] == [] and rec["kind"] == "level event"
        assert rec["json"]["identify"] == "u" + "".join(map(chr, range(1, 0x20))) + "\x7f9"
        assert col.compact_json(rec["json"]).encode("utf-8") == text.encode("utf-8")

    @pytest.mark.parametrize("written", [
        "\\u001B",     # upper-case hex digits
        "\\u0009",     # a byte with a two-character escape
        "\\u007f",     # 0x7F is written raw
        "\\/",         # an escape the library never writes
    ])
    def test_escape_the_library_does_not_write_is_not_compact(self, written):
        problems = analyse(level_with(lambda t: t.replace('"u9"', '"u' + written + '9"')))[
            "problems"]
        assert len(problems) == 1 and "compact" in problems[0], problems

    @pytest.mark.parametrize("change, words", [
        (dict(headers={"User-Agent": "Mirto_Win0.0.3", "Content-Type": "text/plain"}),
         ["Content-Type", "text/plain"]),
        (dict(headers={"Content-Type": "application/octet-stream"}), ["User-Agent"]),
        (dict(method="PUT"), ["PUT"]),
        (dict(path="/identify"), ["level event", "/event"]),
    ])
    def test_faulty_request_is_flagged(self, change, words):
        problems = col.validate(analyse(**change))
        assert problems and all(any(w in p for p in problems) for w in words), problems

    UUID = "0123456789abcdefghijklmnopqrstuv"
    DEVICE = {"device_name": "unknown", "device": "Windows", "network": "windows_-1",
              "provider": "unknown", "channel": "store", "system_version": "Windows 6.1",
              "ver": "1.2", "install_uuid": UUID, "persist_uuid": UUID}
    CHARGE = {"order_id": "o1", "product": "gem", "currency_type": "CNY", "payment": "card",
              "amount": 6, "virtual_currency_amount": 60}
    SAMPLES = {
        "device identify": ("/identify", None, UUID, dict(
            identifyType="mobile", width=1024, height=768, ga_ver="0.0.3", **DEVICE)),
        "user identify": ("/identify", None, "u9", dict(
            identifyType="user", mobile_identify=UUID, user_name="", width=1024,
            height=768, ga_ver="0.0.3", **DEVICE, user_type=1, user_sex=2, user_age=0)),
        "user-count identify": ("/identify", None, UUID, dict(
            identifyType="mobile", ga_ver="0.0.3", device="Windows", install_uuid=UUID,
            persist_uuid=UUID, user_count=1)),
        "server event": ("/event", "server", "u9", dict(
            identifyType="user", server='s"1', ga_ver="0.0.3", device="Windows")),
        "device charge event": ("/event", "charge", UUID, dict(
            identifyType="mobile", ga_ver="0.0.3", device="Windows", **CHARGE,
            install_uuid=UUID, persist_uuid=UUID)),
        "user charge event": ("/event", "charge", "u9", dict(
            identifyType="user", ga_ver="0.0.3", device="Windows", **CHARGE)),
    }

    def sample(self, kind):
        path, name, identify, props = self.SAMPLES[kind]
        doc = {} if name is None else {"name": name}
        doc.update(module="DodeZarevuze", index="game_analysis-A1", identify=identify,
                   properties=props)
        return path, doc

    @pytest.mark.parametrize("kind", list(SAMPLES))
    def test_each_report_kind_is_recognised(self, kind):
        path, doc = self.sample(kind)
        text = json.dumps(doc, separators=(",", ":"), ensure_ascii=False)
        rec = analyse(encode(text), path=path)
        assert rec["kind"] == kind
        assert rec["problems"] == []

    def test_user_charge_event_with_device_keys_is_flagged(self):
        path, doc = self.sample("user charge event")
        doc["properties"]["install_uuid"] = self.UUID
        text = json.dumps(doc, separators=(",", ":"))
        problems = analyse(encode(text), path=path)["problems"]
        assert problems == ["properties: unexpected keys install_uuid"]

    def test_user_identify_demographics_are_fixed(self):
        path, doc = self.sample("user identify")
        doc["properties"]["user_sex"] = 1
        text = json.dumps(doc, separators=(",", ":"))
        problems = analyse(encode(text), path=path)["problems"]
        assert len(problems) == 1 and '"user_sex"' in problems[0]


class TestCommandLine:
    def test_prints_logs_and_summarises(self, certs, tmp_path):
        log = tmp_path / "reports.jsonl"
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "collector.py"), "--port", "0",
             "--host", "127.0.0.1", "--cert", str(certs / "server.pem"),
             "--key", str(certs / "server.key"), "--log", str(log),
             "--script", "500,200", "--pretty"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            banner = proc.stdout.readline()
            port = int(banner.split("port ")[1].split(";")[0])
            conn = http.client.HTTPSConnection("localhost", port, timeout=10,
                                               context=client_context(certs))
            assert post(conn).status == 500
            # a record is printed before its answer goes out
            assert post(conn, body=level_with(lambda t: t.replace(":7", ':"7"'))).status == 200
        finally:
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=30)
        assert proc.returncode == 0, err
        heads = [line for line in out.splitlines() if line.startswith("[")]
        assert len(heads) == 2
        assert "POST /event" in heads[0] and "level event -> 500" in heads[0]
        assert '  "properties": {' in out             # indented JSON
        assert "! properties \"level\" must be a JSON integer" in out
        summary = out.strip().splitlines()[-1]
        assert summary.startswith("summary: 2 reports")
        assert "/event 2 (level event 2)" in summary and "1 failed validation" in summary
        logged = [json.loads(line) for line in log.read_text().splitlines()]
        assert [r["answer"] for r in logged] == [500, 200]
        assert logged[0]["body_text"] == encode(LEVEL_EVENT).decode()
        assert list(logged[0]["json"]["properties"]) == ["identifyType", "level", "ga_ver",
                                                         "device"]
        assert logged[1]["problems"] and not logged[0]["problems"]
