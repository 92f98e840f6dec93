# Private SMTP server of the tests (/usr/bin/python3 -u smtp_sink.py DIR): port on 127.0.0.1 in DIR/port, mail N
# as received in DIR/N.eml and, read as a mail reader would, in DIR/N.json with attachments decoded to DIR/N.part<I>.
# Recipients starting with "refuse" are refused.
import asyncio, email, email.policy, json, os, sys
from pathlib import Path
from aiosmtpd.smtp import SMTP

class Sink:
    count = 0

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.startswith("refuse"):
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(sys.argv[1], str(self.count))
        Path(base + ".eml").write_bytes(envelope.original_content)
        msg = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        info = {k: str(msg.get(k, "")) for k in ("From", "To", "Subject", "Message-ID", "MIME-Version")}
        info.update(mail_from=envelope.mail_from, rcpt_tos=envelope.rcpt_tos, attachments=[],
                    date_ok=msg["Date"] is not None and msg["Date"].datetime is not None,
                    body=msg.get_body(preferencelist=("plain",)).get_content())
        for i, part in enumerate(p for p in msg.walk() if p.get_content_disposition() == "attachment"):
            info["attachments"].append({"name": part.get_filename(), "path": "%s.part%d" % (base, i)})
            Path(info["attachments"][-1]["path"]).write_bytes(part.get_payload(decode=True))
        Path(base + ".tmp").write_text(json.dumps(info))
        os.rename(base + ".tmp", base + ".json")  # complete when it appears
        return "250 Message accepted"

async def main(sink):
    server = await asyncio.get_running_loop().create_server(lambda: SMTP(sink), host="127.0.0.1", port=0)
    Path(sys.argv[1], "port.tmp").write_text(str(server.sockets[0].getsockname()[1]))
    os.rename(os.path.join(sys.argv[1], "port.tmp"), os.path.join(sys.argv[1], "port"))
    await server.serve_forever()

asyncio.run(main(Sink()))
