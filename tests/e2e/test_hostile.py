"""Unattended sends to servers that misbehave on purpose: a line that never ends, a reply that
never ends, a code that is not a number, a close in the middle of the data, a TLS handshake broken
off half-way. Each run must exit 1 within its time-out, name the reason on standard error, save the
activity log, and stay small however much the server sends (the peak resident size is printed)."""

import os
import socket
import subprocess
import sys
import threading
import time
import unittest

from harness import RUN_ENV_FIXED, LarkpostTestCase

TIMEOUT_S = 2
# The first bytes of a TLS ServerHello record that announces 512 bytes and delivers 9.
PARTIAL_SERVER_HELLO = b"\x16\x03\x03\x02\x00\x02\x00\x01\xfc\x03\x03\x11\x22"


class HostileServer:
    """A loopback server for one connection; `script` runs with a line reader and a sender and
    may go on sending until the client has gone or the server is closed."""

    def __init__(self, script, address="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET)
        self.sock.bind((address, 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.stopped = False
        self.sent = 0
        # What the client sent after the script's last read, read by rest().
        self.rest = b""
        self.thread = threading.Thread(target=self._serve, args=(script,), daemon=True)
        self.thread.start()

    def _serve(self, script):
        self.sock.settimeout(30)
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        conn.settimeout(10)
        pending = b""

        def line():
            nonlocal pending
            while b"\n" not in pending:
                data = conn.recv(4096)
                if not data:
                    raise ConnectionError("client closed")
                pending += data
            head, _, pending = pending.partition(b"\n")
            return head + b"\n"

        def send(data):
            conn.sendall(data)
            self.sent += len(data)

        def rest():
            self.rest = pending
            while True:
                data = conn.recv(4096)
                if not data:
                    return
                self.rest += data

        line.rest = rest
        line.some = lambda: conn.recv(4096)
        try:
            script(self, line, send)
        except OSError:
            pass  # the client gave up, as it should
        finally:
            conn.close()

    def close(self):
        self.stopped = True
        self.thread.join(15)
        self.sock.close()


def endless(server, send, piece):
    deadline = time.monotonic() + 60
    while not server.stopped and time.monotonic() < deadline:
        send(piece)


def hello(line, send, ehlo_reply=b"250 mx.test\r\n"):
    send(b"220 mx.test ESMTP\r\n")
    line()
    send(ehlo_reply)


def endless_line(server, line, send):
    endless(server, send, b"x" * 65536)


def endless_continuation(server, line, send):
    send(b"220 mx.test ESMTP\r\n")
    line()
    endless(server, send, b"250-PIPELINING and then some more\r\n" * 2000)


def code_not_a_number(server, line, send):
    send(b"abc def\r\n")
    time.sleep(5)


def close_in_data(server, line, send):
    hello(line, send)
    for _ in ("MAIL", "RCPT"):
        line()
        send(b"250 2.1.0 Ok\r\n")
    line()
    send(b"354 go ahead\r\n")
    line()  # the first line of the message, then the server is gone


def broken_handshake(server, line, send):
    hello(line, send, b"250-mx.test\r\n250 STARTTLS\r\n")
    line()
    send(b"220 2.0.0 Ready to start TLS\r\n")
    time.sleep(0.3)  # the client has begun its handshake: this is not input with the 220
    send(PARTIAL_SERVER_HELLO)
    time.sleep(TIMEOUT_S + 10)


def plain_text_for_a_server_hello(server, line, send):
    hello(line, send, b"250-mx.test\r\n250 STARTTLS\r\n")
    line()
    send(b"220 2.0.0 Ready to start TLS\r\n")
    line.some()  # the ClientHello
    send(b"500 what is this?\r\n")
    deadline = time.monotonic() + 30
    while not server.stopped and time.monotonic() < deadline:
        time.sleep(0.05)


def forged_replies_with_starttls(server, line, send):
    hello(line, send, b"250-mx.test\r\n250 STARTTLS\r\n")
    line()
    # Everything after the 220 would answer the client's next commands, down to the end of data.
    send(b"220 2.0.0 Ready to start TLS\r\n250 mx.test\r\n250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n"
         b"354 go ahead\r\n250 2.0.0 queued\r\n221 bye\r\n")
    line.rest()


def close_after_hello(server, line, send):
    hello(line, send)


def stop_reading_in_data(server, line, send):
    hello(line, send)
    for _ in ("MAIL", "RCPT"):
        line()
        send(b"250 2.1.0 Ok\r\n")
    line()
    send(b"354 go ahead\r\n")
    deadline = time.monotonic() + 60
    while not server.stopped and time.monotonic() < deadline:
        time.sleep(0.05)


def starttls_accepted(server, line, send):
    hello(line, send, b"250-mx.test\r\n250 STARTTLS\r\n")
    line()
    send(b"220 2.0.0 Ready to start TLS\r\n")
    line()  # nothing more comes: the client closes


def escapes_in_reply(server, line, send):
    hello(line, send)
    line()
    # Sets the terminal's title, rings, then clears the screen, with a NUL in the middle.
    send(b"550 5.7.1 no\x1b]0;owned\x07 way\x00 after NUL\x7f\x1b[2J end\r\n")
    line()


class Hostile(LarkpostTestCase):
    def run_against(self, script, *extra_args, **extra_env):
        server = HostileServer(script)
        self.addCleanup(server.close)
        self.box.write("Larkpost.ini", f"[Larkpost]\r\nTimeout={TIMEOUT_S}\r\nContentType=0\r\n")
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(RUN_ENV_FIXED)
        env.update(extra_env)
        args = [self.box.exe, "/HOST", "127.0.0.1", "/PORT", str(server.port),
                "/FROM", "sender@example.test", "/TO", "someone@example.test",
                "/SUBJECT", "doomed", "/BODY", "never delivered", "/LOG", *extra_args]
        started = time.monotonic()
        with open(self.box.path("stdout"), "wb") as out, open(self.box.path("stderr"), "wb") as err:
            p = subprocess.Popen(args, cwd=self.box.dir, env=env, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=err)
            # wait4 gives this child's own peak, where RUSAGE_CHILDREN would give the largest of
            # all children so far.
            while True:
                done, status, usage = os.wait4(p.pid, os.WNOHANG)
                if done:
                    break
                if time.monotonic() - started > TIMEOUT_S + 30:
                    p.kill()
                    os.wait4(p.pid, 0)
                    self.fail("larkpost hangs")
                time.sleep(0.05)
            p.returncode = os.waitstatus_to_exitcode(status)
        elapsed = time.monotonic() - started
        server.stopped = True
        peak_mb = usage.ru_maxrss / 1024
        print(f"\n  {self._testMethodName}: exit {p.returncode} after {elapsed:.1f} s, "
              f"peak RSS {peak_mb:.1f} MB, server sent {server.sent} bytes", file=sys.stderr)
        with open(self.box.path("stderr"), "rb") as f:
            err = f.read().decode("utf-8", "replace")
        self.err = err
        self.server = server
        return p.returncode, err, elapsed, peak_mb

    def assertFailedWith(self, script, *reasons, args=(), **extra_env):
        """Reasons that begin with " failed: " follow the stage and the peer on stderr."""
        code, err, elapsed, peak_mb = self.run_against(script, *args, **extra_env)
        self.assertEqual(code, 1, err)
        lines = err.splitlines()
        self.assertTrue(lines and lines[0].startswith("larkpost: "), err)
        self.assertTrue(any(r in err for r in reasons), err)
        # Bounds for correctness, generous: one read time-out plus the start of the program.
        self.assertLess(elapsed, TIMEOUT_S + 10)
        self.assertLess(peak_mb, 100)
        log = self.box.log_texts()
        self.assertNotIn("Message sent successfully.", log)
        self.assertTrue(log[-1].startswith("Exception: "), log)
        return log

    def test_line_that_never_ends(self):
        self.assertFailedWith(endless_line, "Max line length exceeded.")

    def test_reply_that_never_ends(self):
        self.assertFailedWith(endless_continuation, "Max line read attempts exceeded.")

    def test_code_that_is_not_a_number(self):
        self.assertFailedWith(code_not_a_number, "Reply Code is not valid: abc")

    def test_close_in_the_middle_of_data(self):
        self.assertFailedWith(close_in_data, "Connection Closed Gracefully.", "Socket Error # 10054",
                              "Socket Error # 10058")

    def test_reply_with_control_characters_is_escaped_on_stderr(self):
        code, err, _, _ = self.run_against(escapes_in_reply)
        self.assertEqual(code, 1, err)
        port = err.split(" port ")[1].split(" ")[0]
        self.assertEqual(err, f"larkpost: sending through 127.0.0.1 port {port} failed: "
                              "no\\x1B]0;owned\\x07 way\\x00 after NUL\\x7F\\x1B[2J end.\n")
        # The log keeps what follows the NUL too.
        self.assertEqual(self.box.log_texts()[-2],
                         "Exception: ELpSMTPReplyError no\x1b]0;owned\x07 way\\x00 after "
                         "NUL\x7f\x1b[2J end. ")

    def test_handshake_broken_off(self):
        # The stall is the time-out it is, not OpenSSL's "try again" code as an error text.
        self.assertFailedWith(
            broken_handshake,
            " failed: SSL negotiation failed. (Socket Error # 10060. Connection timed out.)\n")

    def test_handshake_failure_reads_cleanly(self):
        log = self.assertFailedWith(plain_text_for_a_server_hello,
                                    " failed: SSL negotiation failed. (Error connecting with SSL. ")
        self.assertNotIn("..", self.err)
        self.assertNotIn("..", log[-2])

    def test_forged_replies_with_the_starttls_answer_end_the_send(self):
        self.assertFailedWith(
            forged_replies_with_starttls,
            "larkpost: The server 127.0.0.1 sent unencrypted data after accepting STARTTLS; the "
            "connection was closed, since that data could have been injected.\n")
        # Nothing was written after STARTTLS: no handshake, no command.
        self.assertEqual(self.server.rest, b"")

    def test_close_right_after_the_hello_is_a_failure(self):
        self.assertFailedWith(close_after_hello, "Connection Closed Gracefully.",
                              "Socket Error # 10054", "Socket Error # 10058")

    def test_server_that_stops_reading_during_data_times_out(self):
        # 32 MiB, base64 in the message: far more than loopback's socket buffers hold.
        big = self.box.write("big.bin", b"\0" * (32 << 20))
        self.assertFailedWith(stop_reading_in_data,
                              " failed: Socket Error # 10060. Connection timed out.\n",
                              args=("/FILES", big))

    def test_starttls_without_openssl_names_the_cause(self):
        self.assertFailedWith(starttls_accepted,
                              "SSL negotiation failed. (Could not load SSL library.)",
                              LARKPOST_OPENSSL_DIR=self.box.path("no-openssl-here"))


if __name__ == "__main__":
    unittest.main()
