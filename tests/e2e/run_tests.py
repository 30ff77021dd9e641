"""End-to-end tests: postwain and libpwt.so against private Dovecot and Postfix.

usage: run_tests.py BIN_DIR   (the directory holding postwain and libpwt.so)
"""

import email
import glob
import os
import poplib
import signal
import smtplib
import subprocess
import sys
import tempfile
import time
import unittest

from mailservers import LOCAL_DOMAIN, MailServers, remove_tree

BIN_DIR = None
SERVERS = None
ROOT = None

ALL_DAY = {"StartHour": 0, "StartMinute": 0, "EndHour": 0, "EndMinute": 0, "Frequency": 1}
# A window that starts after it ends holds no time at all: only requests run checks.
NEVER = {"StartHour": 23, "StartMinute": 59, "EndHour": 0, "EndMinute": 0, "Frequency": 1}


def setUpModule():
    global SERVERS, ROOT
    ROOT = tempfile.mkdtemp(prefix="postwain-e2e-")
    SERVERS = MailServers(ROOT)
    SERVERS.start()


def tearDownModule():
    SERVERS.stop()


def postwain(*args, **kwargs):
    return subprocess.run([os.path.join(BIN_DIR, "postwain"), *args], capture_output=True,
                          timeout=60, **kwargs)


def stored_password(plain):
    result = postwain("password", plain)
    assert result.returncode == 0, result.stderr
    return result.stdout.decode().strip().splitlines()[-1].strip()


def message(subject, headers=None, body=None):
    """A message with LF line ends, as a maildir holds it. It has every header field that
    Postfix would otherwise add, so that a delivered copy ends with the original."""
    if headers is None:
        headers = f"To: someone@remote.test\nMessage-ID: <{subject.replace(' ', '.')}@remote.test>\n"
    if body is None:
        body = f"Hello,\n\nthis is {subject}.\n..a line that POP3 must dot-stuff\n.\nBye.\n"
    return (f"From: Sender <sender@remote.test>\n{headers}Subject: {subject}\n"
            f"Date: Sat, 05 Dec 2026 10:00:00 +0000\n\n{body}").encode()


def subjects(messages):
    return sorted(email.message_from_bytes(m)["Subject"] for m in messages)


class Instance:
    """One Postwain instance directory with its Postwain.ini."""

    def __init__(self, name):
        self.home = os.path.join(ROOT, name)
        os.makedirs(self.home)
        self.process = None

    def write_settings(self, accounts, schedule):
        lines = ["[Postwain]", "Version=1", "",
                 "[SMTP]", "SMTPServerNameOrAddress=127.0.0.1", f"SMTPDomain={LOCAL_DOMAIN}",
                 f"Port={SERVERS.smtp_port}", "",
                 "[InternetAccess]", "Method=Direct", "",
                 "[Schedule]", "OSSettlingTime=0", "TimeOut=30"]
        for days in ("WeekDay", "WeekEnd"):
            lines += [f"{days}{key}={value}" for key, value in schedule.items()]
        lines += ["", "[Debug]", "CreateTraceLog=1", "",
                  "[AccountList]", f"NumberOfAccounts={len(accounts)}"]
        for number, account in enumerate(accounts, 1):
            lines += ["", f"[Account{number}]", "ServerName=127.0.0.1",
                      f"Port={SERVERS.pop3_port}"]
            lines += [f"{key}={value}" for key, value in account.items()]
        with open(os.path.join(self.home, "Postwain.ini"), "w", encoding="ascii") as ini:
            ini.write("\n".join(lines) + "\n")

    def start(self):
        self.process = subprocess.Popen(
            [os.path.join(BIN_DIR, "postwain"), "run", "--home", self.home],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def stop(self):
        """SIGTERM; Postwain lets a running check reach its next safe point first."""
        self.process.send_signal(signal.SIGTERM)
        try:
            output, _ = self.process.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            self.process.kill()
            output, _ = self.process.communicate()
            return "did not stop within 120 seconds", output.decode(errors="replace")
        return self.process.returncode, output.decode(errors="replace")

    def log(self):
        text = ""
        for path in sorted(glob.glob(os.path.join(self.home, "logs", "Postwain Log - *.txt"))):
            with open(path, encoding="latin-1") as log:
                text += log.read()
        return text

    def wait_for_log(self, condition, seconds=120):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition(self.log()):
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.2)
        raise AssertionError("the daily log never showed what the test waited for:\n" + self.log())

    def run_check(self, accounts, done):
        """Starts postwain with a schedule that checks at once, waits for done(log), stops."""
        self.write_settings(accounts, ALL_DAY)
        self.start()
        try:
            self.wait_for_log(done)
        finally:
            code, output = self.stop()
        assert code == 0, output
        SERVERS.wait_for_deliveries()
        return self.log()


def single_user(pop3_user, alias):
    """A single-user account whose password is stored in the form postwain password gives."""
    return {"UserName": pop3_user, "Password": stored_password("pw-" + pop3_user),
            "Type": "Individual", "Alias": alias}


