"""Connection security and certificate checks with the real binary against a real Postfix: each
/TLS mode against a port without TLS, a STARTTLS port and an implicit-TLS port, and what travelled
in plain text before TLS (the connection log)."""

import re
import hashlib
import ssl
import unittest

from harness import LarkpostTestCase, Postfix

postfix = None


def setUpModule():
    global postfix
    postfix = Postfix()


def tearDownModule():
    if postfix:
        postfix.close()


def sent_commands(box):
    """The verbs of the commands the connection log shows as sent, in order."""
    text = box.read("Larkpost_SMTP.log").decode("latin-1")
    return [line.split(": ", 1)[1].split("<EOL>")[0].split(" ")[0]
            for line in text.split("\r\n") if line.startswith("Sent ")]


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
                self.box.write("Larkpost.log", b"")
                self.box.write("Larkpost_SMTP.log", b"")
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
                    # The stage and the peer come before the reason.
                    err = re.sub(r"^larkpost: [^:]* port \d+( failed)?: ", "larkpost: ", r.err)
                    self.assertTrue(err.startswith(outcome), r)
                    # Nothing private left the program: no login and no envelope.
                    self.assertLessEqual(set(sent_commands(self.box)),
                                        {"EHLO", "STARTTLS", "QUIT"}, r)

    def test_port_465_without_a_mode_is_named_in_the_log(self):
        # Port 465 itself cannot be taken here; a settings file without UseTLS, a port whose low
        # 16 bits are 465 and nothing listening there show the choice and its line.
        r = self.box.run("/HOST", "127.0.0.1", "/PORT", str(465 + 65536), "/FROM", "a@example.test",
                         "/TO", "b@example.test", "/BODY", "x", "/LOG")
        self.assertEqual(r.code, 1, r)
        log = self.box.log_texts()
        self.assertEqual(log[1], "Port 465 and no connection security chosen: using implicit TLS "
                                 "(encrypted from the first byte, RFC 8314).")


def fingerprint(pem_path):
    """The SHA-256 of a PEM certificate's DER form, as openssl shows it (AB:CD:...)."""
    with open(pem_path) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    digest = hashlib.sha256(der).hexdigest().upper()
    return ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))


class Verification(LarkpostTestCase):
    def send(self, host, port, rcpt, *switches):
        self.box.write("quick.ini", "[Larkpost]\nTimeout=5\nSaveLog=1\nSaveSMTPLog=1\n")
        return self.box.run("/S", "quick.ini", "/HOST", host, "/PORT", port,
                            "/AUTH", "1", "/USERID", postfix.user, "/PASS", postfix.password,
                            "/FROM", "sender@example.test", "/TO", rcpt, "/SUBJECT", "checked",
                            "/BODY", "hello", "/LOG", "/LOGSMTP", *switches)

    def test_certificate_checks(self):
        env = postfix.env
        ca = env["CA_FILE"]
        pinned = fingerprint(env["SELF_SIGNED_CERT"])
        other = fingerprint(env["SERVER_CERT"])
        failed = "Certificate verification failed for "
        # name, host, port, switches, the verification line when sent or the error's reason
        cases = [
            ("good chain, CA file", "localhost", env["TLS_PORT"], ["/TLS", "REQUIRED", "/CAFILE", ca],
             "Certificate verification: ok"),
            ("good chain, address literal", "127.0.0.1", env["TLS_PORT"], ["/CAFILE", ca],
             "Certificate verification: ok"),
            ("good chain, implicit TLS", "localhost", env["IMPLICIT_PORT"],
             ["/TLS", "IMPLICIT", "/VERIFY", "/CAFILE", ca], "Certificate verification: ok"),
            ("unknown issuer", "localhost", env["TLS_PORT"], ["/TLS", "REQUIRED", "/VERIFY"],
             failed + "localhost: unable to get local issuer certificate"),
            ("unknown issuer, implicit TLS", "localhost", env["IMPLICIT_PORT"],
             ["/TLS", "IMPLICIT", "/VERIFY"],
             failed + "localhost: unable to get local issuer certificate"),
            ("name mismatch", "localhost", env["OTHER_NAME_PORT"], ["/CAFILE", ca],
             failed + "localhost: hostname mismatch"),
            ("address mismatch", "127.0.0.1", env["OTHER_NAME_PORT"], ["/CAFILE", ca],
             failed + "127.0.0.1: IP address mismatch"),
            ("expired", "localhost", env["EXPIRED_PORT"], ["/CAFILE", ca],
             failed + "localhost: certificate has expired"),
            ("self-signed", "localhost", env["SELF_SIGNED_PORT"], ["/VERIFY"],
             failed + "localhost: self-signed certificate"),
            ("fingerprint of the self-signed one", "localhost", env["SELF_SIGNED_PORT"],
             ["/FINGERPRINT", "sha256:" + pinned],
             "Certificate verification: ok (pinned fingerprint)"),
            ("fingerprint, lower case without colons", "127.0.0.1", env["SELF_SIGNED_PORT"],
             ["/FINGERPRINT", pinned.replace(":", "").lower()],
             "Certificate verification: ok (pinned fingerprint)"),
            ("fingerprint mismatch", "localhost", env["SELF_SIGNED_PORT"], ["/FINGERPRINT", other],
             failed + "localhost: certificate fingerprint mismatch: the server's SHA-256 "
             "fingerprint is " + pinned),
        ]
        for name, host, port, switches, expected in cases:
            with self.subTest(name):
                self.box.write("Larkpost.log", b"")
                self.box.write("Larkpost_SMTP.log", b"")
                rcpt = "verify-" + "-".join(name.replace(",", "").split()) + "@example.test"
                r = self.send(host, port, rcpt, *switches)
                log = self.box.log_texts()
                if expected.startswith("Certificate verification:"):
                    self.assertSent(r)
                    self.assertIn(expected, log)
                    self.assertEqual(len(postfix.wait_for(rcpt)), 1)
                else:
                    self.assertEqual(r.code, 1, r)
                    self.assertEqual(r.err, "larkpost: " + expected + "\n")
                    self.assertIn("Exception: ELpCertificateVerifyError " + expected, log)
                    self.assertLessEqual(set(sent_commands(self.box)),
                                        {"EHLO", "STARTTLS", "QUIT"}, r)

    def test_without_verification_any_certificate_is_taken_and_logged_as_before(self):
        r = self.send("localhost", postfix.env["SELF_SIGNED_PORT"], "unchecked@example.test")
        self.assertSent(r)
        self.assertIn("Certificate verification: self-signed certificate (not enforced)",
                      self.box.log_texts())

    def test_a_missing_ca_file_is_named(self):
        r = self.send("localhost", postfix.env["TLS_PORT"], "nobody@example.test",
                      "/CAFILE", self.box.path("missing-ca.pem"))
        self.assertEqual(r.code, 1, r)
        self.assertTrue(r.err.startswith("larkpost: cannot connect to localhost port "), r)
        self.assertIn(": Could not load the CA file " + self.box.path("missing-ca.pem") + ". error:",
                      r.err)


if __name__ == "__main__":
    unittest.main()
