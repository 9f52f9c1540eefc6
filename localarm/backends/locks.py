"""Management locks on resources, and the refusals they cause."""
from .. import errors, ids
from . import Backend

LOCKS = "/providers/Microsoft.Authorization/locks/"
# The actions each level refuses, on the locked resource and everything below it.
REFUSED = {"CanNotDelete": ("delete",), "ReadOnly": ("write", "delete")}


class Locks(Backend):
    TYPE = "Microsoft.Authorization/locks"

    def put(self, scope_id, name, level, notes=None):
        if not isinstance(level, str) or level not in REFUSED:
            raise errors.bad_request("Lock level '" + str(level) + "' is not CanNotDelete or ReadOnly.")
        properties = {"level": level}
        if notes:
            properties["notes"] = notes
        return self.table.put({"id": scope_id + LOCKS + name, "type": self.TYPE, "name": name,
                               "properties": properties})

    def put_request(self, lock_id, body):
        """A lock created or updated through the REST API (answered at once, as Azure does)."""
        properties = body.get("properties") or {}
        name = lock_id.rsplit("/", 1)[1]
        return self.put(self.cloud.canonical_id(lock_id[:-len(LOCKS) - len(name)]), name,
                        properties.get("level"), properties.get("notes"))

    def list_at(self, resource_id):
        """The locks on the resource and below it, as Azure lists them at resource level."""
        return [lock for lock in self.table if ids.within(scope(lock), resource_id)]

    def delete(self, lock_id):
        return self.table.pop(lock_id) is not None

    def check(self, resource_id, action):
        """Refuse the action ("write" or "delete") when a lock on the resource or above it forbids it."""
        scopes = [scope(lock) for lock in self.table
                  if action in REFUSED[lock["properties"]["level"]] and ids.within(resource_id, scope(lock))]
        if scopes:
            raise errors.scope_locked(resource_id, action, scopes)


def scope(lock):
    return lock["id"][:-len(LOCKS + lock["name"])]
