"""End-to-end scenarios: postwain and libpwt.so against private Dovecot and Postfix.

usage: run_tests.py [--wine] BIN_DIR [SCENARIO...]   A scenario is a function marked @scenario.
       --wine: postwain.exe and pwt.dll of BIN_DIR under Wine (WINEPREFIX set; WINE names the loader)
"""

import email
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

from mailservers import (BUSY_USER, DEFERRED_FIRST_DATA, LOCAL_DOMAIN, REFUSED_SECOND_DATA, DelayProxy, MailServers,
                         wait_until)

SERVERS = ROOT = None
POSTWAIN = []  # the command that runs postwain
STOP = signal.SIGTERM  # Wine turns SIGINT into Ctrl+C
SCENARIOS = []
ALL_DAY = {"StartHour": 0, "EndHour": 0, "Frequency": 1}
NEVER = {"StartHour": 23, "StartMinute": 59, "EndHour": 0, "Frequency": 1}  # only requests run checks


def scenario(function):
    SCENARIOS.append(function)
    return function


def postwain(*args, **kwargs):
    return subprocess.run([*POSTWAIN, *args], capture_output=True, timeout=60, **kwargs)


def message(subject, headers=None, body=None):
    """With every field Postfix would add otherwise, so that a delivered copy ends with it."""
    headers = headers or "To: someone@remote.test\n"
    if "Message-ID" not in headers:
        headers += f"Message-ID: <{subject.replace(' ', '.')}@remote.test>\n"
    body = body or f"Hello,\n\nthis is {subject}.\n..a line that POP3 must dot-stuff\n.\nBye.\n"
    return (f"From: Sender <sender@remote.test>\n{headers}Subject: {subject}\n"
            f"Date: Sat, 05 Dec 2026 10:00:00 +0000\n\n{body}").encode()


def as_relayed(original):
    """The provider's Delivered-To is renamed on the way, so the local server sees no loop."""
    return re.sub(rb"(?m)^Delivered-To:", b"X-Original-Delivered-To:", original)


def subjects(messages):
    return sorted(email.message_from_bytes(m)["Subject"] for m in messages)


def message_ids(messages):
    return sorted(email.message_from_bytes(m)["Message-ID"] for m in messages)


