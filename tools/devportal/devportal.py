#!/usr/bin/python3
"""Development portal: a real HTTPS server on loopback that plays the TESSARO portal.

It serves a DATA folder written by the publisher tool (catalogs, release manifests,
release archives, the launcher release and its setup file), signs in a configured
account without a form, and can be told at run time to misbehave in the ways a
real portal or network does, so the launcher's handling of each case can be tested.
Envelope files are served byte for byte: their SHA-256 is part of what the client
checks, so nothing here ever re-serialises them.
"""

import argparse
import base64
import fcntl
import fnmatch
import hashlib
import http.server
import json
import os
import re
import secrets
import signal
import socket
import socketserver
import ssl
import struct
import sys
import termios
import threading
import time
import urllib.parse

CLIENT_ID = "tessaro-installer"
DEFAULT_REDIRECT_URI = "http://127.0.0.1:43872/callback"
KNOWN_SCOPES = {"openid", "profile", "email", "offline_access", "software.download"}
CHANNELS = ("stable", "snapshot")
CODE_LIFETIME = 300
MAX_FORM_BYTES = 65536
MAX_ADMIN_BYTES = 1048576
LOGGED_BODY_LIMIT = 65536
# A log reader asking for a settled log waits at most this long for entries still being written.
LOG_SETTLE_SECONDS = 10
CHUNK = 65536
RELEASE_ID = re.compile(r"^[A-Za-z0-9][A-Za-z0-9-]{0,63}$")
VARIANT = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_-]{0,31}$")
VERIFIER = re.compile(r"^[A-Za-z0-9._~-]{43,128}$")

CATALOG_PREFIX = "/account-api/v1/software/catalog/win-x64/"
RELEASES_PREFIX = "/account-api/v1/software/releases/"
ARTIFACTS_PREFIX = "/account-api/v1/software/artifacts/"
BOOTSTRAP_PATH = "/software/bootstrap/manifest"
SETUP_PATH = "/software/TESSARO-Setup.exe"


class BadRequest(Exception):
    """A fault rule, setting or admin body that cannot be accepted."""


# ----------------------------------------------------------------------------------------
# Fault rules

def _int(value, name, low, high=None):
    if isinstance(value, bool) or not isinstance(value, int):
        raise BadRequest(f"{name} must be an integer")
    if value < low or (high is not None and value > high):
        raise BadRequest(f"{name} out of range")
    return value


