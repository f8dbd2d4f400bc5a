"""End-to-end harness: the shipped DLL under Wine, reporting over real TLS to the local
collector on port 443.

These tests run inside a private network namespace (scripts/test.sh arranges it), where
`localhost`, `collector.test` and `other.test` are the loopback address and port 443 is free.
The Wine prefix of the x64 build trusts the test CA; nothing outside the prefix does.

Every test runs once per architecture (the `arch` fixture, used by every fixture that starts a
game or a collector): the x86 DLL with x86 builds of the game and helper programs runs in the
same prefix, through the 64-bit loader, against the same collector. `BUILD` names the build
folder of the architecture under test.
"""

import os
import queue
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "collector"))

import collector as collector_module  # noqa: E402

BUILDS = {
    "x64": Path(os.environ.get("MIRTO_BUILD_X64", os.environ.get(
        "MIRTO_BUILD_DIR", ROOT / "build" / "windows-x64"))).resolve(),
    "x86": Path(os.environ.get("MIRTO_BUILD_X86", ROOT / "build" / "windows-x86")).resolve(),
}
BUILD = BUILDS["x64"]  # the architecture under test; the arch fixture switches it
# One prefix for both architectures: the x64 build's, where the test CA is trusted.
PREFIX = Path(os.environ.get("MIRTO_WINEPREFIX", BUILDS["x64"] / "wineprefix")).resolve()
WINE_RUN = ROOT / "scripts" / "wine-run.sh"
NULL = "-"


@pytest.fixture(scope="session", params=["x64", "x86"])
def arch(request):
    """The architecture under test. Where this machine cannot run 32-bit code, the x86 tests
    are skipped (tests/conftest.py says so in one line)."""
    global BUILD
    BUILD = BUILDS[request.param]
    if not (BUILD / "game_driver.exe").is_file():
        pytest.fail("no %s build with its tests in %s" % (request.param, BUILD))
    yield request.param
    BUILD = BUILDS["x64"]


def wide(text):
    """A text for the wide functions: its UTF-16 code units (lone surrogates allowed)."""
    units = text.encode("utf-16-le", "surrogatepass")
    return "u" + "".join("%02x%02x" % (units[i + 1], units[i]) for i in range(0, len(units), 2))


def utf8(text):
    """A text for the Unity functions: UTF-8 bytes, or raw bytes as given."""
    data = text if isinstance(text, bytes) else text.encode("utf-8")
    return "b" + data.hex()


def wine_env(extra=None):
    env = dict(os.environ, MIRTO_BUILD_DIR=str(BUILD), MIRTO_WINEPREFIX=str(PREFIX))
    env.update(extra or {})
    return env


def run_windows(program, *args, env=None, timeout=120):
    return subprocess.run([str(WINE_RUN), str(BUILD / program), *map(str, args)],
                          env=wine_env(env), capture_output=True, timeout=timeout)


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    folder = BUILDS["x64"] / "e2e-certs"
    subprocess.run([str(ROOT / "tools" / "collector" / "make_certs.sh"), str(folder)],
                   check=True, capture_output=True)
    return folder


@pytest.fixture(scope="session")
def trusted_prefix(arch, certs):
    """The prefix trusts the test CA (idempotent)."""
    result = run_windows("trust_ca.exe", certs / "ca.pem")
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return certs


def _start_collector(certs, cert_name="server", script=(200,)):
    c = collector_module.Collector(443, str(certs / (cert_name + ".pem")),
                                   str(certs / (cert_name + ".key")),
                                   host=["127.0.0.1", "::1"], script=script,
                                   skip_unavailable=True)
    return c.start()


@pytest.fixture
def collector(trusted_prefix):
    c = _start_collector(trusted_prefix)
    yield c
    c.stop()


@pytest.fixture
def start_collector(trusted_prefix):
    """Factory for a collector with another certificate or script."""
    started = []

    def start(cert_name="server", script=(200,)):
        c = _start_collector(trusted_prefix, cert_name, script)
        started.append(c)
        return c

    yield start
    for c in started:
        c.stop()


