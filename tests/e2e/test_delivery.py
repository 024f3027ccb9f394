"""Unattended sends through a real Postfix on loopback, read back with python3's email package."""

import os
import re
import unittest

from harness import LarkpostTestCase, Postfix

postfix = None


def setUpModule():
    global postfix
    postfix = Postfix()


def tearDownModule():
    if postfix:
        postfix.close()


BODY_LINES = [
    "Grüße aus Köln — ein Brief in UTF-8: ÄÖÜ äöü ß € ✓ 日本語",
    ".a line that begins with a full stop",
    "",
    "a long line " + "0123456789" * 12 + " end",
    "trailing blanks   ",
    ".",
]


def attachments_of(msg):
    """File name to the decoded bytes of each attachment."""
    return {part.get_filename(): part.get_payload(decode=True) for part in msg.iter_attachments()}


def body_text(msg):
    part = msg.get_body(preferencelist=("plain", "html"))
    return part, part.get_content()


def lines_of(text):
    return text.replace("\r\n", "\n").rstrip("\n").split("\n")


class Delivery(LarkpostTestCase):
    def addresses(self, *roles):
        return [f"{self._testMethodName}.{r}@example.test" for r in roles]

    def test_starttls_login_with_to_cc_bcc_utf8_and_attachments(self):
        to1, to2, cc, bcc = self.addresses("to1", "to2", "cc", "bcc")
        subject = "Grüße — Bericht für März ✓ (UTF-8)"
        body = self.box.write("body.txt", ("\r\n".join(BODY_LINES) + "\r\n").encode("utf-8"))
        text = "report line 1\r\nreport line 2\r\n".encode()
        blob = os.urandom(3 * 1024 * 1024 + 17)
        umlaut = "Übersicht über Größen.txt"
        self.box.write("report.txt", text)
        blob_path = self.box.write("data.bin", blob)  # absolute: must not end the /FILES list
        self.box.write(umlaut, "Zeile mit Umlauten: äöü\n".encode())

        r = self.box.run("/HOST", "127.0.0.1", "/PORT", postfix.tls_port, "/AUTH", "1",
                         "/USERID", postfix.user, "/PASS", postfix.password,
                         "/FROM", "sender@example.test", "/TO", f"{to1}, {to2}", "/CC", cc,
                         "/BCC", bcc, "/SUBJECT", subject, "/BODYFILE", body,
                         "/FILES", "report.txt", blob_path, umlaut)
        self.assertSent(r)

        for rcpt in (to1, to2, cc, bcc):
            with self.subTest(recipient=rcpt):
                found = postfix.wait_for(rcpt)
                self.assertEqual(len(found), 1, f"{rcpt} got {len(found)} messages")
                msg, raw = found[0]
                self.assertEqual(msg["Subject"], subject)
                self.assertIn(to1, msg["To"])
                self.assertIn(to2, msg["To"])
                self.assertIn(cc, msg["Cc"])
                self.assertIsNone(msg["Bcc"])
                # Only the server's delivery lines may name the blind copy's recipient.
                written = [h for h in raw.split(b"\n\n", 1)[0].split(b"\n")
                           if not h.startswith((b"Delivered-To:", b"X-Original-To:"))]
                self.assertNotIn(bcc.encode(), b"\n".join(written))
                self.assertEqual(msg.get_content_type(), "multipart/mixed")
                # Empty HELO and mail-agent fields: the built-in defaults from the version.
                self.assertRegex(msg["X-Mailer"], r"^Larkpost Version \d+\.\d+ Release \d+ Build \d+$")
                self.assertRegex(str(msg["Received"]), r"from Larkpostv\d+\.\d+\.\d+\.\d+ ")
                # RFC 3848: ESMTPSA is a session with STARTTLS and AUTH.
                self.assertIn("with ESMTPSA", str(msg["Received"]))
                part, content = body_text(msg)
                self.assertEqual(part.get_content_type(), "text/plain")
                self.assertEqual(part.get_content_charset(), "utf-8")
                self.assertEqual(lines_of(content), BODY_LINES)
                files = attachments_of(msg)
                self.assertEqual(sorted(files), sorted(["report.txt", "data.bin", umlaut]))
                self.assertEqual(files["data.bin"], blob)
                self.assertEqual(files["report.txt"], text)
                self.assertEqual(files[umlaut], "Zeile mit Umlauten: äöü\n".encode())
        self.assertIn(f"sasl_method=LOGIN, sasl_username={postfix.user}", postfix.maillog())

    def test_sasl_login_over_starttls_and_plain(self):
        for name, port in (("tls", postfix.tls_port), ("plain", postfix.auth_port)):
            with self.subTest(port=name):
                (to,) = self.addresses(name)
                before = postfix.maillog().count("sasl_method=")
                r = self.box.run("/HOST", "127.0.0.1", "/PORT", port, "/AUTH", "2",
                                 "/USERID", postfix.user, "/PASS", postfix.password,
                                 "/FROM", "sender@example.test", "/TO", to,
                                 "/SUBJECT", f"SASL {name}", "/BODY", "through a SASL mechanism")
                self.assertSent(r)
                found = postfix.wait_for(to)
                self.assertEqual(len(found), 1)
                self.assertEqual(lines_of(body_text(found[0][0])[1]), ["through a SASL mechanism"])
                # The list is tried from its last entry: DIGEST-MD5, which the server offers.
                self.assertEqual(postfix.maillog().count("sasl_method="), before + 1)
                logins = re.findall(r"sasl_method=\S+ sasl_username=\S+", postfix.maillog())
                self.assertEqual(logins[-1], f"sasl_method=DIGEST-MD5, sasl_username={postfix.user}")

    def test_body_formats(self):
        html = "<html><body><p>Hallo <b>Welt</b> – äöü €</p></body></html>"
        cases = [
            ("html", ["/TYPE", "HTML", "/BODY", html], "text/html", [html]),
            ("plain", ["/TYPE", "PLAIN", "/BODY", "just text"], "text/plain", ["just text"]),
            # No settings file and no /TYPE: no format is selected, and the body still goes out,
            # as text.
            ("unselected", ["/NOS", "/BODY", "no format chosen"], "text/plain", ["no format chosen"]),
        ]
        for name, args, ctype, lines in cases:
            with self.subTest(name):
                (to,) = self.addresses(name)
                r = self.box.run("/HOST", "127.0.0.1", "/PORT", postfix.plain_port,
                                 "/FROM", "sender@example.test", "/TO", to, "/SUBJECT", name, *args)
                self.assertSent(r)
                found = postfix.wait_for(to)
                self.assertEqual(len(found), 1)
                msg = found[0][0]
                # A body without attachments is a single MIME part.
                self.assertEqual(msg.get_content_type(), ctype)
                part, content = body_text(msg)
                self.assertEqual(lines_of(content), lines)

    def test_refused_recipient_does_not_stop_the_others(self):
        good, other = self.addresses("good", "other")
        bad = "nobody@bad..example.test"
        r = self.box.run("/HOST", "127.0.0.1", "/PORT", postfix.plain_port, "/LOG",
                         "/FROM", "sender@example.test", "/TO", f"{good}, {bad}", "/CC", other,
                         "/SUBJECT", "one refused", "/BODY", "to the others")
        self.assertSent(r)
        self.assertEqual(len(postfix.wait_for(good)), 1)
        self.assertEqual(len(postfix.wait_for(other)), 1)
        log = self.box.log_texts()
        self.assertIn("Bad recipient address syntax", log)
        self.assertEqual(log[-1], "Message sent successfully.")
        self.assertLess(log.index("Bad recipient address syntax"),
                        log.index("Message sent successfully."))

    def test_missing_attachment_is_skipped_with_a_warning(self):
        (to,) = self.addresses("to")
        self.box.write("present.txt", b"here\n")
        r = self.box.run("/HOST", "127.0.0.1", "/PORT", postfix.plain_port, "/LOG",
                         "/FROM", "sender@example.test", "/TO", to, "/SUBJECT", "one missing",
                         "/BODY", "see attachment", "/FILES", "present.txt", "/srv/missing.pdf")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.err, "larkpost: attachment /srv/missing.pdf not found (skipped)\n")
        found = postfix.wait_for(to)
        self.assertEqual(len(found), 1)
        self.assertEqual(list(attachments_of(found[0][0])), ["present.txt"])
        log = self.box.log_texts()
        self.assertIn("Attachment /srv/missing.pdf not found (skipped)", log)
        self.assertEqual(log[-1], "Message sent successfully.")

    def test_from_with_display_name(self):
        (to,) = self.addresses("to")
        for sender, name, address in [
            ("Jane Doe <jane@example.test>", "Jane Doe", "jane@example.test"),
            ('"Doe, Jane" <jane2@example.test>', "Doe, Jane", "jane2@example.test"),
            ("bare@example.test", "bare@example.test", "bare@example.test"),
        ]:
            with self.subTest(sender=sender):
                before = len(postfix.delivered_to(to))
                r = self.box.run("/HOST", "127.0.0.1", "/PORT", postfix.plain_port,
                                 "/FROM", sender, "/TO", to, "/SUBJECT", sender, "/BODY", "hi")
                self.assertSent(r)
                msg = [m for m, _ in postfix.wait_for(to, before + 1) if m["Subject"] == sender][0]
                self.assertEqual(msg["Return-Path"], f"<{address}>")
                self.assertEqual(msg["From"].addresses[0].display_name, name)
                self.assertEqual(msg["From"].addresses[0].addr_spec, address)

    def test_missing_file_listed_in_the_settings_file_does_not_fail_the_send(self):
        # Reading the settings file sets return code 1 for the missing entry; the send that
        # follows succeeds, sets 0, and the run ends with 0.
        (to,) = self.addresses("to")
        self.box.write("present.txt", b"here\n")
        gone = self.box.path("gone.txt")
        self.box.write("Larkpost.ini",
                       f"[Larkpost]\r\nHost=127.0.0.1\r\nPort={postfix.plain_port}\r\n"
                       f"FromAddr=sender@example.test\r\nTo={to}\r\nSaveLog=1\r\n"
                       f"FileCount=2\r\nFile0={gone}\r\nFile1={self.box.path('present.txt')}\r\n")
        r = self.box.run("/SUBJECT", "listed file missing", "/BODY", "one of two attached")
        self.assertSent(r)
        found = postfix.wait_for(to)
        self.assertEqual(len(found), 1)
        self.assertEqual(list(attachments_of(found[0][0])), ["present.txt"])
        log = self.box.log_texts()
        self.assertIn(f"ERROR: INI Setting=File0 Value={gone} File could not be found.", log)
        self.assertEqual(log[-1], "Message sent successfully.")

    def test_activity_log_and_smtp_conversation_log(self):
        (to,) = self.addresses("to")
        self.box.write("note.txt", b"attached\n")
        r = self.box.run("/HOST", "localhost", "/PORT", postfix.tls_port, "/AUTH", "1",
                         "/USERID", postfix.user, "/PASS", postfix.password, "/LOG", "/LOGSMTP",
                         "/FROM", "sender@example.test", "/TO", to, "/SUBJECT", "Logged send",
                         "/BODY", "visible after STARTTLS", "/FILES", "note.txt")
        self.assertSent(r)
        self.assertEqual(len(postfix.wait_for(to)), 1)

        log = self.box.log_texts()
        host = "localhost"
        expected_in_order = [
            "",
            f"Resolving hostname {host}.",
            # The address the name resolved to.
            "Connecting to 127.0.0.1.",
            "Connected.",
            f"SMTP connection to {host} successful",
            "Encoding text",
            "Encoding attachment",
            "Disconnecting.",
            f"SMTP disconnected from {host}",
            "Disconnected.",
            "Message sent successfully.",
        ]
        self.assertEqual(log[0], "", log)
        position = 0
        for line in expected_in_order:
            self.assertIn(line, log[position:], f"{line!r} missing or out of order in {log}")
            position = log.index(line, position) + 1
        # The TLS handler's progress and the negotiated cipher.
        self.assertTrue(any(t.startswith("SSL status: ") for t in log), log)
        self.assertTrue(any(t.startswith("Cipher: name = ") for t in log), log)
        self.assertFalse(any(t.startswith("Exception") for t in log), log)

        smtp = self.box.read("Larkpost_SMTP.log").decode("latin-1")
        starttls = smtp.find("STARTTLS")
        self.assertGreaterEqual(starttls, 0, smtp)
        after = smtp[starttls:]
        # The conversation after the handshake is logged as the program sent and read it.
        self.assertIn("AUTH LOGIN", after)
        self.assertIn("235", after)
        self.assertIn("Subject: Logged send", after)
        self.assertIn("visible after STARTTLS", after)
        self.assertIn("QUIT", after)


if __name__ == "__main__":
    unittest.main()