def transferred(count):
    return lambda log: log.count("successfully transferred to SMTP server.") >= count


def wait_until_empty(pop3_user, seconds=20):
    """Dovecot expunges at QUIT; give it a moment after Postwain has left."""
    deadline = time.monotonic() + seconds
    while SERVERS.pop3_messages(pop3_user) and time.monotonic() < deadline:
        time.sleep(0.1)
    return SERVERS.pop3_messages(pop3_user)


class MailServersTest(unittest.TestCase):
    def test_servers_speak_pop3_and_smtp(self):
        # The harness itself: a hand-made exchange with both servers.
        SERVERS.add_pop3_user("handmade", "secret")
        SERVERS.put_pop3_messages("handmade", [message("by hand")])
        pop3 = poplib.POP3("127.0.0.1", SERVERS.pop3_port, timeout=10)
        pop3.user("handmade")
        pop3.pass_("secret")
        self.assertEqual(pop3.stat()[0], 1)
        lines = pop3.retr(1)[1]
        self.assertIn(b"..a line that POP3 must dot-stuff", lines)
        pop3.dele(1)
        pop3.quit()
        self.assertEqual(wait_until_empty("handmade"), [])
        with smtplib.SMTP("127.0.0.1", SERVERS.smtp_port, timeout=10) as smtp:
            smtp.helo("e2e.test")
            with self.assertRaises(smtplib.SMTPRecipientsRefused):
                smtp.sendmail("a@remote.test", ["nobody-here@" + LOCAL_DOMAIN], b"Subject: x\r\n\r\nx\r\n")