class Game:
    """The stand-in game (game_driver.exe) under Wine, driven one command at a time."""

    def __init__(self, env=None, program="game_driver.exe"):
        self.proc = subprocess.Popen([str(WINE_RUN), str(BUILD / program)],
                                     env=wine_env(env), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._events = queue.Queue()
        self.lines = []  # (who, text) of every debugger line, in order
        self.logged = []  # (who, writer, context, UTF-8 bytes) of every log callback line
        self._lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        self._expect("ready", 120)

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("ascii", "replace").strip()
            if line.startswith("line "):
                _, who, hexed = (line.split(" ", 2) + [""])[:3]
                with self._lock:
                    # ANSI text, kept one character per byte
                    self.lines.append((who, bytes.fromhex(hexed).decode("latin-1")))
            elif line.startswith("log "):
                _, who, writer, context, hexed = (line.split(" ", 4) + [""])[:5]
                with self._lock:
                    self.logged.append((who, writer, context, bytes.fromhex(hexed)))
            else:
                self._events.put(line)
        self._events.put("eof")

    def _expect(self, wanted, timeout):
        """Waits for the line `wanted`; returns the other lines the game printed meanwhile."""
        deadline = time.monotonic() + timeout
        said = []
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("game did not say %r" % wanted)
            event = self._events.get(timeout=left)
            if event == wanted:
                return said
            if event == "eof" or event.startswith("error"):
                raise RuntimeError("game: %s" % event)
            said.append(event)

    def ask(self, command, *args, timeout=120):
        """Runs a command that prints results; returns its printed lines."""
        self.proc.stdin.write((" ".join([command, *map(str, args)]) + "\n").encode())
        self.proc.stdin.flush()
        return self._expect("ok " + command, timeout)

    def call(self, command, *args, timeout=60):
        """Runs one command; returns the lines the calling thread wrote (the refusals)."""
        with self._lock:
            before = len(self.lines)
        self.proc.stdin.write((" ".join([command, *map(str, args)]) + "\n").encode())
        self.proc.stdin.flush()
        self._expect("ok " + command, timeout)
        with self._lock:
            return [text for who, text in self.lines[before:] if who == "caller"]

    def calls(self, commands, timeout=120):
        """Sends many commands at once; returns the caller lines they wrote, in order."""
        with self._lock:
            before = len(self.lines)
        self.proc.stdin.write("".join(" ".join(map(str, c)) + "\n" for c in commands).encode())
        self.proc.stdin.flush()
        for command in commands:
            self._expect("ok " + command[0], timeout)
        with self._lock:
            return [text for who, text in self.lines[before:] if who == "caller"]

    def logged_lines(self):
        with self._lock:
            return list(self.logged)

    def worker_lines(self):
        with self._lock:
            return [text for who, text in self.lines if who == "other"]

    def wait_worker_lines(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while len(self.worker_lines()) < count:
            if time.monotonic() > deadline:
                raise TimeoutError("worker wrote %r" % self.worker_lines())
            time.sleep(0.02)
        return self.worker_lines()

    def quit(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            except BrokenPipeError:
                pass
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def game_factory(trusted_prefix):
    games = []

    def make(env=None, program="game_driver.exe"):
        g = Game(env, program)
        games.append(g)
        return g

    yield make
    for g in games:
        g.quit()


@pytest.fixture
def game(game_factory):
    return game_factory()


def texts(records):
    """The decoded JSON texts of records, in arrival order."""
    return [r["text"] for r in records]


def unique_app_id(prefix="app"):
    return "%s%d%d" % (prefix, os.getpid(), time.monotonic_ns() % 10**9)


def appdata_folder(kind="Roaming"):
    """The prefix's roaming (or, with "Local", local) application-data folder, seen from this
    side."""
    users = PREFIX / "drive_c" / "users"
    for user in sorted(users.iterdir()):
        folder = user / "AppData" / kind
        if folder.is_dir() and user.name != "Public":
            return folder
    raise FileNotFoundError(users)


def profile_file(app_id):
    """An application's profile file, seen from this side."""
    return appdata_folder() / "mirto" / app_id / "mirto.ini"


def stored_values(app_id):
    """Every text value in an application's profile file ("__length" companions left out),
    decoded from the checksummed struct form (hex bytes, then one checksum byte: their sum, low
    8 bits): UTF-16 code units up to the zero unit."""
    values = {}
    for line in profile_file(app_id).read_text("latin-1").splitlines():
        key, equals, value = line.partition("=")
        if not equals or key.endswith("__length"):
            continue
        data = bytes.fromhex(value.strip())
        assert sum(data[:-1]) & 0xFF == data[-1], "damaged entry %s" % key
        values[key] = data[:-1].decode("utf-16-le").split("\0", 1)[0]
    return values


def stored_ids(app_id):
    """The two ids in an application's profile file."""
    values = stored_values(app_id)
    return {key: values[key] for key in ("MirtoId", "InstallUUID") if key in values}


def wait_accepted(collector, count, timeout=60):
    """Waits until `count` requests were answered 200; returns the accepted records in order."""
    deadline = time.monotonic() + timeout
    while True:
        accepted = [r for r in collector.records() if r["answer"] == 200]
        if len(accepted) >= count:
            return accepted
        if time.monotonic() > deadline:
            raise TimeoutError("accepted %d of %d: %s" % (
                len(accepted), count, [(r["kind"], r["answer"]) for r in collector.records()][-10:]))
        time.sleep(0.05)


# --- reading the game's answers ------------------------------------------------------------

def stats(game, command="stats", *args):
    (line,) = [x for x in game.ask(command, *args) if x.startswith("stats ")]
    return {k: (v if k == "beyond" else int(v))
            for k, v in (item.split("=") for item in line.split()[1:])}


def flush(game, timeout_ms, command="Flush"):
    (line,) = [x for x in game.ask(command, timeout_ms) if x.startswith("flush ")]
    _, result, elapsed = line.split()
    return result == "1", float(elapsed)


# --- shared steps and expected reports ---------------------------------------------------------

# A short session after a start: a user, two levels, a server and a purchase.
SESSION = [
    ("SetUser", wide("u1"), wide("Ann")),
    ("SetLevel", 3),
    ("SetServer", wide("eu-1")),
    ("OnCharge", wide("o1"), wide("gem"), 5, wide("EUR"), 50, wide("card")),
    ("SetLevel", 4),
]
SESSION_REPORTS = 8  # device identify, user and user-count identify, 5 events


def start(game, app_id, channel="store", version="1.2"):
    """OnStart, which the calling thread must accept without a line."""
    assert game.call("OnStart", wide(app_id), wide(channel), wide(version)) == []


def started(game, collector, app_id, channel="store", version="1.2"):
    """Starts the session; returns the device identify's properties and identity."""
    start(game, app_id, channel, version)
    device = wait_accepted(collector, 1)[0]["json"]
    return device["properties"], device["identify"]


def start_session(game, collector, app_id=None, user="u1"):
    """A started session with a user: returns the three accepted identifies."""
    game.call("OnStart", wide(app_id or unique_app_id("L")), NULL, wide("1.0"))
    game.call("SetUser", wide(user), NULL)
    return wait_accepted(collector, 3)


def expect_exactly_500_fit(game, collector, received):
    """With the worker held (the collector refusing), one operation plus 499 more are accepted
    and the next is refused as full: nothing stays counted from what came before. `received`
    is how many requests the collector has seen so far."""
    collector.set_script([500])
    game.call("SetLevel", 0)
    collector.wait_for(received + 1)
    assert game.calls([("SetLevel", 1)] * 499) == []
    assert game.call("SetLevel", 1) == ["Mirto: SetLevel failed, operation queue is full\r\n"]


def device_facts(game):
    """What Windows says about the game's machine and program, from the game process itself:
    the reports' device facts must match it."""
    (line,) = [x for x in game.ask("facts") if x.startswith("facts ")]
    _, width, height, version, file_version, code_page = line.split()
    return {"width": int(width), "height": int(height),
            "system_version": "Windows " + version,
            "file_version": None if file_version == "-" else file_version,
            "code_page": int(code_page)}


def device_identify_text(app_id, identify, install_uuid, facts, channel, ver):
    """The exact text of a device identify."""
    return (
        '{"module":"DodeZarevuze","index":"game_analysis-%s","identify":"%s","properties":{'
        '"identifyType":"mobile","width":%d,"height":%d,"ga_ver":"0.0.3",'
        '"device_name":"unknown","device":"Windows","network":"windows_-1","provider":"unknown",'
        '"channel":"%s","system_version":"%s","ver":"%s","install_uuid":"%s",'
        '"persist_uuid":"%s"}}' % (
            app_id, identify, facts["width"], facts["height"], channel,
            facts["system_version"], ver, install_uuid, install_uuid))


def user_identify_text(app_id, user_id, identify, install_uuid, facts, channel, ver,
                       user_name=""):
    """The exact text of a user identify."""
    return (
        '{"module":"DodeZarevuze","index":"game_analysis-%s","identify":"%s",'
        '"properties":{"identifyType":"user","mobile_identify":"%s","user_name":"%s",'
        '"width":%d,"height":%d,"ga_ver":"0.0.3","device_name":"unknown","device":"Windows",'
        '"network":"windows_-1","provider":"unknown","channel":"%s","system_version":"%s",'
        '"ver":"%s","install_uuid":"%s","persist_uuid":"%s","user_type":1,"user_sex":2,'
        '"user_age":0}}' % (app_id, user_id, identify, user_name, facts["width"],
                            facts["height"], channel, facts["system_version"], ver,
                            install_uuid, install_uuid))


def user_count_identify_text(app_id, identify, install_uuid, count=1):
    """The exact text of a user-count identify."""
    return (
        '{"module":"DodeZarevuze","index":"game_analysis-%s","identify":"%s","properties":{'
        '"identifyType":"mobile","ga_ver":"0.0.3","device":"Windows","install_uuid":"%s",'
        '"persist_uuid":"%s","user_count":%d}}' % (app_id, identify, install_uuid,
                                                  install_uuid, count))


def level_event_text(app_id, user_id, level):
    """The exact text of a level event."""
    return ('{"name":"level","module":"DodeZarevuze","index":"game_analysis-%s","identify":"%s",'
            '"properties":{"identifyType":"user","level":%d,"ga_ver":"0.0.3","device":"Windows"}}'
            % (app_id, user_id, level))


def server_event_text(app_id, user_id, server):
    """The exact text of a server event."""
    return ('{"name":"server","module":"DodeZarevuze","index":"game_analysis-%s","identify":"%s",'
            '"properties":{"identifyType":"user","server":"%s","ga_ver":"0.0.3",'
            '"device":"Windows"}}' % (app_id, user_id, server))


def charge_texts(app_id, identify, install_uuid, user_id, order, product, amount, currency,
                 virtual_amount, payment):
    """The exact texts of a purchase's device charge event and, with a user, its user charge
    event."""
    values = '"order_id":"%s","product":"%s","currency_type":"%s","payment":"%s","amount":%d,' \
             '"virtual_currency_amount":%d' % (order, product, currency, payment, amount,
                                               virtual_amount)
    device = ('{"name":"charge","module":"DodeZarevuze","index":"game_analysis-%s",'
              '"identify":"%s","properties":{"identifyType":"mobile","ga_ver":"0.0.3",'
              '"device":"Windows",%s,"install_uuid":"%s","persist_uuid":"%s"}}'
              % (app_id, identify, values, install_uuid, install_uuid))
    if not user_id:
        return [device]
    return [device, '{"name":"charge","module":"DodeZarevuze","index":"game_analysis-%s",'
                    '"identify":"%s","properties":{"identifyType":"user","ga_ver":"0.0.3",'
                    '"device":"Windows",%s}}' % (app_id, user_id, values)]
