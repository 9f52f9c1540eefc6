"""Gateway naming of SwitchTraffic against the same logic in Python."""
from bench.run import Case
from dm.arm.trafswap import SwitchTraffic


class PySwitchTraffic:
    region = dict(SwitchTraffic.region)
    DryRun = False

    @classmethod
    def setDryRun(cls):
        cls.DryRun = True

    @classmethod
    def deduceGwName(cls, vpcAid2GwNameMap, vpcId, vpcName, accountId):
        vpcAid = str(vpcId) + "-" + str(accountId)
        if vpcAid in vpcAid2GwNameMap:
            return vpcAid2GwNameMap[vpcAid]
        return str(vpcName) + "-" + str(accountId) + "-gw"

    @classmethod
    def deduceGwNameWithSubnetCidr(cls, regionId, cidr):
        ip = cidr.split("/")[0]
        octal = ip.split(".")
        hexs = "".join(format(int(octal[i]), "02x") for i in range(4))
        return "azu-" + cls.region[regionId] + "-" + hexs + "-gw"

    @classmethod
    def deduceTransitNameWithRegion(cls, regionId):
        return "azu-" + cls.region[regionId] + "-transit-gw"


class Dry(SwitchTraffic):
    """setDryRun sets the switch of the class it is called on: this one, not the shared one."""


class PyDry(PySwitchTraffic):
    pass


def cases():
    gw_map = {f"vnet{i}-acct{i % 7}": f"gw{i}" for i in range(1000)}
    out = []
    for impl_name, impl in (("hit", "vnet10"), ("miss", "vnet-x")):
        out.append(Case(f"deduceGwName ({impl_name})",
                        lambda v=impl: SwitchTraffic.deduceGwName(gw_map, v, "spoke-a", "acct3"),
                        lambda v=impl: PySwitchTraffic.deduceGwName(gw_map, v, "spoke-a", "acct3")))
    out.append(Case("deduceGwNameWithSubnetCidr",
                    lambda: SwitchTraffic.deduceGwNameWithSubnetCidr("westus2", "172.16.5.0/26"),
                    lambda: PySwitchTraffic.deduceGwNameWithSubnetCidr("westus2", "172.16.5.0/26")))
    out.append(Case("deduceTransitNameWithRegion",
                    lambda: SwitchTraffic.deduceTransitNameWithRegion("northeurope"),
                    lambda: PySwitchTraffic.deduceTransitNameWithRegion("northeurope")))
    # On the class itself, as a caller sets the switch (no other case here reads
    # it), and on a subclass, whose binding is made at each call.
    out.append(Case("setDryRun (on the class)", lambda: SwitchTraffic.setDryRun(),
                    lambda: PySwitchTraffic.setDryRun()))
    out.append(Case("setDryRun (on a subclass)", lambda: Dry.setDryRun(), lambda: PyDry.setDryRun()))
    return out
