#!/usr/bin/env python3
"""Writes data/sample-list/demo-list.mbox from the numbered message files.

The messages are read in list order (the file names are hex numbers: 1.msg,
2.msg, ..., a.msg, ..., 40.msg) and written in mboxrd form:

  * each message starts with a "From <envelope sender> <asctime date>" line,
    taken from the message's From: address and the date of its first
    Received: line (the time the list got it), in UTC;
  * every line of the message that starts with "From " or ">From " (any
    number of '>') gets one more '>' so that readers can undo it exactly;
  * the message bytes are otherwise kept as they are, so files with CRLF
    line ends keep their CR LF inside the mbox; the separator lines and the
    blank line after each message are LF.

Usage: make-sample-mbox.py [SAMPLE_DIR [OUTPUT]]
"""
import email.utils
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DIR = os.path.join(HERE, '..', 'data', 'sample-list')

FROM_LINE = re.compile(rb'^(>*From )', re.MULTILINE)
FROM_HDR = re.compile(rb'^From:[ \t]*(.*(?:\r?\n[ \t].*)*)', re.MULTILINE | re.IGNORECASE)
RECEIVED_HDR = re.compile(rb'^Received:(.*(?:\r?\n[ \t].*)*)', re.MULTILINE | re.IGNORECASE)
DATE_HDR = re.compile(rb'^Date:[ \t]*(.*)', re.MULTILINE | re.IGNORECASE)


def header_block(raw):
    m = re.search(rb'\r?\n\r?\n', raw)
    return raw[:m.start() + 1] if m else raw


def envelope_sender(head):
    m = FROM_HDR.search(head)
    if not m:
        return 'MAILER-DAEMON'
    value = re.sub(rb'\r?\n[ \t]', b' ', m.group(1)).decode('ascii', 'replace')
    _, address = email.utils.parseaddr(value)
    return address or 'MAILER-DAEMON'


def arrival_time(head):
    """Seconds since the epoch: the list's Received: stamp, else the Date:."""
    m = RECEIVED_HDR.search(head)
    if m:
        text = re.sub(rb'\r?\n[ \t]', b' ', m.group(1)).decode('ascii', 'replace')
        if ';' in text:
            parsed = email.utils.parsedate_tz(text.rsplit(';', 1)[1].strip())
            if parsed:
                return email.utils.mktime_tz(parsed)
    m = DATE_HDR.search(head)
    if m:
        parsed = email.utils.parsedate_tz(m.group(1).decode('ascii', 'replace').strip())
        if parsed:
            return email.utils.mktime_tz(parsed)
    return 0


def from_line(raw):
    head = header_block(raw)
    stamp = time.asctime(time.gmtime(arrival_time(head)))   # "Thu Oct  1 07:14:31 2026"
    return ('From %s %s\n' % (envelope_sender(head), stamp)).encode('ascii')


def message_files(directory):
    names = [n for n in os.listdir(directory) if re.fullmatch(r'[0-9a-f]+\.msg', n)]
    return [os.path.join(directory, n) for n in sorted(names, key=lambda n: int(n[:-4], 16))]


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_DIR
    output = sys.argv[2] if len(sys.argv) > 2 else os.path.join(directory, 'demo-list.mbox')
    files = message_files(directory)
    if not files:
        sys.exit('no N.msg files in %s' % directory)
    out = bytearray()
    for path in files:
        with open(path, 'rb') as f:
            raw = f.read()
        out += from_line(raw)
        out += FROM_LINE.sub(rb'>\1', raw)
        if not raw.endswith(b'\n'):
            out += b'\n'
        out += b'\n'
    with open(output, 'wb') as f:
        f.write(out)
    print('%s: %d messages, %d bytes' % (output, len(files), len(out)))


if __name__ == '__main__':
    main()
