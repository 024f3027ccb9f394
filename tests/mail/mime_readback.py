#!/usr/bin/env python3
"""Reads a message written by the mail writer with Python's own MIME parser and compares what a
mail program would show (subject, sender name, body text, attachment names and bytes) with the
originals. Usage: mime_readback.py MESSAGE EXPECTED, where EXPECTED holds tab-separated lines:
content_type TYPE, subject TEXT, from_name TEXT, body_type TYPE, body_file PATH, and
attachment NAME PATH [TYPE] for each attachment in order (TYPE: its expected media type)."""
import email
import re
import sys
from email import policy
from email.header import decode_header, make_header
from email.utils import getaddresses

ENCODED_WORD = re.compile(r"=\?[^?\s]+\?[bBqQ]\?[^?\s]*\?=")


def unfolded(value):
    return value.replace("\r\n", "").replace("\n", "")


def words_decoding_alone(what, value, errors):
    """RFC 2047, section 5: every encoded word holds whole characters, so it decodes by itself."""
    for word in ENCODED_WORD.findall(value):
        for data, charset in decode_header(word):
            try:
                data.decode(charset or "ascii")
            except (UnicodeDecodeError, LookupError) as e:
                errors.append(f"{what}: {word} does not decode by itself ({e})")


def main():
    message_path, expected_path = sys.argv[1:3]
    with open(message_path, "rb") as f:
        raw = f.read()
    # The data phase doubles a leading full stop; a receiving server removes it again.
    raw = b"\r\n".join(l[1:] if l.startswith(b"..") else l for l in raw.split(b"\r\n"))
    msg = email.message_from_bytes(raw, policy=policy.default)

    expected = {"attachment": []}
    with open(expected_path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            key, *values = line.split("\t")
            if key == "attachment":
                expected["attachment"].append(values)
            else:
                expected[key] = values[0]

    errors = []

    def check(what, got, want):
        if got != want:
            errors.append(f"{what}: got {got!r}, want {want!r}")

    check("subject", str(msg["subject"]), expected["subject"])
    # The header lines as sent. Python 3.11's structured parser keeps the blank between two
    # encoded words of a display name (against RFC 2047, 6.2), so the name is read with its
    # RFC 2047 decoder instead.
    sent = email.message_from_bytes(raw)
    from_name = getaddresses([unfolded(sent["From"])])[0][0]
    try:
        check("from name", str(make_header(decode_header(from_name))), expected["from_name"])
    except (UnicodeDecodeError, LookupError) as e:
        errors.append(f"from name: {from_name!r} cannot be decoded ({e})")
    for name in ("Subject", "From"):
        words_decoding_alone(name, unfolded(sent[name]), errors)
    for part in sent.walk():
        for name in ("Content-Type", "Content-Disposition"):
            if part[name]:
                words_decoding_alone(name, unfolded(part[name]), errors)
    check("Bcc header", msg.get("bcc"), None)
    check("content type", msg.get_content_type(), expected["content_type"])

    with open(expected["body_file"], encoding="utf-8") as f:
        want_body = f.read()
    body = msg.get_body(preferencelist=("plain", "html"))
    check("body type", body.get_content_type(), expected["body_type"])
    got_body = body.get_content().replace("\r\n", "\n")
    check("body", got_body, want_body)

    attachments = list(msg.iter_attachments())
    check("attachment count", len(attachments), len(expected["attachment"]))
    for part, (name, path, *media_type) in zip(attachments, expected["attachment"]):
        check("file name", part.get_filename(), name)
        if media_type:
            check(f"type of {name}", part.get_content_type(), media_type[0])
        with open(path, "rb") as f:
            want = f.read()
        got = part.get_payload(decode=True)
        if got is None:
            errors.append(f"data of {name}: cannot be decoded")
        elif got != want:
            errors.append(f"data of {name}: {len(got)} bytes differ from the {len(want)} original bytes")

    if errors:
        print("\n".join(errors))
        return 1
    print("readback ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
