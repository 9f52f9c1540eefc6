"""Asynchronous operations: what the SDK pollers of create-or-update and delete requests poll."""
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

    def start(self, error=None):
        op_id = str(uuid.UUID(int=len(self._pending) + 1))
        self._pending[op_id] = {"polls": self.cloud.lro_polls, "error": error}
        return op_id

    def status(self, op_id):
        op = self._require(op_id)
        if op["polls"] > 0:
            op["polls"] -= 1
            return {"status": "InProgress"}
        if op["error"] is not None:
            return {"status": "Failed", "error": op["error"]}
        return {"status": "Succeeded"}

    def finished(self, op_id):
        return self._require(op_id)["polls"] == 0

    def _require(self, op_id):
        op = self._pending.get(op_id.lower())
        if op is None:
            raise errors.ArmError(404, "NotFound", "Operation " + op_id + " not found.")
        return op
