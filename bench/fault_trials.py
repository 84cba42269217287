#!/usr/bin/env python3
"""Network backups under faults, with real processes: vl_client / vardlok
against vl_server on loopback.

  client   SIGKILL the client at a random moment of a backup (once or twice),
           then run it again until a copy completes. The next run must resume:
           nothing the server acknowledged may be sent again except the one
           section in flight when the client died. Counted on the wire by a
           relay that reads the chunk headers (uploads sent, answers given)
           and cross-checked with the server's "received again" log lines.
  server   SIGKILL vl_server at a random moment and start it again on the
           same port: the client's reconnect or the next run completes the
           copy; `vl_server check` passes right after the kill and after the
           trial; no copy stored before is lost. Trials go on until N of them
           killed the server (a copy may end before its kill comes).
  proxy    bench/tcp_proxy.py between client and server on the first
           connection: close after N bytes, drop the K-th answer, stall
           after N bytes (past the client's 90 s idle limit), flip a bit of
           byte N (up or down). Every run completes or ends with a logged
           error message; every stored copy restores.

Odd client and server trials make an account's first copy; even ones make a
second copy after a change of the data (vardlok backup, which continues an
interrupted second copy too; vl_client resumes only a first copy). Odd proxy
trials make a new account's first copy, even ones a second copy of data all
new. Accounts are shared by two trials because the server lets one address
create only 3 accounts a minute (a refusal is waited out). After
every trial each stored copy of the account is restored through
`vardlok restore` and compared file by file with the data it was made from.

usage: bench/fault_trials.py [--kinds client,server,proxy] [--trials N]
                             [--client-trials N] [--server-trials N]
                             [--proxy-trials N] [--slow-proxy-trials N]
                             [--slow-client-trials N] [--slow-copy-seconds S]
                             [--seed S] [--bindir BUILD] [--work DIR]

--slow-proxy-trials: how many of the proxy trials drop an answer or stall
(each waits out the 90 s idle limit and the 15 s reconnect pause).
--slow-client-trials: how many of the client trials hold every answer back
so that the copy lasts --slow-copy-seconds (default 90), and kill the client
after the first restart save (which the client writes once a minute), so
that the next run has a saved state to resume from.
Prints a table of trials and outcomes; exits 1 on any violation.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
KEY = os.path.join(REPO, "keys", "dev_server_key.full")
RUN_LIMIT_S = 600
CHUNK_UPLOAD, CHUNK_UPLOAD_ANSWER = 2, 3


# ---------------------------------------------------------------- the data

def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_dataset(root, seed):
    """A few hundred files: nested folders, empty ones, twins, non-ASCII
    names, files at the section boundary and several multi-section files
    (about 40 MiB in all)."""
    rng = random.Random(seed)
    for i in range(260):
        folder = os.path.join(root, "d%d" % (i % 7), "e%d" % (i % 3))
        size = int(2 ** rng.uniform(0, 17))
        data = rng.randbytes(size) if i % 3 else (b"line %d of text\n" % i) * (size // 16 + 1)
        put(os.path.join(folder, "small_%03d.bin" % i), data[:size])
    sizes = [2097152, 2097153, 3 * 2097152 + 17, 5 * 1048576, 9 * 1048576 + 5, 12 * 1048576]
    for i, size in enumerate(sizes):
        data = (b"text line %d\n" % i) * (size // 12 + 1) if i == 3 else rng.randbytes(size)
        put(os.path.join(root, "big", "stor_%02d" % i), data[:size])
    put(os.path.join(root, "tom", "empty"), b"")
    os.makedirs(os.path.join(root, "tom", "tomt"), exist_ok=True)
    twin = rng.randbytes(70000)
    put(os.path.join(root, "tvilling_a"), twin)
    put(os.path.join(root, "d1", "tvilling_b"), twin)
    put(os.path.join(root, "räksmörgås ☃.txt"), "smörgås".encode())


def mutate(root, seed):
    """The same change for the same seed: a few small files rewritten, one
    deleted, a big file grown and a new multi-section file."""
    rng = random.Random(seed)
    smalls = sorted(os.path.join(dp, f) for dp, _, fs in os.walk(root) for f in fs
                    if f.startswith("small_"))
    for path in rng.sample(smalls, 6):
        put(path, rng.randbytes(rng.randrange(1, 60000)))
    os.remove(smalls[0])
    with open(os.path.join(root, "big", "stor_05"), "ab") as f:
        f.write(rng.randbytes(3 * 1048576))
    put(os.path.join(root, "big", "ny_%d" % seed), rng.randbytes(7 * 1048576 + 11))


def manifest(root):
    """Every folder and every file's SHA-256, by path under `root`."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        found[rel + "/"] = "folder"
        for name in filenames:
            with open(os.path.join(dirpath, name), "rb") as f:
                found[os.path.join(rel, name)] = hashlib.sha256(f.read()).hexdigest()
    return found