def big_message(subject, megabytes, headers=None):
    line = "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789\n"
    return message(subject, headers, body="".join(("." if n % 97 == 0 else "") + line
                                         for n in range(megabytes * 1024 * 1024 // len(line))))


class Instance:

    def __init__(self, name, accounts, schedule, smtp=None, debug=(), start=True):
        self.home = os.path.join(ROOT, name)
        os.makedirs(self.home)
        smtp = dict({"SMTPServerNameOrAddress": "127.0.0.1", "SMTPDomain": LOCAL_DOMAIN, "Port": SERVERS.smtp_port},
                    **(smtp or {}))
        lines = ["[Postwain]", "Version=1", "[SMTP]"] + [f"{key}={value}" for key, value in smtp.items()]
        lines += ["[InternetAccess]", "Method=Direct", "[Schedule]", "OSSettlingTime=0", "TimeOut=30"]
        lines += [f"{days}{key}={value}" for key, value in schedule.items() for days in ("WeekDay", "WeekEnd")]
        lines += ["[Debug]", "CreateTraceLog=1", *debug, "[AccountList]", f"NumberOfAccounts={len(accounts)}"]
        for number, account in enumerate(accounts, 1):
            account = dict({"ServerName": "127.0.0.1", "Port": SERVERS.pop3_port}, **account)
            lines += [f"[Account{number}]"] + [f"{key}={value}" for key, value in account.items()]
        with open(os.path.join(self.home, "Postwain.ini"), "w", encoding="ascii") as ini:
            ini.write("\n".join(lines) + "\n")
        if start:
            self.start()

    def start(self):
        # run writes every daily log line to standard output too: a file takes them as they
        # come, where a pipe read only at the end would fill and hold the check up.
        self.output = os.path.join(self.home, "standard output.txt")
        with open(self.output, "ab") as output:
            self.process = subprocess.Popen([*POSTWAIN, "run", "--home", self.home], stdout=output,
                                            stderr=subprocess.STDOUT)

    def check(self):
        return postwain("check", "--home", self.home)

    def once(self):
        result = postwain("once", "--home", self.home)
        return result.returncode, result.stdout.decode(errors="replace")

    def trace(self, tail=0):
        with open(os.path.join(self.home, "logs", "postwain trace.txt"), "rb") as trace:
            trace.seek(max(0, os.fstat(trace.fileno()).st_size - tail) if tail else 0)
            return trace.read()

    def kill_while_relaying(self, count, kill):
        """Runs kill as soon as count messages are through and the next one's data moves:
        the SMTP server has not got its end, so no delivery is in doubt (a kill between the
        end of the data and the server's answer would leave one that no client can know)."""
        deadline = time.monotonic() + 120
        while not (transferred(count)(self.log()) and
                   self.trace(100).endswith(b"Email message transferred here and hidden from view...\r\n")):
            assert time.monotonic() < deadline and not transferred(count + 1)(self.log()), "missed the relay"
            time.sleep(0.005)
        kill()

    def log(self):
        return "".join(open(path, encoding="latin-1").read()
                       for path in sorted(glob.glob(os.path.join(self.home, "logs", "Postwain Log - *.txt"))))

    def wait_for_log(self, condition, seconds=120):
        deadline = time.monotonic() + seconds
        while not condition(self.log()):
            assert self.process.poll() is None and time.monotonic() < deadline, "never logged:\n" + self.log()
            time.sleep(0.2)

    def stop(self, seconds=120):
        self.process.send_signal(STOP)
        try:
            self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError(f"postwain did not stop within {seconds} seconds\n" + self.log())
        output = open(self.output, encoding="latin-1").read()
        assert self.process.returncode == 0 and output.endswith("Postwain: Shutting down...\n"), output


def transferred(count):
    return lambda log: log.count("successfully transferred to SMTP server.") >= count


def mail_check(user, messages, account, done, delivered, left=0, log_has=(), log_lacks=("ERROR",)):
    """Runs postwain over a mailbox until done(log); delivered maps local users to the
    originals they must hold, left counts what stays on the POP3 server."""
    instance = Instance(user, [mailbox(user, messages, account)], ALL_DAY)
    try:
        instance.wait_for_log(done)
    finally:
        instance.stop()
    log = instance.log()
    assert all(text in log for text in log_has) and not any(text in log for text in log_lacks), log
    for local, originals in delivered.items():
        copies = SERVERS.delivered(local)
        assert subjects(copies) == subjects(originals), (local, subjects(copies))
        assert all(any(copy.endswith(as_relayed(original)) for original in originals) for copy in copies), local
    if left == 0:
        wait_until(lambda: not SERVERS.pop3_messages(user), 20, "messages left on the POP3 server")
    time.sleep(1 if left else 0)  # time to vanish for a message wrongly deleted
    assert len(SERVERS.pop3_messages(user)) == left
    trace = open(os.path.join(instance.home, "logs", "postwain trace.txt"), "rb").read()
    assert b"PASS *****" in trace and b"pw-" + user.encode() not in trace


def single_user(local):
    return {"Type": "Individual", "Alias": f"{local}@{LOCAL_DOMAIN}"}


def mailbox(user, messages, account):
    """A POP3 mailbox of user holding messages, and account set up to empty it."""
    SERVERS.mailbox(user, "pw-" + user, messages)
    return dict(account, UserName=user, Password=postwain("password", "pw-" + user).stdout.decode().strip())


@scenario
def single_user_mailbox_delivers_every_message_whole_to_the_alias():
    originals = [message(f"single {n:02d}") for n in range(1, 51)] + [big_message("big", 20)]
    mail_check("single", originals, single_user("alice"), transferred(51), {"alice": originals},
               log_has=["51 message(s) ready for transferring from POP3 server to SMTP server."])


@scenario
def a_far_pipelining_server_through_a_delay_proxy_delivers_every_message_once():
    """Dovecot lists PIPELINING: with a 50 ms round trip several RETRs and DELEs are in
    flight at once, and every message still arrives once and goes from the server."""
    proxy = DelayProxy(SERVERS.pop3_port, 50, hide_pipelining=False)
    originals = [message(f"far {n:02d}") for n in range(1, 41)]
    mail_check("far", originals, dict(single_user("rosa"), Port=proxy.port), transferred(40), {"rosa": originals})


@scenario
def a_refused_recipient_keeps_the_message_on_the_pop3_server():
    refusal = f"ERROR - SMTP refused to accept mail for user: nobody-here@{LOCAL_DOMAIN}"
    mail_check("refused", [message("refused")], single_user("nobody-here"), lambda log: refusal in log, {},
               left=1, log_lacks=["successfully transferred"])


@scenario
def a_large_message_refused_at_data_stays_and_every_other_arrives_whole():
    """Postfix refuses one large message at DATA: the rest of it is read off the POP3
    connection and dropped, so the next ones arrive byte for byte and only commands reach
    the SMTP server; single-user and domain mailbox alike."""
    for user, account in (("atdata-single", single_user(REFUSED_SECOND_DATA[0])),
                          ("atdata-domain", {"Type": "Group", "Domain": LOCAL_DOMAIN})):
        local = account.get("Alias", REFUSED_SECOND_DATA[1]).split("@")[0]
        to = f"To: {local}@{LOCAL_DOMAIN}\n"
        others = [message(f"{user} {n}", to) for n in (1, 3, 4)]
        mail_check(user, [others[0], big_message(f"{user} 2", 5, to), *others[1:]], account,
                   lambda log: "Mail check finished" in log, {local: others}, left=1, log_lacks=())
    postfix = open(SERVERS.path("postfix", "postfix.log"), encoding="utf-8", errors="replace").read()
    assert postfix.count("the policy refuses this message") == 2, postfix[-3000:]
    assert "unknown=" not in postfix and "non-SMTP command" not in postfix, postfix[-3000:]


@scenario
def domain_mailbox_spreads_messages_over_local_users():
    cc = message("to and cc", f"To: Bob <bob@{LOCAL_DOMAIN}>\nCc: carol@{LOCAL_DOMAIN}, Someone "
                              "<someone@foreign.test>\nMessage-ID: <m1@remote.test>\n")
    delivered_to = message("delivered-to", "To: list@lists.foreign.test\n"
                                           f"Delivered-To: {LOCAL_DOMAIN}-dave@{LOCAL_DOMAIN}\n")
    received = message("received for", "Received: from mx.remote.test by pop.isp.test\n\tfor "
                                        f"<erin@{LOCAL_DOMAIN}>; Sat, 05 Dec 2026 09:59:00 +0000\n"
                                        "To: undisclosed-recipients:;\n")
    foreign = message("foreign only", "To: zed@foreign.test\n")
    # A Bcc to two people of the domain: one copy each, told apart by Delivered-To alone;
    # peggy's own address in Delivered-To is no loop for the local server. (Every scenario
    # has local users of its own: later ones count what their users received.)
    memo = [message("memo", f"Delivered-To: {local}@{LOCAL_DOMAIN}\nTo: undisclosed-recipients:;\n"
                            "Message-ID: <memo@remote.test>\n") for local in ("peggy", "quinn")]
    mail_check("domain", [cc, delivered_to, received, cc, foreign, *memo],
               {"Type": "Group", "Domain": LOCAL_DOMAIN, "TranslateUserAccounts": "True"}, transferred(7),
               {"bob": [cc], "carol": [cc], "dave": [delivered_to], "erin": [received], "postmaster": [foreign],
                "peggy": memo[:1], "quinn": memo[1:]},
               log_lacks=(), log_has=["Duplicate email message ignored.",
                                      "No To or Cc could be interpreted, mail sent to postmaster."])


@scenario
def a_recipient_refused_for_good_is_left_out_and_one_refused_for_now_keeps_the_message():
    gone = message("one gone", f"To: gone@{LOCAL_DOMAIN}, heidi@{LOCAL_DOMAIN}\n")
    busy = message("one busy", f"To: ivan@{LOCAL_DOMAIN}, {BUSY_USER}@{LOCAL_DOMAIN}\n")
    # The busy message fails in the first pass and again in its recovery login.
    mail_check("refusals", [gone, busy], {"Type": "Group", "Domain": LOCAL_DOMAIN},
               lambda log: log.count("failed to transfer to SMTP server.") >= 2, {"heidi": [gone], "ivan": []},
               left=1, log_lacks=["No To or Cc could be interpreted"],
               log_has=[f"ERROR - SMTP refused to accept mail for: gone@{LOCAL_DOMAIN}",
                        f"ERROR - SMTP refused to accept mail for: {BUSY_USER}@{LOCAL_DOMAIN}"])


@scenario
def postwain_find_follows_a_message_refused_once_and_delivered_in_its_own_login():
    """Postfix defers the message's first DATA: the ledger has its failure, then its
    delivery, under one UIDL, and find shows both in that order."""
    local = DEFERRED_FIRST_DATA[0]
    followed = message("followed", "Message-ID: <followed@remote.test>\n")
    instance = Instance("followed", [mailbox("followed", [followed], single_user(local))], NEVER, start=False)
    code, output = instance.once()
    assert code == 0 and "Mail check finished: 1 delivered, 0 failed" in output, output
    found = postwain("find", "<FOLLOWED@remote.test>", "--home", instance.home)
    lines = found.stdout.decode().splitlines()
    assert found.returncode == 0 and lines[0].startswith("time\taccount\tuidl\tmessage_id"), lines
    rows = [line.split("\t") for line in lines[1:]]
    assert [row[8] for row in rows] == ["failed", "delivered"] and rows[0][2] == rows[1][2] != "-", rows
    assert "450 4.7.1" in rows[0][9] and "the policy defers" in rows[0][9] and rows[1][6] == f"{local}@{LOCAL_DOMAIN}", rows
    assert all(row[3] == "<followed@remote.test>" and row[10] == "followed" for row in rows), rows
    assert subjects(SERVERS.delivered(local)) == ["followed"]


@scenario
def postwain_check_asks_a_running_instance_for_a_check():
    instance = Instance("oncall", [mailbox("oncall", [message("on request")], single_user("grace"))], NEVER)
    try:
        instance.wait_for_log(lambda log: "Starting up..." in log)
        time.sleep(1)  # past the first pass, which takes the event that start-up set for a timed one
        assert len(SERVERS.pop3_messages("oncall")) == 1, "checked without a request"
        deadline = time.monotonic() + 120
        # Asked again until it works: under a loaded Wine the lock, the event or the first
        # pass can come seconds after "Starting up...", and check says so with 1.
        while not transferred(1)(instance.log()):
            asked = instance.check()
            assert time.monotonic() < deadline, (asked.returncode, asked.stderr, instance.log())
            time.sleep(3)
    finally:
        instance.stop()
    assert subjects(SERVERS.delivered("grace")) == ["on request"]
    assert instance.check().returncode == 1, "check with no Postwain running"


def crash_mailbox(user, local):
    """500 messages, the 250th so large that its data moves for a while."""
    originals = [message(f"{user} {n:03d}") for n in range(1, 501)]
    originals[249] = big_message(f"{user} 250", 20)
    return originals, Instance(user, [mailbox(user, originals, single_user(local))], ALL_DAY)


def delivered_once_and_none_left(instance, user, local, originals):
    """A new run of the instance: the 249 messages delivered before are deleted, not delivered again."""
    before = len(instance.log())
    instance.start()
    try:
        instance.wait_for_log(lambda log: "Mail check finished" in log[before:])
    finally:
        instance.stop()
    assert not SERVERS.pop3_messages(user), "messages left on the POP3 server"
    assert message_ids(SERVERS.delivered(local)) == message_ids(originals), "not every message exactly once"
    assert sum(int(n) for n in re.findall(r"(\d+) duplicates", instance.log())) == 249, instance.log()[-2000:]


@scenario
def kill_9_mid_check_delivers_every_message_once_and_check_tells_the_truth():
    originals, instance = crash_mailbox("crash", "henry")
    try:
        instance.wait_for_log(transferred(1))
        second = postwain("run", "--home", instance.home)
        assert second.returncode == 1 and b"another Postwain runs for" in second.stderr, second
        instance.kill_while_relaying(249, instance.process.kill)
        instance.process.wait()
        check = instance.check()
        assert check.returncode == 1 and b"no Postwain runs for" in check.stderr, check
    finally:
        instance.process.kill()
    # The same instance: the killed one's lock and event are gone, its journal is not.
    delivered_once_and_none_left(instance, "crash", "henry", originals)


@scenario
def a_pop3_server_killed_mid_check_delivers_every_message_once():
    originals, instance = crash_mailbox("lost", "mia")
    try:
        instance.kill_while_relaying(249, lambda: os.kill(SERVERS.pop3_process("lost"), signal.SIGKILL))
        instance.wait_for_log(lambda log: "failed to transfer" in log)
    finally:
        instance.stop(seconds=5)  # in the recovery mode now
    delivered_once_and_none_left(instance, "lost", "mia", originals)


@scenario
def a_message_refused_for_good_is_downloaded_once_and_skipped_after():
    small = [message(f"small {n}") for n in range(1, 5)]
    account = mailbox("toobig", [small[0], big_message("too big", 26), small[1]], single_user("nina"))
    instance = Instance("toobig", [account], ALL_DAY, start=False)
    status, output = instance.once()
    assert status == 1 and output.count("Logged into POP3 server.") == 1, output  # no recovery logins
    SERVERS.mailbox("toobig", "pw-toobig", small[2:])
    status, output = instance.once()
    assert status == 0 and output.count("Logged into POP3 server.") == 1, output
    assert "Message number 1 left on the POP3 server, refused for good by the SMTP server: 552 5.3.4" in output, output
    assert output.count("successfully transferred") == 2 and "ERROR" not in output, output
    assert instance.trace().count(b"RETR 1\r\n") == 1  # the big one was number 2, then 1, and never asked for again
    assert subjects(SERVERS.delivered("nina")) == subjects(small) and len(SERVERS.pop3_messages("toobig")) == 1


@scenario
def kept_mail_is_delivered_once_in_three_checks_by_each_account_of_the_mailbox():
    originals = [message(f"kept {n}") for n in range(1, 6)]
    account = mailbox("keeper", originals, single_user("oscar"))
    instance = Instance("keeper", [account, dict(account, Alias=f"vic@{LOCAL_DOMAIN}")], ALL_DAY,
                        debug=["DoNotDeleteRemoteMail=1"], start=False)
    outputs = [instance.once() for _ in range(3)]
    assert [status for status, _ in outputs] == [0, 0, 0], outputs
    assert "Mail check finished: 0 delivered, 0 failed, 10 left on the server" in outputs[2][1], outputs
    assert message_ids(SERVERS.delivered("oscar")) == message_ids(SERVERS.delivered("vic")) == message_ids(originals)
    assert len(SERVERS.pop3_messages("keeper")) == 5


@scenario
def sigterm_ends_greeting_retries_recovery_logins_and_a_stalled_message_within_5_seconds():
    with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts, never greets
        instance = Instance("silent", [dict(single_user("alice"), Port=silent.getsockname()[1], UserName="x")],
                            ALL_DAY)
        silent.settimeout(30)
        with silent.accept()[0]:  # Postwain now waits TimeOut (30 s) for a greeting, four times
            instance.stop(seconds=5)
    instance = Instance("stuck", [mailbox("stuck", [message(f"stuck {n}") for n in range(10)], single_user(BUSY_USER))],
                        ALL_DAY)
    instance.wait_for_log(lambda log: log.count("failed to transfer") >= 3)  # one login per message now
    instance.stop(seconds=5)
    assert len(SERVERS.pop3_messages("stuck")) == 10
    # The POP3 data stops in the middle of a message: the SMTP transaction goes without its
    # final dot, and the message stays on the server whole.
    stalled = big_message("stalled", 5)
    proxy = DelayProxy(SERVERS.pop3_port, 0, hide_pipelining=False, stall_after=2 * 1024 * 1024)
    instance = Instance("stalled", [dict(mailbox("stalled", [stalled], single_user("uma")), Port=proxy.port)], ALL_DAY)
    trace = os.path.join(instance.home, "logs", "postwain trace.txt")
    wait_until(lambda: os.path.exists(trace) and b"hidden from view" in instance.trace(), 60, "no relay began")
    time.sleep(2)
    instance.stop(seconds=5)
    assert [open(path, "rb").read() for path in SERVERS.pop3_messages("stalled")] == [stalled]
    assert SERVERS.delivered("uma") == []


@scenario
def demo_delivers_its_messages_with_nothing_installed():
    with tempfile.TemporaryDirectory(dir=ROOT) as scratch:
        result = postwain("demo", env=dict(os.environ, TMPDIR=scratch))
    output = result.stdout.decode(errors="replace")
    assert result.returncode == 0, output + result.stderr.decode(errors="replace")
    assert "Duplicate email message ignored." in output and "Messages left on the POP3 server: 0" in output, output
    # The one refusal: the stranger's address, before the postmaster takes the message.
    errors = [line for line in output.splitlines() if "ERROR" in line]
    assert len(errors) == 1 and "SMTP refused to accept mail for: sales@example.com" in errors[0], output
    table, user = {}, None  # the table "Who received what": user in columns 2-24, subject in 25-53
    for line in output.split("== Who received what")[1].splitlines()[2:]:
        if not line.startswith("  "):
            break
        user = line[2:25].strip() or user
        if line[25:].strip() != "(nothing)":
            table.setdefault(user, []).append(line[25:54].strip())
    assert {u: sorted(s) for u, s in table.items()} == {
        "alice@example.com": ["Sunday lunch", "Your weekly deals"], "bob@example.com": ["Q3 report"],
        "carol@example.com": ["Conference invitation", "Q3 report"], "dave@example.com": ["New price list"],
        "postmaster@example.com": ["Misaddressed enquiry"]}, output


def tls_account(user, local, **settings):
    """A single-user account whose mailbox holds one message; TLS from the first byte
    unless settings say otherwise."""
    return dict(mailbox(user, [message(f"for {local} over TLS")], single_user(local)),
                **dict({"Security": "SSL", "Port": SERVERS.pop3s_port, "CAFile": SERVERS.path("certificates", "ca.pem")},
                       **settings))


@scenario
def tls_accounts_deliver_through_a_local_server_that_requires_starttls():
    accounts = [tls_account("tls-first-byte", "judy"),
                tls_account("tls-stls", "ken", Security="starttls", Port=SERVERS.pop3_port),
                tls_account("tls-unchecked", "leo", ServerName="127.0.0.2", VerifyCertificate=0, CAFile="")]
    instance = Instance("tls", accounts, ALL_DAY, {"Port": SERVERS.smtp_tls_port, "Security": "STARTTLS",
                                                   "CAFile": SERVERS.path("certificates", "ca.pem")})
    try:
        instance.wait_for_log(transferred(3))
    finally:
        instance.stop()
    log = instance.log()
    assert "ERROR" not in log and "WARNING - Certificate of server 127.0.0.2 is not checked" in log, log
    for user, local in (("tls-first-byte", "judy"), ("tls-stls", "ken"), ("tls-unchecked", "leo")):
        assert subjects(SERVERS.delivered(local)) == [f"for {local} over TLS"], local
        assert not SERVERS.pop3_messages(user), user
    trace = open(os.path.join(instance.home, "logs", "postwain trace.txt"), encoding="latin-1").read()
    # Three mailboxes and the local server; Wine's SChannel offers TLS 1.2 at most.
    assert len(re.findall(r" TLS     TLSv1\.[23] with ", trace)) >= 4, trace
    assert "TLS connection established from" in open(SERVERS.path("postfix", "postfix.log")).read()


@scenario
def untrusted_certificates_and_a_server_without_stls_get_no_password():
    heard = []
    def without_stls(listener):  # greets, refuses STLS, and records what else arrives
        peer = listener.accept()[0]
        with peer:
            peer.sendall(b"+OK ready\r\n")
            while chunk := peer.recv(4096):
                heard.append(chunk)
                if chunk.endswith(b"\n"):
                    peer.sendall(b"-ERR unknown command\r\n")
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(60)
        thread = threading.Thread(target=without_stls, args=(listener,))
        thread.start()
        # By name, the name is checked: the certificate names the address alone.
        accounts = [tls_account("untrusted-name", "judy", ServerName="127.0.0.3"),
                    tls_account("untrusted-host", "judy", ServerName="localhost"),
                    tls_account("untrusted-expired", "judy", ServerName="127.0.0.2"),
                    tls_account("untrusted-ca", "judy", CAFile=""),
                    tls_account("untrusted-stls", "judy", Security="STARTTLS", Port=listener.getsockname()[1])]
        instance = Instance("untrusted", accounts, ALL_DAY)
        try:
            instance.wait_for_log(lambda log: "does not offer STLS" in log)
        finally:
            instance.stop()
            thread.join()
    log = instance.log()
    for line in ("ERROR - Certificate of server 127.0.0.3 not trusted: IP address mismatch",
                 "ERROR - Certificate of server localhost not trusted: hostname mismatch",
                 "ERROR - Certificate of server 127.0.0.2 not trusted: certificate has expired",
                 "ERROR - Certificate of server 127.0.0.1 not trusted: unable to get local issuer certificate",
                 "ERROR - TLS negotiation failed with server 127.0.0.1: the server does not offer STLS"):
        assert line in log, log
    assert b"".join(heard) == b"STLS\r\n", heard
    dovecot = open(SERVERS.path("dovecot", "dovecot.log"), encoding="utf-8", errors="replace").read()
    assert "untrusted-" not in dovecot and "no auth attempts" in dovecot, dovecot[-3000:]
    assert all(len(SERVERS.pop3_messages(f"untrusted-{kind}")) == 1 for kind in ("name", "host", "expired", "ca", "stls"))


@scenario
def auth_plain_to_dovecot_and_smtp_auth_on_a_submission_port_deliver():
    account = tls_account("auth-plain", "wendy", Authentication="Plain")
    SERVERS.mailbox("submitter", "pw-submitter", [])
    stored = postwain("password", "pw-submitter").stdout.decode().strip()
    instance = Instance("auth-plain", [account], ALL_DAY,
                        {"Port": SERVERS.submission_port, "Security": "STARTTLS", "UserName": "submitter",
                         "Password": stored, "CAFile": SERVERS.path("certificates", "ca.pem")})
    try:
        instance.wait_for_log(transferred(1))
    finally:
        instance.stop()
    log = instance.log()
    assert "ERROR" not in log, log
    assert subjects(SERVERS.delivered("wendy")) == ["for wendy over TLS"] and not SERVERS.pop3_messages("auth-plain")
    trace = instance.trace().decode("latin-1")
    assert "POP3>>  AUTH PLAIN" in trace and "SMTP>>  AUTH PLAIN" in trace and "USER " not in trace, trace
    assert "pw-" not in trace and trace.count(">>  *****") == 2, trace
    dovecot = open(SERVERS.path("dovecot", "dovecot.log"), encoding="utf-8", errors="replace").read()
    assert "Login: user=<auth-plain>, method=PLAIN" in dovecot, dovecot[-3000:]
    postfix = open(SERVERS.path("postfix", "postfix.log"), encoding="utf-8", errors="replace").read()
    assert "sasl_method=PLAIN, sasl_username=submitter" in postfix, postfix[-3000:]


def oauth_account(user, mechanism):
    """A TLS account that signs in at the scripted identity provider with a device code."""
    provider = SERVERS.provider.url
    SERVERS.mailbox(user, "unused-" + user, [message(f"{user} first")])
    return dict(single_user("xavier"), UserName=user, Port=SERVERS.pop3s_port, Security="SSL",
                CAFile=SERVERS.path("certificates", "ca.pem"), Authentication=mechanism, OAuthProvider="Custom",
                OAuthClientId="postwain-e2e", OAuthDeviceCodeURL=provider + "/devicecode",
                OAuthTokenURL=provider + "/token")


def oauth_login(instance, number, user):
    SERVERS.provider.approve(user)
    result = postwain("oauth", "login", "--account", str(number), "--home", instance.home)
    assert result.returncode == 0, result
    assert b"/device and enter the code WDJB-MJHT" in result.stdout, result.stdout
    return result


def oauth_status(instance):
    result = postwain("oauth", "status", "--home", instance.home)
    return result.returncode, result.stdout.decode()


class TrustedProvider:
    """The private CA of the identity provider where the system's trust store is, for the
    programs started meanwhile."""
    def __enter__(self):
        os.environ["SSL_CERT_FILE"] = SERVERS.path("certificates", "ca.pem")

    def __exit__(self, *exc):
        del os.environ["SSL_CERT_FILE"]


@scenario
def oauth_login_polls_through_slow_down_and_status_tells_each_account():
    SERVERS.provider.reset(pending=1, slow_down=1)
    instance = Instance("oauth-login", [oauth_account("oauth-login", "XOAUTH2"), single_user("bob")], NEVER, start=False)
    with TrustedProvider():
        assert oauth_status(instance) == (1, "Account 1 (oauth-login at 127.0.0.1): Custom, not signed in: run "
                                             "`postwain oauth login --account 1`\nAccount 2 ( at 127.0.0.1): no OAuthProvider\n")
        started = time.monotonic()
        oauth_login(instance, 1, "oauth-login")
        # 1 s, pending; 1 s, slow_down; then 6 s: the interval grew by 5.
        assert time.monotonic() - started >= 8, time.monotonic() - started
        assert SERVERS.provider.requests == [("/devicecode", ""), *[("/token", "urn:ietf:params:oauth:grant-type:device_code")] * 3]
        code, status = oauth_status(instance)
        assert code == 0 and re.search("Custom, signed in; access token valid for (59|60) more minutes", status), status
    stored = glob.glob(os.path.join(instance.home, "oauth-*.txt"))
    assert len(stored) == 1 and os.stat(stored[0]).st_mode & 0o777 == 0o600, stored
    SERVERS.provider.reset(answer=(400, '{"error": "access_denied"}'))
    with TrustedProvider():
        denied = postwain("oauth", "login", "--account", "1", "--home", instance.home)
    assert denied.returncode == 1 and denied.stderr == b"postwain: the sign-in was declined\n", denied


@scenario
def oauth_accounts_deliver_refresh_alone_and_stop_at_invalid_grant():
    """An XOAUTH2 and an OAUTHBEARER account at Dovecot's oauth2 passdb; access tokens of
    302 seconds are within 5 minutes of expiry 2 seconds after they were given."""
    provider = SERVERS.provider
    provider.reset(lifetime=302, rotate=True)
    accounts = [oauth_account("oauth-x", "XOAUTH2"), oauth_account("oauth-b", "OAUTHBEARER")]
    instance = Instance("oauth-mail", accounts, NEVER, start=False)
    with TrustedProvider():
        oauth_login(instance, 1, "oauth-x")
        oauth_login(instance, 2, "oauth-b")
        signed_in = set(provider.access)
        time.sleep(3.5)
        code, output = instance.once()
        assert code == 0 and output.count("refreshed.") == 2 and transferred(2)(output), output
        assert len(provider.refreshes("oauth-x")) == len(provider.refreshes("oauth-b")) == 1
        assert provider.introspected and not set(provider.introspected) & signed_in, provider.introspected
        provider.revoke("oauth-x")
        time.sleep(3.5)
        for refreshed in (1, 0):  # account 2's token has its 302 seconds again at the second check
            code, output = instance.once()
            assert code == 1 and output.count("refreshed.") == refreshed, output
            assert "ERROR - Sign-in for account 1 has expired: run `postwain oauth login --account 1`" in output, output
        assert len(provider.refreshes(None)) == 1, provider.requests  # the revoked token, asked about once
        code, status = oauth_status(instance)
        assert code == 1 and "sign-in expired: run `postwain oauth login --account 1`" in status, status
        oauth_login(instance, 1, "oauth-x")
        assert instance.once()[0] == 0
    assert subjects(SERVERS.delivered("xavier")) == ["oauth-b first", "oauth-x first"]
    secrets = list(provider.access) + list(provider.users)
    log, trace = instance.log(), instance.trace()
    assert not [token for token in secrets if token.encode() in trace or token in log]


def main():
    global SERVERS, ROOT, POSTWAIN, STOP
    wine = sys.argv[1:2] == ["--wine"]
    arguments = sys.argv[1 + wine:]
    if not arguments:
        sys.exit(__doc__)
    binaries = os.path.abspath(arguments[0])
    POSTWAIN = [os.environ.get("WINE", "wine"), os.path.join(binaries, "postwain.exe")] if wine else [os.path.join(binaries, "postwain")]
    STOP = signal.SIGINT if wine else signal.SIGTERM
    chosen = [s for s in SCENARIOS if not arguments[1:] or s.__name__ in arguments[1:]]
    unknown = set(arguments[1:]) - {s.__name__ for s in SCENARIOS}
    if unknown:
        sys.exit(f"run_tests.py: no such scenario: {' '.join(sorted(unknown))}")
    # A run stopped from outside still stops its servers.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    ROOT = tempfile.mkdtemp(prefix="postwain-e2e-")
    failed = []
    try:
        SERVERS = MailServers(ROOT)
        SERVERS.start()
        for test in chosen:
            started = time.monotonic()
            try:
                test()
                print(f"ok   {test.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
            except Exception:
                failed.append(test.__name__)
                print(f"FAIL {test.__name__}\n{traceback.format_exc()}", flush=True)
        if failed:
            print(SERVERS.logs())
    finally:
        if SERVERS:
            SERVERS.stop()
        shutil.rmtree(ROOT, ignore_errors=True)
    print(f"e2e: {len(chosen) - len(failed)} passed, {len(failed)} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
