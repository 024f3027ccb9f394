"""Runs of the real larkpost binary against real servers on loopback.

Each test gets a folder of its own holding a copy of the binary, so the settings file and both log
files the program keeps beside itself are the test's. A private Postfix instance
(tests/support/postfix.sh) receives the mail; python3's email package reads back what arrived.
"""

import email
import email.policy
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BINARY = os.environ.get("LARKPOST_BINARY", "")
POSTFIX_SH = os.environ.get("LARKPOST_POSTFIX_SH", "")
# Time stamps in the logs follow the locale; the tests read them in the C locale's form.
RUN_ENV_FIXED = {"LC_ALL": "C.UTF-8", "TZ": "UTC"}


class Result:
    def __init__(self, code, out, err):
        self.code = code
        self.out = out
        self.err = err

    def __repr__(self):
        return f"exit {self.code}\nstdout: {self.out!r}\nstderr: {self.err!r}"


class Sandbox:
    """A temporary folder with a copy of the binary; removed by close()."""

    def __init__(self, name):
        self.dir = tempfile.mkdtemp(prefix=f"larkpost-e2e-{name}-")
        self.exe = os.path.join(self.dir, "larkpost")
        shutil.copy2(BINARY, self.exe)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        mode = "wb" if isinstance(data, bytes) else "w"
        with open(self.path(name), mode) as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run(self, *args, timeout=120):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(RUN_ENV_FIXED)
        p = subprocess.run([self.exe, *args], cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=timeout)
        return Result(p.returncode, p.stdout.decode("utf-8", "replace"),
                      p.stderr.decode("utf-8", "replace"))

    def log_texts(self, name="Larkpost.log"):
        """The activity-log file's lines without their time stamps ("" for the separator)."""
        data = self.read(name).decode("utf-8")
        assert data.endswith("\r\n"), "every line of the log file ends in CR LF"
        texts = []
        for line in data[:-2].split("\r\n"):
            if line == "":
                texts.append("")
                continue
            # C locale: "%x %X" is "MM/DD/YY HH:MM:SS", then the text, which begins with a space.
            stamp, text = line[:17], line[17:]
            assert len(stamp) == 17 and stamp[2] == "/" and stamp[8] == " " and stamp[11] == ":", line
            assert text.startswith(" "), line
            texts.append(text[1:])
        return texts


class Postfix:
    """A private Postfix instance; the ports and credentials come from its ports.env."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="larkpost-e2e-postfix-")
        subprocess.run(["bash", POSTFIX_SH, "start", self.dir], check=True, timeout=120)
        self.env = {}
        with open(os.path.join(self.dir, "ports.env")) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                self.env[key] = value
        self.plain_port = self.env["PLAIN_PORT"]
        self.tls_port = self.env["TLS_PORT"]
        self.auth_port = self.env["AUTH_PORT"]
        self.user = self.env["SASL_USER"]
        self.password = self.env["SASL_PASSWORD"]
        self.maildir = os.path.join(self.env["MAILDIR"], "new")

    def close(self):
        subprocess.run(["bash", POSTFIX_SH, "clean", self.dir], timeout=120)

    def maillog(self):
        try:
            with open(self.env["MAILLOG"], errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def delivered_to(self, address):
        """The messages delivered to address so far, parsed, with their raw bytes."""
        found = []
        if not os.path.isdir(self.maildir):
            return found
        for name in sorted(os.listdir(self.maildir)):
            with open(os.path.join(self.maildir, name), "rb") as f:
                raw = f.read()
            msg = email.message_from_bytes(raw, policy=email.policy.default)
            if msg.get("Delivered-To", "").lower() == address.lower():
                found.append((msg, raw))
        return found

    def wait_for(self, address, count=1, timeout=30):
        """Waits until count messages were delivered to address; Postfix delivers after the
        client's QUIT, from its own queue."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.delivered_to(address)
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.1)


class SilentServer:
    """A loopback listener that accepts and then says nothing, for the read time-out."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.conns = []
        self.stopped = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        self.sock.settimeout(0.2)
        deadline = time.monotonic() + 120
        while not self.stopped and time.monotonic() < deadline:
            try:
                conn, _ = self.sock.accept()
                self.conns.append(conn)
            except OSError:
                continue

    def close(self):
        self.stopped = True
        self.thread.join(5)
        for c in self.conns:
            c.close()
        self.sock.close()


def unused_port():
    """A loopback port on which nothing listens."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class LarkpostTestCase(unittest.TestCase):
    """One sandbox per test, removed afterwards."""

    def setUp(self):
        if not BINARY or not os.path.exists(BINARY):
            self.fail("LARKPOST_BINARY does not name the built larkpost")
        self.box = Sandbox(self._testMethodName)
        self.addCleanup(self.box.close)

    def assertSent(self, result):
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.err, "", result)