def differences(expected, got):
    missing = sorted(set(expected) - set(got))
    extra = sorted(set(got) - set(expected))
    changed = sorted(p for p in expected if p in got and expected[p] != got[p])
    parts = []
    for label, paths in (("missing", missing), ("extra", extra), ("changed", changed)):
        if paths:
            parts.append("%d %s (%s)" % (len(paths), label, ", ".join(paths[:3])))
    return "; ".join(parts)


# ---------------------------------------------------------------- processes

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """vl_server on loopback with its log in a file; killed and started again
    on the same port by the server trials."""

    def __init__(self, bindir, work, port=0):
        self.binary = os.path.join(bindir, "server", "vl_server")
        self.data = os.path.join(work, "server")
        self.logpath = os.path.join(work, "server.log")
        self.port = port
        self.proc = None
        os.makedirs(work, exist_ok=True)
        subprocess.run([self.binary, "init", "--data", self.data, "--key-file", KEY],
                       check=True, stdout=subprocess.DEVNULL)

    def start(self):
        log = open(self.logpath, "ab")
        for _ in range(50):
            self.proc = subprocess.Popen(
                [self.binary, "run", "--data", self.data, "--listen", "127.0.0.1:%d" % self.port],
                stdout=subprocess.PIPE, stderr=log)
            line = self.proc.stdout.readline().decode()
            match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
            if match:
                self.port = int(match.group(1))
                log.close()
                return
            self.proc.wait()
            time.sleep(0.2)  # the port of a killed server may still be held
        sys.exit("vl_server did not start: " + self.tail())

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()
        self.proc.stdout.close()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()
            self.proc.stdout.close()

    def check(self):
        done = subprocess.run([self.binary, "check", "--data", self.data],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return done.returncode, done.stdout.decode(errors="replace").strip()

    def log_size(self):
        return os.path.getsize(self.logpath) if os.path.exists(self.logpath) else 0

    def log_since(self, offset):
        with open(self.logpath, "rb") as f:
            f.seek(offset)
            return f.read().decode(errors="replace")

    def tail(self):
        return self.log_since(max(0, self.log_size() - 2000))

    def key_record(self):
        return os.path.join(self.data, "server_key.rec")


class CountingRelay:
    """Passes every byte on unchanged and counts, per connection, the
    complete FileDataChunks sent up and the answers to them sent down, from
    the chunk headers (the payloads may be encrypted)."""

    def __init__(self, target_port):
        self.target = target_port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self.lock = threading.Lock()
        # Seconds each answer is held back: a copy then lasts past the
        # client's first restart save (once a minute).
        self.answer_delay = 0.0
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            counts = {"uploads": 0, "answers": 0}
            with self.lock:
                self.connections.append(counts)
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target))
            except OSError:
                client.close()
                continue
            for src, dst, key, kind in ((client, upstream, "uploads", CHUNK_UPLOAD),
                                        (upstream, client, "answers", CHUNK_UPLOAD_ANSWER)):
                threading.Thread(target=self.pump, args=(src, dst, counts, key, kind),
                                 daemon=True).start()

    def pump(self, src, dst, counts, key, kind):
        header = bytearray()
        remaining = 0
        ctype = None
        try:
            while True:
                data = src.recv(262144)
                if not data:
                    break
                if key == "answers" and self.answer_delay:
                    time.sleep(self.answer_delay)
                dst.sendall(data)
                i = 0
                while i < len(data):
                    if remaining == 0:
                        take = min(14 - len(header), len(data) - i)
                        header += data[i:i + take]
                        i += take
                        if len(header) == 14:
                            total = struct.unpack_from("<I", header, 4)[0]
                            ctype = struct.unpack_from("<H", header, 8)[0]
                            remaining = max(total - 14, 0)
                            header = bytearray()
                            if remaining == 0 and ctype == kind:
                                with self.lock:
                                    counts[key] += 1
                    else:
                        take = min(remaining, len(data) - i)
                        remaining -= take
                        i += take
                        if remaining == 0 and ctype == kind:
                            with self.lock:
                                counts[key] += 1
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def mark(self):
        with self.lock:
            return len(self.connections)

    def since(self, mark):
        with self.lock:
            return [dict(c) for c in self.connections[mark:]]


