"""The development portal against real TLS clients: sign-in, tokens, documents, ranged
downloads, every fault switch, the request log, the certificate and browser helpers.

Run: /usr/bin/python3 -m unittest discover -s tests/devportal -v
Wine checks (prefix trust, browser hook) run only with DEVPORTAL_WINE_TESTS=1.
"""

import base64
import hashlib
import http.client
import json
import os
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "devportal")
PORTAL = os.path.join(TOOLS, "devportal.py")
CLIENT_ID = "tessaro-installer"
REDIRECT = "http://127.0.0.1:43872/callback"
SCOPE = "openid profile email offline_access software.download"
RELEASE = "0b7f6a52-3c8e-4d1a-9f2b-6e5d4c3b2a19"
SNAP_RELEASE = "9e8d7c6b-5a49-4382-a716-f5e4d3c2b1a0"
ARTIFACTS = "/account-api/v1/software/artifacts/"
CATALOG = "/account-api/v1/software/catalog/win-x64/"
SETUP = "/software/TESSARO-Setup.exe"

tmp = None
ctx = None
portal = None


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def envelope(key, doc):
    payload = json.dumps(doc, separators=(",", ":")).encode("utf-8")
    sig = key.sign(payload, padding.PKCS1v15(), hashes.SHA256())
    return ('{"keyId":"test-key","payload":"%s","signature":"%s"}' % (
        base64.b64encode(payload).decode(), base64.b64encode(sig).decode())).encode("ascii")


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_data(root):
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    files = {
        "catalogs/stable.json": envelope(key, {"channel": "stable", "generation": 7}),
        "catalogs/stable.old.json": envelope(key, {"channel": "stable", "generation": 6}),
        "catalogs/snapshot.json": envelope(key, {"channel": "snapshot", "generation": 3}),
        "releases/%s/manifest.json" % RELEASE: envelope(key, {"version": "1.2.3"}),
        "releases/%s/artifact.zip" % RELEASE: os.urandom(200000),
        "releases/%s/release.json" % RELEASE: b'{"channel":"stable"}',
        "releases/%s/manifest.json" % SNAP_RELEASE: envelope(key, {"version": "1.3.0"}),
        "releases/%s/artifact.zip" % SNAP_RELEASE: os.urandom(1000),
        "releases/%s/release.json" % SNAP_RELEASE: b'{"channel":"snapshot"}',
        "launcher/manifest.json": envelope(key, {"version": "1.0.3"}),
        "launcher/TESSARO-Setup.exe": os.urandom(5000),
        "accounts.json": b'{"signIn":"dev","accounts":{"dev":{"snapshot":true},'
                         b'"guest":{"snapshot":false}}}',
    }
    for name, data in files.items():
        write(os.path.join(root, name), data)
    return files


class Answer:
    def __init__(self, status, headers, body, broken=False):
        self.status, self.headers, self.body, self.broken = status, headers, body, broken

    def json(self):
        return json.loads(self.body)


