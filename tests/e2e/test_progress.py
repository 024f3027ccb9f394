"""The progress line of an unattended send on a terminal, and Ctrl+C in the middle of a send:
runs of the real binary against a slow SMTP server written in Python on loopback."""

import os
import pty
import select
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import RUN_ENV_FIXED, LarkpostTestCase

END_OF_DATA = b"\r\n.\r\n"


class SlowServer:
    """Accepts one client and says yes to everything; after DATA it reads the message at about
    `rate` bytes a second. Records what arrived and whether the end-of-data line came."""

    def __init__(self, rate):
        self.rate = rate
        self.sock = socket.socket()
        # A small window, so the client's writes follow what the server reads.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.data = bytearray()
        self.ended = False
        self.stopped = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.sock.settimeout(30)
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        conn.settimeout(30)
        try:
            self._dialogue(conn)
        except OSError:
            pass  # the client went away
        finally:
            conn.close()

    def _dialogue(self, conn):
        pending = b""

        def line():
            nonlocal pending
            while b"\n" not in pending:
                chunk = conn.recv(4096)
                if not chunk:
                    raise ConnectionError("client closed")
                pending += chunk
            head, _, pending = pending.partition(b"\n")
            return head

        conn.sendall(b"220 slow.test ESMTP\r\n")
        while not self.stopped:
            verb = line().strip().split(b" ")[0].upper()
            if verb == b"QUIT":
                conn.sendall(b"221 Bye\r\n")
                return
            if verb != b"DATA":
                conn.sendall(b"250 Ok\r\n")
                continue
            conn.sendall(b"354 go ahead\r\n")
            self.data += pending
            piece = max(self.rate // 20, 1)
            while not self.stopped and not self.data.endswith(END_OF_DATA):
                chunk = conn.recv(piece)
                if not chunk:
                    return
                self.data += chunk
                time.sleep(0.05)
            if not self.data.endswith(END_OF_DATA):
                return
            self.ended = True
            conn.sendall(b"250 2.0.0 queued\r\n")

    def close(self):
        self.stopped = True
        self.thread.join(40)
        self.sock.close()


class ProgressTest(LarkpostTestCase):
    def send_args(self, server, size_mb, *extra):
        self.box.write("big.bin", b"\0" * (size_mb << 20))
        return ["/NOS", "/HOST", "127.0.0.1", "/PORT", str(server.port), "/FROM", "a@b.test",
                "/TO", "c@d.test", "/SUBJECT", "progress", "/BODY", "big", "/FILES", "big.bin",
                *extra]

    def env(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(RUN_ENV_FIXED)
        return env

    def test_progress_line_on_a_terminal_only(self):
        # Some seconds of sending (what the client's socket buffer holds goes at once): the line
        # shows after the first.
        server = SlowServer(rate=3 << 20)
        self.addCleanup(server.close)
        master, slave = pty.openpty()
        p = subprocess.Popen([self.box.exe, *self.send_args(server, 8)], cwd=self.box.dir,
                             env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=slave)
        os.close(slave)
        terminal = b""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 1)
            if not ready:
                if p.poll() is not None:
                    break
                continue
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break  # the program ended and the terminal is gone
            if not chunk:
                break
            terminal += chunk
        os.close(master)
        self.assertEqual(p.wait(30), 0, terminal)
        self.assertTrue(server.ended)
        text = terminal.decode()
        lines = [piece for piece in text.split("\r") if piece.strip()]
        self.assertTrue(lines, text)
        for piece in lines:
            self.assertRegex(piece, r"^ *\d+%  [\d.]+ (B|KiB|MiB) of [\d.]+ MiB( +[\d.]+ (B|KiB|MiB)/s  \d+:\d\d left)? *$")
        self.assertNotIn("\n", text, "redrawn in place, never a new line")
        # Erased at the end: blanks over the whole line, the cursor back at its start.
        self.assertTrue(text.endswith(" " * len(lines[-1].rstrip()) + "\r"), repr(text[-120:]))

        # The same send with standard error in a file: nothing new there.
        server2 = SlowServer(rate=3 << 20)
        self.addCleanup(server2.close)
        r = self.box.run(*self.send_args(server2, 8))
        self.assertSent(r)

    def test_ctrl_c_stops_the_send_without_the_end_of_data_line(self):
        server = SlowServer(rate=1 << 20)
        self.addCleanup(server.close)
        p = subprocess.Popen([self.box.exe, *self.send_args(server, 12, "/LOG")], cwd=self.box.dir,
                             env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while len(server.data) < (256 << 10) and time.monotonic() < deadline and p.poll() is None:
            time.sleep(0.05)
        self.assertIsNone(p.poll(), "the send is still going on")
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        self.assertEqual(p.returncode, 1, err)
        self.assertEqual(err.decode(), "larkpost: Send cancelled by the user.\n")
        server.close()
        self.assertFalse(server.ended)
        self.assertNotIn(END_OF_DATA, bytes(server.data))
        texts = self.box.log_texts()
        self.assertEqual(texts[-1], "Send cancelled by the user.")
        self.assertFalse([t for t in texts if t.startswith("Exception:")], texts)


if __name__ == "__main__":
    unittest.main()
