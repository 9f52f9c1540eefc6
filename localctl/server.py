"""The local controller: an HTTPS server on the loopback address answering the controller API."""
import collections
import http.server
import json
import os
import shutil
import socket
import ssl
import tempfile
import threading

import trustme

from localarm.journal import Remembered

from .faults import Fault
from .state import CHANGES, ControllerState

PATH = "/v1/api"

Request = collections.namedtuple("Request", "action fields cid_valid status")
Request.__doc__ = """One request: its action, its other body fields (never the access id), whether
it carried the controller's access id, and the HTTP status answered (None for a dropped connection)."""


class LocalController:
    """Serves `state` at `url` over TLS with a certificate made at start, signed by a CA whose
    certificate is in the file `ca_bundle`.

        with LocalController(state) as ctl:
            os.environ["REQUESTS_CA_BUNDLE"] = ctl.ca_bundle     # what the client then trusts
            Zentrova.list_accounts(api_endpoint_url=ctl.url, CID=ctl.cid, iam_based="false")
    """

    def __init__(self, state=None):
        self.state = state if state is not None else ControllerState()
        self.log = []
        self.faults = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._server = None
        self._folder = None
        self.kept = None      # where accepted changes are kept, when the controller remembers

    @classmethod
    def from_file(cls, path):
        return cls(ControllerState.load(path))

    # Remembering between runs

    def remember(self, folder):
        """Keeps the state in `folder` from now on: the state now, then every accepted change."""
        self.kept = Remembered(folder, "controller")
        self.kept.start(self.state.to_json())

    @classmethod
    def remembered(cls, folder):
        """The controller kept in `folder`, as its last answered change left it, remembering on."""
        kept = Remembered(folder, "controller")
        snapshot, changes = kept.load()
        try:
            controller = cls(ControllerState.from_mapping(snapshot))
        except (LookupError, TypeError, AttributeError, ValueError) as error:
            raise ValueError(kept.snapshot_path + ": not a saved controller (" + str(error) + ")") from None
        for change in changes:
            controller.state.answer(change.get("body"))
        kept.resume(changes)
        controller.kept = kept
        return controller

    def forget(self):
        """Compacts what is kept (at a clean exit) and stops remembering."""
        if self.kept is not None:
            self.kept.compact(self.state.to_json())
            self.kept = None

    @classmethod
    def from_cloud(cls, cloud, **options):
        """Seeded from a local cloud; the options are those of `ControllerState.from_cloud`."""
        return cls(ControllerState.from_cloud(cloud, **options))

    @property
    def cid(self):
        return self.state.cid

    @property
    def connections(self):
        """The connections clients have opened so far."""
        return self._server.accepted

    @property
    def url(self):
        return "https://127.0.0.1:%d%s" % (self._server.server_address[1], PATH)

    def fail(self, action=None, **spoil):
        """Plant a fault (see `Fault`); returns it, so a test can check it fired."""
        fault = Fault(action, **spoil)
        with self._lock:
            self.faults.append(fault)
        return fault

    def requests(self, action=None):
        """The logged requests, of one action or of all."""
        return [r for r in self.log if action in (None, r.action)]

    # Lifecycle

    def start(self, folder=None):
        """Serves; the CA certificate is written to `folder` (a temporary folder when None) and removed at stop."""
        self._folder = tempfile.mkdtemp(prefix="localctl-") if folder is None else str(folder)
        self._own_folder = folder is None
        os.makedirs(self._folder, exist_ok=True)
        ca = trustme.CA(key_type=trustme.KeyType.ECDSA)
        self.ca_bundle = os.path.join(self._folder, "ca.pem")
        ca.cert_pem.write_to_path(self.ca_bundle)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ca.issue_cert("127.0.0.1", "localhost").configure_cert(context)
        self._stopping.clear()
        self._server = _Server(("127.0.0.1", 0), _handler(self))
        self._server.socket = context.wrap_socket(self._server.socket, server_side=True)
        self._serving = threading.Thread(target=self._server.serve_forever, name="localctl", daemon=True)
        self._serving.start()
        return self

    def stop(self):
        self._stopping.set()  # a slow reply in progress gives up waiting
        self._server.shutdown()
        self._server.server_close()
        self._serving.join()
        if self._own_folder:
            shutil.rmtree(self._folder, ignore_errors=True)
        else:
            os.remove(self.ca_bundle)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # Requests

    def _serve(self, body):
        """(status, reply or None to drop the connection, fault) for one request body."""
        action = body.get("action") if isinstance(body, dict) else None
        with self._lock:
            fault = next((f for f in self.faults if f.matches(action)), None)
            if fault is None or fault.delay is not None:
                return 200, self._answer(body, action), fault
            if fault.lost:
                self._answer(body, action)
                return None, None, fault
            if fault.refuse is not None:
                return 200, {"return": False, "reason": fault.refuse}, fault
            if fault.status is not None:
                return fault.status, None, fault
            return None, None, fault

    def _answer(self, body, action):
        """The state's reply; an accepted change is kept first when the controller remembers."""
        reply = self.state.answer(body)
        if self.kept is not None and reply["return"] and action in CHANGES:
            self.kept.append({"body": body})
        return reply

    def _record(self, body, status):
        fields = {k: v for k, v in body.items() if k not in ("action", "CID")} if isinstance(body, dict) else body
        cid_valid = isinstance(body, dict) and body.get("CID") == self.state.cid
        action = body.get("action") if isinstance(body, dict) else None
        with self._lock:
            self.log.append(Request(action, fields, cid_valid, status))


class _Server(http.server.ThreadingHTTPServer):
    """Ends with every thread it started: closing it cuts the connections clients keep alive
    (their reply threads would otherwise wait for a next request for ever) and joins the threads."""

    daemon_threads = False      # server_close() joins them

    def __init__(self, address, handler):
        super().__init__(address, handler)
        self._open = set()
        self._open_lock = threading.Lock()
        self.accepted = 0

    def get_request(self):
        connection, address = super().get_request()
        with self._open_lock:
            self._open.add(connection)
            self.accepted += 1
        return connection, address

    def shutdown_request(self, request):
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def server_close(self):
        with self._open_lock:
            still_open = list(self._open)
        for connection in still_open:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass            # the client closed it meanwhile
        super().server_close()


def _handler(controller):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True  # headers and body leave without waiting for an ACK

        def do_POST(self):
            if self.path != PATH:
                return self._send(404, b"Not Found", "text/plain")
            try:
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)))
            except ValueError:
                return self._send(400, b"Request body is not JSON", "text/plain")
            status, reply, fault = controller._serve(body)
            controller._record(body, status)
            if fault is not None and fault.delay is not None:
                controller._stopping.wait(fault.delay)
            if status is None:
                self.close_connection = True
                return
            if reply is None:
                return self._send(status, b"Injected fault", "text/plain")
            self._send(status, json.dumps(reply).encode(), "application/json")

        def _send(self, status, content, kind):
            try:
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(content)))
                self.end_headers()
                self.wfile.write(content)
            except OSError:
                self.close_connection = True  # the client gave up (a slow reply past its timeout)

        def log_message(self, *args):
            pass

    return Handler