def _number(value, name, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise BadRequest(f"{name} must be a number")
    if value < low or value > high:
        raise BadRequest(f"{name} out of range")
    return float(value)


def _string(value, name):
    if not isinstance(value, str):
        raise BadRequest(f"{name} must be a string")
    return value


def _bool(value, name):
    if not isinstance(value, bool):
        raise BadRequest(f"{name} must be a boolean")
    return value


# Each kind: parameter name -> (checker, default). A parameter without default is required.
FAULT_KINDS = {
    "status": {"status": (lambda v: _int(v, "status", 100, 599), None),
               "retryAfter": (lambda v: _int(v, "retryAfter", 0), 0),
               "body": (lambda v: _string(v, "body"), "")},
    "delay": {"seconds": (lambda v: _number(v, "seconds", 0, 600), None)},
    "cut": {"after": (lambda v: _int(v, "after", 0), None),
            "reset": (lambda v: _bool(v, "reset"), False)},
    "throttle": {"bytesPerSecond": (lambda v: _int(v, "bytesPerSecond", 1), None)},
    "extra-byte": {"declare": (lambda v: _bool(v, "declare"), False)},
    "wrong-etag": {"value": (lambda v: _string(v, "value"), "")},
    "unquoted-etag": {},
    "no-etag": {},
    "wrong-content-range": {"value": (lambda v: _string(v, "value"), "bytes {start}-{size}/{size}")},
    "ignore-range": {},
    "partial-without-range": {},
    "multipart-range": {},
    "flip-byte": {"offset": (lambda v: _int(v, "offset", 0), None)},
    "catalog": {"variant": (lambda v: _string(v, "variant"), "old")},
    "expire-token": {},
    "revoke-refresh": {},
    "no-refresh-token": {},
    "deny-sign-in": {"error": (lambda v: _string(v, "error"), "access_denied")},
    "wrong-state": {},
}

FAULT_HELP = """\
fault rules (JSON objects; --fault takes one, POST /_dev/faults one or an array):
  common members:
    "fault"    kind (below), required
    "path"     glob on the request path without query, default "*"
               (e.g. "/account-api/v1/software/artifacts/*")
    "method"   "GET", "POST" or "HEAD"; default any
    "skip"     let this many requests that would trigger it pass first, default 0
    "times"    trigger this often, then stay inert; default: always
  A rule is consumed only where it takes effect, so a download fault never fires on a
  token request even with the default path.
  kinds (parameters):
    status                 answer this status instead, any endpoint ("status", optional
                           "retryAfter" seconds -> Retry-After header, optional "body")
    delay                  wait before answering, any endpoint ("seconds", up to 600)
    cut                    close the connection after "after" body bytes of a served file;
                           "reset": true sends a TCP reset instead of a clean close
    throttle               send a served file at "bytesPerSecond"
    extra-byte             send one byte more than the served file; the headers stay
                           right unless "declare": true counts it in Content-Length
    wrong-etag             download ETag is another file's ("value": literal header text)
    unquoted-etag          download ETag without the double quotes
    no-etag                download answer without ETag
    wrong-content-range    206 Content-Range off by one ("value": template with {start},
                           {end}, {size}; default "bytes {start}-{size}/{size}")
    ignore-range           answer 200 with the whole file although a Range was asked
    partial-without-range  answer 206 with the whole file although no Range was asked
    multipart-range        answer a Range with multipart/byteranges (one part, no
                           top-level Content-Range)
    flip-byte              invert the byte at file offset "offset" wherever a served
                           answer holds it; ETag and lengths stay right
    catalog                serve DATA/catalogs/<channel>.<variant>.json instead
                           ("variant", default "old")
    expire-token           the presented access token expires now -> 401
    revoke-refresh         the presented refresh token is revoked -> 400 invalid_grant
    no-refresh-token       token answer without refresh_token (the old one stays valid)
    deny-sign-in           authorize sends the browser back with error=<"error"> and
                           the state, without a code (default "access_denied")
    wrong-state            authorize sends the browser back with a different state
"""

RULE_KEYS = {"fault", "path", "method", "skip", "times"}


def parse_rule(obj):
    if not isinstance(obj, dict):
        raise BadRequest("a fault rule must be a JSON object")
    kind = obj.get("fault")
    if kind not in FAULT_KINDS:
        raise BadRequest(f"unknown fault kind {kind!r}")
    params = FAULT_KINDS[kind]
    unknown = set(obj) - RULE_KEYS - set(params)
    if unknown:
        raise BadRequest(f"unknown member(s) for fault {kind!r}: {', '.join(sorted(unknown))}")
    rule = {"fault": kind,
            "path": _string(obj.get("path", "*"), "path"),
            "method": obj.get("method"),
            "skip": _int(obj.get("skip", 0), "skip", 0),
            "times": obj.get("times")}
    if rule["method"] is not None and rule["method"] not in ("GET", "POST", "HEAD"):
        raise BadRequest("method must be GET, POST or HEAD")
    if rule["times"] is not None:
        _int(rule["times"], "times", 1)
    if not rule["path"].startswith("/") and rule["path"] != "*":
        raise BadRequest("path must start with / or be *")
    for name, (check, default) in params.items():
        if name in obj:
            rule[name] = check(obj[name])
        elif default is None:
            raise BadRequest(f"fault {kind!r} needs {name!r}")
        else:
            rule[name] = default
    if kind == "catalog" and not VARIANT.match(rule["variant"]):
        raise BadRequest("variant must be a plain name")
    return rule


# ----------------------------------------------------------------------------------------
# Portal state

def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def utc_stamp(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int((t % 1) * 1000)


def load_accounts(data_dir):
    path = os.path.join(data_dir, "accounts.json")
    if not os.path.exists(path):
        return "dev", {"dev": {"snapshot": True}}
    with open(path, "rb") as f:
        doc = json.loads(f.read().decode("utf-8"))
    accounts = doc.get("accounts", {"dev": {"snapshot": True}}) if isinstance(doc, dict) else None
    if not isinstance(accounts, dict) or not accounts:
        raise ValueError(f"{path}: \"accounts\" must be a non-empty object")
    for name, entry in accounts.items():
        if not isinstance(entry, dict) or not isinstance(entry.get("snapshot", False), bool):
            raise ValueError(f"{path}: account {name!r} must be an object with boolean \"snapshot\"")
    sign_in = doc.get("signIn", "dev" if "dev" in accounts else next(iter(accounts)))
    if sign_in not in accounts:
        raise ValueError(f"{path}: \"signIn\" names no account")
    return sign_in, accounts


class Portal:
    """Everything the portal remembers; one lock guards it all."""

    def __init__(self, data_dir, redirect_uri, access_lifetime, refresh_lifetime, start_faults,
                 log_path):
        self.data_dir = data_dir
        self.redirect_uri = redirect_uri
        self.start = {"accessLifetime": access_lifetime, "refreshLifetime": refresh_lifetime}
        self.start_faults = start_faults
        # Re-entrant: fault rules are consulted while token state is being changed.
        self.lock = threading.RLock()
        # Requests whose entry is not written yet: a log reader may wait for them.
        self.unrecorded = 0
        self.recorded = threading.Condition(self.lock)
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self.hash_cache = {}
        self.reset()

    def reset(self):
        sign_in, accounts = load_accounts(self.data_dir)
        with self.lock:
            self.settings = dict(self.start, signIn=sign_in)
            self.accounts = accounts
            self.codes = {}
            self.access = {}
            self.refresh = {}
            self.grants_revoked = set()
            self.log = []
            self.seq = 0
            self.next_rule = 1
            self.rules = []
            for rule in self.start_faults:
                self._add_rule(dict(rule))

    # -- faults

    def _add_rule(self, rule):
        rule["id"] = self.next_rule
        rule["hits"] = 0
        self.next_rule += 1
        self.rules.append(rule)
        return rule["id"]

    def add_rules(self, rules):
        with self.lock:
            return [self._add_rule(r) for r in rules]

    def clear_rules(self, rule_id=None):
        with self.lock:
            before = len(self.rules)
            self.rules = [r for r in self.rules if rule_id is not None and r["id"] != rule_id]
            return before - len(self.rules)

    def list_rules(self):
        with self.lock:
            return [dict(r) for r in self.rules]

    def take_fault(self, kind, method, path, applies=None):
        """The first live rule of this kind that matches (and `applies`), consumed by one use."""
        with self.lock:
            for rule in self.rules:
                if rule["fault"] != kind:
                    continue
                if rule["method"] is not None and rule["method"] != method:
                    continue
                if rule["path"] != "*" and not fnmatch.fnmatchcase(path, rule["path"]):
                    continue
                if rule["times"] is not None and rule["hits"] >= rule["times"]:
                    continue
                if applies is not None and not applies(rule):
                    continue
                if rule["skip"] > 0:
                    rule["skip"] -= 1
                    continue
                rule["hits"] += 1
                return dict(rule)
        return None

    # -- accounts and tokens

    def set_settings(self, doc):
        if not isinstance(doc, dict):
            raise BadRequest("settings must be a JSON object")
        unknown = set(doc) - {"accessLifetime", "refreshLifetime", "signIn", "accounts"}
        if unknown:
            raise BadRequest(f"unknown setting(s): {', '.join(sorted(unknown))}")
        with self.lock:
            accounts = self.accounts
            if "accounts" in doc:
                accounts = doc["accounts"]
                if not isinstance(accounts, dict) or not accounts or not all(
                        isinstance(v, dict) and isinstance(v.get("snapshot", False), bool)
                        for v in accounts.values()):
                    raise BadRequest("accounts must map names to {\"snapshot\": bool}")
            sign_in = doc.get("signIn", self.settings["signIn"])
            if sign_in not in accounts:
                raise BadRequest("signIn names no account")
            for name in ("accessLifetime", "refreshLifetime"):
                if name in doc:
                    _int(doc[name], name, 0)
            self.accounts = accounts
            self.settings["signIn"] = sign_in
            for name in ("accessLifetime", "refreshLifetime"):
                if name in doc:
                    self.settings[name] = doc[name]
            return self.get_settings_locked()

    def get_settings_locked(self):
        return dict(self.settings, accounts=self.accounts)

    def get_settings(self):
        with self.lock:
            return self.get_settings_locked()

    def new_code(self, account, scope, challenge, redirect_uri):
        code = secrets.token_urlsafe(32)
        with self.lock:
            self.codes[code] = {"account": account, "scope": scope, "challenge": challenge,
                                "redirect_uri": redirect_uri, "expires": time.time() + CODE_LIFETIME,
                                "used": False, "grant": secrets.token_hex(8)}
        return code

    def _issue_locked(self, account, scope, grant, want_refresh):
        now = time.time()
        access = "at-" + secrets.token_urlsafe(32)
        life = self.settings["accessLifetime"]
        self.access[access] = {"account": account, "scope": scope, "grant": grant,
                               "expires": now + life}
        answer = {"access_token": access, "token_type": "Bearer", "expires_in": life,
                  "scope": " ".join(sorted(scope))}
        if "offline_access" in scope and want_refresh():
            refresh = "rt-" + secrets.token_urlsafe(32)
            self.refresh[refresh] = {"account": account, "scope": scope, "grant": grant,
                                     "expires": now + self.settings["refreshLifetime"]}
            answer["refresh_token"] = refresh
        return answer

    def issue_direct(self, account, scope):
        with self.lock:
            if account is None:
                account = self.settings["signIn"]
            if account not in self.accounts:
                raise BadRequest("unknown account")
            return self._issue_locked(account, scope, secrets.token_hex(8), lambda: True)

    def exchange_code(self, code, redirect_uri, verifier, want_refresh):
        """(answer, None) or (None, (error, description))."""
        with self.lock:
            entry = self.codes.get(code)
            if entry is None:
                return None, ("invalid_grant", "unknown authorization code")
            if entry["used"]:
                # A code presented twice may have been stolen: withdraw what it bought.
                self._revoke_grant_locked(entry["grant"])
                return None, ("invalid_grant", "authorization code already used")
            entry["used"] = True
            if time.time() >= entry["expires"]:
                return None, ("invalid_grant", "authorization code expired")
            if redirect_uri != entry["redirect_uri"]:
                return None, ("invalid_grant", "redirect_uri differs from the authorization request")
            if verifier is None or not VERIFIER.match(verifier):
                return None, ("invalid_grant", "code_verifier missing or malformed")
            if b64url(hashlib.sha256(verifier.encode("ascii")).digest()) != entry["challenge"]:
                return None, ("invalid_grant", "code_verifier does not match code_challenge")
            return self._issue_locked(entry["account"], entry["scope"], entry["grant"],
                                      want_refresh), None

    def refresh_grant(self, token, revoke, want_refresh):
        with self.lock:
            entry = self.refresh.get(token)
            if entry is None or entry["grant"] in self.grants_revoked:
                return None, ("invalid_grant", "unknown or revoked refresh token")
            if revoke():
                del self.refresh[token]
                return None, ("invalid_grant", "refresh token revoked")
            if time.time() >= entry["expires"]:
                return None, ("invalid_grant", "refresh token expired")
            answer = self._issue_locked(entry["account"], entry["scope"], entry["grant"],
                                        want_refresh)
            if "refresh_token" in answer:
                del self.refresh[token]  # rotation: the old refresh token is spent
            return answer, None

    def _revoke_grant_locked(self, grant):
        self.grants_revoked.add(grant)
        for table in (self.access, self.refresh):
            for key in [k for k, v in table.items() if v["grant"] == grant]:
                del table[key]

    def check_access(self, token, expire_now):
        """(account entry, None) or (None, error description)."""
        with self.lock:
            entry = self.access.get(token)
            if entry is None:
                return None, "unknown access token"
            if expire_now():
                entry["expires"] = 0
            if time.time() >= entry["expires"]:
                return None, "access token expired"
            account = self.accounts.get(entry["account"])
            if account is None:
                return None, "account no longer exists"
            return dict(entry, snapshot=account.get("snapshot", False)), None

    # -- files

    def file_sha256(self, f):
        st = os.fstat(f.fileno())
        key = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        with self.lock:
            cached = self.hash_cache.get(key)
        if cached is None:
            h = hashlib.sha256()
            offset = 0
            while True:
                block = os.pread(f.fileno(), 1 << 20, offset)
                if not block:
                    break
                h.update(block)
                offset += len(block)
            cached = h.hexdigest()
            with self.lock:
                self.hash_cache[key] = cached
        return cached, st.st_size

    # -- request log

    def begin_request(self):
        with self.lock:
            self.unrecorded += 1

    def record(self, entry, counted=False):
        with self.lock:
            if counted:
                self.unrecorded -= 1
                self.recorded.notify_all()
            self.seq += 1
            entry = dict(seq=self.seq, **entry)
            self.log.append(entry)
            if self.log_file:
                self.log_file.write(json.dumps(entry, ensure_ascii=False) + "\n")
                self.log_file.flush()

    def log_since(self, since, settle_seconds=0):
        """Entries after seq SINCE; with SETTLE_SECONDS, first waits (that long at most) until every
        request that has begun is written, so an answer a client has read is in the log."""
        with self.lock:
            self.recorded.wait_for(lambda: self.unrecorded == 0, timeout=settle_seconds)
            return [e for e in self.log if e["seq"] > since]

    def clear_log(self):
        with self.lock:
            self.log = []


# ----------------------------------------------------------------------------------------
# HTTP

def parse_query(text):
    """Form or query text -> dict; None when a name repeats (OAuth forbids that)."""
    result = {}
    for name, value in urllib.parse.parse_qsl(text, keep_blank_values=True):
        if name in result:
            return None
        result[name] = value
    return result


def parse_range(header, size):
    """('range', start, end) | ('unsatisfiable',) | None when the header is to be ignored."""
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header, re.IGNORECASE)
    if not m or (m.group(1) == "" and m.group(2) == ""):
        return None  # malformed or several ranges: a server may answer with the whole file
    first, last = m.group(1), m.group(2)
    if first == "":
        suffix = int(last)
        if suffix == 0 or size == 0:
            return ("unsatisfiable",)
        return ("range", max(0, size - suffix), size - 1)
    start = int(first)
    end = size - 1 if last == "" else min(int(last), size - 1)
    if last != "" and int(last) < start:
        return None
    if start >= size:
        return ("unsatisfiable",)
    return ("range", start, end)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devportal"
    sys_version = ""
    # As web servers do: a kept-alive connection that carries many small answers would otherwise wait
    # for the client's delayed acknowledgement at the end of each.
    disable_nagle_algorithm = True

    # -- plumbing

    def version_string(self):
        return self.server_version

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("devportal: %s %s\n" % (self.address_string(), fmt % args))

    def do_GET(self):
        self.dispatch("GET")

    def do_HEAD(self):
        self.dispatch("HEAD")

    def do_POST(self):
        self.dispatch("POST")

    def dispatch(self, method):
        self.portal = self.server.portal
        self.method = method
        self.target_path, _, self.query = self.path.partition("?")
        self.applied = []
        self.body_in = b""
        self.sent_status = None
        self.bytes_sent = 0
        self.complete = True
        self.account = None
        self.error = None
        started = time.time()
        admin = self.target_path.startswith("/_dev/")
        if not admin:
            self.portal.begin_request()
        try:
            if not self.read_body():
                return
            if admin:
                self.handle_admin()
                return
            delay = self.fault("delay")
            if delay:
                time.sleep(delay["seconds"])
            forced = self.fault("status")
            if forced:
                self.answer_forced(forced)
            else:
                self.route()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout) as e:
            self.complete = False
            self.close_connection = True
            self.error = repr(e)
        except Exception as e:  # a broken DATA file must not end the server
            self.error = repr(e)
            self.close_connection = True
            if self.sent_status is None:
                self.send_json(500, {"error": "server_error", "error_description": str(e)})
            else:
                self.complete = False
        finally:
            if not admin:
                self.record(started)

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            self.send_json(411, {"error": "invalid_request",
                                 "error_description": "chunked request bodies are not accepted"})
            self.close_connection = True
            return False
        length = self.headers.get("Content-Length")
        if length is None:
            return True
        limit = MAX_ADMIN_BYTES if self.target_path.startswith("/_dev/") else MAX_FORM_BYTES
        if not length.isdigit() or int(length) > limit:
            self.send_json(413, {"error": "invalid_request", "error_description": "body too large"})
            self.close_connection = True
            return False
        self.body_in = self.rfile.read(int(length))
        return True

    def record(self, started):
        headers = {}
        for name, value in self.headers.items():
            key = name.lower()
            headers[key] = headers[key] + ", " + value if key in headers else value
        entry = {
            "event": "request",
            "time": utc_stamp(started),
            "client": "%s:%d" % self.client_address[:2],
            "method": self.method,
            "path": self.target_path,
            "query": self.query,
            "authorization": self.headers.get("Authorization"),
            "range": self.headers.get("Range"),
            "ifRange": self.headers.get("If-Range"),
            "contentType": self.headers.get("Content-Type"),
            "acceptEncoding": self.headers.get("Accept-Encoding"),
            "userAgent": self.headers.get("User-Agent"),
            "headers": headers,
            "body": self.body_in[:LOGGED_BODY_LIMIT].decode("utf-8", "replace") if self.body_in else None,
            "account": self.account,
            "status": self.sent_status,
            "bytesSent": self.bytes_sent,
            "complete": self.complete,
            "faults": self.applied,
            "durationMs": int((time.time() - started) * 1000),
        }
        if self.error:
            entry["error"] = self.error
        self.portal.record(entry, counted=True)

    def fault(self, kind, applies=None):
        rule = self.portal.take_fault(kind, self.method, self.target_path, applies)
        if rule:
            self.applied.append({"id": rule["id"], "fault": kind})
        return rule

    def start_answer(self, status, headers):
        self.sent_status = status
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()

    def send_bytes(self, status, body, headers=(), content_type="application/json"):
        all_headers = [("Content-Type", content_type), ("Content-Length", str(len(body))),
                       ("Cache-Control", "no-store")] + list(headers)
        self.start_answer(status, all_headers)
        if self.method != "HEAD" and body:
            self.wfile.write(body)
            self.bytes_sent = len(body)

    def send_json(self, status, doc, headers=()):
        self.send_bytes(status, json.dumps(doc).encode("utf-8"), headers)

    def not_found(self):
        self.send_json(404, {"error": "not_found"})

    def answer_forced(self, rule):
        status = rule["status"]
        headers = []
        if rule["retryAfter"]:
            headers.append(("Retry-After", str(rule["retryAfter"])))
        if status == 401:
            headers.append(("WWW-Authenticate", 'Bearer error="invalid_token"'))
        body = rule["body"].encode("utf-8") if rule["body"] else json.dumps(
            {"error": "forced", "status": status}).encode("utf-8")
        self.send_bytes(status, body, headers)

    # -- routing

    def route(self):
        path, method = self.target_path, self.method

        def only(*methods):
            if method in methods:
                return True
            self.send_json(405, {"error": "method_not_allowed"}, [("Allow", ", ".join(methods))])
            return False

        if path == "/connect/authorize":
            if only("GET"):
                self.authorize()
        elif path == "/connect/token":
            if only("POST"):
                self.token()
        elif path.startswith(CATALOG_PREFIX):
            channel = path[len(CATALOG_PREFIX):]
            if channel not in CHANNELS:
                self.not_found()
            elif only("GET", "HEAD"):
                self.catalog(channel)
        elif path.startswith(RELEASES_PREFIX) and path.endswith("/manifest"):
            release = path[len(RELEASES_PREFIX):-len("/manifest")]
            if not RELEASE_ID.match(release):
                self.not_found()
            elif only("GET", "HEAD"):
                self.release_file(release, "manifest.json")
        elif path.startswith(ARTIFACTS_PREFIX):
            release = path[len(ARTIFACTS_PREFIX):]
            if not RELEASE_ID.match(release):
                self.not_found()
            elif only("GET", "HEAD"):
                self.release_file(release, "artifact.zip")
        elif path == BOOTSTRAP_PATH:
            if only("GET", "HEAD"):
                self.document(os.path.join(self.portal.data_dir, "launcher", "manifest.json"))
        elif path == SETUP_PATH:
            if only("GET", "HEAD"):
                self.download(os.path.join(self.portal.data_dir, "launcher", "TESSARO-Setup.exe"),
                              "application/octet-stream")
        else:
            self.not_found()

    # -- sign-in

    def authorize(self):
        q = parse_query(self.query)
        if q is None:
            return self.send_bytes(400, b"repeated query parameter\n", content_type="text/plain")
        # Without a known client and its registered redirect the browser must not be sent
        # anywhere: the error stays on the portal's page.
        if q.get("client_id") != CLIENT_ID:
            return self.send_bytes(400, b"unknown client_id\n", content_type="text/plain")
        if q.get("redirect_uri") != self.portal.redirect_uri:
            return self.send_bytes(400, b"redirect_uri not registered for this client\n",
                                   content_type="text/plain")
        state = q.get("state")
        error = None
        scope = set((q.get("scope") or "").split())
        if q.get("response_type") != "code":
            error = "unsupported_response_type"
        elif q.get("code_challenge_method") != "S256" or not re.fullmatch(
                r"[A-Za-z0-9_-]{43}", q.get("code_challenge") or ""):
            error = "invalid_request"
        elif not scope or not scope <= KNOWN_SCOPES:
            error = "invalid_scope"
        deny = self.fault("deny-sign-in")
        if deny and error is None:
            error = deny["error"]
        params = []
        if error is None:
            self.account = self.portal.get_settings()["signIn"]
            code = self.portal.new_code(self.account, scope, q["code_challenge"], q["redirect_uri"])
            params.append(("code", code))
        else:
            params.append(("error", error))
        if state is not None:
            if self.fault("wrong-state"):
                state = "x" + state
            params.append(("state", state))
        query = "&".join(k + "=" + urllib.parse.quote(v, safe="-._~") for k, v in params)
        location = q["redirect_uri"] + "?" + query
        self.send_bytes(302, b"", [("Location", location)], content_type="text/plain")

    def token_error(self, error, description):
        self.send_json(400, {"error": error, "error_description": description},
                       [("Pragma", "no-cache")])

    def token(self):
        ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        if ctype != "application/x-www-form-urlencoded":
            return self.token_error("invalid_request", "form body expected")
        try:
            form = parse_query(self.body_in.decode("utf-8", "strict"))
        except UnicodeDecodeError:
            form = None
        if form is None:
            return self.token_error("invalid_request", "malformed or repeated form fields")
        if form.get("client_id") != CLIENT_ID:
            return self.token_error("invalid_client", "unknown client_id")
        def want_refresh():
            return not self.fault("no-refresh-token")

        grant = form.get("grant_type")
        if grant == "authorization_code":
            if "code" not in form:
                return self.token_error("invalid_request", "code missing")
            answer, error = self.portal.exchange_code(form["code"], form.get("redirect_uri"),
                                                      form.get("code_verifier"), want_refresh)
        elif grant == "refresh_token":
            if "refresh_token" not in form:
                return self.token_error("invalid_request", "refresh_token missing")
            answer, error = self.portal.refresh_grant(
                form["refresh_token"], lambda: self.fault("revoke-refresh"), want_refresh)
        else:
            return self.token_error("unsupported_grant_type", "grant_type not supported")
        if error:
            return self.token_error(*error)
        self.send_json(200, answer, [("Pragma", "no-cache")])

    def bearer(self, need_snapshot=False):
        """The signed-in account's token entry, or None after answering 401/403."""
        values = self.headers.get_all("Authorization") or []
        scheme, _, token = (values[0] if values else "").partition(" ")
        if scheme.lower() != "bearer" or not token or len(values) > 1:
            self.send_json(401, {"error": "invalid_token", "error_description": "bearer token missing"},
                           [("WWW-Authenticate", 'Bearer realm="tessaro"')])
            return None
        entry, problem = self.portal.check_access(token, lambda: self.fault("expire-token"))
        if entry is None:
            self.send_json(401, {"error": "invalid_token", "error_description": problem},
                           [("WWW-Authenticate",
                             'Bearer realm="tessaro", error="invalid_token", error_description="%s"'
                             % problem)])
            return None
        self.account = entry["account"]
        if "software.download" not in entry["scope"]:
            self.send_json(403, {"error": "insufficient_scope"},
                           [("WWW-Authenticate", 'Bearer error="insufficient_scope", '
                                                 'scope="software.download"')])
            return None
        if need_snapshot and not entry["snapshot"]:
            self.send_json(403, {"error": "forbidden", "error_description": "no snapshot access"})
            return None
        return entry

    # -- documents and downloads

    def catalog(self, channel):
        if not self.bearer(need_snapshot=(channel == "snapshot")):
            return
        name = channel + ".json"
        variant = self.fault("catalog")
        if variant:
            name = "%s.%s.json" % (channel, variant["variant"])
        self.document(os.path.join(self.portal.data_dir, "catalogs", name))

    def release_file(self, release, name):
        entry = self.bearer()
        if not entry:
            return
        folder = os.path.join(self.portal.data_dir, "releases", release)
        info_path = os.path.join(folder, "release.json")
        if os.path.exists(info_path):
            with open(info_path, "rb") as f:
                info = json.loads(f.read().decode("utf-8"))
            if info.get("channel") == "snapshot" and not entry["snapshot"]:
                return self.send_json(403, {"error": "forbidden",
                                            "error_description": "no snapshot access"})
        path = os.path.join(folder, name)
        if name == "artifact.zip":
            self.download(path, "application/zip")
        else:
            self.document(path)

    def document(self, path):
        try:
            f = open(path, "rb")
        except FileNotFoundError:
            return self.not_found()
        with f:
            size = os.fstat(f.fileno()).st_size
            self.send_file(f, 200, [("Content-Type", "application/json")], 0, size, size)

    def download(self, path, content_type):
        try:
            f = open(path, "rb")
        except FileNotFoundError:
            return self.not_found()
        with f:
            sha, size = self.portal.file_sha256(f)
            etag = '"%s"' % sha
            wanted = self.headers.get("Range")
            rng = parse_range(wanted, size) if wanted is not None else None
            if_range = self.headers.get("If-Range")
            # A validator that is not this file's strong ETag (another hash, a date, a weak
            # tag) means the client's partial data is stale: it gets the whole file.
            if rng is not None and if_range is not None and if_range.strip() != etag:
                rng = None
            if rng is not None and self.fault("ignore-range"):
                rng = None
            headers = [("Content-Type", content_type), ("Accept-Ranges", "bytes")]
            if rng == ("unsatisfiable",):
                headers.append(("Content-Range", "bytes */%d" % size))
                return self.send_file(f, 416, headers, 0, 0, size)
            if self.fault("no-etag"):
                pass
            elif self.fault("unquoted-etag"):
                headers.append(("ETag", sha))
            else:
                wrong = self.fault("wrong-etag")
                if wrong:
                    headers.append(("ETag", wrong["value"] or '"%s"' % hashlib.sha256(
                        sha.encode("ascii")).hexdigest()))
                else:
                    headers.append(("ETag", etag))
            status, start, end = 200, 0, size - 1
            if rng is not None:
                status, start, end = 206, rng[1], rng[2]
                if self.fault("multipart-range"):
                    return self.send_multipart(f, headers, start, end, size)
            elif wanted is None and size > 0 and self.fault("partial-without-range"):
                status = 206
            if status == 206:
                bad = self.fault("wrong-content-range")
                template = bad["value"] if bad else "bytes {start}-{end}/{size}"
                headers.append(("Content-Range", template.format(start=start, end=end, size=size)))
            self.send_file(f, status, headers, start, end - start + 1, size)

    def send_multipart(self, f, headers, start, end, size):
        """One part in multipart/byteranges: a valid answer, but not the single range asked for."""
        boundary = "devportal-byteranges"
        part_type = dict(headers)["Content-Type"]
        body = (f"--{boundary}\r\nContent-Type: {part_type}\r\n"
                f"Content-Range: bytes {start}-{end}/{size}\r\n\r\n").encode("ascii")
        body += os.pread(f.fileno(), end - start + 1, start) + f"\r\n--{boundary}--\r\n".encode("ascii")
        self.send_bytes(206, body, [h for h in headers if h[0] != "Content-Type"],
                        content_type="multipart/byteranges; boundary=" + boundary)

    def send_file(self, f, status, headers, start, length, size):
        extra = self.fault("extra-byte") if length > 0 or status in (200, 206) else None
        declared = self.declared = length + (1 if extra and extra["declare"] else 0)
        cut = self.fault("cut")
        throttle = self.fault("throttle")
        flip = self.fault("flip-byte", lambda rule: start <= rule["offset"] < start + length)
        if extra or cut:
            # The framing no longer holds (or the transfer stops early): this connection
            # must not carry another request.
            self.close_connection = True
        self.start_answer(status, list(headers) + [("Content-Length", str(declared)),
                                                   ("Cache-Control", "no-store")])
        if self.method == "HEAD":
            return
        remaining = length
        offset = start
        limit = cut["after"] if cut else None
        rate = throttle["bytesPerSecond"] if throttle else None
        pending_extra = b"\0" if extra else b""
        while remaining > 0 or pending_extra:
            step = CHUNK if rate is None else max(1, min(CHUNK, rate // 10))
            if remaining > 0:
                block = os.pread(f.fileno(), min(step, remaining), offset)
                if not block:
                    raise OSError("file shrank while being served")
                if flip and offset <= flip["offset"] < offset + len(block):
                    block = bytearray(block)
                    block[flip["offset"] - offset] ^= 0xFF
                remaining -= len(block)
                offset += len(block)
            else:
                block, pending_extra = pending_extra, b""
            if limit is not None and self.bytes_sent + len(block) >= limit:
                block = block[:limit - self.bytes_sent]
                self.wfile.write(block)
                self.bytes_sent += len(block)
                self.wfile.flush()
                self.drop_connection(cut["reset"])
                return
            self.wfile.write(block)
            self.bytes_sent += len(block)
            if rate is not None:
                self.wfile.flush()
                time.sleep(len(block) / rate)
        if limit is not None and self.bytes_sent < limit:
            # Asked to cut beyond the end: the answer is whole, the connection still goes.
            self.wfile.flush()
            self.drop_connection(cut["reset"])

    def drop_connection(self, reset):
        self.complete = self.bytes_sent >= self.declared
        self.close_connection = True
        sock = self.connection
        try:
            if reset:
                # Let the client receive what was sent before the reset throws away
                # whatever the kernel still holds.
                deadline = time.time() + 2
                while time.time() < deadline and struct.unpack(
                        "i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0] > 0:
                    time.sleep(0.01)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                # No TLS close_notify: to the client this is a connection that broke off.
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
        except OSError:
            pass

    # -- administration

    def handle_admin(self):
        path, method = self.target_path, self.method
        try:
            if path == "/_dev/faults" and method == "GET":
                return self.send_json(200, self.portal.list_rules())
            if path == "/_dev/faults" and method == "POST":
                doc = self.admin_body()
                rules = [parse_rule(r) for r in (doc if isinstance(doc, list) else [doc])]
                return self.send_json(200, {"ids": self.portal.add_rules(rules)})
            if path == "/_dev/faults/clear" and method == "POST":
                doc = self.admin_body(optional=True) or {}
                rule_id = doc.get("id") if isinstance(doc, dict) else None
                return self.send_json(200, {"removed": self.portal.clear_rules(rule_id)})
            if path == "/_dev/reset" and method == "POST":
                self.portal.reset()
                return self.send_json(200, {"reset": True})
            if path == "/_dev/log" and method == "GET":
                q = parse_query(self.query) or {}
                since = int(q.get("since", "0")) if q.get("since", "0").isdigit() else 0
                settle = LOG_SETTLE_SECONDS if q.get("settled") == "1" else 0
                body = "".join(json.dumps(e, ensure_ascii=False) + "\n"
                               for e in self.portal.log_since(since, settle)).encode("utf-8")
                return self.send_bytes(200, body, content_type="application/x-ndjson")
            if path == "/_dev/log/clear" and method == "POST":
                self.portal.clear_log()
                return self.send_json(200, {"cleared": True})
            if path == "/_dev/settings" and method == "GET":
                return self.send_json(200, self.portal.get_settings())
            if path == "/_dev/settings" and method == "POST":
                return self.send_json(200, self.portal.set_settings(self.admin_body()))
            if path == "/_dev/tokens" and method == "POST":
                doc = self.admin_body(optional=True) or {}
                if not isinstance(doc, dict):
                    raise BadRequest("body must be a JSON object")
                scope = set(doc.get("scope", " ".join(sorted(KNOWN_SCOPES))).split())
                return self.send_json(200, self.portal.issue_direct(doc.get("account"), scope))
            self.not_found()
        except BadRequest as e:
            self.send_json(400, {"error": str(e)})
        except ValueError as e:
            self.send_json(400, {"error": "invalid JSON or data: %s" % e})

    def admin_body(self, optional=False):
        if not self.body_in:
            if optional:
                return None
            raise BadRequest("JSON body required")
        return json.loads(self.body_in.decode("utf-8"))


class PortalServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    # A restart on a fixed port must not wait for the last run's connections to leave TIME_WAIT;
    # Linux still refuses a second portal listening on the same address.
    allow_reuse_address = True

    def __init__(self, address, family, portal, context, verbose):
        self.address_family = family
        self.portal = portal
        self.context = context
        self.verbose = verbose
        super().__init__(address, Handler)

    def server_bind(self):
        # HTTPServer.server_bind would look the host name up; loopback tests need no DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so a client that
        # stalls in the handshake cannot hold up the accept loop.
        request.settimeout(60)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.portal.record({"event": "tls-error", "time": utc_stamp(time.time()),
                                "client": "%s:%d" % client_address[:2], "method": None,
                                "path": None, "status": None, "error": str(e)})
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def make_server(args, portal):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.cert, args.key)
    info = socket.getaddrinfo(args.host, args.port, type=socket.SOCK_STREAM)[0]
    return PortalServer(info[4][:2], info[0], portal, context, args.verbose)


def write_port_file(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="ascii") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


def cmd_serve(args):
    rules = []
    try:
        for text in args.fault or []:
            rules.append(parse_rule(json.loads(text)))
        if args.faults:
            with open(args.faults, "rb") as f:
                doc = json.loads(f.read().decode("utf-8"))
            rules.extend(parse_rule(r) for r in (doc if isinstance(doc, list) else [doc]))
        if not os.path.isdir(args.data):
            raise ValueError("DATA folder %s does not exist" % args.data)
        portal = Portal(os.path.abspath(args.data), args.redirect_uri, args.access_lifetime,
                        args.refresh_lifetime, rules, args.log)
        server = make_server(args, portal)
    except (BadRequest, ValueError, OSError, ssl.SSLError) as e:
        print("devportal: %s" % e, file=sys.stderr)
        return 2
    port = server.server_address[1]
    if args.port_file:
        write_port_file(args.port_file, port)
    print(port, flush=True)
    print("devportal: serving %s on https://%s:%d/" % (args.data, args.host, port),
          file=sys.stderr, flush=True)

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
    return 0


ADMIN_HELP = """\
admin API (same server, not logged, never faulted):
  GET  /_dev/faults          rules with their ids, remaining skips and hits
  POST /_dev/faults          add a rule or an array of rules -> {"ids": [...]}
  POST /_dev/faults/clear    remove all rules, or {"id": N} to remove one
  POST /_dev/reset           back to the state at start: rules from the command line
                             (fresh counts), settings, no codes or tokens, empty log
  GET  /_dev/log[?since=N][&settled=1]
                             the request log as JSON lines (entries with seq > N); with
                             settled=1 once every request begun so far is written (entries
                             are written after their answer went out; waits 10 s at most)
  POST /_dev/log/clear       empty the in-memory log (the --log file is kept)
  GET  /_dev/settings        accessLifetime, refreshLifetime, signIn, accounts
  POST /_dev/settings        change any of them, e.g. {"signIn": "nosnap"} or
                             {"accounts": {"dev": {"snapshot": false}}}
  POST /_dev/tokens          issue a token answer without a browser
                             (optional {"account": ..., "scope": "..."})
  e.g. curl -s --cacert ca.pem https://127.0.0.1:$PORT/_dev/faults \\
            -d '{"fault":"status","status":503,"path":"/software/*","times":1}'

log lines (--log FILE and GET /_dev/log), one JSON object per request:
  seq, event ("request"; "tls-error" for a failed handshake, with "error"), time (UTC),
  client, method, path, query (raw), authorization, range, ifRange, contentType,
  acceptEncoding, userAgent (header values or null), headers (all, lower-case names),
  body (request body text or null), account (signed-in account when a bearer was
  accepted or a code issued), status, bytesSent (body bytes written), complete (false
  when the transfer was cut or broke), faults ([{"id", "fault"}] applied), durationMs
"""


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="devportal.py",
        description="HTTPS development portal for TESSARO launcher tests.",
        epilog="'devportal.py serve --help' lists the fault rules, the admin API under /_dev/ "
               "and the request log format; README.md beside this file has examples.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser(
        "serve", help="serve a DATA folder over HTTPS",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Serve a DATA folder over HTTPS until SIGTERM/SIGINT. Prints the bound "
                    "port on the first line of stdout.",
        epilog=FAULT_HELP + "\n" + ADMIN_HELP)
    serve.add_argument("--data", required=True, help="portal data folder")
    serve.add_argument("--cert", required=True, help="server certificate (PEM)")
    serve.add_argument("--key", required=True, help="server private key (PEM)")
    serve.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=0, help="port, 0 = ephemeral (default)")
    serve.add_argument("--port-file", help="write the bound port to this file once listening")
    serve.add_argument("--log", help="append the request log to this file (JSON lines)")
    serve.add_argument("--access-lifetime", type=int, default=3600, metavar="S",
                       help="access token lifetime in seconds (default 3600; 0 = born expired)")
    serve.add_argument("--refresh-lifetime", type=int, default=2592000, metavar="S",
                       help="refresh token lifetime in seconds (default 30 days)")
    serve.add_argument("--redirect-uri", default=DEFAULT_REDIRECT_URI,
                       help="the one redirect address accepted (default %s)" % DEFAULT_REDIRECT_URI)
    serve.add_argument("--fault", action="append", metavar="JSON",
                       help="a fault rule active from the start (repeatable)")
    serve.add_argument("--faults", metavar="FILE", help="JSON file with a rule or an array of rules")
    serve.add_argument("--verbose", action="store_true", help="print each request to stderr")
    args = parser.parse_args(argv)
    if args.access_lifetime < 0 or args.refresh_lifetime < 0:
        parser.error("lifetimes must not be negative")
    return cmd_serve(args)


if __name__ == "__main__":
    sys.exit(main())