class Portal:
    def __init__(self, name, *extra):
        self.dir = os.path.join(tmp, name)
        os.makedirs(self.dir)
        self.log_path = os.path.join(self.dir, "requests.jsonl")
        port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", PORTAL, "serve", "--data", os.path.join(tmp, "data"),
             "--cert", os.path.join(tmp, "certs", "server.pem"),
             "--key", os.path.join(tmp, "certs", "server.key"),
             "--port", "0", "--port-file", port_file, "--log", self.log_path] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())
        with open(port_file) as f:
            assert int(f.read()) == self.port

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()
        self.proc.stderr.close()

    def request(self, method, path, headers=None, body=None, host="127.0.0.1"):
        conn = http.client.HTTPSConnection(host, self.port, context=ctx, timeout=20)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            try:
                return Answer(resp.status, resp.headers, resp.read())
            except http.client.IncompleteRead as e:
                return Answer(resp.status, resp.headers, e.partial, broken=True)
            except (ConnectionError, ssl.SSLError):
                return Answer(resp.status, resp.headers, b"", broken=True)
        finally:
            conn.close()

    def get(self, path, token=None, **headers):
        if token:
            headers["Authorization"] = "Bearer " + token
        return self.request("GET", path, {k.replace("_", "-"): v for k, v in headers.items()})

    def admin(self, path, doc=None):
        """GET for the readable resources without a body, POST otherwise."""
        readable = path in ("log", "faults", "settings")
        method = "GET" if doc is None and readable else "POST"
        return self.request(method, "/_dev/" + path, body=None if doc is None else json.dumps(doc))

    def fault(self, **rule):
        answer = self.admin("faults", rule)
        assert answer.status == 200, answer.body
        return answer.json()["ids"][0]

    def log(self, at_least=0):
        # An entry is written once its answer is out, which may be just after the client has
        # read it: the settled log waits for it. A failed handshake is written when the server
        # gives up on it, hence the count.
        deadline = time.time() + 5
        while True:
            answer = self.request("GET", "/_dev/log?settled=1")
            entries = [json.loads(line) for line in answer.body.splitlines()]
            if len(entries) >= at_least or time.time() > deadline:
                return entries

    def authorize(self, state="st", challenge=None, **overrides):
        params = {"client_id": CLIENT_ID, "response_type": "code", "scope": SCOPE,
                  "redirect_uri": REDIRECT, "state": state, "code_challenge_method": "S256",
                  "code_challenge": challenge or b64url(hashlib.sha256(b"v" * 64).digest())}
        params.update(overrides)
        query = "&".join(k + "=" + urllib.parse.quote(v, safe="-._~")
                         for k, v in params.items() if v is not None)
        return self.get("/connect/authorize?" + query)

    def token_request(self, form, content_type="application/x-www-form-urlencoded"):
        body = form if isinstance(form, str) else urllib.parse.urlencode(form)
        return self.request("POST", "/connect/token", {"Content-Type": content_type}, body)

    def sign_in(self, scope=SCOPE):
        verifier = secrets_verifier()
        answer = self.authorize(challenge=b64url(hashlib.sha256(verifier.encode()).digest()),
                                scope=scope)
        code = urllib.parse.parse_qs(urllib.parse.urlsplit(answer.headers["Location"]).query)["code"][0]
        token = self.token_request({"grant_type": "authorization_code", "client_id": CLIENT_ID,
                                    "redirect_uri": REDIRECT, "code": code,
                                    "code_verifier": verifier})
        assert token.status == 200, token.body
        return token.json()

    def refresh(self, refresh_token):
        return self.token_request({"grant_type": "refresh_token", "client_id": CLIENT_ID,
                                   "refresh_token": refresh_token})


def secrets_verifier():
    return b64url(os.urandom(48))


def setUpModule():
    global tmp, ctx, portal, files
    tmp = tempfile.mkdtemp(prefix="devportal-test-")
    subprocess.run([os.path.join(TOOLS, "make-certs.sh"), os.path.join(tmp, "certs")], check=True)
    ctx = ssl.create_default_context(cafile=os.path.join(tmp, "certs", "ca.pem"))
    files = make_data(os.path.join(tmp, "data"))
    portal = Portal("main")


def tearDownModule():
    portal.stop()
    shutil.rmtree(tmp, ignore_errors=True)


def data(name):
    return files[name]


class PortalTest(unittest.TestCase):
    def setUp(self):
        self.assertEqual(portal.admin("reset").status, 200)


