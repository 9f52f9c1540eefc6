"""The resources of one type, as the JSON that Azure answers for them."""
from . import errors, ids


class Table:
    """Resources in creation order, found by id ignoring case, grouped under their parent id.

    A group is the provider scope of a resource group for top-level resources
    and the VNet for subnets and peerings, so listing a VNet's children or a
    subscription's route tables reads only what it returns.
    """

    def __init__(self):
        self._groups = {}

    def get(self, resource_id):
        return self._groups.get(ids.key(ids.parent(resource_id)), {}).get(ids.key(resource_id))

    def require(self, resource_id):
        resource = self.get(resource_id)
        if resource is None:
            raise errors.not_found(resource_id)
        return resource

    def put(self, resource):
        self._groups.setdefault(ids.key(ids.parent(resource["id"])), {})[ids.key(resource["id"])] = resource
        return resource

    def pop(self, resource_id):
        return self._groups.get(ids.key(ids.parent(resource_id)), {}).pop(ids.key(resource_id), None)

    def children(self, parent_id):
        return list(self._groups.get(ids.key(parent_id), {}).values())

    def in_subscription(self, sub):
        prefix = ids.key("/subscriptions/" + sub) + "/"
        return [resource for group, members in self._groups.items() if group.startswith(prefix)
                for resource in members.values()]

    def __iter__(self):
        for members in self._groups.values():
            yield from members.values()
