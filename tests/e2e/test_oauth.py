"""OAuth 2.0 end to end: the real binary with /AUTH 3 and a token from /PASSCMD against a real
server that checks XOAUTH2 tokens (npm's smtp-server under Node.js, installed by this script into
a cached folder). Without Node.js or the npm registry the module is skipped, and says so loudly:
ctest shows it as skipped (exit code 77), not as passed."""

import base64
import json
import os
import queue
import subprocess
import sys
import threading
import unittest

from harness import LarkpostTestCase

NODE_DIR = os.environ.get("LARKPOST_NODE_DIR") or os.path.join(
    os.path.expanduser("~"), ".cache", "larkpost-tests", "node")
SERVER_JS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "oauth_server.js")
USER = "ann@example.test"
TOKEN = "ya29.a0-good-token-" + "x" * 1800  # tokens run to kilobytes
SKIP_EXIT_CODE = 77


def install_smtp_server():
    """Installs npm's smtp-server into NODE_DIR once; returns why it cannot, or None."""
    if os.path.isdir(os.path.join(NODE_DIR, "node_modules", "smtp-server")):
        return None
    os.makedirs(NODE_DIR, exist_ok=True)
    try:
        p = subprocess.run(["npm", "install", "--prefix", NODE_DIR, "--no-audit", "--no-fund",
                            "--loglevel=error", "smtp-server@3"],
                           capture_output=True, text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"npm could not run: {e}"
    if p.returncode != 0:
        return f"npm install smtp-server failed (exit {p.returncode}): {p.stderr.strip()[-500:]}"
    return None


class OAuthServer:
    """The node server; its events arrive as dicts on a queue."""

    def __init__(self):
        env = dict(os.environ, NODE_PATH=os.path.join(NODE_DIR, "node_modules"))
        self.proc = subprocess.Popen(["node", SERVER_JS, USER, TOKEN], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=env)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        first = self.next_event(timeout=30)
        if first.get("event") != "listening":
            raise RuntimeError(f"the OAuth server did not start: {first}")
        self.port = first["port"]

    def _read(self):
        for line in self.proc.stdout:
            self.events.put(json.loads(line))
        self.events.put({"event": "ended", "stderr": self.proc.stderr.read()})

    def next_event(self, timeout=10):
        return self.events.get(timeout=timeout)

    def drain(self):
        got = []
        while not self.events.empty():
            got.append(self.events.get())
        return got

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class OAuthEndToEnd(LarkpostTestCase):
    @classmethod
    def setUpClass(cls):
        if subprocess.run(["sh", "-c", "command -v node && command -v npm"],
                          capture_output=True).returncode != 0:
            raise unittest.SkipTest("Node.js or npm is missing (scripts/setup.sh installs them)")
        why = install_smtp_server()
        if why:
            raise unittest.SkipTest(why)

    def setUp(self):
        super().setUp()
        self.server = OAuthServer()
        self.addCleanup(self.server.close)

    def send(self, *extra):
        return self.box.run("/NOS", "/HOST", "127.0.0.1", "/PORT", str(self.server.port),
                            "/AUTH", "3", "/USERID", USER, "/FROM", "sender@example.test",
                            "/TO", "bob@example.test", "/SUBJECT", "Token test",
                            "/BODY", "Sent with an OAuth 2.0 token.", "/TYPE", "PLAIN",
                            "/LOG", "/LOGSMTP", *extra)

    def assertTokenNowhere(self, token, result):
        wire = base64.b64encode(f"user={USER}\x01auth=Bearer {token}\x01\x01".encode()).decode()
        for name in ("Larkpost.log", "Larkpost_SMTP.log"):
            text = self.box.read(name).decode("latin-1")
            self.assertNotIn(token[:40], text, name)
            self.assertNotIn(wire[:40], text, name)
        self.assertNotIn(token[:40], result.err)
        self.assertNotIn(token[:40], result.out)

    def test_token_from_the_command_logs_in_and_the_message_arrives(self):
        self.box.write("token.sh", f"#!/bin/sh\necho 'refreshing token' >&2\nprintf '%s\\n' '{TOKEN}'\n")
        os.chmod(self.box.path("token.sh"), 0o700)
        r = self.send("/PASSCMD", self.box.path("token.sh"))
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.err, "refreshing token\n")
        events = [self.server.next_event() for _ in range(3)]
        self.assertEqual([e["event"] for e in events], ["connect", "auth", "message"])
        self.assertEqual((events[1]["method"], events[1]["user"]), ("XOAUTH2", USER))
        self.assertEqual(events[2]["user"], USER)
        self.assertEqual(events[2]["to"], ["bob@example.test"])
        self.assertIn("Sent with an OAuth 2.0 token.", events[2]["data"])
        smtp_log = self.box.read("Larkpost_SMTP.log").decode("latin-1")
        self.assertIn(": AUTH XOAUTH2 <credential hidden><EOL>\r\n", smtp_log)
        self.assertIn("Password taken from the password command.", self.box.read("Larkpost.log").decode())
        self.assertTokenNowhere(TOKEN, r)

    def test_refused_token_names_the_status_and_exits_1(self):
        bad = "expired-token-0123456789abcdef0123456789abcdef"
        r = self.send("/PASSCMD", f"echo {bad}")
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.err, "larkpost: OAuth 2.0 token refused by 127.0.0.1 (status 401, scope "
                                "https://mail.example.test/): 535 Error: Username and Password "
                                "not accepted\n")
        self.assertEqual([e["event"] for e in self.server.drain()], ["connect", "auth"])
        smtp_log = self.box.read("Larkpost_SMTP.log").decode("latin-1")
        # The error challenge is answered with an empty line.
        self.assertIn(": <EOL>\r\n", smtp_log)
        self.assertTokenNowhere(bad, r)

    def test_failed_command_ends_the_run_before_any_connection(self):
        r = self.send("/PASSCMD", "echo 'no keyring' >&2; exit 3")
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.err, "no keyring\nlarkpost: Password command failed with exit code 3: "
                                "echo 'no keyring' >&2; exit 3\n")
        self.assertEqual(self.server.drain(), [])

    def test_password_switch_wins_over_the_command(self):
        r = self.send("/PASSCMD", "echo from-command", "/PASS", TOKEN)
        self.assertEqual(r.code, 0, r)
        self.assertEqual([e["event"] for e in [self.server.next_event() for _ in range(3)]],
                         ["connect", "auth", "message"])


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    if not result.wasSuccessful():
        sys.exit(1)
    # The only skip here is the whole module's: ctest is to show it as skipped.
    for _, why in result.skipped:
        print(f"SKIPPED: {why}", file=sys.stderr)
    sys.exit(SKIP_EXIT_CODE if result.skipped else 0)