class CertificatesAndTrust(PortalTest):
    def test_server_is_trusted_by_name_and_address_only_through_the_test_ca(self):
        for host in ("127.0.0.1", "localhost"):
            self.assertEqual(portal.request("GET", "/nothing", host=host).status, 404)
        strange = ssl.create_default_context()
        conn = http.client.HTTPSConnection("127.0.0.1", portal.port, context=strange, timeout=10)
        with self.assertRaises(ssl.SSLCertVerificationError):
            conn.request("GET", "/")
        conn.close()
        # A client that refuses the certificate shows up in the log, for prefix debugging.
        failures = [e for e in portal.log(at_least=2) if e["event"] == "tls-error"]
        self.assertIn("UNKNOWN_CA", failures[0]["error"])

    def test_make_certs_keeps_existing_files(self):
        certs = os.path.join(tmp, "certs")
        before = {n: slurp(os.path.join(certs, n)) for n in os.listdir(certs)}
        subprocess.run([os.path.join(TOOLS, "make-certs.sh"), certs], check=True)
        after = {n: slurp(os.path.join(certs, n)) for n in os.listdir(certs)}
        self.assertEqual(before, after)
        san = subprocess.run(["openssl", "x509", "-in", os.path.join(certs, "server.pem"), "-noout",
                              "-ext", "subjectAltName"], capture_output=True, text=True, check=True)
        self.assertIn("DNS:localhost, DNS:127.0.0.1, IP Address:127.0.0.1", san.stdout)

    def test_reg_file_holds_the_certificate_as_serialized_store_element(self):
        out = os.path.join(tmp, "ca.reg")
        run = subprocess.run(["/usr/bin/python3", os.path.join(TOOLS, "trust-ca-reg.py"),
                              os.path.join(tmp, "certs", "ca.pem"), out],
                             capture_output=True, text=True, check=True)
        der = slurp(os.path.join(tmp, "certs", "ca.der"))
        thumb = hashlib.sha1(der).hexdigest().upper()
        self.assertEqual(run.stdout.strip(), thumb)
        raw = slurp(out)
        self.assertTrue(raw.startswith(b"\xff\xfe"))
        text = raw[2:].decode("utf-16-le")
        self.assertIn("[HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root"
                      "\\Certificates\\%s]" % thumb, text)
        hexes = text.split('"Blob"=hex:')[1].replace("\\\r\n", "").split("\r\n")[0]
        blob = bytes(int(h, 16) for h in hexes.replace(" ", "").split(","))
        self.assertEqual(blob[:12], struct.pack("<III", 0x20, 1, len(der)))
        self.assertEqual(blob[12:], der)


class SignIn(PortalTest):
    def test_code_flow_with_pkce_echoes_state_and_issues_one_time_codes(self):
        verifier = secrets_verifier()
        state = "a b/+=\u00e9~"
        answer = portal.authorize(state=state,
                                  challenge=b64url(hashlib.sha256(verifier.encode()).digest()))
        self.assertEqual(answer.status, 302)
        location = answer.headers["Location"]
        self.assertTrue(location.startswith(REDIRECT + "?code="))
        self.assertTrue(location.endswith("&state=a%20b%2F%2B%3D%C3%A9~"), location)
        code = urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)["code"][0]
        form = {"grant_type": "authorization_code", "client_id": CLIENT_ID,
                "redirect_uri": REDIRECT, "code": code, "code_verifier": verifier}
        first = portal.token_request(form)
        self.assertEqual(first.status, 200)
        doc = first.json()
        self.assertEqual(doc["token_type"], "Bearer")
        self.assertEqual(doc["expires_in"], 3600)
        self.assertEqual(first.headers["Cache-Control"], "no-store")
        self.assertEqual(portal.get(CATALOG + "stable", doc["access_token"]).status, 200)
        again = portal.token_request(form)
        self.assertEqual((again.status, again.json()["error"]), (400, "invalid_grant"))
        # The replayed code withdraws what it bought.
        self.assertEqual(portal.get(CATALOG + "stable", doc["access_token"]).status, 401)
        self.assertEqual(portal.refresh(doc["refresh_token"]).status, 400)

    def test_authorize_refuses_bad_requests(self):
        cases = [  # overrides, status, error sent back to the client (None: no redirect)
            ({"client_id": "other"}, 400, None),
            ({"redirect_uri": "http://127.0.0.1:43873/callback"}, 400, None),
            ({"response_type": "token"}, 302, "unsupported_response_type"),
            ({"code_challenge_method": "plain"}, 302, "invalid_request"),
            ({"code_challenge": None}, 302, "invalid_request"),
            ({"scope": "openid admin"}, 302, "invalid_scope"),
        ]
        for overrides, status, error in cases:
            with self.subTest(overrides=overrides):
                answer = portal.authorize(**overrides)
                self.assertEqual(answer.status, status)
                if error:
                    q = urllib.parse.parse_qs(urllib.parse.urlsplit(answer.headers["Location"]).query)
                    self.assertEqual(q, {"error": [error], "state": ["st"]})
                else:
                    self.assertIsNone(answer.headers["Location"])
        twice = portal.get("/connect/authorize?client_id=%s&client_id=%s" % (CLIENT_ID, CLIENT_ID))
        self.assertEqual(twice.status, 400)

    def test_token_endpoint_refuses_bad_exchanges(self):
        verifier = secrets_verifier()
        good = {"grant_type": "authorization_code", "client_id": CLIENT_ID,
                "redirect_uri": REDIRECT, "code_verifier": verifier}
        cases = [  # changes to a fresh good exchange, content type, expected error
            ({}, "text/plain", "invalid_request"),
            ({"code_verifier": secrets_verifier()}, None, "invalid_grant"),
            ({"code_verifier": "short"}, None, "invalid_grant"),
            ({"redirect_uri": "http://127.0.0.1:1/callback"}, None, "invalid_grant"),
            ({"code": "unknown"}, None, "invalid_grant"),
            ({"client_id": "other"}, None, "invalid_client"),
            ({"grant_type": "password"}, None, "unsupported_grant_type"),
        ]
        for change, ctype, error in cases:
            with self.subTest(change=change, ctype=ctype):
                answer = portal.authorize(challenge=b64url(hashlib.sha256(verifier.encode()).digest()))
                code = urllib.parse.parse_qs(
                    urllib.parse.urlsplit(answer.headers["Location"]).query)["code"][0]
                form = {**good, "code": code, **change}
                result = portal.token_request(form, ctype or "application/x-www-form-urlencoded")
                self.assertEqual((result.status, result.json()["error"]), (400, error))
        repeated = portal.token_request("grant_type=refresh_token&grant_type=refresh_token")
        self.assertEqual(repeated.json()["error"], "invalid_request")

    def test_refresh_rotates_and_lifetimes_apply(self):
        first = portal.sign_in()
        second = portal.refresh(first["refresh_token"])
        self.assertEqual(second.status, 200)
        renewed = second.json()
        self.assertNotEqual(renewed["refresh_token"], first["refresh_token"])
        self.assertEqual(portal.refresh(first["refresh_token"]).json()["error"], "invalid_grant")
        self.assertEqual(portal.get(CATALOG + "stable", renewed["access_token"]).status, 200)
        self.assertNotIn("refresh_token", portal.sign_in(scope="openid software.download"))

        portal.admin("settings", {"accessLifetime": 0, "refreshLifetime": 0})
        born_expired = portal.sign_in()
        self.assertEqual(born_expired["expires_in"], 0)
        self.assertEqual(portal.get(CATALOG + "stable", born_expired["access_token"]).status, 401)
        self.assertEqual(portal.refresh(born_expired["refresh_token"]).status, 400)


