"""Private Dovecot (POP3) and Postfix (SMTP) on loopback, configured from the templates
beside this file, everything below one temporary directory, stopped by their own PIDs."""

import asyncio
import collections
import os
import pwd
import re
import signal
import socket
import socketserver
import string
import subprocess
import threading
import time

from identity_provider import IdentityProvider

HERE = os.path.dirname(os.path.abspath(__file__))
LOCAL_DOMAIN = "example.test"
# Postfix delivers for these users of LOCAL_DOMAIN and refuses any other local address
# for good (550), except BUSY_USER, refused for now (450).
LOCAL_USERS = ("alice", "bob", "carol", "dave", "erin", "fay", "frank", "grace", "heidi", "henry", "ivan", "judy",
               "ken", "leo", "mia", "nina", "oscar", "peggy", "quinn", "rosa", "sam", "tina", "uma", "vic", "wendy", "xavier",
               "postmaster")
BUSY_USER = "busy"
# Postfix's policy service refuses for good the second DATA for each of these users, after
# MAIL and RCPT went through.
REFUSED_SECOND_DATA = ("sam", "tina")
# ... and refuses for now (450) the first DATA for each of these (frank is bench/wan's,
# whose timings a recovery login per message would spoil).
DEFERRED_FIRST_DATA = ("fay",)
MAIL_USER = "nobody"  # the unprivileged user both servers deliver and read mail as


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(condition, seconds, failure):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(failure)
        time.sleep(0.1)


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def make_certificates(folder):
    """With the openssl command: a test CA (ca.pem), and certificates it signed for one
    server key (server.key): for 127.0.0.1 (good.pem), for another name (other.pem), and
    for 127.0.0.1 and 127.0.0.2 but expired (expired.pem)."""
    os.makedirs(folder)
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-subj", "/CN=Postwain e2e CA", "-days", "2")
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "server.key")
    with open(os.path.join(folder, "ca.cnf"), "w", encoding="ascii") as config:
        config.write("[ca]\ndefault_ca = e2e\n[e2e]\ndatabase = index.txt\nnew_certs_dir = .\ncertificate = ca.pem\n"
                     "private_key = ca.key\nserial = serial\ndefault_md = sha256\npolicy = any\n"
                     "copy_extensions = copy\nunique_subject = no\n[any]\ncommonName = supplied\n")
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w", encoding="ascii") as serial:
        serial.write("01\n")
    # openssl x509 cannot date a certificate in the past; openssl ca can.
    for name, alt_name, dates in (("good", "IP:127.0.0.1", ["-days", "2"]), ("other", "DNS:other.example", ["-days", "2"]),
                                  ("expired", "IP:127.0.0.1,IP:127.0.0.2", ["-startdate", "20200101000000Z", "-enddate", "20200201000000Z"])):
        openssl("req", "-new", "-key", "server.key", "-subj", f"/CN={name}", "-addext", f"subjectAltName={alt_name}",
                "-out", f"{name}.csr")
        openssl("ca", "-batch", "-config", "ca.cnf", "-notext", "-in", f"{name}.csr", "-out", f"{name}.pem", *dates)


def maildir_files(maildir):
    folders = [os.path.join(maildir, sub) for sub in ("new", "cur")]
    return [os.path.join(f, name) for f in folders if os.path.isdir(f) for name in sorted(os.listdir(f))]


