"""Faults a test plants: the Nth request of an operation fails."""
from http import HTTPStatus

ANY_WRITE = "any write"   # the operation of a fault on the nth write request, whatever it writes
WRITES = ("PUT", "DELETE")


class TransportFault(Exception):
    """The request never got an answer; the transport raises it as a connection failure."""


class Fault:
    """Fails the `nth` request of `operation` (ANY_WRITE: of any write) whose path contains `where`
    (ignoring case), once.

    It answers `status` with an Azure error body (429 with Retry-After), or,
    with `transport_error`, no answer at all; with `operation_failed` a
    create-or-update or delete is accepted, changes nothing, and its
    asynchronous operation ends "Failed" (a write answered at once fails with
    `status`); with `lost_reply` the request is served in full, its changes
    made, and the answer is lost on the way back.
    """

    def __init__(self, operation, nth=1, status=500, code=None, message=None, where="",
                 transport_error=False, operation_failed=False, lost_reply=False):
        self.operation, self.nth, self.where = operation, nth, where.lower()
        self.status = status
        self.code = code or HTTPStatus(status).phrase.replace(" ", "")
        self.message = message or "Injected fault: " + operation + " request " + str(nth) + "."
        self.transport_error, self.operation_failed, self.lost_reply = transport_error, operation_failed, lost_reply
        self.seen = 0
        self.fired = False

    def matches(self, operation, path, method):
        """Count a matching request; True when it is the one to fail."""
        wanted = method in WRITES if self.operation == ANY_WRITE else operation == self.operation
        if self.fired or not wanted or self.where not in path.lower():
            return False
        self.seen += 1
        self.fired = self.seen == self.nth
        return self.fired

    def error(self):
        return {"code": self.code, "message": self.message}
