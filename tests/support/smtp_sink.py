"""A private SMTP server for the tests: smtp_sink.py DIR (run with /usr/bin/python3 -u).

Listens on 127.0.0.1 and a free port, which it writes to DIR/port. Message N goes to
DIR/N.eml as received, and is read as a mail reader would: DIR/N.json holds the envelope,
the decoded headers, the text body and, per attachment, its name and the path of its
decoded bytes (DIR/N.part<I>). A recipient starting with "refuse" is refused (550).
"""
import asyncio
import email
import email.policy
import json
import os
import sys

from aiosmtpd.smtp import SMTP


class Sink:
    def __init__(self, out):
        self.out, self.count = out, 0

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.startswith("refuse"):
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.out, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        msg = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        info = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos, "attachments": []}
        for name in ("From", "To", "Subject", "Message-ID", "MIME-Version"):
            info[name] = str(msg.get(name, ""))
        info["date_ok"] = msg["Date"] is not None and msg["Date"].datetime is not None
        info["body"] = msg.get_body(preferencelist=("plain",)).get_content()
        attached = [part for part in msg.walk() if part.get_content_disposition() == "attachment"]
        for i, part in enumerate(attached):
            path = "%s.part%d" % (base, i)
            with open(path, "wb") as f:
                f.write(part.get_payload(decode=True))
            info["attachments"].append({"name": part.get_filename(), "path": path})
        with open(base + ".tmp", "w") as f:
            json.dump(info, f)
        os.rename(base + ".tmp", base + ".json")
        return "250 Message accepted"


async def main(out):
    sink = Sink(out)
    server = await asyncio.get_running_loop().create_server(lambda: SMTP(sink), host="127.0.0.1", port=0)
    with open(os.path.join(out, "port.tmp"), "w") as f:
        f.write(str(server.sockets[0].getsockname()[1]))
    os.rename(os.path.join(out, "port.tmp"), os.path.join(out, "port"))
    await server.serve_forever()


asyncio.run(main(sys.argv[1]))