class Computer:
    """One user's computer: its own HOME, an account on the server and the
    folder it backs up."""

    def __init__(self, bindir, home, data):
        self.vardlok_bin = os.path.join(bindir, "src", "vardlok", "vardlok")
        self.client_bin = os.path.join(bindir, "src", "core", "vl_client")
        self.home = home
        self.data = data
        self.recovery = os.path.join(home, "recovery.drf")
        self.wd = os.path.join(home, ".local", "share", "VL_wd")
        self.env = {"HOME": home, "PATH": "/usr/bin:/bin"}
        self.copies = []  # manifests of the completed copies, oldest first
        os.makedirs(home, exist_ok=True)

    def run(self, *words, limit=RUN_LIMIT_S):
        done = subprocess.run([self.vardlok_bin] + list(words), env=self.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=limit)
        return done.returncode, (done.stdout + done.stderr).decode(errors="replace")

    def create_account(self, address, key_record):
        """The server lets one address ask for 3 accounts a minute: a refusal
        is waited out."""
        for words in (("server", address, "--key-record", key_record),
                      ("account", "create", self.recovery, "--name", "Prov Person",
                       "--organisation", "Prov AB", "--email", "prov@example.org"),
                      ("folders", "add", self.data)):
            for _ in range(20):
                code, text = self.run(*words)
                if code == 0 or "fler användare" not in text:
                    break
                time.sleep(5)
            if code != 0:
                sys.exit("vardlok %s failed: %s" % (" ".join(words), text))

    def use_server(self, address, key_record):
        code, text = self.run("server", address, "--key-record", key_record)
        if code != 0:
            sys.exit("vardlok server failed: " + text)

    def start_backup(self, tool):
        command = [self.client_bin, "backup"] if tool == "vl_client" else [self.vardlok_bin, "backup"]
        return subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def backup(self, tool):
        proc = self.start_backup(tool)
        try:
            return proc.wait(timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return "hung"

    def log_lines(self):
        code, text = self.run("log")
        return text.splitlines() if code == 0 else []

    def restart_state(self):
        """(next section id, records) of "restart.bin"; (0, 0) when absent."""
        try:
            with open(os.path.join(self.wd, "restart.bin"), "rb") as f:
                data = f.read()
        except OSError:
            return 0, 0
        if len(data) < 12:
            return 0, 0
        return struct.unpack_from("<II", data, 4)

    def stored_copies(self):
        code, text = self.run("copies", self.recovery)
        if code != 0:
            return None
        return len([line for line in text.splitlines() if re.match(r"^\d+\t", line)])

    def restore_all(self, scratch):
        """Restores every stored copy, newest first, and compares each with
        the manifest of the copy it should be; "" when all agree."""
        count = self.stored_copies()
        if count is None:
            return "copies could not be listed"
        if count != len(self.copies):
            return "%d copies stored, %d completed" % (count, len(self.copies))
        for selector in range(count):
            target = os.path.join(scratch, "restore")
            shutil.rmtree(target, ignore_errors=True)
            words = ["restore", self.recovery, "--to", target]
            if selector:
                words += ["--copy", str(selector)]
            code, text = self.run(*words)
            if code != 0:
                return "restore of copy %d failed: %s" % (selector, text.strip()[-200:])
            got = manifest(os.path.join(target, "RECOVERED_DATA", os.path.basename(self.data)))
            diff = differences(self.copies[-1 - selector], got)
            shutil.rmtree(target, ignore_errors=True)
            if diff:
                return "copy %d differs: %s" % (selector, diff)
        return ""


def last_message(lines_before, computer):
    lines = computer.log_lines()[lines_before:]
    for line in reversed(lines):
        fields = line.split("\t")
        if fields and fields[-1].startswith(("Fel", "Error", "Varning", "Warning")):
            return fields[-1]
    return lines[-1].split("\t")[-1] if lines else ""


def wait_until(proc, delay):
    """Sleeps up to `delay` s; True when the process still runs afterwards."""
    try:
        proc.wait(timeout=delay)
        return False
    except subprocess.TimeoutExpired:
        return True


# ---------------------------------------------------------------- trials

# Per proxy trial kind: the tcp_proxy.py option, the direction it counts,
# the range its number is drawn from, and how the table names it.
FAULTS = {
    "close": ("--close-after", "up", "up", "close after %d up"),
    "close-down": ("--close-after", "down", "down", "close after %d down"),
    "flip-up": ("--flip-at", "up", "up", "flip byte %d up"),
    "flip-down": ("--flip-at", "down", "down", "flip byte %d down"),
    "drop": ("--drop-answer", "down", "answers", "drop answer %d"),
    "stall": ("--stall-after", "up", "up", "stall after %d up"),
}


class Trials:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.work = args.work or tempfile.mkdtemp(prefix="fault_trials.")
        self.base = os.path.join(self.work, "base")
        make_dataset(self.base, args.seed)
        self.base_manifest = manifest(self.base)
        self.rows = []
        self.violations = 0
        self.accounts = 0

    def note(self, kind, trial, what, outcome, violation=""):
        self.rows.append((kind, trial, what, outcome, violation))
        if violation:
            self.violations += 1
        print("%-6s %3d  %-44s %-52s %s" % (kind, trial, what, outcome,
                                            "VIOLATION: " + violation if violation else "ok"),
              flush=True)

    def data_for(self, name, second):
        """The base data for a first copy; an own changeable copy of it for a
        second one."""
        if not second:
            return self.base, None
        data = os.path.join(self.work, name, "data")
        shutil.copytree(self.base, data)
        return data, manifest(data)

    def new_computer(self, server_address, key_record, bindir, data, name):
        self.accounts += 1
        computer = Computer(bindir, os.path.join(self.work, name, "home"), data)
        computer.create_account(server_address, key_record)
        return computer

    def first_copy(self, computer, tool="vl_client"):
        code = computer.backup(tool)
        if code != 0:
            sys.exit("an undisturbed copy failed (%s): %s" % (code, computer.log_lines()[-3:]))
        computer.copies.append(manifest(computer.data))

    def check_restores(self, computer, scratch):
        return computer.restore_all(scratch)

    def settle(self, computer, code, runs):
        """After a trial's last run: every copy stored since the last known
        one holds the data as it is now. A violation when no run completed
        or nothing was stored."""
        stored = computer.stored_copies()
        if code != 0:
            return "no run completed in %d runs (last: %s)" % (runs, code)
        if stored is None or stored <= len(computer.copies):
            return "%s copies stored, more than %d expected" % (stored, len(computer.copies))
        computer.copies += [manifest(computer.data)] * (stored - len(computer.copies))
        return ""

    # ------------------------------------------------------------ client kills

    def probe(self, server, relay):
        """An undisturbed first and second copy: their durations and how many
        sections each sends, for spreading the kills and as the baseline."""
        data, _ = self.data_for("probe", True)
        computer = self.new_computer("127.0.0.1:%d" % relay.port, server.key_record(),
                                     self.args.bindir, data, "probe")
        figures = []
        for step in range(2):
            if step:
                mutate(data, self.args.seed)
            mark = relay.mark()
            start = time.monotonic()
            if computer.backup("vl_client" if step == 0 else "vardlok") != 0:
                sys.exit("the probe copy failed: %s" % computer.log_lines()[-3:])
            seconds = time.monotonic() - start
            uploads = sum(c["uploads"] for c in relay.since(mark))
            figures.append((seconds, uploads))
        print("undisturbed: first copy %.1f s, %d sections; second copy %.1f s, %d sections"
              % (figures[0][0], figures[0][1], figures[1][0], figures[1][1]), flush=True)
        shutil.rmtree(os.path.join(self.work, "probe"), ignore_errors=True)
        return figures

    def client_trials(self, count):
        server = Server(self.args.bindir, os.path.join(self.work, "client_kills"))
        server.start()
        relay = CountingRelay(server.port)
        figures = self.probe(server, relay)
        computer = None
        for trial in range(1, count + 1):
            # Odd trials make a new account's first copy, even ones the second
            # copy of the same account after a change of its data.
            second = trial % 2 == 0 and computer is not None
            if second:
                mutate(computer.data, self.args.seed)
            else:
                if computer is not None:
                    shutil.rmtree(os.path.dirname(computer.home), ignore_errors=True)
                name = "client_%d" % trial
                data, _ = self.data_for(name, True)
                computer = self.new_computer("127.0.0.1:%d" % relay.port, server.key_record(),
                                             self.args.bindir, data, name)
            data = computer.data
            seconds, baseline = figures[1 if second else 0]
            tool = "vardlok" if second else "vl_client"
            slow = trial > count - self.args.slow_client_trials
            if slow:
                # Answers held back so that the copy lasts past the first
                # restart save; the kill comes after it.
                relay.answer_delay = self.args.slow_copy_seconds / max(baseline, 1)
            log_offset = server.log_size()
            mark = relay.mark()
            kills, in_flight, states = 0, 0, []
            for k in range(2 if trial % 3 == 0 else 1):
                kill_mark = relay.mark()
                proc = computer.start_backup(tool)
                delay = self.rng.uniform(0.03, 0.95) * seconds / (k + 1)
                if slow:
                    delay = self.rng.uniform(62, 0.95 * self.args.slow_copy_seconds)
                if wait_until(proc, delay):
                    proc.send_signal(signal.SIGKILL)
                    proc.wait()
                    kills += 1
                    conns = relay.since(kill_mark)
                    # The section in flight when it died: sent, and perhaps
                    # answered, but the answer not yet taken in (the relay
                    # cannot tell, so every kill during the upload has one).
                    in_flight += 1 if any(c["uploads"] for c in conns) else 0
                    states.append("%d/%d" % computer.restart_state()[::-1])
                else:
                    states.append("done")
                if slow:
                    relay.answer_delay = 0.0
                    break
            # Until a run completes; a kill after the server stored the copy
            # leaves it stored, and the next run makes another copy from it.
            runs, code = 0, None
            while runs < 3 and code != 0:
                before = len(computer.log_lines())
                code = computer.backup(tool)
                runs += 1
                if code != 0:
                    print("         run %d ended %s: %s" % (runs, code, last_message(before, computer)))
            time.sleep(0.3)  # the relay counts the last answer
            sent = sum(c["uploads"] for c in relay.since(mark))
            again = len(re.findall(r"received again", server.log_since(log_offset)))
            violation = self.settle(computer, code, runs)
            if not violation:
                violation = self.check_restores(computer, os.path.join(self.work, "scratch"))
            extra = sent - baseline
            acknowledged_again = max(0, extra - in_flight)
            if not violation and acknowledged_again > 0:
                violation = "%d acknowledged sections sent again" % acknowledged_again
            code_check, text = server.check()
            if code_check != 0:
                violation = (violation + "; " if violation else "") + "check: " + text[-200:]
            what = "%s copy%s, %d kill(s), restart files/next id %s" % (
                "2nd" if second else "1st", " (slow)" if slow else "", kills, ",".join(states))
            outcome = "sent %d (baseline %d, in flight %d), server: %d again" % (
                sent, baseline, in_flight, again)
            self.note("client", trial, what, outcome, violation)
        server.stop()

    # ------------------------------------------------------------ server kills

    def server_trials(self, count):
        server = Server(self.args.bindir, os.path.join(self.work, "server_kills"), free_port())
        server.start()
        address = "127.0.0.1:%d" % server.port
        computers = []
        previous = None
        seconds = None
        killed_trials = 0
        # Until `count` trials have killed the server at least once (a copy
        # may end before its kill comes).
        for trial in range(1, 3 * count + 1):
            if killed_trials >= count:
                break
            name = "server_%d" % trial
            second = trial % 2 == 0 and previous is not None
            if second:
                computer = previous
                mutate(computer.data, self.args.seed + trial)
            else:
                data, _ = self.data_for(name, True)
                computer = self.new_computer(address, server.key_record(), self.args.bindir,
                                             data, name)
                computers.append(computer)
            if seconds is None:
                # How long an undisturbed first copy takes, to spread the kills.
                data, _ = self.data_for("server_probe", True)
                probe = self.new_computer(address, server.key_record(), self.args.bindir, data,
                                          "server_probe")
                start = time.monotonic()
                self.first_copy(probe)
                seconds = [time.monotonic() - start]
                mutate(probe.data, self.args.seed)
                start = time.monotonic()
                self.first_copy(probe)
                seconds.append(time.monotonic() - start)
            log_offset = server.log_size()
            before = len(computer.log_lines())
            proc = computer.start_backup("vl_client")
            kills, checks = 0, []
            for k in range(2 if trial % 4 == 0 else 1):
                span = seconds[1 if second else 0]
                if not wait_until(proc, self.rng.uniform(0.05, 0.9) * span / (k + 1)):
                    break
                server.kill()
                kills += 1
                code_check, text = server.check()
                checks.append("" if code_check == 0 else text[-200:])
                time.sleep(self.rng.uniform(0, 3))
                server.start()
            try:
                code = proc.wait(timeout=RUN_LIMIT_S)
            except subprocess.TimeoutExpired:
                proc.kill()
                code = "hung"
            message = last_message(before, computer) if code != 0 else ""
            runs = 1
            while code != 0 and runs < 4:
                code = computer.backup("vl_client")
                runs += 1
            violation = self.settle(computer, code, runs)
            log = server.log_since(log_offset)
            if "copy refused" in log:
                violation = (violation + "; " if violation else "") + "a copy was refused: " + \
                    re.search(r"copy refused.*", log).group(0)
            for text in checks:
                if text:
                    violation = (violation + "; " if violation else "") + "check after kill: " + text
            code_check, text = server.check()
            if code_check != 0:
                violation = (violation + "; " if violation else "") + "check: " + text
            # Every copy of every account so far is still there and whole.
            for other in computers:
                if other is computer and violation:
                    continue
                diff = self.check_restores(other, os.path.join(self.work, "scratch"))
                if diff:
                    violation = (violation + "; " if violation else "") + diff
            again = len(re.findall(r"received again", log))
            what = "%s copy, %d kill(s)" % ("2nd" if second else "1st", kills)
            outcome = "runs %d; first run: %s; %d sent again" % (
                runs, "completed" if not message else message[:60], again)
            self.note("server", trial, what, outcome, violation)
            killed_trials += 1 if kills else 0
            previous = computer if not second else None
        server.stop()

    # ------------------------------------------------------------ proxy faults

    def proxy_trials(self, count, slow):
        server = Server(self.args.bindir, os.path.join(self.work, "proxy_faults"))
        server.start()
        direct = "127.0.0.1:%d" % server.port
        kinds = ["close", "flip-up", "flip-down", "close-down"]
        # Shifted every round so that each kind meets first and second copies.
        plan = [kinds[(i + i // len(kinds)) % len(kinds)] for i in range(max(0, count - slow))]
        plan += ["drop", "stall"] * (slow // 2) + (["drop"] if slow % 2 else [])
        # Byte counts of an undisturbed copy, to place the faults.
        up_total = 9 * sum(os.path.getsize(os.path.join(dp, f))
                           for dp, _, fs in os.walk(self.base) for f in fs) // 10
        # Answers: one per section (about 280, some 100 bytes each) after the
        # startup and list answers.
        down_total, answers = 28000, 280
        computer = None
        for trial, kind in enumerate(plan, 1):
            name = "proxy_%d" % trial
            if trial % 2 == 1:
                # A new account's first copy of the base data.
                if computer is not None:
                    shutil.rmtree(os.path.dirname(computer.home), ignore_errors=True)
                data, _ = self.data_for(name, True)
                computer = self.new_computer(direct, server.key_record(), self.args.bindir,
                                             data, name)
            else:
                # The same account's second copy, of data all new.
                computer.use_server(direct, server.key_record())
                shutil.rmtree(computer.data)
                make_dataset(computer.data, self.args.seed + trial)
            expected = manifest(computer.data)
            known = len(computer.copies)
            option, direction, limit, label = FAULTS[kind]
            n = self.rng.randrange(1, {"up": up_total, "down": down_total,
                                       "answers": answers}[limit])
            options = [option, str(n), "--direction", direction]
            what = label % n
            proxy_log = open(os.path.join(self.work, name + ".proxy"), "wb")
            proxy = subprocess.Popen([sys.executable, os.path.join(HERE, "tcp_proxy.py"),
                                      "--target", direct] + options,
                                     stdout=subprocess.PIPE, stderr=proxy_log)
            line = proxy.stdout.readline().decode()
            port = int(re.search(r":(\d+)\s*$", line).group(1))
            computer.use_server("127.0.0.1:%d" % port, server.key_record())
            before = len(computer.log_lines())
            start = time.monotonic()
            code = computer.backup("vl_client")
            seconds = time.monotonic() - start
            message = last_message(before, computer) if code != 0 else ""
            violation = ""
            if code not in (0, 113):
                violation = "exit %s" % code
            elif code == 113 and not message:
                violation = "failed without a logged message"
            stored_first = computer.stored_copies() or 0
            # A stored copy counts whatever the first run said; then the
            # fault's connection is past and the next run completes.
            computer.copies += [expected] * max(0, stored_first - known)
            if code != 0:
                if computer.backup("vl_client") == 0:
                    computer.copies.append(expected)
                else:
                    violation = violation or "the run after the fault failed too"
            diff = self.check_restores(computer, os.path.join(self.work, "scratch"))
            if diff:
                violation = (violation + "; " if violation else "") + diff
            code_check, text = server.check()
            if code_check != 0:
                violation = (violation + "; " if violation else "") + "check: " + text
            proxy.terminate()
            proxy.wait()
            proxy.stdout.close()
            proxy_log.close()
            with open(os.path.join(self.work, name + ".proxy")) as f:
                faults = " ".join(l.split(": ", 2)[-1].strip() for l in f if "tcp_proxy" in l)
            outcome = "%s in %.0f s%s [%s]" % (
                "completed" if code == 0 else "exit %s: %s" % (code, message[:70]), seconds,
                "" if stored_first == known or code == 0 else ", copy stored anyway",
                faults or "no fault reached")
            self.note("proxy", trial, what, outcome, violation)
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kinds", default="client,server,proxy")
    parser.add_argument("--trials", type=int, help="every kind this many trials")
    parser.add_argument("--client-trials", type=int, default=20)
    parser.add_argument("--slow-client-trials", type=int, default=2)
    parser.add_argument("--slow-copy-seconds", type=float, default=90.0)
    parser.add_argument("--server-trials", type=int, default=10)
    parser.add_argument("--proxy-trials", type=int, default=12)
    parser.add_argument("--slow-proxy-trials", type=int, default=4)
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--bindir", default=os.path.join(REPO, "build", "release"))
    parser.add_argument("--work")
    args = parser.parse_args()
    if args.trials is not None:
        args.client_trials = args.server_trials = args.proxy_trials = args.trials
        args.slow_proxy_trials = min(args.slow_proxy_trials, args.trials // 2)
        args.slow_client_trials = min(args.slow_client_trials, args.trials // 2)
    keep = args.work is not None
    print("seed %d" % args.seed, flush=True)
    trials = Trials(args)
    try:
        kinds = args.kinds.split(",")
        if "client" in kinds:
            trials.client_trials(args.client_trials)
        if "server" in kinds:
            trials.server_trials(args.server_trials)
        if "proxy" in kinds:
            trials.proxy_trials(args.proxy_trials, args.slow_proxy_trials)
    finally:
        if not keep:
            shutil.rmtree(trials.work, ignore_errors=True)
    print()
    by_kind = {}
    for kind, _, _, _, violation in trials.rows:
        done, bad = by_kind.get(kind, (0, 0))
        by_kind[kind] = (done + 1, bad + (1 if violation else 0))
    for kind, (done, bad) in by_kind.items():
        print("%-6s %3d trials, %d with a violation" % (kind, done, bad))
    sys.exit(1 if trials.violations else 0)


if __name__ == "__main__":
    main()
