"""A provider far away: N messages of S bytes from a private Dovecot, through a proxy that
delays every byte by half the round trip each way (bandwidth unlimited), to a private
Postfix, by `postwain once`; beside it a pipelining fetcher (mpop) into a maildir through
the same proxy, the floor of the link. Prints seconds, round trips per message, MB/s and
each fetcher's peak resident memory.

usage: wan.py BIN_DIR [--messages N] [--size BYTES] [--rtt MS ...] [--no-pipelining]
  --no-pipelining hides PIPELINING from the server's CAPA answer on the way through.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from mailservers import LOCAL_DOMAIN, DelayProxy, MailServers  # noqa: E402


def fill(servers, user, count, size):
    line = b"0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789\n"
    body = line * max(1, size // len(line))
    servers.mailbox(user, "pw-" + user, [
        b"From: a@remote.test\nTo: b@remote.test\nSubject: wan %d\nMessage-ID: <wan.%d@remote.test>\n\n" % (n, n) + body
        for n in range(count)])


def run_measured(command):
    """Runs command; returns its seconds, its peak resident memory in MB (GNU time's, since
    a child forked from this process would count this one's pages) and its output."""
    with tempfile.NamedTemporaryFile() as peak, tempfile.TemporaryFile() as output:
        started = time.monotonic()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, *command], stdout=output,
                              stderr=subprocess.STDOUT)
        seconds = time.monotonic() - started
        output.seek(0)
        text = output.read()
        kilobytes = int(open(peak.name, encoding="ascii").read().split()[-1])
    if done.returncode != 0 and b"finished:" not in text:
        sys.exit(f"{command[0]} failed:\n{text.decode(errors='replace')[-2000:]}")
    return seconds, kilobytes / 1024.0, text


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
    seconds, peak, output = run_measured([os.path.join(binaries, "postwain"), "once", "--home", home])
    if f"finished: {count} delivered, 0 failed".encode() not in output:
        sys.exit(f"postwain once did not deliver all {count}:\n{output.decode()[-2000:]}")
    return seconds, peak


def run_mpop(root, port, user):
    maildir = os.path.join(root, "maildir-" + user)
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir, sub))
    seconds, peak, _ = run_measured([
        "mpop", "--host=127.0.0.1", f"--port={port}", "--tls=off", "--auth=user", f"--user={user}",
        f"--passwordeval=echo pw-{user}", f"--delivery=maildir,{maildir}", "--keep=off",
        f"--uidls-file={root}/uidls-{user}", "--received-header=off", "--pipelining=auto", "-q"])
    return seconds, peak


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
        print(f"{'rtt ms':>6} {'fetcher':<22} {'seconds':>8} {'rtt/msg':>8} {'MB/s':>7} {'peak MB':>8}")
        for rtt in options.rtt:
            proxy = DelayProxy(servers.pop3_port, rtt, options.no_pipelining)
            for name, run in (("postwain into Postfix", lambda user: run_postwain(options.binaries, root, servers,
                                                                                  proxy.port, user, options.messages)),
                              ("mpop into a maildir", lambda user: run_mpop(root, proxy.port, user))):
                user = f"wan{rtt}{name[0]}"
                fill(servers, user, options.messages, options.size)
                seconds, peak = run(user)
                trips = seconds / (options.messages * rtt / 1000.0) if rtt else 0.0
                print(f"{rtt:>6} {name:<22} {seconds:>8.2f} {trips:>8.2f} {megabytes / seconds:>7.2f} {peak:>8.1f}",
                      flush=True)
    finally:
        servers.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
