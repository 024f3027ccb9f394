"""Connection security and certificate checks with the real binary against a real Postfix: each
/TLS mode against a port without TLS, a STARTTLS port and an implicit-TLS port, and what travelled
in plain text before TLS (the connection log)."""

import unittest

from harness import LarkpostTestCase, Postfix

postfix = None


def setUpModule():
    global postfix
    postfix = Postfix()


def tearDownModule():
    if postfix:
        postfix.close()


class Modes(LarkpostTestCase):
    def send(self, port, mode, rcpt):
        # A short read time-out: a plain client at the implicit port waits for a greeting that
        # never comes.
        self.box.write("quick.ini", "[Larkpost]\nTimeout=2\nSaveLog=1\nSaveSMTPLog=1\n")
        return self.box.run("/S", "quick.ini", "/HOST", "127.0.0.1", "/PORT", port, "/TLS", mode,
                            "/AUTH", "1", "/USERID", postfix.user, "/PASS", postfix.password,
                            "/FROM", "sender@example.test", "/TO", rcpt,
                            "/SUBJECT", f"{mode} to {port}", "/BODY", "hello", "/LOG", "/LOGSMTP")

    def test_each_mode_against_each_port(self):
        env = postfix.env
        plain, starttls, implicit = env["PLAIN_PORT"], env["TLS_PORT"], env["IMPLICIT_PORT"]
        handshake_failed = "larkpost: Error connecting with SSL."
        # port, mode, outcome: "tls" / "plain" (delivered, encrypted or not) or the start of the
        # line on standard error.
        cases = [
            (plain, "NONE", "plain"),
            (plain, "AUTO", "plain"),
            (plain, "REQUIRED", "larkpost: SSL is not available on this server.\n"),
            (plain, "IMPLICIT", handshake_failed),
            (starttls, "NONE", "plain"),
            (starttls, "AUTO", "tls"),
            (starttls, "2", "tls"),
            (starttls, "IMPLICIT", handshake_failed),
            (implicit, "NONE", "larkpost: Read timed out.\n"),
            (implicit, "AUTO", "larkpost: Read timed out.\n"),
            (implicit, "REQUIRED", "larkpost: Read timed out.\n"),
            (implicit, "IMPLICIT", "tls"),
        ]
        names = {plain: "plain", starttls: "starttls", implicit: "implicit"}
        for port, mode, outcome in cases:
            with self.subTest(port=names[port], mode=mode):
                rcpt = f"mode-{names[port]}-{mode}@example.test".lower()
                r = self.send(port, mode, rcpt)
                log = self.box.log_texts()
                encrypted = any(t.startswith("Cipher: name = ") for t in log)
                if outcome in ("tls", "plain"):
                    self.assertSent(r)
                    self.assertEqual(encrypted, outcome == "tls", log)
                    self.assertEqual(len(postfix.wait_for(rcpt)), 1)
                else:
                    self.assertEqual(r.code, 1, r)
                    self.assertTrue(r.err.startswith(outcome), r)
                    smtp = self.box.read("Larkpost_SMTP.log").decode("latin-1")
                    # Nothing private left the program: no login and no envelope.
                    self.assertNotIn("AUTH", smtp)
                    self.assertNotIn("MAIL FROM", smtp)
                self.box.write("Larkpost.log", b"")
                self.box.write("Larkpost_SMTP.log", b"")

    def test_port_465_without_a_mode_is_named_in_the_log(self):
        # Port 465 itself cannot be taken here; a settings file without UseTLS, a port whose low
        # 16 bits are 465 and nothing listening there show the choice and its line.
        r = self.box.run("/HOST", "127.0.0.1", "/PORT", str(465 + 65536), "/FROM", "a@example.test",
                         "/TO", "b@example.test", "/BODY", "x", "/LOG")
        self.assertEqual(r.code, 1, r)
        log = self.box.log_texts()
        self.assertEqual(log[1], "Port 465 and no connection security chosen: using implicit TLS "
                                 "(encrypted from the first byte, RFC 8314).")


if __name__ == "__main__":
    unittest.main()
