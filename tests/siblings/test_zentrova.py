"""Controller client against a loopback HTTPS server with its own certificate."""
import datetime
import http.server
import ipaddress
import json
import re
import ssl
import threading

import pytest
import requests
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from dm.arm.zentrova import TIMEOUT_SECONDS, Zentrova, ZentrovaError

SUCCESS = b'{"return": true, "results": []}'


def self_signed_pem(folder):
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), True)
            .sign(key, hashes.SHA256()))
    pem = folder / "controller.pem"
    pem.write_bytes(cert.public_bytes(serialization.Encoding.PEM) + key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    return pem


class Controller(http.server.BaseHTTPRequestHandler):
    """Records each request body and answers with the class's `status` and `body`."""
    received, status, body = [], 200, SUCCESS

    def do_POST(self):
        Controller.received.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
        self.send_response(Controller.status)
        self.send_header("Content-Length", str(len(Controller.body)))
        self.end_headers()
        self.wfile.write(Controller.body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def controller(tmp_path_factory):
    pem = self_signed_pem(tmp_path_factory.mktemp("tls"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Controller)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(pem)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield "https://127.0.0.1:%d/v1/api" % server.server_address[1], pem
    server.shutdown()
    server.server_close()


@pytest.fixture
def url(controller, monkeypatch):
    """The controller's address, its certificate trusted through the bundle requests honours."""
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(controller[1]))
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    Controller.received.clear()
    Controller.status, Controller.body = 200, SUCCESS
    return controller[0]


def test_each_call_posts_its_action_and_fields(url, monkeypatch):
    options = []
    real_post = requests.post
    monkeypatch.setattr(requests, "post", lambda *a, **kw: options.append(kw) or real_post(*a, **kw))
    Zentrova.disable_snat(api_endpoint_url=url, CID="cid-1", gw_name="gw1")
    Zentrova.enable_snat(api_endpoint_url=url, CID="cid-1", gw_name="gw2")
    Zentrova.list_gateway_info(api_endpoint_url=url, CID="cid-1", vpc_access_account_name="")
    Zentrova.zentrova_post(url, {"action": "associate", "CID": "cid-1", "domain_name": "d"})
    Controller.body = b'{"return": true, "results": {"account_list": [{"account_name": "a"}]}}'
    accounts = Zentrova.list_accounts(api_endpoint_url=url, CID="cid-1", iam_based="false")
    assert accounts.json()["results"]["account_list"] == [{"account_name": "a"}]
    assert Controller.received == [
        {"action": "disable_snat", "CID": "cid-1", "gateway_name": "gw1"},
        {"action": "enable_snat", "CID": "cid-1", "gateway_name": "gw2", "mode": "single_ip"},
        {"action": "list_gateway_info", "CID": "cid-1", "account_name": ""},
        {"action": "associate", "CID": "cid-1", "domain_name": "d"},
        {"action": "list_accounts", "CID": "cid-1", "iam_based": "false"},
    ]
    assert all(kw["timeout"] == TIMEOUT_SECONDS and kw["verify"] is True for kw in options)


@pytest.mark.parametrize("body, reason", [
    (b'{"return": false, "reason": "gateway gw1 not found"}', "gateway gw1 not found"),
    (b'{"results": []}', "None"),
    (b'[true]', "[True]"),
    (b'<html>maintenance</html>', "not JSON"),
])
def test_reply_that_is_not_a_success_raises(url, body, reason):
    Controller.body = body
    with pytest.raises(ZentrovaError, match="enable_snat.*" + re.escape(reason)):
        Zentrova.enable_snat(api_endpoint_url=url, CID="c", gw_name="gw1")


def test_http_error_raises_without_revealing_the_access_id(url):
    Controller.status = 500
    with pytest.raises(requests.HTTPError) as failure:
        Zentrova.disable_snat(api_endpoint_url=url, CID="secret-cid", gw_name="gw1")
    assert "500" in str(failure.value) and "secret-cid" not in str(failure.value)


def test_untrusted_certificate_is_refused_before_sending(url, monkeypatch):
    monkeypatch.delenv("REQUESTS_CA_BUNDLE")
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)
    with pytest.raises(requests.exceptions.SSLError):
        Zentrova.disable_snat(api_endpoint_url=url, CID="c", gw_name="gw1")
    assert Controller.received == []