class Documents(PortalTest):
    def test_bearer_is_required_and_checked(self):
        token = portal.sign_in()["access_token"]
        for headers in ({}, {"Authorization": "Bearer nonsense"},
                        {"Authorization": "Basic " + token}, {"Authorization": "Bearer"}):
            with self.subTest(headers=headers):
                answer = portal.request("GET", CATALOG + "stable", headers)
                self.assertEqual(answer.status, 401)
                self.assertTrue(answer.headers["WWW-Authenticate"].startswith("Bearer"))
        no_scope = portal.sign_in(scope="openid offline_access")["access_token"]
        self.assertEqual(portal.get(CATALOG + "stable", no_scope).status, 403)

    def test_envelopes_are_served_byte_for_byte_and_snapshot_needs_access(self):
        token = portal.sign_in()["access_token"]
        cases = [
            (CATALOG + "stable", token, 200, data("catalogs/stable.json")),
            (CATALOG + "snapshot", token, 200, data("catalogs/snapshot.json")),
            (CATALOG + "Stable", token, 404, None),
            ("/account-api/v1/software/releases/%s/manifest" % RELEASE, token, 200,
             data("releases/%s/manifest.json" % RELEASE)),
            ("/account-api/v1/software/releases/%s/manifest" % RELEASE, None, 401, None),
            ("/account-api/v1/software/releases/..%2F..%2Faccounts.json/manifest", token, 404, None),
            ("/account-api/v1/software/releases/00000000-0000-0000-0000-000000000000/manifest",
             token, 404, None),
            ("/software/bootstrap/manifest", None, 200, data("launcher/manifest.json")),
            ("/software/other", None, 404, None),
        ]
        for path, bearer, status, body in cases:
            with self.subTest(path=path):
                answer = portal.get(path, bearer, Accept_Encoding="gzip")
                self.assertEqual(answer.status, status)
                self.assertIsNone(answer.headers["Content-Encoding"])
                if body is not None:
                    self.assertEqual(answer.body, body)
        self.assertEqual(portal.request("POST", CATALOG + "stable").status, 405)

        portal.admin("settings", {"signIn": "guest"})
        guest = portal.sign_in()["access_token"]
        for path in (CATALOG + "snapshot", ARTIFACTS + SNAP_RELEASE,
                     "/account-api/v1/software/releases/%s/manifest" % SNAP_RELEASE):
            self.assertEqual(portal.get(path, guest).status, 403, path)
        self.assertEqual(portal.get(CATALOG + "stable", guest).status, 200)
        # Access is judged per request: an account that gains it needs no new sign-in.
        portal.admin("settings", {"accounts": {"dev": {"snapshot": True}, "guest": {"snapshot": True}}})
        self.assertEqual(portal.get(CATALOG + "snapshot", guest).status, 200)


