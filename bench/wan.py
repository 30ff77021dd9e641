"""A provider far away: N messages of S bytes from a private Dovecot, through a proxy that
delays every byte by half the round trip each way (bandwidth unlimited), to a private
Postfix, by `postwain once`; beside it a pipelining fetcher (mpop) into a maildir through
the same proxy, the floor of the link. Prints seconds, round trips per message and MB/s.

usage: wan.py BIN_DIR [--messages N] [--size BYTES] [--rtt MS ...] [--no-pipelining]
  --no-pipelining hides PIPELINING from the server's CAPA answer on the way through.
"""

import argparse
import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from mailservers import LOCAL_DOMAIN, MailServers, free_port  # noqa: E402


class DelayProxy:
    """Forwards one port to another; each piece read waits rtt/2 before it is written, in
    order, so the link's latency is that of a far server and nothing else changes."""

    def __init__(self, target_port, rtt_ms, hide_pipelining):
        self.port = free_port()
        self.target_port = target_port
        self.delay = rtt_ms / 2000.0
        self.hide = hide_pipelining
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        threading.Thread(target=self._run, daemon=True).start()
        self.ready.wait(10)

    def _run(self):
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(asyncio.start_server(self._client, "127.0.0.1", self.port))
        self.ready.set()
        self.loop.run_until_complete(server.serve_forever())

    async def _pipe(self, reader, writer, rewrite):
        queue = asyncio.Queue()

        async def deliver():
            while (item := await queue.get()) is not None:
                due, data = item
                await asyncio.sleep(max(0.0, due - self.loop.time()))
                writer.write(data)
                await writer.drain()
            writer.close()

        sender = asyncio.ensure_future(deliver())
        while data := await reader.read(65536):
            await queue.put((self.loop.time() + self.delay, rewrite(data)))
        await queue.put(None)
        await sender

    async def _client(self, client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        hidden = (lambda data: data.replace(b"\r\nPIPELINING\r\n", b"\r\nX-NO-PIPELINING\r\n")) if self.hide \
            else (lambda data: data)
        await asyncio.gather(self._pipe(client_reader, server_writer, lambda data: data),
                             self._pipe(server_reader, client_writer, hidden), return_exceptions=True)


def fill(servers, user, count, size):
    line = b"0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789\n"
    body = line * max(1, size // len(line))
    servers.mailbox(user, "pw-" + user, [
        b"From: a@remote.test\nTo: b@remote.test\nSubject: wan %d\nMessage-ID: <wan.%d@remote.test>\n\n" % (n, n) + body
        for n in range(count)])


def run_postwain(binaries, root, servers, port, user, count):
    home = os.path.join(root, "home-" + user)
    os.makedirs(home)
    password = subprocess.run([os.path.join(binaries, "postwain"), "password", "pw-" + user],
                              capture_output=True, check=True).stdout.decode().strip()
    with open(os.path.join(home, "Postwain.ini"), "w", encoding="ascii") as ini:
        ini.write(f"[Postwain]\nVersion=1\n[SMTP]\nSMTPServerNameOrAddress=127.0.0.1\nSMTPDomain={LOCAL_DOMAIN}\nPort={servers.smtp_port}\n"
                  "[InternetAccess]\nMethod=Direct\n[Schedule]\nTimeOut=120\n[AccountList]\nNumberOfAccounts=1\n"
                  f"[Account1]\nServerName=127.0.0.1\nPort={port}\nUserName={user}\nPassword={password}\n"
                  f"Type=Individual\nAlias=frank@{LOCAL_DOMAIN}\n")
    started = time.monotonic()
    done = subprocess.run([os.path.join(binaries, "postwain"), "once", "--home", home], capture_output=True)
    seconds = time.monotonic() - started
    if f"finished: {count} delivered, 0 failed".encode() not in done.stdout:
        sys.exit(f"postwain once did not deliver all {count}:\n{done.stdout.decode()[-2000:]}")
    return seconds


def run_mpop(root, port, user):
    maildir = os.path.join(root, "maildir-" + user)
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir, sub))
    started = time.monotonic()
    subprocess.run(["mpop", "--host=127.0.0.1", f"--port={port}", "--tls=off", "--auth=user", f"--user={user}",
                    f"--passwordeval=echo pw-{user}", f"--delivery=maildir,{maildir}", "--keep=off",
                    f"--uidls-file={root}/uidls-{user}", "--received-header=off", "--pipelining=auto", "-q"],
                   check=True, capture_output=True)
    return time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("binaries")
    parser.add_argument("--messages", type=int, default=200)
    parser.add_argument("--size", type=int, default=10240)
    parser.add_argument("--rtt", type=int, nargs="+", default=[0, 50, 200])
    parser.add_argument("--no-pipelining", action="store_true")
    options = parser.parse_args()
    root = tempfile.mkdtemp(prefix="postwain-wan-")
    os.chmod(root, 0o755)
    servers = MailServers(root)
    megabytes = options.messages * options.size / 1e6
    try:
        servers.start()
        print(f"{options.messages} messages of {options.size} bytes, Dovecot to Postfix"
              f"{' (PIPELINING hidden)' if options.no_pipelining else ''}")
        print(f"{'rtt ms':>6} {'fetcher':<22} {'seconds':>8} {'rtt/msg':>8} {'MB/s':>7}")
        for rtt in options.rtt:
            proxy = DelayProxy(servers.pop3_port, rtt, options.no_pipelining)
            for name, run in (("postwain into Postfix", lambda user: run_postwain(options.binaries, root, servers,
                                                                                  proxy.port, user, options.messages)),
                              ("mpop into a maildir", lambda user: run_mpop(root, proxy.port, user))):
                user = f"wan{rtt}{name[0]}"
                fill(servers, user, options.messages, options.size)
                seconds = run(user)
                trips = seconds / (options.messages * rtt / 1000.0) if rtt else 0.0
                print(f"{rtt:>6} {name:<22} {seconds:>8.2f} {trips:>8.2f} {megabytes / seconds:>7.2f}", flush=True)
    finally:
        servers.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
