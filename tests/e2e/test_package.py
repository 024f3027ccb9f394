"""The Debian package as a user gets it: built with cpack from this build, unpacked into a scratch
root (the same files dpkg -i would put under the install prefix), and the installed program run:
version, help, an unattended send to a small SMTP sink on loopback, the man page, the desktop
entry and its icons, bash completion, and the window module found in lib/larkpost/."""

import configparser
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BUILD_DIR = os.environ.get("LARKPOST_BUILD_DIR", "")
PREFIX = os.environ.get("LARKPOST_INSTALL_PREFIX", "/usr/local")
# A build without the windows (the sanitizer build) packages the program alone.
WITH_UI = os.environ.get("LARKPOST_WITH_UI", "ON").upper() in ("ON", "1", "TRUE", "YES")


class Sink:
    """Takes one message over SMTP and keeps what came after DATA."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.data = b""
        self.envelope = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.sock.settimeout(60)
        conn, _ = self.sock.accept()
        conn.settimeout(30)
        f = conn.makefile("rb")
        conn.sendall(b"220 sink.test ESMTP\r\n")
        while True:
            line = f.readline()
            if not line:
                break
            verb = line[:4].upper()
            if verb in (b"EHLO", b"HELO"):
                conn.sendall(b"250 sink.test\r\n")
            elif verb in (b"MAIL", b"RCPT"):
                self.envelope.append(line.strip().decode())
                conn.sendall(b"250 ok\r\n")
            elif verb == b"DATA":
                conn.sendall(b"354 go on\r\n")
                while (l := f.readline()) not in (b".\r\n", b""):
                    self.data += l
                conn.sendall(b"250 queued\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                break
            else:
                conn.sendall(b"502 no\r\n")
        conn.close()

    def close(self):
        self.thread.join(10)
        self.sock.close()


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="larkpost-package-")
        out = os.path.join(cls.tmp, "out")
        subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config",
                        os.path.join(BUILD_DIR, "CPackConfig.cmake")],
                       check=True, capture_output=True, timeout=300)
        debs = [n for n in os.listdir(out) if n.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(out, debs[0])
        cls.root = os.path.join(cls.tmp, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        cls.prefix = cls.root + PREFIX
        cls.exe = os.path.join(cls.prefix, "bin", "larkpost")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_installed(self, *args, env=None, timeout=60):
        base = {k: v for k, v in os.environ.items()
                if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        base.update(env or {})
        work = tempfile.mkdtemp(dir=self.tmp)
        return subprocess.run([self.exe, *args], cwd=work, env=base, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], check=True,
                              capture_output=True, text=True).stdout.strip()

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "larkpost")
        depends = self.field("Depends")
        self.assertIn("libbotan-2-19", depends)
        # The window and TLS libraries are loaded only when used.
        self.assertNotIn("qt6", depends.lower())
        self.assertNotIn("ssl", depends)
        recommends = self.field("Recommends")
        self.assertIn("libqt6widgets6", recommends)
        self.assertIn("libssl3", recommends)

    def test_files_where_debian_expects_them(self):
        share = os.path.join(self.prefix, "share")
        for path in ["bin/larkpost"] + (["lib/larkpost/larkpost-ui.so"] if WITH_UI else []) + [
                     "share/man/man1/larkpost.1",
                     "share/applications/larkpost.desktop",
                     "share/icons/hicolor/scalable/apps/larkpost.svg",
                     "share/icons/hicolor/48x48/apps/larkpost.png",
                     "share/bash-completion/completions/larkpost",
                     "share/doc/larkpost/copyright", "share/doc/larkpost/changelog.Debian.gz"]:
            with self.subTest(path=path):
                self.assertTrue(os.path.isfile(os.path.join(self.prefix, path)))
        with open(os.path.join(share, "icons/hicolor/48x48/apps/larkpost.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        entry = configparser.ConfigParser(interpolation=None)
        entry.read(os.path.join(share, "applications/larkpost.desktop"))
        desktop = entry["Desktop Entry"]
        self.assertEqual(desktop["Type"], "Application")
        self.assertEqual(set(desktop["Categories"].strip(";").split(";")), {"Network", "Email"})
        self.assertEqual(desktop["Exec"].split()[0], "larkpost")
        self.assertEqual(desktop["Icon"], "larkpost")

    def test_version_and_help(self):
        for args in (["/V"], ["--version"]):
            r = self.run_installed(*args)
            self.assertEqual(r.returncode, 0, r)
            self.assertTrue(r.stdout.startswith(b"Larkpost Version "), r)
        r = self.run_installed("--help")
        self.assertEqual(r.returncode, 0, r)
        self.assertIn(b"Usage: larkpost", r.stdout)

    def test_unattended_send(self):
        sink = Sink()
        self.addCleanup(sink.close)
        r = self.run_installed("/NOS", "/HOST", "127.0.0.1", "/PORT", str(sink.port),
                               "/FROM", "Package Test <pkg@example.test>", "/TO", "to@example.test",
                               "/SUBJECT", "from the package", "/BODY", "installed")
        self.assertEqual((r.returncode, r.stderr), (0, b""), r)
        sink.close()
        self.assertEqual(sink.envelope, ["MAIL FROM:<pkg@example.test>", "RCPT TO:<to@example.test>"])
        self.assertIn(b"Subject: from the package", sink.data)

    def test_mistyped_switch_warns_and_the_run_goes_on(self):
        r = self.run_installed("/NOS", "/HOST", "127.0.0.1", "/PORT", "1", "/SUBJET", "x")
        self.assertEqual(r.returncode, 1, r)
        self.assertTrue(r.stderr.startswith(b"larkpost: unknown switch /SUBJET (ignored)\n"), r)

    def test_man_page_renders(self):
        page = os.path.join(self.prefix, "share/man/man1/larkpost.1")
        r = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                           env={**os.environ, "MANWIDTH": "80", "MAN_KEEP_FORMATTING": ""},
                           timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        for text in ("SYNOPSIS", "EXIT STATUS", "/FINGERPRINT", "Larkpost_SMTP.log"):
            self.assertIn(text, r.stdout)

    def test_bash_completion(self):
        script = os.path.join(self.prefix, "share/bash-completion/completions/larkpost")
        r = subprocess.run(["bash", "-c", f'source "{script}"; COMP_WORDS=(larkpost /subj -ret); '
                            'COMP_CWORD=1; _larkpost; echo "${COMPREPLY[*]}"; '
                            'COMP_CWORD=2; _larkpost; echo "${COMPREPLY[*]}"'],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.stdout, "/SUBJECT\n/RETRY /RETRYWAIT\n", r.stderr)

    @unittest.skipUnless(WITH_UI, "built without the windows")
    def test_window_module_is_found_in_lib(self):
        # Offscreen, the window opens and waits for the user: still running means it was found.
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["QT_QPA_PLATFORM"] = "offscreen"
        p = subprocess.Popen([self.exe, "/I", "/NOS"], cwd=self.tmp, env=env,
                             stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 3
            while time.monotonic() < deadline and p.poll() is None:
                time.sleep(0.1)
            still_running = p.poll() is None
        finally:
            p.kill()
            _, err = p.communicate(timeout=10)
        self.assertTrue(still_running, err)
        self.assertNotIn(b"could not be loaded", err)


if __name__ == "__main__":
    unittest.main()