class Downloads(PortalTest):
    def test_ranges_validators_and_lengths(self):
        token = portal.sign_in()["access_token"]
        zip_bytes = data("releases/%s/artifact.zip" % RELEASE)
        exe = data("launcher/TESSARO-Setup.exe")
        for path, bearer, body in ((ARTIFACTS + RELEASE, token, zip_bytes), (SETUP, None, exe)):
            size, etag = len(body), '"%s"' % hashlib.sha256(body).hexdigest()
            cases = [  # request headers, status, first byte, Content-Range
                ({}, 200, 0, None),
                ({"Range": "bytes=10-"}, 206, 10, "bytes 10-%d/%d" % (size - 1, size)),
                ({"Range": "bytes=10-", "If-Range": etag}, 206, 10, "bytes 10-%d/%d" % (size - 1, size)),
                ({"Range": "bytes=10-", "If-Range": etag.strip('"')}, 200, 0, None),
                ({"Range": "bytes=10-", "If-Range": '"%s"' % ("0" * 64)}, 200, 0, None),
                ({"Range": "bytes=%d-" % (size - 1)}, 206, size - 1,
                 "bytes %d-%d/%d" % (size - 1, size - 1, size)),
                ({"Range": "bytes=%d-" % size}, 416, None, "bytes */%d" % size),
                ({"If-Range": etag}, 200, 0, None),
            ]
            for headers, status, first, content_range in cases:
                with self.subTest(path=path, headers=headers):
                    if bearer:
                        headers = dict(headers, Authorization="Bearer " + bearer)
                    answer = portal.request("GET", path, headers)
                    self.assertEqual(answer.status, status)
                    self.assertEqual(answer.headers["Content-Range"], content_range)
                    if first is not None:
                        self.assertEqual(answer.headers["ETag"], etag)
                        self.assertEqual(answer.body, body[first:])
                        self.assertEqual(answer.headers["Content-Length"], str(size - first))
        self.assertEqual(portal.get(ARTIFACTS + RELEASE).status, 401)


