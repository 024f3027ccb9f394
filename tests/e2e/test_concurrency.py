"""Unattended runs started at the same moment, as scheduled jobs often are, all logging beside the
same program: every run's lines must survive in Larkpost.log, each run's lines together and in
order, and Larkpost_SMTP.log must hold one whole conversation after another with no mail dropped."""

import fcntl
import os
import re
import socket
import subprocess
import threading
import time
import unittest

from harness import RUN_ENV_FIXED, LarkpostTestCase


class SinkServer:
    """A loopback SMTP server that takes any number of connections at once and keeps what each
    message said. With `hold_until` set, no message is acknowledged before that many have
    arrived, so the runs reach their end (and their log writing) at the same moment."""

    def __init__(self, hold_until=0):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.messages = []
        self.lock = threading.Lock()
        self.all_arrived = threading.Event()
        self.hold_until = hold_until
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        self.sock.settimeout(0.2)
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        conn.settimeout(60)
        reader = conn.makefile("rb")
        try:
            conn.sendall(b"220 sink ready\r\n")
            while True:
                line = reader.readline()
                if not line:
                    return
                verb = line[:4].upper()
                if verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                if verb == b"DATA":
                    conn.sendall(b"354 go on\r\n")
                    data = b""
                    while True:
                        chunk = reader.readline()
                        if not chunk or chunk == b".\r\n":
                            break
                        data += chunk
                    with self.lock:
                        self.messages.append(data)
                        if len(self.messages) >= self.hold_until:
                            self.all_arrived.set()
                    if self.hold_until:
                        self.all_arrived.wait(30)
                    conn.sendall(b"250 kept\r\n")
                    continue
                conn.sendall(b"250 ok\r\n")
        except OSError:
            pass
        finally:
            reader.close()
            conn.close()

    def close(self):
        self.stopped = True
        self.sock.close()

    def subjects(self):
        with self.lock:
            return sorted(re.search(rb"^Subject: (.*)\r$", m, re.M).group(1).decode()
                          for m in self.messages)


class ConcurrentRuns(LarkpostTestCase):
    def start_runs(self, count, port, *extra):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(RUN_ENV_FIXED)
        procs = [subprocess.Popen(
            [self.box.exe, "/HOST", "127.0.0.1", "/PORT", str(port), "/FROM", "cron@example.test",
             "/TO", "ops@example.test", "/SUBJECT", f"run {n:02}", "/BODY", "nightly", *extra],
            cwd=self.box.dir, env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE) for n in range(count)]
        results = []
        for p in procs:
            out, err = p.communicate(timeout=120)
            results.append((p.returncode, err.decode("utf-8", "replace")))
        return results

    def test_twenty_runs_keep_every_line_of_the_activity_log(self):
        runs = 20
        sink = SinkServer(hold_until=runs)
        self.addCleanup(sink.close)
        results = self.start_runs(runs, sink.port, "/LOG")
        self.assertEqual(results, [(0, "")] * runs)
        self.assertEqual(sink.subjects(), [f"run {n:02}" for n in range(runs)])

        texts = self.box.log_texts()
        # Every run logs the same lines (only the time stamps differ), each block opening with the
        # send's empty separator line.
        block = texts[:texts.index("", 1)] if "" in texts[1:] else texts
        self.assertEqual(block[0], "")
        self.assertIn("Message sent successfully.", block)
        self.assertEqual(texts, block * runs)

    def test_six_runs_wait_their_turn_for_the_connection_log(self):
        runs = 6
        sink = SinkServer()
        self.addCleanup(sink.close)
        results = self.start_runs(runs, sink.port, "/LOGSMTP")
        self.assertEqual(results, [(0, "")] * runs)
        self.assertEqual(sink.subjects(), [f"run {n:02}" for n in range(runs)])

        entries = self.box.read("Larkpost_SMTP.log").decode("latin-1").split("\r\n")
        self.assertEqual(entries[-1], "")
        conversations, current = [], None
        for entry in entries[:-1]:
            if entry == "Stat Connected.":
                self.assertIsNone(current, "a conversation began inside another")
                current = []
            self.assertIsNotNone(current, f"entry outside a conversation: {entry!r}")
            current.append(entry)
            if entry == "Stat Disconnected.":
                conversations.append(current)
                current = None
        self.assertIsNone(current, "the last conversation never ended")
        subjects = []
        for conversation in conversations:
            found = re.findall(r"Subject: (run \d\d)<EOL>", "\n".join(conversation))
            self.assertEqual(len(found), 1, conversation)
            subjects += found
        self.assertEqual(sorted(subjects), [f"run {n:02}" for n in range(runs)])

    def test_a_connection_log_held_past_the_time_out_fails_the_run(self):
        sink = SinkServer()
        self.addCleanup(sink.close)
        # The time-out has no switch; it comes from the settings file beside the program.
        self.box.write("Larkpost.ini", "[Larkpost]\nTimeout=1\n")
        log_path = self.box.write("Larkpost_SMTP.log", b"")
        with open(log_path, "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            started = time.monotonic()
            [(code, err)] = self.start_runs(1, sink.port, "/LOGSMTP")
            waited = time.monotonic() - started
        self.assertEqual(code, 1)
        self.assertEqual(err, f'larkpost: Cannot open file "{log_path}". '
                              "The file is in use by another process.\n")
        self.assertGreaterEqual(waited, 1.0)
        self.assertEqual(sink.subjects(), [])


if __name__ == "__main__":
    unittest.main()
