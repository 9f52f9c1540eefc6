"""VNet peerings. Each half lives on its own VNet; the pair is connected only while both halves exist."""
from .. import errors, ids
from . import VnetChildren

INITIATED, CONNECTED, DISCONNECTED = "Initiated", "Connected", "Disconnected"
SERVER_OWNED = ("peeringState", "peeringSyncLevel", "provisioningState", "remoteAddressSpace",
                "remoteVirtualNetworkAddressSpace")
DEFAULTS = {"allowVirtualNetworkAccess": True, "allowForwardedTraffic": False,
            "allowGatewayTransit": False, "useRemoteGateways": False}


class Peerings(VnetChildren):
    TYPE = "Microsoft.Network/virtualNetworks/virtualNetworkPeerings"

    def put(self, peering_id, body):
        """Create or update one half.

        It connects when the remote VNet holds a half pointing back, and then
        that half connects too (so re-creating a deleted half brings back a
        disconnected partner); otherwise a new half waits as initiated and an
        existing one keeps its state.
        """
        vnet = self.cloud.vnets.table.require(ids.parent(peering_id))
        old = self.table.get(peering_id)
        canonical = old["id"] if old else ids.child(vnet["id"], "virtualNetworkPeerings", ids.name(peering_id))
        properties = dict(DEFAULTS)
        properties.update((k, v) for k, v in (body.get("properties") or {}).items() if k not in SERVER_OWNED)
        remote_id = (properties.get("remoteVirtualNetwork") or {}).get("id")
        if not remote_id:
            raise errors.bad_request("Peering " + canonical + " has no remoteVirtualNetwork id.")
        remote = self.cloud.vnets.table.get(remote_id)
        if remote is None:
            raise errors.invalid_reference(remote_id, canonical)
        partner = self.partner(remote, vnet)
        if partner is not None:
            state = partner["properties"]["peeringState"] = CONNECTED
        else:
            state = old["properties"]["peeringState"] if old else INITIATED
        prefixes = remote["properties"].get("addressSpace", {}).get("addressPrefixes", [])
        properties.update(remoteVirtualNetwork={"id": remote["id"]},
                          remoteAddressSpace={"addressPrefixes": list(prefixes)},
                          remoteVirtualNetworkAddressSpace={"addressPrefixes": list(prefixes)}, peeringState=state,
                          peeringSyncLevel="FullyInSync", provisioningState="Succeeded")
        peering = {"id": canonical, "name": ids.name(canonical), "type": self.TYPE, "properties": properties}
        return self.table.put(peering), old is None

    def delete(self, peering_id):
        """Remove one half; the half pointing back, if any, is left disconnected. False when there was none."""
        vnet = self.cloud.vnets.table.require(ids.parent(peering_id))
        peering = self.table.pop(peering_id)
        if peering is None:
            return False
        remote = self.cloud.vnets.table.get(peering["properties"]["remoteVirtualNetwork"]["id"])
        partner = remote and self.partner(remote, vnet)
        if partner is not None:
            partner["properties"]["peeringState"] = DISCONNECTED
        return True

    def partner(self, remote, vnet):
        """The first half on the remote VNet that points back at the VNet."""
        vnet_key = ids.key(vnet["id"])
        return next((p for p in self.table.children(remote["id"])
                     if ids.key(p["properties"]["remoteVirtualNetwork"]["id"]) == vnet_key), None)
