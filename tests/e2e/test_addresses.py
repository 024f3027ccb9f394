"""Every address of the host: names with several addresses, IPv6-only names and IPv6 literals,
against servers on 127.0.0.1 and ::1. The names come from a hosts file bind-mounted over
/etc/hosts in a private mount namespace (root only), so the real resolver orders the addresses."""

import os
import shutil
import subprocess
import time
import unittest

from harness import RUN_ENV_FIXED, LarkpostTestCase
from test_hostile import HostileServer, hello


def accept_one_message(server, line, send):
    hello(line, send)
    for _ in ("MAIL", "RCPT"):
        line()
        send(b"250 2.1.0 Ok\r\n")
    line()
    send(b"354 go ahead\r\n")
    while line() != b".\r\n":
        pass
    send(b"250 2.0.0 queued\r\n")
    line()
    send(b"221 bye\r\n")


def private_hosts_possible():
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    r = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    return r.returncode == 0


class Addresses(LarkpostTestCase):
    def send(self, host, server, hosts=None):
        """Runs larkpost against server under the name host; with hosts, that text is the
        machine's /etc/hosts for this run only."""
        self.box.write("Larkpost.ini", "[Larkpost]\r\nTimeout=5\r\nContentType=0\r\n")
        args = [self.box.exe, "/HOST", host, "/PORT", str(server.port),
                "/FROM", "sender@example.test", "/TO", "someone@example.test",
                "/SUBJECT", "hi", "/BODY", "hello", "/LOG"]
        if os.path.exists(self.box.path("Larkpost.log")):
            os.remove(self.box.path("Larkpost.log"))
        if hosts is not None:
            hosts_file = self.box.write("hosts", hosts)
            args = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"',
                    hosts_file] + args
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(RUN_ENV_FIXED)
        p = subprocess.run(args, cwd=self.box.dir, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        server.stopped = True
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr, b"")
        log = self.box.log_texts()
        self.assertEqual(log[-1], "Message sent successfully.")
        # The lines from the resolving or connecting to the connection.
        first = next(i for i, t in enumerate(log) if t.startswith(("Resolving", "Connecting")))
        return log[first:log.index("Connected.") + 1]

    def serve(self, address):
        server = HostileServer(accept_one_message, address)
        self.addCleanup(server.close)
        return server

    def test_ipv6_literals(self):
        for host in ("::1", "[::1]"):
            with self.subTest(host=host):
                self.assertEqual(self.send(host, self.serve("::1")),
                                 ["Connecting to 0:0:0:0:0:0:0:1.", "Connected."])

    @unittest.skipUnless(private_hosts_possible(), "needs root and unshare for a private /etc/hosts")
    def test_names_from_the_hosts_file(self):
        hosts = ("127.0.0.1 localhost\n"
                 "127.0.0.1 one.larkpost.test\n"
                 "::1 dual.larkpost.test\n127.0.0.1 dual.larkpost.test\n"
                 "::1 v6.larkpost.test\n")
        cases = [
            # One IPv4 address: the lines of every earlier version.
            ("one.larkpost.test", "127.0.0.1",
             ["Resolving hostname one.larkpost.test.", "Connecting to 127.0.0.1.", "Connected."]),
            # Nothing listens on ::1, which the resolver puts first: refused, then the next.
            ("dual.larkpost.test", "127.0.0.1",
             ["Resolving hostname dual.larkpost.test.", "Connecting to 0:0:0:0:0:0:0:1.",
              "Connecting to 127.0.0.1.", "Connected."]),
            ("v6.larkpost.test", "::1",
             ["Resolving hostname v6.larkpost.test.", "Connecting to 0:0:0:0:0:0:0:1.",
              "Connected."]),
        ]
        for host, address, lines in cases:
            with self.subTest(host=host):
                self.assertEqual(self.send(host, self.serve(address), hosts), lines)


if __name__ == "__main__":
    unittest.main()
