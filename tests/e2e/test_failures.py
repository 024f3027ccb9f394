"""Failed unattended sends: exit code 1, the reason on standard error, the exception in the log."""

import os
import time
import unittest

from harness import LarkpostTestCase, Postfix, SilentServer, unused_port

postfix = None


def setUpModule():
    global postfix
    postfix = Postfix()


def tearDownModule():
    if postfix:
        postfix.close()


class Failures(LarkpostTestCase):
    def send(self, *args, timeout=120):
        return self.box.run("/FROM", "sender@example.test", "/TO", "someone@example.test",
                            "/SUBJECT", "doomed", "/BODY", "never delivered", "/LOG", *args,
                            timeout=timeout)

    def assertFailed(self, r, reason):
        self.assertEqual(r.code, 1, r)
        lines = r.err.splitlines()
        self.assertEqual(len(lines), 1, r)
        self.assertTrue(lines[0].startswith("larkpost: "), r)
        self.assertIn(reason, lines[0], r)
        # The send failed, so the saved activity log ends with AppException's two lines and no
        # success line.
        log = self.box.log_texts()
        self.assertNotIn("Message sent successfully.", log)
        self.assertTrue(log[-2].startswith("Exception: "), log)
        self.assertTrue(log[-1].startswith("Exception: "), log)
        return log

    def test_refused_connection(self):
        port = unused_port()
        r = self.send("/HOST", "127.0.0.1", "/PORT", str(port))
        log = self.assertFailed(r, "Connection refused")
        self.assertEqual(r.err, f"larkpost: cannot connect to 127.0.0.1 port {port}: "
                                "Socket Error # 10061. Connection refused.\n")
        # The log keeps the exception as it was; the stage and peer are for the terminal.
        self.assertEqual(log[-2], "Exception: ELpSocketError Socket Error # 10061. "
                                  "Connection refused.")

    def test_unknown_host(self):
        # The empty label makes the resolver refuse the name itself, so no query leaves the
        # machine; .invalid could never resolve anyway (RFC 6761).
        host = "no-such-host..invalid"
        r = self.send("/HOST", host)
        log = self.assertFailed(r, "Host not found")
        self.assertIn(f"Resolving hostname {host}.", log)
        self.assertIn("11001", log[-2])

    def test_wrong_password(self):
        r = self.send("/HOST", "127.0.0.1", "/PORT", postfix.auth_port, "/AUTH", "1",
                      "/USERID", postfix.user, "/PASS", "not-the-password")
        self.assertFailed(r, "authentication failed")
        self.assertEqual(r.err, f"larkpost: login as {postfix.user} failed: "
                                "Error: authentication failed: authentication failure.\n")

    def test_read_timeout(self):
        # The time-out has no switch; it comes from the settings file beside the program.
        self.box.write("Larkpost.ini", "[Larkpost]\r\nTimeout=1\r\nContentType=0\r\n")
        server = SilentServer()
        self.addCleanup(server.close)
        started = time.monotonic()
        r = self.send("/HOST", "127.0.0.1", "/PORT", str(server.port))
        elapsed = time.monotonic() - started
        self.assertFailed(r, "Read timed out.")
        self.assertEqual(r.err, f"larkpost: greeting from 127.0.0.1 port {server.port} failed: "
                                "Read timed out.\n")
        self.assertLess(elapsed, 20)

    def test_attachment_that_is_no_regular_file(self):
        # A named pipe without a writer held the send inside DATA for ever, and a device never
        # runs out of bytes: both fail at once, as a file that cannot be opened does.
        pipe = self.box.path("pipe")
        os.mkfifo(pipe)
        for path in (pipe, "/dev/zero"):
            with self.subTest(path=path):
                r = self.send("/HOST", "127.0.0.1", "/PORT", postfix.plain_port, "/FILES", path,
                              timeout=60)
                log = self.assertFailed(r, f'Cannot open file "{path}". Not a regular file')
                self.assertIn("ELpFileError", log[-2])


if __name__ == "__main__":
    unittest.main()
