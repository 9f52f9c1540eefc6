"""Faults a test plants: the Nth request of an operation fails."""
from http import HTTPStatus


class TransportFault(Exception):
    """The request never got an answer; the transport raises it as a connection failure."""


class Fault:
    """Fails the `nth` request of `operation` whose path contains `where` (ignoring case), once.

    It answers `status` with an Azure error body, or, with `transport_error`, no
    answer at all; with `operation_failed` a create-or-update or delete is
    accepted, changes nothing, and its asynchronous operation ends "Failed".
    """

    def __init__(self, operation, nth=1, status=500, code=None, message=None, where="",
                 transport_error=False, operation_failed=False):
        self.operation, self.nth, self.where = operation, nth, where.lower()
        self.status = status
        self.code = code or HTTPStatus(status).phrase.replace(" ", "")
        self.message = message or "Injected fault: " + operation + " request " + str(nth) + "."
        self.transport_error, self.operation_failed = transport_error, operation_failed
        self.seen = 0
        self.fired = False

    def matches(self, operation, path):
        """Count a matching request; True when it is the one to fail."""
        if self.fired or operation != self.operation or self.where not in path.lower():
            return False
        self.seen += 1
        self.fired = self.seen == self.nth
        return self.fired

    def error(self):
        return {"code": self.code, "message": self.message}
