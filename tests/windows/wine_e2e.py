"""postwain.exe under Wine against private Dovecot and Postfix: a single-user and a
domain mailbox, emptied by the check that `postwain.exe check` asks for.

usage: wine_e2e.py BIN_DIR   (postwain.exe and pwt.dll; WINEPREFIX set)
"""

import email
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from mailservers import LOCAL_DOMAIN, MailServers  # noqa: E402

# A window that starts after it ends holds no time: only requests run checks.
SETTINGS = """[Postwain]\nVersion=1\n[SMTP]\nSMTPServerNameOrAddress=127.0.0.1\nSMTPDomain={domain}
Port={smtp}\n[InternetAccess]\nMethod=Direct\n[Schedule]\nOSSettlingTime=0\nTimeOut=30
WeekDayStartHour=23\nWeekDayStartMinute=59\nWeekDayEndHour=0\nWeekEndStartHour=23
WeekEndStartMinute=59\nWeekEndEndHour=0\n[Debug]\nCreateTraceLog=1\n[AccountList]
NumberOfAccounts=2\n[Account1]\nServerName=127.0.0.1\nPort={pop3}\nUserName=single
Password={single}\nType=Individual\nAlias=alice@{domain}\n[Account2]\nServerName=127.0.0.1
Port={pop3}\nUserName=domain\nPassword={group}\nType=Group\nDomain={domain}\n"""


def postwain(home, *args):
    command = ["wine", os.path.join(home, "postwain.exe"), *args]
    return subprocess.run(command, capture_output=True, timeout=60)


def message(subject, to, cc=""):
    return (f"From: Sender <sender@remote.test>\nTo: {to}\n{cc}Subject: {subject}\n"
            f"Message-ID: <{subject.replace(' ', '.')}@remote.test>\n\nThis is {subject}.\n").encode()


def subjects(user, servers):
    return sorted(email.message_from_bytes(m)["Subject"] for m in servers.delivered(user))


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.2)
    return condition()


def mail_check(home, servers):
    servers.mailbox("single", "pw-single", [message(f"single {n}", "anna@remote.test") for n in (1, 2, 3)])
    servers.mailbox("domain", "pw-domain", [
        message("to bob", f"bob@{LOCAL_DOMAIN}", f"Cc: carol@{LOCAL_DOMAIN}\n"),
        message("to dave", f"Dave <dave@{LOCAL_DOMAIN}>")])
    stored = {name: postwain(home, "password", "pw-" + name).stdout.decode().split()[-1]
              for name in ("single", "domain")}
    with open(os.path.join(home, "Postwain.ini"), "w", newline="\r\n", encoding="ascii") as ini:
        ini.write(SETTINGS.format(domain=LOCAL_DOMAIN, smtp=servers.smtp_port, pop3=servers.pop3_port,
                                  single=stored["single"], group=stored["domain"]))
    assert postwain(home, "check").returncode == 1, "check without a running Postwain"
    logs = os.path.join(home, "logs")  # beside pwt.dll
    log = lambda: "".join(open(os.path.join(logs, name), encoding="latin-1").read()
                          for name in sorted(os.listdir(logs)) if name.startswith("Postwain Log"))
    run = subprocess.Popen(["wine", os.path.join(home, "postwain.exe"), "run"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
    try:
        assert wait_for(lambda: os.path.isdir(logs) and "Starting up..." in log(), 60), "no start-up"
        done = lambda: log().count("successfully transferred to SMTP server.") >= 5
        # The event exists a moment after "Starting up...", and the first wake-up is a timed
        # one that takes an early request with it: ask until a check runs.
        for _ in range(10):
            if postwain(home, "check").returncode == 0 and wait_for(done, 20):
                break
            time.sleep(1)
        assert done(), log()
    finally:
        run.send_signal(signal.SIGINT)  # Wine turns it into Ctrl+C
        output = run.communicate(timeout=120)[0].decode(errors="replace")
    assert run.returncode == 0 and log().rstrip().endswith("Postwain: Shutting down..."), output + log()
    assert "ERROR" not in log(), log()
    assert subjects("alice", servers) == ["single 1", "single 2", "single 3"]
    assert subjects("bob", servers) == subjects("carol", servers) == ["to bob"]
    assert subjects("dave", servers) == ["to dave"]
    assert wait_for(lambda: not servers.pop3_messages("single") and not servers.pop3_messages("domain"), 20)


def main():
    root = tempfile.mkdtemp(prefix="postwain-wine-")
    home = os.path.join(root, "instance")
    os.makedirs(home)
    for name in ("postwain.exe", "pwt.dll"):
        shutil.copy(os.path.join(sys.argv[1], name), home)
    servers = MailServers(root)
    servers.start()
    try:
        mail_check(home, servers)
    finally:
        servers.stop()
        shutil.rmtree(root, ignore_errors=True)
    print("postwain.exe under Wine: 5 messages of 2 mailboxes delivered and deleted on request")


if __name__ == "__main__":
    main()
