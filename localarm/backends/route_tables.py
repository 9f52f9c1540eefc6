"""Route tables, with the back-references to the subnets associated with them.

As in Azure, a table that no subnet uses has no "subnets" property at all.
"""
from .. import errors, ids
from . import Backend


class RouteTables(Backend):
    TYPE = "Microsoft.Network/routeTables"

    def list_all(self, sub):
        return self.table.in_subscription(sub)

    def list(self, scope):
        """The tables of one resource group (`scope`: its Microsoft.Network provider scope)."""
        self.cloud.require_group(scope)
        return self.table.children(scope)

    def get(self, table_id):
        return self.table.require(table_id)

    def put(self, table_id, body):
        group = self.cloud.require_group(table_id)
        old = self.table.get(table_id)
        canonical = old["id"] if old else ids.resource_id(ids.subscription(table_id), group["name"],
                                                           "routeTables", ids.name(table_id))
        properties = {k: v for k, v in (body.get("properties") or {}).items()
                      if k not in ("subnets", "provisioningState")}
        properties["routes"] = [_route(canonical, route) for route in properties.get("routes") or ()]
        if old and old["properties"].get("subnets"):
            properties["subnets"] = old["properties"]["subnets"]
        properties["provisioningState"] = "Succeeded"
        table = {"id": canonical, "name": ids.name(canonical), "type": self.TYPE,
                 "location": body.get("location") or (old or group)["location"], "properties": properties}
        if body.get("tags") is not None:
            table["tags"] = body["tags"]
        return self.table.put(table), old is None

    def referenced(self, reference, by_id):
        """The route table a subnet refers to, or None for no reference; refuses a table that does not exist."""
        if not reference or not reference.get("id"):
            return None
        table = self.table.get(reference["id"])
        if table is None:
            raise errors.invalid_reference(reference["id"], by_id)
        return table

    def reassociate(self, subnet_id, old_reference, new_table):
        """Move the subnet's back-reference from the table it was on to the one it is on now."""
        old_table = old_reference and self.table.get(old_reference["id"])
        if old_table is new_table:
            return
        if old_table is not None:
            subnet_key = ids.key(subnet_id)
            refs = [ref for ref in old_table["properties"].pop("subnets", ()) if ids.key(ref["id"]) != subnet_key]
            if refs:
                old_table["properties"]["subnets"] = refs
        if new_table is not None:
            _link(new_table, subnet_id)

    def relink(self, subnets):
        """Rebuild every back-reference from the subnets' associations."""
        for table in self.table:
            table["properties"].pop("subnets", None)
        for subnet in subnets:
            reference = subnet["properties"].get("routeTable")
            table = reference and self.table.get(reference["id"])
            if table is not None:
                _link(table, subnet["id"])


def _link(table, subnet_id):
    table["properties"].setdefault("subnets", []).append({"id": subnet_id})


def _route(table_id, route):
    if not route.get("name"):
        raise errors.bad_request("A route of route table " + table_id + " has no name.")
    properties = dict(route.get("properties") or {}, provisioningState="Succeeded")
    return {"id": ids.child(table_id, "routes", route["name"]), "name": route["name"],
            "type": RouteTables.TYPE + "/routes", "properties": properties}