class Faults(PortalTest):
    def test_status_faults_count_skip_and_clear(self):
        token = portal.sign_in()["access_token"]
        path = ARTIFACTS + RELEASE
        portal.fault(fault="status", status=401, path=ARTIFACTS + "*", times=1)
        self.assertEqual([portal.get(path, token).status for _ in range(2)], [401, 200])
        for status in (403, 410, 429, 503):
            with self.subTest(status=status):
                rule = portal.fault(fault="status", status=status, path=path, retryAfter=5)
                answers = [portal.get(path, token) for _ in range(2)]
                self.assertEqual([a.status for a in answers], [status, status])
                self.assertEqual(answers[0].headers["Retry-After"], "5")
                portal.admin("faults/clear", {"id": rule})
        portal.fault(fault="status", status=503, path="/software/*", skip=1, times=1)
        self.assertEqual([portal.get(SETUP).status for _ in range(3)], [200, 503, 200])
        # A rule is spent only where it takes effect: the token request does not use it up.
        portal.fault(fault="wrong-etag", times=1)
        portal.sign_in()
        self.assertNotEqual(portal.get(SETUP).headers["ETag"].strip('"'),
                            hashlib.sha256(data("launcher/TESSARO-Setup.exe")).hexdigest())
        self.assertEqual(portal.admin("faults/clear", {}).json()["removed"], 3)

    def test_download_faults(self):
        exe = data("launcher/TESSARO-Setup.exe")
        size, sha = len(exe), hashlib.sha256(exe).hexdigest()
        ranged = {"Range": "bytes=100-"}
        cases = [  # rule, request headers, check(answer)
            ({"fault": "cut", "after": 1000}, {},
             lambda a: a.broken and a.body == exe[:1000]),
            ({"fault": "cut", "after": 1000, "reset": True}, {},
             lambda a: a.broken and len(a.body) <= 1000),
            ({"fault": "wrong-etag"}, {},
             lambda a: a.headers["ETag"].startswith('"') and a.headers["ETag"] != '"%s"' % sha),
            ({"fault": "unquoted-etag"}, {}, lambda a: a.headers["ETag"] == sha),
            ({"fault": "no-etag"}, {}, lambda a: a.headers["ETag"] is None),
            ({"fault": "wrong-content-range"}, ranged,
             lambda a: a.status == 206 and a.headers["Content-Range"] == "bytes 100-%d/%d" % (size, size)),
            ({"fault": "extra-byte", "declare": True}, {},
             lambda a: a.headers["Content-Length"] == str(size + 1) and a.body == exe + b"\0"),
            ({"fault": "extra-byte"}, {},
             lambda a: a.headers["Content-Length"] == str(size) and a.body == exe),
            ({"fault": "ignore-range"}, ranged, lambda a: a.status == 200 and a.body == exe),
            ({"fault": "partial-without-range"}, {},
             lambda a: a.status == 206 and a.body == exe
             and a.headers["Content-Range"] == "bytes 0-%d/%d" % (size - 1, size)),
            ({"fault": "throttle", "bytesPerSecond": 20000}, {}, lambda a: a.body == exe),
            ({"fault": "multipart-range"}, ranged,
             lambda a: a.status == 206 and a.headers["Content-Range"] is None
             and a.headers["Content-Type"].startswith("multipart/byteranges; boundary=")
             and exe[100:] in a.body and a.headers["ETag"] == '"%s"' % sha),
            # Spent only by an answer that holds the byte: the first request (bytes 100 on) does not.
            ({"fault": "flip-byte", "offset": 50}, {},
             lambda a: a.body == exe[:50] + bytes([exe[50] ^ 0xFF]) + exe[51:]
             and a.headers["ETag"] == '"%s"' % sha),
        ]
        for rule, headers, check in cases:
            with self.subTest(rule=rule):
                portal.admin("reset")
                portal.fault(path=SETUP, times=1, **rule)
                if rule["fault"] == "flip-byte":
                    self.assertEqual(portal.request("GET", SETUP, ranged).body, exe[100:])
                started = time.time()
                answer = portal.request("GET", SETUP, headers)
                self.assertTrue(check(answer), (answer.status, dict(answer.headers), len(answer.body)))
                entry = portal.log(at_least=1)[-1]
                self.assertEqual(entry["faults"][0]["fault"], rule["fault"])
                if rule["fault"] == "throttle":
                    self.assertGreaterEqual(time.time() - started, 0.2)
                if rule["fault"] == "cut":
                    self.assertFalse(entry["complete"])
                if rule["fault"] == "extra-byte":
                    self.assertEqual(entry["bytesSent"], size + 1)
                self.assertEqual(portal.request("GET", SETUP, headers).body[-10:], exe[-10:])

    def test_token_sign_in_catalog_and_delay_faults(self):
        signed = portal.sign_in()
        token = signed["access_token"]
        portal.fault(fault="catalog", times=1)
        self.assertEqual(portal.get(CATALOG + "stable", token).body, data("catalogs/stable.old.json"))
        self.assertEqual(portal.get(CATALOG + "stable", token).body, data("catalogs/stable.json"))
        portal.fault(fault="catalog", variant="missing", times=1)
        self.assertEqual(portal.get(CATALOG + "stable", token).status, 404)

        portal.fault(fault="expire-token", times=1)
        self.assertEqual(portal.get("/software/bootstrap/manifest").status, 200)  # no token: not spent
        self.assertEqual([portal.get(CATALOG + "stable", token).status for _ in range(2)], [401, 401])

        portal.fault(fault="no-refresh-token", times=1)
        renewed = portal.refresh(signed["refresh_token"]).json()
        self.assertNotIn("refresh_token", renewed)
        self.assertEqual(portal.get(CATALOG + "stable", renewed["access_token"]).status, 200)

        portal.fault(fault="revoke-refresh", times=1)
        self.assertEqual(portal.refresh(signed["refresh_token"]).json()["error"], "invalid_grant")
        self.assertEqual(portal.refresh(signed["refresh_token"]).json()["error"], "invalid_grant")

        portal.fault(fault="deny-sign-in", times=1)
        denied = urllib.parse.urlsplit(portal.authorize(state="s1").headers["Location"]).query
        self.assertEqual(denied, "error=access_denied&state=s1")
        portal.fault(fault="wrong-state", times=1)
        moved = urllib.parse.parse_qs(urllib.parse.urlsplit(portal.authorize(state="s1").headers["Location"]).query)
        self.assertNotEqual(moved["state"], ["s1"])
        self.assertIn("code", moved)

        portal.fault(fault="delay", seconds=0.4, path="/connect/token", times=1)
        started = time.time()
        portal.refresh("whatever")
        self.assertGreaterEqual(time.time() - started, 0.4)

    def test_admin_refuses_malformed_rules(self):
        for rule in ({"fault": "explode"}, {"fault": "status"}, {"fault": "cut", "after": -1},
                     {"fault": "delay", "seconds": 1, "colour": "red"},
                     {"fault": "status", "status": 503, "times": 0},
                     {"fault": "catalog", "variant": "../x"}, ["not", "objects"]):
            with self.subTest(rule=rule):
                self.assertEqual(portal.admin("faults", rule).status, 400)
        self.assertEqual(portal.request("POST", "/_dev/faults", body="{").status, 400)
        self.assertEqual(portal.admin("faults").json(), [])

    def test_rules_given_at_start_come_back_after_reset(self):
        rules = os.path.join(tmp, "rules.json")
        with open(rules, "w") as f:
            json.dump([{"fault": "status", "status": 503, "path": "/software/bootstrap/manifest",
                        "times": 1}], f)
        second = Portal("second", "--fault", '{"fault":"status","status":410,"path":"%s","times":1}'
                        % SETUP, "--faults", rules)
        try:
            self.assertNotEqual(second.port, portal.port)
            for _ in range(2):
                self.assertEqual([second.get(SETUP).status, second.get(SETUP).status], [410, 200])
                self.assertEqual(second.get("/software/bootstrap/manifest").status, 503)
                second.admin("reset")
        finally:
            second.stop()
        bad = subprocess.run(["/usr/bin/python3", PORTAL, "serve", "--data", tmp, "--cert", "x",
                              "--key", "y", "--fault", '{"fault":"nope"}'], capture_output=True)
        self.assertEqual(bad.returncode, 2)


