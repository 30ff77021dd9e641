"""A scripted OAuth 2.0 identity provider over HTTPS with the e2e CA's certificate for
127.0.0.1: device codes, tokens, refresh and introspection (for Dovecot's oauth2 passdb).
The scenarios steer it through its attributes and read what it was asked."""

import http.server
import json
import secrets
import ssl
import threading
import time
import urllib.parse


class IdentityProvider(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, certificate, key):
        super().__init__(("127.0.0.1", 0), ProviderRequests)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certificate, key)
        self.socket = context.wrap_socket(self.socket, server_side=True)
        self.url = f"https://127.0.0.1:{self.server_address[1]}"
        self.lock = threading.Lock()
        self.reset()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def reset(self, lifetime=3600, rotate=False, pending=0, slow_down=0, answer=None):
        """lifetime: the access tokens' seconds; rotate: a new refresh token at each refresh;
        pending and slow_down: so many answers of each before a device code is granted;
        answer: (status, body) given to every token request instead."""
        with self.lock:
            self.lifetime, self.rotate, self.pending, self.slow_down, self.answer = lifetime, rotate, pending, slow_down, answer
            self.users = {}        # device code or refresh token -> user
            self.access = {}       # access token -> (user, expiry)
            self.requests = []     # (path, grant_type or "") in order
            self.introspected = []  # the access tokens Dovecot asked about
            self.next_user = None

    def approve(self, user):
        """The next device code's sign-in is that user's."""
        self.next_user = user

    def revoke(self, user):
        """Consent withdrawn: the user's refresh tokens are invalid_grant from now on."""
        with self.lock:
            self.users = {code: name for code, name in self.users.items() if name != user}

    def refreshes(self, user):
        """The refresh grants of user's tokens (None: of tokens no user holds)."""
        return [grant for grant in self.requests if grant[1] == "refresh_token" and grant[2] == user]

    def grant(self, user):
        access, refresh = "at-" + secrets.token_urlsafe(24), "rt-" + secrets.token_urlsafe(24)
        self.access[access] = (user, time.time() + self.lifetime)
        self.users[refresh] = user
        return 200, {"access_token": access, "refresh_token": refresh, "token_type": "Bearer",
                     "expires_in": self.lifetime}

    def device_code(self):
        code = "dc-" + secrets.token_urlsafe(12)
        self.users[code] = self.next_user
        return 200, {"device_code": code, "user_code": "WDJB-MJHT", "verification_uri": self.url + "/device",
                     "expires_in": 900, "interval": 1}

    def token(self, form):
        grant_type = form.get("grant_type", "")
        if grant_type.endswith("device_code"):
            if self.slow_down > 0:
                self.slow_down -= 1
                return 400, {"error": "slow_down"}
            if self.pending > 0:
                self.pending -= 1
                return 400, {"error": "authorization_pending"}
            user = self.users.pop(form.get("device_code"), None)
            return self.grant(user) if user else (400, {"error": "expired_token"})
        user = self.users.get(form.get("refresh_token"))
        self.requests[-1] += (user,)
        if grant_type != "refresh_token" or user is None:
            return 400, {"error": "invalid_grant", "error_description": "AADSTS70008: the refresh token has expired"}
        if not self.rotate:
            status, answer = self.grant(user)
            del self.users[answer.pop("refresh_token")]
            return status, answer
        del self.users[form["refresh_token"]]
        return self.grant(user)

    def introspect(self, form):
        token = form.get("token", "")
        self.introspected.append(token)
        user, expiry = self.access.get(token, (None, 0))
        return 200, {"active": True, "username": user} if user and expiry > time.time() else {"active": False}


class ProviderRequests(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        provider = self.server
        length = int(self.headers.get("Content-Length", 0))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
        with provider.lock:
            provider.requests.append((self.path, form.get("grant_type", "")))
            if self.path == "/token" and provider.answer:
                status, body = provider.answer
            else:
                status, body = {"/devicecode": provider.device_code, "/token": provider.token,
                                "/introspect": provider.introspect}[self.path](*([form] if self.path != "/devicecode" else []))
        data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass
