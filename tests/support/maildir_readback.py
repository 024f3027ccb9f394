#!/usr/bin/env python3
"""Waits for the messages a private Postfix delivered to one recipient and reads the first with
Python's own MIME parser, as a mail program would show it.

Usage: maildir_readback.py MAILDIR RECIPIENT [TIMEOUT_SECONDS] [SAVE_DIR]

Prints one "key<TAB>value" line per fact, with backslash, CR, LF and TAB in values written as
\\\\, \\r, \\n and \\t: count, subject, from, to, cc, bcc ("<none>" when absent), x-mailer,
content-type, body (the text of the first text/plain or text/html part) and, per attachment in
order, "attachment<TAB>NAME<TAB>SIZE<TAB>SHA256". With SAVE_DIR, each attachment's bytes are
also written there under its name. Exit code 1 when nothing arrived in time."""
import email
import hashlib
import os
import sys
import time
from email import policy


def escaped(text):
    return (text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")
            .replace("\t", "\\t"))


def delivered(maildir, recipient):
    found = []
    new = os.path.join(maildir, "new")
    try:
        names = sorted(os.listdir(new))
    except FileNotFoundError:
        return found
    for name in names:
        path = os.path.join(new, name)
        with open(path, "rb") as f:
            msg = email.message_from_binary_file(f, policy=policy.default)
        if any(v.lower() == recipient.lower() for v in msg.get_all("Delivered-To", [])):
            found.append((os.stat(path).st_mtime, path, msg))
    return [m for _, _, m in sorted(found, key=lambda t: (t[0], t[1]))]


def main():
    maildir, recipient = sys.argv[1:3]
    timeout = float(sys.argv[3]) if len(sys.argv) > 3 else 20
    save_dir = sys.argv[4] if len(sys.argv) > 4 else None
    deadline = time.monotonic() + timeout
    messages = delivered(maildir, recipient)
    while not messages and time.monotonic() < deadline:
        time.sleep(0.1)
        messages = delivered(maildir, recipient)
    # A second copy for the same recipient may still be on its way.
    time.sleep(0.3)
    messages = delivered(maildir, recipient)
    print(f"count\t{len(messages)}")
    if not messages:
        return 1
    msg = messages[0]

    def header(name):
        value = msg.get(name)
        return "<none>" if value is None else escaped(str(value))

    for key in ("subject", "from", "to", "cc", "bcc", "x-mailer"):
        print(f"{key}\t{header(key)}")
    print(f"content-type\t{msg.get_content_type()}")
    body = msg.get_body(preferencelist=("plain", "html"))
    print(f"body\t{escaped(body.get_content()) if body is not None else '<none>'}")
    for part in msg.iter_attachments():
        data = part.get_payload(decode=True) or b""
        name = part.get_filename() or ""
        print(f"attachment\t{escaped(name)}\t{len(data)}\t{hashlib.sha256(data).hexdigest()}")
        if save_dir:
            with open(os.path.join(save_dir, os.path.basename(name) or "unnamed"), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
