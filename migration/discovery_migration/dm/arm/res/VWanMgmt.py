"""Virtual-WAN hub recognition."""


class VWanMgmt:
    HUB_VNET_PREFIX = "HV_"

    @classmethod
    def getVHubNameFromPeering(cls, remoteVnetId):
        """The hub name when a peering's remote VNet is a virtual-WAN hub, else None.

        Azure peers a spoke with a hub through the hub's managed VNet, named
        "HV_<hub name>_<suffix>" (the prefix in any letter case); the hub name
        is the text between the prefix and the last "_". A name with no suffix
        is taken whole.
        """
        if not remoteVnetId:
            return None
        vnetName = remoteVnetId.rstrip("/").rsplit("/", 1)[-1]
        if vnetName[:len(cls.HUB_VNET_PREFIX)].upper() != cls.HUB_VNET_PREFIX:
            return None
        rest = vnetName[len(cls.HUB_VNET_PREFIX):]
        hubName = rest.rsplit("_", 1)[0] if "_" in rest else rest
        return hubName or None
