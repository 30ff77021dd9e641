"""Private Dovecot (POP3) and Postfix (SMTP) instances on loopback for end-to-end tests.

Everything lives under one temporary directory: configurations, queues, logs and the
maildirs. Neither server touches the system's own configuration or services, and both
are stopped by the PIDs they were started with.
"""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

LOCAL_DOMAIN = "example.test"
# Postfix delivers for these users of LOCAL_DOMAIN; any other local address is refused.
LOCAL_USERS = ("alice", "bob", "carol", "dave", "erin", "frank", "grace", "postmaster")
# Both servers run their mail processes as this unprivileged user.
MAIL_USER = "nobody"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"{what} did not start listening on port {port}")


def write_file(path, text, mode=0o644):
    with open(path, "w", encoding="ascii") as out:
        out.write(text)
    os.chmod(path, mode)


def maildir_files(maildir):
    """Paths of the messages in a maildir, new and cur, in name order."""
    paths = []
    for sub in ("new", "cur"):
        folder = os.path.join(maildir, sub)
        if os.path.isdir(folder):
            paths += [os.path.join(folder, name) for name in sorted(os.listdir(folder))]
    return paths


class MailServers:
    def __init__(self, root):
        self.root = root
        self.pop3_port = free_port()
        self.smtp_port = free_port()
        self.dovecot_dir = os.path.join(root, "dovecot")
        self.postfix_dir = os.path.join(root, "postfix")
        self.dovecot_pid = None
        self.postfix_pid = None
        owner = pwd.getpwnam(MAIL_USER)
        self.uid, self.gid = owner.pw_uid, owner.pw_gid
        # The servers' unprivileged processes must reach their files below root.
        os.chmod(root, 0o755)

    # -- Dovecot -------------------------------------------------------------------------

    def start_dovecot(self):
        base = self.dovecot_dir
        for sub in ("run", "state", "home"):
            os.makedirs(os.path.join(base, sub), exist_ok=True)
        os.chown(os.path.join(base, "home"), self.uid, self.gid)
        self.pop3_users = os.path.join(base, "users")
        write_file(self.pop3_users, "")
        write_file(os.path.join(base, "dovecot.conf"), f"""
base_dir = {base}/run
state_dir = {base}/state
log_path = {base}/dovecot.log
info_log_path = {base}/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
# Say why a login failed.
auth_verbose = yes
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = 1
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {self.pop3_users}
}}
userdb {{
  driver = static
  args = uid={self.uid} gid={self.gid} home={base}/home/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.pop3_port}
  }}
}}
service anvil {{
  chroot =
}}
service imap-login {{
  chroot =
}}
service pop3-login {{
  chroot =
}}
""")
        process = subprocess.Popen(["dovecot", "-F", "-c", os.path.join(base, "dovecot.conf")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.dovecot_pid = process.pid
        self._dovecot = process
        wait_for_port(self.pop3_port, 20, "Dovecot")

    def add_pop3_user(self, name, password):
        """A POP3 mailbox; returns its maildir (created empty)."""
        with open(self.pop3_users, "a", encoding="ascii") as out:
            out.write(f"{name}:{password}\n")
        maildir = self.pop3_maildir(name)
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        for folder in (os.path.dirname(maildir), maildir) + tuple(
                os.path.join(maildir, sub) for sub in ("new", "cur", "tmp")):
            os.chown(folder, self.uid, self.gid)
        # Dovecot looks at its passwd-file at most once a second: a login in the second
        # of the last look would not find the new user yet.
        time.sleep(1.1)
        return maildir

    def pop3_maildir(self, name):
        return os.path.join(self.dovecot_dir, "home", name, "Maildir")

    def put_pop3_messages(self, name, messages):
        """Stores messages (bytes with LF or CRLF line ends) in a POP3 mailbox, in order."""
        folder = os.path.join(self.pop3_maildir(name), "new")
        stamp = int(time.time())
        for number, message in enumerate(messages):
            path = os.path.join(folder, f"{stamp}.M{number:06d}P{os.getpid()}.e2e")
            with open(path, "wb") as out:
                out.write(message.replace(b"\r\n", b"\n"))
            os.chown(path, self.uid, self.gid)

    def pop3_messages(self, name):
        return maildir_files(self.pop3_maildir(name))

    # -- Postfix -------------------------------------------------------------------------

    def start_postfix(self):
        base = self.postfix_dir
        conf = os.path.join(base, "conf")
        self.mail_base = os.path.join(base, "mail")
        for sub in ("conf", "queue", "data", "mail"):
            os.makedirs(os.path.join(base, sub), exist_ok=True)
        os.chown(os.path.join(base, "data"), pwd.getpwnam("postfix").pw_uid, -1)
        os.chown(self.mail_base, self.uid, self.gid)
        mailboxes = "".join(f"{user}@{LOCAL_DOMAIN} {user}/Maildir/\n" for user in LOCAL_USERS)
        write_file(os.path.join(conf, "mailboxes"), mailboxes)
        write_file(os.path.join(conf, "main.cf"), f"""
compatibility_level = 3.6
config_directory = {conf}
queue_directory = {base}/queue
data_directory = {base}/data
meta_directory = /etc/postfix
maillog_file = {base}/postfix.log
maillog_file_prefixes = {base}
mail_owner = postfix
setgid_group = postdrop
myhostname = mx.{LOCAL_DOMAIN}
mydomain = {LOCAL_DOMAIN}
myorigin = {LOCAL_DOMAIN}
mydestination =
mynetworks =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
alias_maps =
alias_database =
local_recipient_maps =
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions =
smtpd_banner = $myhostname ESMTP
virtual_mailbox_domains = {LOCAL_DOMAIN}
virtual_mailbox_maps = texthash:{conf}/mailboxes
virtual_mailbox_base = {self.mail_base}
virtual_uid_maps = static:{self.uid}
virtual_gid_maps = static:{self.gid}
virtual_minimum_uid = 1
virtual_mailbox_limit = 0
message_size_limit = 52428800
default_transport = error:no mail leaves this test instance
relay_transport = error:no mail leaves this test instance
biff = no
smtputf8_enable = no
""")
        write_file(os.path.join(conf, "master.cf"), f"""
127.0.0.1:{self.smtp_port} inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
""")
        run = ["postfix", "-c", conf]
        subprocess.run(run + ["check"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        subprocess.run(run + ["start"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        with open(os.path.join(base, "queue", "pid", "master.pid"), encoding="ascii") as pid_file:
            self.postfix_pid = int(pid_file.read().strip())
        wait_for_port(self.smtp_port, 20, "Postfix")

    def delivered(self, user):
        """Messages that Postfix delivered to user@LOCAL_DOMAIN, as bytes, in arrival order."""
        maildir = os.path.join(self.mail_base, user, "Maildir")
        paths = sorted(maildir_files(maildir), key=os.path.getmtime)
        messages = []
        for path in paths:
            with open(path, "rb") as message:
                messages.append(message.read())
        return messages

    def postfix_queue_empty(self):
        queue = os.path.join(self.postfix_dir, "queue")
        for sub in ("incoming", "active", "deferred", "maildrop"):
            for _, _, files in os.walk(os.path.join(queue, sub)):
                if files:
                    return False
        return True

    def wait_for_deliveries(self, seconds=30):
        """Waits until Postfix has no message left to deliver."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.postfix_queue_empty():
                return
            time.sleep(0.1)
        raise AssertionError("Postfix still holds undelivered mail")

    # -- both ----------------------------------------------------------------------------

    def start(self):
        try:
            self.start_dovecot()
            self.start_postfix()
        except BaseException:
            self.stop()
            raise

    def stop(self):
        for pid in (self.postfix_pid, self.dovecot_pid):
            if pid is not None:
                stop_process(pid)
        self.postfix_pid = self.dovecot_pid = None
        if getattr(self, "_dovecot", None) is not None:
            self._dovecot.wait()

    def logs(self):
        """The servers' own logs, for a failure report."""
        text = ""
        for path in (os.path.join(self.dovecot_dir, "dovecot.log"),
                     os.path.join(self.postfix_dir, "postfix.log")):
            if os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as log:
                    text += f"--- {path}\n" + log.read()[-4000:]
        return text


def stop_process(pid, seconds=10):
    """TERM, then KILL after a while; a master process takes its children with it."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        try:
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                return
        except ChildProcessError:
            pass
        time.sleep(0.05)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def remove_tree(path):
    shutil.rmtree(path, ignore_errors=True)
