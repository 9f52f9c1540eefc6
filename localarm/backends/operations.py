"""Asynchronous operations: what the SDK pollers of create-or-update and delete requests poll."""
import time
import uuid

from .. import errors


class Operations:
    """Each operation answers "InProgress" to its first `polls` status requests, then its outcome.

    The change itself is made when the request is accepted, so a poller that is
    never awaited still leaves the cloud as Azure eventually would.
    """

    def __init__(self, cloud):
        self.cloud = cloud
        self._pending = {}

    def start(self, error=None, seconds=None):
        """A new operation: it ends after `lro_polls` status requests, or after `seconds` when given."""
        op_id = str(uuid.UUID(int=len(self._pending) + 1))
        ends = None if seconds is None else time.monotonic() + seconds
        self._pending[op_id] = {"polls": self.cloud.lro_polls if ends is None else 0, "ends": ends, "error": error}
        return op_id

    def status(self, op_id):
        op = self._require(op_id)
        if op["polls"] > 0:
            op["polls"] -= 1
            return {"status": "InProgress"}
        if not self.finished(op_id):
            return {"status": "InProgress"}
        if op["error"] is not None:
            return {"status": "Failed", "error": op["error"]}
        return {"status": "Succeeded"}

    def finished(self, op_id):
        op = self._require(op_id)
        return op["polls"] == 0 and (op["ends"] is None or time.monotonic() >= op["ends"])

    def remaining(self, op_id):
        """Seconds until the operation ends (0 when it has)."""
        ends = self._require(op_id)["ends"]
        return max(0.0, ends - time.monotonic()) if ends is not None else 0.0

    def _require(self, op_id):
        op = self._pending.get(op_id.lower())
        if op is None:
            raise errors.ArmError(404, "NotFound", "Operation " + op_id + " not found.")
        return op
