"""Errors answered with Azure's status codes and error bodies."""
class ArmError(Exception):
    """A refused request: the status and the body {"error": {"code", "message"[, "details"]}}."""

    def __init__(self, status, code, message, details=None):
        super().__init__(message)
        self.status, self.code, self.message, self.details = status, code, message, details
        self.headers = {}

    def body(self):
        error = {"code": self.code, "message": self.message}
        if self.details:
            error["details"] = self.details
        return {"error": error}


def subscription_not_found(sub):
    return ArmError(404, "SubscriptionNotFound", "The subscription '" + sub + "' could not be found.")


def group_not_found(rg):
    return ArmError(404, "ResourceGroupNotFound", "Resource group '" + rg + "' could not be found.")


def _resource_not_found(resource_id):
    """A top-level resource that does not exist, answered the way Resource Manager words it."""
    parts = resource_id.strip("/").split("/")
    return ArmError(404, "ResourceNotFound",
                    "The Resource '" + "/".join(parts[5:8]) + "' under resource group '" + parts[3]
                    + "' was not found. For more details please go to https://aka.ms/ARMResourceNotFoundFix")


def _child_not_found(resource_id):
    """A child resource (subnet, peering) that does not exist, in the network provider's words."""
    return ArmError(404, "NotFound", "Resource " + resource_id + " not found.")


def invalid_reference(referenced_id, by_id):
    return ArmError(400, "InvalidResourceReference",
                    "Resource " + referenced_id + " referenced by resource " + by_id + " was not found. "
                    "Please make sure that the referenced resource exists, "
                    "and that both resources are in the same region.")


def scope_locked(resource_id, action, lock_scopes):
    return ArmError(409, "ScopeLocked",
                    "The scope '" + resource_id + "' cannot perform " + action + " operation because following "
                    "scope(s) are locked: " + ", ".join("'" + s + "'" for s in lock_scopes)
                    + ". Please remove the lock and try again.")


def bad_request(message, code="InvalidRequestFormat"):
    return ArmError(400, code, message)


def not_served(method, path):
    return ArmError(501, "NotImplemented", "The local cloud does not serve " + method + " " + path + ".")


def not_found(resource_id):
    """404 for a missing resource, worded for a top-level or a child resource."""
    top_level = len(resource_id.strip("/").split("/")) <= 8
    return _resource_not_found(resource_id) if top_level else _child_not_found(resource_id)