class RequestLog(PortalTest):
    def test_log_records_what_the_client_sent_and_what_it_got(self):
        signed = portal.sign_in()
        portal.get(ARTIFACTS + RELEASE, signed["access_token"], Range="bytes=5-",
                   If_Range='"abc"', Accept_Encoding="identity")
        entries = portal.log()
        self.assertEqual([e["path"] for e in entries],
                         ["/connect/authorize", "/connect/token", ARTIFACTS + RELEASE])
        authorize, exchange, download = entries
        self.assertEqual(authorize["status"], 302)
        self.assertEqual(authorize["account"], "dev")
        self.assertIn("code_challenge_method=S256", authorize["query"])
        self.assertEqual(exchange["method"], "POST")
        self.assertEqual(exchange["contentType"], "application/x-www-form-urlencoded")
        self.assertTrue(exchange["body"].startswith("grant_type=authorization_code&"))
        self.assertIsNone(exchange["authorization"])
        self.assertEqual(download["authorization"], "Bearer " + signed["access_token"])
        self.assertEqual((download["range"], download["ifRange"], download["acceptEncoding"]),
                         ("bytes=5-", '"abc"', "identity"))
        self.assertEqual((download["status"], download["bytesSent"], download["complete"]),
                         (200, 200000, True))
        since = portal.request("GET", "/_dev/log?since=%d" % exchange["seq"]).body.splitlines()
        self.assertEqual([json.loads(l)["seq"] for l in since], [download["seq"]])
        with open(portal.log_path) as f:
            on_disk = [json.loads(line) for line in f]
        self.assertEqual(on_disk[-3:], entries)
        portal.admin("log/clear", {})
        self.assertEqual(portal.log(), [])