class MailServers:
    def __init__(self, root):
        owner = pwd.getpwnam(MAIL_USER)
        self.uid, self.gid = owner.pw_uid, owner.pw_gid
        self.pop3_port, self.smtp_port = free_port(), free_port()
        self.pop3s_port, self.smtp_tls_port = free_port(), free_port()  # TLS from the first byte; STARTTLS required
        self.submission_port = free_port()  # STARTTLS and SMTP AUTH required
        self.values = dict(root=root, uid=self.uid, gid=self.gid, domain=LOCAL_DOMAIN,
                           pop3_port=self.pop3_port, smtp_port=self.smtp_port,
                           pop3s_port=self.pop3s_port, smtp_tls_port=self.smtp_tls_port,
                           submission_port=self.submission_port)
        self.root, self.pids, self.dovecot, self.policy, self.provider = root, [], None, None, None
        os.chmod(root, 0o755)  # the servers' unprivileged processes reach their files below it

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def configure(self, template, *target):
        with open(os.path.join(HERE, template), encoding="ascii") as source:
            text = string.Template(source.read()).substitute(self.values)
        with open(self.path(*target), "w", encoding="ascii") as out:
            out.write(text)

    def start(self):
        try:
            make_certificates(self.path("certificates"))
            self.provider = IdentityProvider(self.path("certificates", "good.pem"), self.path("certificates", "server.key"))
            self.values["introspection_url"] = self.provider.url + "/introspect"
            for sub in ("run", "state", "home"):
                os.makedirs(self.path("dovecot", sub))
            os.chown(self.path("dovecot", "home"), self.uid, self.gid)
            open(self.path("dovecot", "users"), "w").close()
            self.configure("dovecot.conf", "dovecot", "dovecot.conf")
            self.configure("dovecot-oauth2.conf", "dovecot", "oauth2.conf")
            self.dovecot = subprocess.Popen(["dovecot", "-F", "-c", self.path("dovecot", "dovecot.conf")],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.pids.append(self.dovecot.pid)
            for sub in ("conf", "queue", "data", "mail"):
                os.makedirs(self.path("postfix", sub))
            os.chown(self.path("postfix", "data"), pwd.getpwnam("postfix").pw_uid, -1)
            os.chown(self.path("postfix", "mail"), self.uid, self.gid)
            with open(self.path("postfix", "conf", "mailboxes"), "w", encoding="ascii") as out:
                out.writelines(f"{user}@{LOCAL_DOMAIN} {user}/Maildir/\n" for user in LOCAL_USERS)
            with open(self.path("postfix", "conf", "busy"), "w", encoding="ascii") as out:
                out.write(f"{BUSY_USER}@{LOCAL_DOMAIN} 450 4.2.1 mailbox busy, try again later\n")
            self.policy = DataPolicy()
            self.values["policy_port"] = self.policy.server_address[1]
            self.configure("postfix-main.cf", "postfix", "conf", "main.cf")
            self.configure("postfix-master.cf", "postfix", "conf", "master.cf")
            for action in ("check", "start"):
                subprocess.run(["postfix", "-c", self.path("postfix", "conf"), action], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            with open(self.path("postfix", "queue", "pid", "master.pid"), encoding="ascii") as pid:
                self.pids.append(int(pid.read().strip()))
            for port, name in ((self.pop3_port, "Dovecot"), (self.pop3s_port, "Dovecot"), (self.smtp_port, "Postfix"),
                               (self.smtp_tls_port, "Postfix"), (self.submission_port, "Postfix")):
                wait_until(lambda: listening(port), 20, f"{name} did not start listening on port {port}")
        except BaseException:
            self.stop()
            raise

    def mailbox(self, name, password, messages):
        """A POP3 mailbox holding messages (bytes), in order, behind those it holds already."""
        with open(self.path("dovecot", "users"), "a+", encoding="ascii") as users:
            users.seek(0)
            if f"{name}:{password}\n" not in users.read():
                users.write(f"{name}:{password}\n")
        maildir = self.path("dovecot", "home", name, "Maildir")
        for folder in (os.path.dirname(maildir), maildir) + tuple(os.path.join(maildir, s) for s in ("new", "cur", "tmp")):
            os.makedirs(folder, exist_ok=True)
            os.chown(folder, self.uid, self.gid)
        for number, message in enumerate(messages):
            path = os.path.join(maildir, "new", f"{int(time.time())}.M{number:06d}P{os.getpid()}.e2e")
            with open(path, "wb") as out:
                out.write(message.replace(b"\r\n", b"\n"))
            os.chown(path, self.uid, self.gid)
        # Dovecot looks at its passwd-file at most once a second.
        time.sleep(1.1)

    def pop3_process(self, name):
        """The PID of the POP3 process of name's last session, as Dovecot logged it."""
        with open(self.path("dovecot", "dovecot.log"), encoding="utf-8", errors="replace") as log:
            return int(re.findall(rf"Login: user=<{name}>.* mpid=(\d+)", log.read())[-1])

    def pop3_messages(self, name):
        return maildir_files(self.path("dovecot", "home", name, "Maildir"))

    def delivered(self, user):
        """What Postfix delivered to user@LOCAL_DOMAIN, in arrival order, once it has delivered all."""
        queue = self.path("postfix", "queue")
        wait_until(lambda: not any(files for sub in ("incoming", "active", "deferred", "maildrop")
                                   for _, _, files in os.walk(os.path.join(queue, sub))),
                   30, "Postfix still holds undelivered mail")
        paths = sorted(maildir_files(self.path("postfix", "mail", user, "Maildir")), key=os.path.getmtime)
        return [open(path, "rb").read() for path in paths]

    def stop(self):
        for pid in reversed(self.pids):
            stop_process(pid)
        self.pids = []
        if self.dovecot is not None:
            self.dovecot.wait()
        for server in (self.policy, self.provider):
            if server is not None:
                server.shutdown()

    def logs(self):
        """The servers' own logs, for a failure report."""
        text = ""
        for path in (self.path("dovecot", "dovecot.log"), self.path("postfix", "postfix.log")):
            if os.path.exists(path):
                text += f"--- {path}\n" + open(path, encoding="utf-8", errors="replace").read()[-4000:]
        return text


class DataPolicy(socketserver.ThreadingTCPServer):
    """Postfix's policy service: refuses the second DATA for each of REFUSED_SECOND_DATA, and
    the first for each of DEFERRED_FIRST_DATA for now."""
    daemon_threads = True

    def __init__(self):
        self.data_seen, self.lock = collections.Counter(), threading.Lock()
        super().__init__(("127.0.0.1", 0), PolicyRequests)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def answer(self, request):
        recipient = request.get("recipient", "")
        user = recipient.split("@")[0]
        if request.get("protocol_state") != "DATA" or user not in REFUSED_SECOND_DATA + DEFERRED_FIRST_DATA:
            return "DUNNO"
        with self.lock:
            self.data_seen[recipient] += 1
            if user in DEFERRED_FIRST_DATA:
                return "450 4.7.1 the policy defers this message once" if self.data_seen[recipient] == 1 else "DUNNO"
            return "REJECT 5.7.1 the policy refuses this message" if self.data_seen[recipient] == 2 else "DUNNO"


class PolicyRequests(socketserver.StreamRequestHandler):
    def handle(self):  # name=value lines, an empty line ends a request; Postfix keeps the connection
        request = {}
        for line in self.rfile:
            name, _, value = line.decode(errors="replace").strip().partition("=")
            if name:
                request[name] = value
            else:
                self.wfile.write(f"action={self.server.answer(request)}\n\n".encode())
                request = {}


def stop_process(pid, seconds=10):
    """TERM, then KILL after a while; a master process takes its children with it."""
    def gone():
        try:
            return os.waitpid(pid, os.WNOHANG)[0] == pid
        except ChildProcessError:  # not our child: ask whether it still exists
            try:
                return os.kill(pid, 0)
            except ProcessLookupError:
                return True
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.kill(pid, sig)
            return wait_until(gone, seconds, "")
        except ProcessLookupError:
            return
        except AssertionError:
            pass


class DelayProxy:
    """Forwards one port to another; each piece read waits rtt/2 before it is written, in
    order, so the link's latency is that of a far server and nothing else changes."""

    def __init__(self, target_port, rtt_ms, hide_pipelining, stall_after=None):
        """stall_after: the server's bytes after which nothing more reaches the client."""
        self.port = free_port()
        self.stall_after = stall_after
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

    async def _pipe(self, reader, writer, rewrite, stall_after=None):
        queue = asyncio.Queue()

        async def deliver():
            passed = 0
            while (item := await queue.get()) is not None:
                due, data = item
                await asyncio.sleep(max(0.0, due - self.loop.time()))
                if stall_after is not None and passed + len(data) > stall_after:
                    writer.write(data[:stall_after - passed])
                    await asyncio.Event().wait()  # a stalled link: the rest never comes
                passed += len(data)
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
                             self._pipe(server_reader, client_writer, hidden, self.stall_after),
                             return_exceptions=True)
