"""Asynchronous operations: what the SDK pollers of create-or-update and delete requests poll."""
import time
import uuid

from .. import errors, ids


class Operations:
    """Each operation answers "InProgress" to its first `polls` status requests, then its outcome.

    The change itself is made when the request is accepted, so a poller that is
    never awaited still leaves the cloud as Azure eventually would.
    """

    def __init__(self, cloud):
        self.cloud = cloud
        self._pending = {}
        self._on = {}       # resource key -> the timed operation last started on it

    def start(self, error=None, seconds=None, resource=None):
        """A new operation (on `resource`, for a create-or-update): it ends after `lro_polls` status
        requests, or after `seconds` when given."""
        op_id = str(uuid.UUID(int=len(self._pending) + 1))
        ends = None if seconds is None else time.monotonic() + seconds
        self._pending[op_id] = {"polls": self.cloud.lro_polls if ends is None else 0, "ends": ends, "error": error}
        if resource is not None and ends is not None:
            self._on[ids.key(resource)] = op_id
        return op_id

    def in_progress(self, resource_id):
        """Whether a timed operation on the resource is still running (untimed ones end when polled,
        and a poller nobody awaits never polls)."""
        op_id = self._on.get(ids.key(resource_id))
        if op_id is None or not self.finished(op_id):
            return op_id is not None
        del self._on[ids.key(resource_id)]
        return False

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