class CallbackListener:
    """A loopback 'launcher' that records the browser's callback request."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.sock.settimeout(20)
        self.port = self.sock.getsockname()[1]
        self.request_line = None
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            self.request_line = conn.recv(16384).split(b"\r\n")[0].decode()
            conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nAnmeldung verarbeitet.")
        self.sock.close()


class HeadlessBrowser(unittest.TestCase):
    def test_browser_follows_sign_in_to_the_loopback_callback(self):
        listener = CallbackListener()
        callback = "http://127.0.0.1:%d/callback" % listener.port
        other = Portal("browser", "--redirect-uri", callback)
        try:
            conf = os.path.join(other.dir, "browser.conf")
            log = os.path.join(other.dir, "browser.log")
            with open(conf, "w") as f:
                f.write("CA=%s\nLOG=%s\n" % (os.path.join(tmp, "certs", "ca.pem"), log))
            url = ("https://127.0.0.1:%d/connect/authorize?client_id=%s&response_type=code&scope=%s"
                   "&redirect_uri=%s&state=s%%2B1&code_challenge_method=S256&code_challenge=%s"
                   % (other.port, CLIENT_ID, urllib.parse.quote(SCOPE), urllib.parse.quote(callback, safe=""),
                      b64url(hashlib.sha256(b"x").digest())))
            env = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_BROWSER")}
            script = os.path.join(TOOLS, "headless-browser.sh")
            run = subprocess.run([script, "--config", conf, url], env=env, timeout=60)
            self.assertEqual(run.returncode, 0)
            listener.thread.join(10)
            self.assertRegex(listener.request_line,
                             r"^GET /callback\?code=[A-Za-z0-9_-]+&state=s%2B1 HTTP/1\.1$")
            lines = slurp(log).decode().splitlines()
            self.assertEqual([l.split(" ")[1] for l in lines], ["open", "authorize", "callback"])

            ignored = subprocess.run([script, url], timeout=60, env=dict(
                env, TESSARO_BROWSER_CONFIG=conf, TESSARO_BROWSER_MODE="ignore"))
            refused = subprocess.run([script, "--config", conf, "http://127.0.0.1:1/x"], timeout=60,
                                     env=env)
            self.assertEqual((ignored.returncode, refused.returncode), (0, 1))
            self.assertEqual(len(other.log(at_least=1)), 1)
        finally:
            other.stop()


@unittest.skipUnless(os.environ.get("DEVPORTAL_WINE_TESTS") == "1" and shutil.which("wine"),
                     "Wine checks run with DEVPORTAL_WINE_TESTS=1 (they build a prefix)")
class WinePrefix(PortalTest):
    def test_prefix_trusts_ca_and_opens_addresses_with_the_headless_browser(self):
        prefix = os.path.join(tmp, "prefix")
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="winemenubuilder.exe=d")
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineboot", "-i"], env=env, timeout=120, check=True, **quiet)
        try:
            url = "https://localhost:%d%s" % (portal.port, SETUP)
            trust = subprocess.run([os.path.join(TOOLS, "trust-prefix.sh"), prefix,
                                    os.path.join(tmp, "certs", "ca.pem"), "--verify", url],
                                   env=env, capture_output=True, text=True, timeout=120)
            self.assertEqual(trust.returncode, 0, trust.stderr)
            self.assertIn("status: 200", trust.stdout)
            self.assertIn('etag: "%s"' % hashlib.sha256(data("launcher/TESSARO-Setup.exe")).hexdigest(),
                          trust.stdout)

            subprocess.run([os.path.join(TOOLS, "install-browser-hook.sh"), prefix,
                            os.path.join(TOOLS, "headless-browser.sh"),
                            os.path.join(tmp, "certs", "ca.pem")], env=env, check=True, timeout=120,
                           stdout=subprocess.DEVNULL)
            subprocess.run(["wine", "winebrowser", "https://127.0.0.1:%d/connect/authorize?x=1"
                            % portal.port], env=env, timeout=120, **quiet)
            deadline = time.time() + 20
            while time.time() < deadline and not any(e["path"] == "/connect/authorize"
                                                     for e in portal.log()):
                time.sleep(0.2)
            self.assertTrue(any(e["path"] == "/connect/authorize" for e in portal.log()))
        finally:
            subprocess.run(["wineserver", "-k"], env=env, timeout=60, **quiet)


if __name__ == "__main__":
    unittest.main()
