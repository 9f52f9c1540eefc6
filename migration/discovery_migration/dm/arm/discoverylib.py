"""Discovery helpers over Azure network models."""


class DiscoveryLib:
    # Positions in an ARM resource id split at "/":
    # /subscriptions/{sub}/resourceGroups/{rg}/providers/Microsoft.Network/virtualNetworks/{vnet}/...
    SUB_I = 2
    RG_I = 4
    VNET_I = 8
    PEER_I = -1

    # Name fragments of the subnets that hold the overlay's spoke gateway and its HA peer.
    zentrovaSpokeSubnetNames = ("zentrova-spoke-gw", "zentrova-spoke-hagw")

    @classmethod
    def isRouteTableUsedInVnet(cls, routeTable, vnet):
        """Whether the route table is associated with a subnet of the VNet (ids compared ignoring case)."""
        subnetPrefix = (vnet.id + "/subnets/").casefold()
        return any(subnet.id and subnet.id.casefold().startswith(subnetPrefix)
                   for subnet in routeTable.subnets or ())