class MailCheckTest(unittest.TestCase):
    def test_single_user_mailbox_delivers_every_message_to_the_alias(self):
        SERVERS.add_pop3_user("single", "pw-single")
        originals = [message(f"single {n:02d}") for n in range(1, 51)]
        SERVERS.put_pop3_messages("single", originals)
        instance = Instance("single")
        log = instance.run_check(
            [single_user("single", f"alice@{LOCAL_DOMAIN}")],
            transferred(50))
        self.assertIn("50 message(s) ready for transferring from POP3 server to SMTP server.", log)
        self.assertNotIn("ERROR", log)
        delivered = SERVERS.delivered("alice")
        self.assertEqual(subjects(delivered), subjects(originals))
        # Byte for byte behind the headers Postfix adds: dot-stuffing went both ways.
        for original in originals:
            self.assertTrue(any(d.endswith(original) for d in delivered), original[:60])
        self.assertEqual(wait_until_empty("single"), [])
        with open(os.path.join(instance.home, "logs", "postwain trace.txt"), "rb") as trace:
            text = trace.read()
        self.assertIn(b"PASS *****", text)
        self.assertNotIn(b"pw-single", text)

    def test_domain_mailbox_spreads_messages_over_local_users(self):
        SERVERS.add_pop3_user("domain", "pw-domain")
        messages = [
            message("to and cc", f"To: Bob <bob@{LOCAL_DOMAIN}>\nCc: carol@{LOCAL_DOMAIN}, "
                                 f"Someone <someone@foreign.test>\nMessage-ID: <m1@remote.test>\n"),
            message("delivered-to", f"To: list@lists.foreign.test\n"
                                    f"Delivered-To: {LOCAL_DOMAIN}-dave@{LOCAL_DOMAIN}\n"),
            message("received for", f"Received: from mx.remote.test by pop.isp.test\n"
                                    f"\tfor <erin@{LOCAL_DOMAIN}>; Sat, 05 Dec 2026 09:59:00 +0000\n"
                                    "To: undisclosed-recipients:;\n"),
            message("to and cc", f"To: Bob <bob@{LOCAL_DOMAIN}>\nCc: carol@{LOCAL_DOMAIN}, "
                                 f"Someone <someone@foreign.test>\nMessage-ID: <m1@remote.test>\n"),
            message("foreign only", "To: zed@foreign.test\n"),
        ]
        SERVERS.put_pop3_messages("domain", messages)
        instance = Instance("domain")
        log = instance.run_check(
            [{"UserName": "domain", "Password": stored_password("pw-domain"), "Type": "Group",
              "Domain": LOCAL_DOMAIN, "TranslateUserAccounts": "True"}],
            transferred(5))
        self.assertIn("Duplicate email message ignored.", log)
        self.assertIn("No To or Cc could be interpreted, mail sent to postmaster.", log)
        expected = {"bob": ["to and cc"], "carol": ["to and cc"], "dave": ["delivered-to"],
                    "erin": ["received for"], "postmaster": ["foreign only"]}
        for user, wanted in expected.items():
            self.assertEqual(subjects(SERVERS.delivered(user)), wanted, user)
        self.assertEqual(wait_until_empty("domain"), [])

    def test_a_20_mb_message_arrives_whole(self):
        SERVERS.add_pop3_user("big", "pw-big")
        line = b"0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789\n"
        body = b"".join((b"." if n % 97 == 0 else b"") + line for n in range(20 * 1024 * 1024 // len(line)))
        original = message("big", body=body.decode())
        SERVERS.put_pop3_messages("big", [original])
        instance = Instance("big")
        log = instance.run_check(
            [single_user("big", f"frank@{LOCAL_DOMAIN}")],
            transferred(1))
        self.assertNotIn("ERROR", log)
        delivered = SERVERS.delivered("frank")
        self.assertEqual(len(delivered), 1)
        self.assertTrue(delivered[0].endswith(original), "the delivered copy differs")
        self.assertEqual(wait_until_empty("big"), [])

    def test_a_refused_recipient_keeps_the_message_on_the_pop3_server(self):
        SERVERS.add_pop3_user("refused", "pw-refused")
        SERVERS.put_pop3_messages("refused", [message("refused")])
        alias = f"nobody-here@{LOCAL_DOMAIN}"
        instance = Instance("refused")
        log = instance.run_check(
            [single_user("refused", alias)],
            lambda log: "ERROR - SMTP refused to accept mail for user: " + alias in log)
        self.assertNotIn("successfully transferred", log)
        time.sleep(1)
        self.assertEqual(len(SERVERS.pop3_messages("refused")), 1)

    def test_postwain_check_asks_a_running_instance_for_a_check(self):
        SERVERS.add_pop3_user("oncall", "pw-oncall")
        SERVERS.put_pop3_messages("oncall", [message("on request")])
        instance = Instance("oncall")
        instance.write_settings(
            [single_user("oncall", f"grace@{LOCAL_DOMAIN}")],
            NEVER)
        instance.start()
        try:
            instance.wait_for_log(lambda log: "Starting up..." in log)
            # Past the scheduler's first pass, which takes a set event for a timed one.
            time.sleep(1)
            self.assertEqual(len(SERVERS.pop3_messages("oncall")), 1, "checked without a request")
            result = postwain("check")
            self.assertEqual(result.returncode, 0, result.stderr)
            instance.wait_for_log(transferred(1), seconds=60)
        finally:
            code, output = instance.stop()
        self.assertEqual(code, 0, output)
        SERVERS.wait_for_deliveries()
        self.assertEqual(subjects(SERVERS.delivered("grace")), ["on request"])
        self.assertEqual(postwain("check").returncode, 1, "check with no Postwain running")


def delivery_table(output):
    """The demo's table of who received what, as {local user: [subjects]}."""
    table, user, inside = {}, None, False
    for line in output.splitlines():
        if line.startswith("== Who received what"):
            inside = True
        elif inside and not line.startswith("  "):
            break
        elif inside and not line.startswith("  Local user"):
            user = line[2:25].strip() or user
            if line[25:].strip() != "(nothing)":
                table.setdefault(user, []).append(line[25:54].strip())
    return {user: sorted(subjects) for user, subjects in table.items()}


class DemoTest(unittest.TestCase):
    def test_demo_delivers_its_messages_with_nothing_installed(self):
        with tempfile.TemporaryDirectory(dir=ROOT) as scratch:
            result = postwain("demo", env=dict(os.environ, TMPDIR=scratch))
        output = result.stdout.decode(errors="replace")
        self.assertEqual(result.returncode, 0, output + result.stderr.decode(errors="replace"))
        self.assertIn("Duplicate email message ignored.", output)
        # The one refusal: the stranger's address, before the postmaster takes the message.
        errors = [line for line in output.splitlines() if "ERROR" in line]
        self.assertEqual(len(errors), 1, output)
        self.assertIn("SMTP refused to accept mail for: sales@example.com", errors[0])
        self.assertEqual(delivery_table(output), {
            "alice@example.com": ["Sunday lunch", "Your weekly deals"],
            "bob@example.com": ["Q3 report"],
            "carol@example.com": ["Conference invitation", "Q3 report"],
            "dave@example.com": ["New price list"],
            "postmaster@example.com": ["Misaddressed enquiry"],
        }, output)
        self.assertIn("Messages left on the POP3 server: 0", output)


def main():
    global BIN_DIR
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    BIN_DIR = os.path.abspath(sys.argv[1])
    # A scheduler event of this run's own: checks asked for here reach only the
    # instances started here, whatever else runs on the machine.
    os.environ["POSTWAIN_EVENT_NAME"] = f"Postwain e2e {os.getpid()}"
    # A run stopped from outside still stops its servers (the finally below); unittest
    # lets only KeyboardInterrupt through.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    selected = sys.argv[2:]
    loader = unittest.TestLoader()
    suite = (loader.loadTestsFromNames(selected, sys.modules[__name__]) if selected
             else loader.loadTestsFromModule(sys.modules[__name__]))
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        if not result.wasSuccessful():
            print(SERVERS.logs() if SERVERS else "")
    finally:
        if SERVERS:
            SERVERS.stop()
        if ROOT:
            remove_tree(ROOT)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
