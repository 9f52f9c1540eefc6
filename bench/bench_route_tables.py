"""Route-table discovery and subnet re-association of SwitchTraffic against the
same logic in Python, on in-memory clients and the tool's own sibling modules.

Before timing, both sides run once with every host call traced (the client,
DiscoveryLib, Common, the case-insensitive helpers and mapping, the YAML
context, the Terraform writer, the log): the traces and the results must be
equal, so the C++ is measured doing exactly the host work the Python does.
"""
import logging

from requests.structures import CaseInsensitiveDict

import dm.arm.trafswap as trafswap
from bench.bench_discovery import PySwitchTraffic as PyDiscovery
from bench.models import Model as NS
from bench.run import Case
from dm.arm.cfgbase import Common
from dm.arm.discoverylib import DiscoveryLib
from dm.arm.res.CaseInsensitiveHelper import (case_insensitive_equal, case_insensitive_not_equal,
                                              case_insensitive_startswith)
from dm.arm.res.YamlContext import YamlContext
from dm.arm.trafswap import SwitchTraffic

# The module globals both renderings resolve at call time (see `bind_host`).
dl, common, tf, yctx = DiscoveryLib, Common, None, YamlContext
CIDict, ci_equal, ci_nequal, ci_startswith = (CaseInsensitiveDict, case_insensitive_equal,
                                              case_insensitive_not_equal, case_insensitive_startswith)
HOST_NAMES = ("dl", "common", "tf", "yctx", "CIDict", "ci_equal", "ci_nequal", "ci_startswith")


class PyRouteTables(PyDiscovery):
    DryRun = True

    @classmethod
    def isMainRtb(cls, vnet, rtb):
        rg = rtb.id.split("/")[dl.RG_I]
        vnetRg = vnet.id.split("/")[dl.RG_I]
        if rg != vnetRg:
            return False
        main_route_table_prefix = common.getMainTablePrefix(vnet.name)
        if main_route_table_prefix is None:
            main_route_table_prefix = vnet.name
        return rtb.name == f"{main_route_table_prefix}-main-1" or rtb.name == f"{main_route_table_prefix}-main-2"

    @classmethod
    def discoverRouteTable(cls, network_client, revert, vnet, rtb_target_rtb_map):
        logger = logging.getLogger("dm.arm.trafswap")
        rts = list(network_client.route_tables.list_all())
        rtbMap = CIDict({rt.name: rt for rt in rts})
        stagedUdrLst = []
        orgRouteTableInfo = CIDict()
        for s_rtb in rts:
            if PyRouteTables.isMainRtb(vnet, s_rtb):
                stagedUdrLst.append(f"{s_rtb.name}:{s_rtb.id.split('/')[dl.RG_I]}")
                continue
            if s_rtb.tags == None:  # noqa: E711 (an equality test, as the library makes it)
                continue
            if "vnet" not in s_rtb.tags or ci_nequal(s_rtb.tags["vnet"], vnet.name):
                continue
            tags = [value for key, value in s_rtb.tags.items() if ci_equal(key, "Org_RT")]
            if len(tags) == 0:
                continue
            orgRouteTableIdStr = tags[0]
            if not ci_startswith(orgRouteTableIdStr, "org_"):
                logger.warning("  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route table "
                               + str(s_rtb.id))
                continue
            orgRouteTableId = orgRouteTableIdStr[4:]
            if revert == False:  # noqa: E712
                if orgRouteTableId not in rtbMap or dl.isRouteTableUsedInVnet(rtbMap[orgRouteTableId], vnet) == False:  # noqa: E712,E501
                    continue
                rtb_target_rtb_map[orgRouteTableId] = s_rtb.name
            else:
                if dl.isRouteTableUsedInVnet(s_rtb, vnet) == False:  # noqa: E712
                    continue
                rtb_target_rtb_map[s_rtb.name] = orgRouteTableId
                if orgRouteTableId not in orgRouteTableInfo:
                    orgRouteTableInfo[orgRouteTableId] = rtbMap[orgRouteTableId]
            stagedUdrLst.append(f"{s_rtb.name}:{s_rtb.id.split('/')[dl.RG_I]}")
        return stagedUdrLst, orgRouteTableInfo

    @classmethod
    def updateSubnetAssociation(cls, yaml, revert, network_client, vnet, rtb_target_rtb_map, orgRouteTableInfo):
        # The forward run, which the benchmark measures (the revert branch is left out).
        logger = logging.getLogger("dm.arm.trafswap")
        logger.info("- Switch subnet to route-table association")
        rgName = vnet.id.split("/")[dl.RG_I]
        subnets = list(network_client.subnets.list(rgName, vnet.name))
        num = 0
        defaultRtbName = None
        defaultRtbObj = None
        if yaml["default_route_table"] != None:  # noqa: E711
            defaultRtbName = f"{vnet.name}-{yaml['default_route_table']}"
            try:
                defaultRtbObj = network_client.route_tables.get(rgName, defaultRtbName)
            except Exception as e:
                logger.info(f"  **Alert** {defaultRtbName} not found")
                logger.debug(f"  **Alert** {e}")
        subscriptionInfo = yaml["subscriptionInfo"]
        main_route_table_prefix = common.getMainTablePrefix(vnet.name)
        if main_route_table_prefix is None:
            main_route_table_prefix = vnet.name
        for subnet in subnets:
            if subnet.name in common.AZURE_SUBNET:
                logger.info(f"  found Azure {subnet.name} -- skipped ")
                continue
            if subnet.route_table == None or (defaultRtbName != None and  # noqa: E711
                                              subnet.route_table.id.split("/")[-1] == defaultRtbName):
                if any([subnet.name.find(x) != -1 for x in dl.zentrovaSpokeSubnetNames]) == True:  # noqa: E712
                    logger.info(f"  spoke gw subnet {subnet.name} -- skipped")
                    continue
                if yaml["migrate_non_associated_subnet"] is False:
                    logger.info(f"  subnet {subnet.name} without route table association -- skipped")
                    continue
                newRtbName = f"{main_route_table_prefix}-main-{num % 2 + 1}"
                iname = num % 2
                routeTableRef = f"module.{vnet.name}.azurerm_route_table_zentrova_managed_main[{iname}].id"
                num += 1
                try:
                    newRtbObj = network_client.route_tables.get(rgName, newRtbName)
                except Exception as e:
                    logger.error(f"  **Error** {e}")
                    return None
                logger.info(f"  associate {subnet.name} to {newRtbName}")
            else:
                if any([subnet.name.find(x) != -1 for x in dl.zentrovaSpokeSubnetNames]) == True:  # noqa: E712
                    logger.info(f"  spoke gw subnet {subnet.name} -- skipped")
                    continue
                rtbName = subnet.route_table.id.split("/")[-1]
                if rtbName not in rtb_target_rtb_map:
                    logger.warning(f"  **Alert** {subnet.name} associated to {rtbName} not copied -- skipped")
                    continue
                newRtbName = rtb_target_rtb_map[rtbName]
                if yctx().getGlobalContext("configure_shared_route_table_replication") > 0:
                    discoveryInfo = tf.readDiscoveryInfo()
                    if vnet.id in discoveryInfo["rtbSubnetGwGroupInfos"]:
                        for rec in discoveryInfo["rtbSubnetGwGroupInfos"][vnet.id][rtbName]:
                            if rec["subnetId"] == subnet.name:
                                newRtbName = rec["rtbName"]
                                break
                    else:
                        logger.error(f"  fail to reassociate {subnet.name} - no {vnet} info found in discovery.json")
                        continue
                newRtbObj = network_client.route_tables.get(rgName, newRtbName)
                logger.info(f"  switch {subnet.name} from {rtbName} to {newRtbName}")
                routeTableRef = f'module.{vnet.name}.azurerm_route_table_zentrova_managed["{newRtbName}"].id'
            resourceName = f"{vnet.name}_{subnet.name}_{newRtbObj.name}".replace(".", "_")
            subnetResourceName = f"{vnet.name}_{subnet.name}".replace(".", "_")
            if subnet.name not in yaml["subnet_in_subnet_groups"]:
                tf.createSubnetAssociationTf({
                    "vnet_name": vnet.name, "subnet_id": subnet.id,
                    "subnet_ref": f"azurerm_subnet.{subnetResourceName}.id", "route_table_id": newRtbObj.id,
                    "route_table_ref": routeTableRef, "rname": resourceName, "provider": subscriptionInfo["alias"]})
            subnet.route_table = newRtbObj
            if cls.DryRun:
                continue
            network_client.subnets.begin_create_or_update(rgName, vnet.name, subnet.name, subnet).result()
        cls.discoverSubnets(network_client, vnet)


def network_id(rg, *type_names):
    return "/subscriptions/s/resourceGroups/" + rg + "/providers/Microsoft.Network/" + "/".join(type_names)


def table(name, rg, tags=None, subnets=None):
    return NS(name=name, id=network_id(rg, "routeTables", name), tags=tags, subnets=subnets)


VNET = NS(name="spoke", id=network_id("rg-spoke", "virtualNetworks", "spoke"))


def refs(*names):
    return [NS(id=VNET.id + "/subnets/" + n) for n in names]


def subscription(total, copies):
    """`total` route tables over 100 resource groups: the VNet's two main tables,
    `copies` staged copies in the VNet's group (tagged, each original in use and
    the copy itself serving a subnet, as on a revert), their originals, and the
    rest tagged for other VNets, with unrelated tags, or untagged."""
    tables = [table("spoke-main-1", "rg-spoke"), table("spoke-main-2", "rg-spoke")]
    for i in range(copies):
        tables.append(table(f"rt-{i}", f"rg-{i % 100}", {"owner": "net"}, refs(f"s{i}")))
        tables.append(table(f"rt-{i}-copy", "rg-spoke", {"vnet": "Spoke", "Org_RT": f"org_rt-{i}"}, refs(f"s{i}")))
    for i in range(total - len(tables)):
        tags = ({"vnet": f"other-{i % 40}", "Org_RT": f"org_x-{i}"}, {"env": "prod"}, None)[i % 3]
        tables.append(table(f"t-{i}", f"rg-{i % 100}", tags))
    return tables


def subnets_of(n, tables):
    """`n` subnets: most on an original with a copy, a fifth without a table,
    some on the default table, on a table never copied, reserved or the overlay's."""
    originals = [t for t in tables if t.name.startswith("rt-") and not t.name.endswith("-copy")]
    default = table("spoke-default", "rg-spoke")
    subnets = []
    for i in range(n):
        kind = i % 10
        route_table = (None if kind in (0, 5) else default if kind == 7 else
                       table("never-copied", "rg-spoke") if kind == 9 else originals[i % len(originals)])
        name = ("GatewaySubnet" if i == 3 else "zentrova-spoke-gw" if i == 4 else f"sub.{i}")
        subnets.append(NS(name=name, id=VNET.id + "/subnets/" + name, route_table=route_table))
    return subnets, default


class Trace:
    """Records the host calls both renderings make, while `on`."""

    def __init__(self):
        self.on, self.calls = False, []

    def __call__(self, name, fn):
        def traced(*args):
            result = fn(*args)
            if self.on:
                self.calls.append((name, args, result))
            return result
        return traced


TRACE = Trace()


class ShortCIDict(CaseInsensitiveDict):
    """The helpers' mapping, shown short: the shared check shows the arguments of every
    host call, and a table map here holds thousands of entries."""

    def __repr__(self):
        return f"CaseInsensitiveDict of {len(self._store)}"


class TracedCIDict(CaseInsensitiveDict):
    def __contains__(self, key):
        return TRACE("CIDict.__contains__", super().__contains__)(key)

    def __getitem__(self, key):
        return TRACE("CIDict.__getitem__", super().__getitem__)(key)

    def __setitem__(self, key, value):
        TRACE("CIDict.__setitem__", super().__setitem__)(key, value)


class Writer:
    records = []

    @classmethod
    def createSubnetAssociationTf(cls, record):
        cls.records.append(record)


def bind_host(traced):
    """Binds the sibling objects in both modules: traced ones, or the plain ones."""
    t = TRACE if traced else (lambda name, fn: fn)
    get_global_context = t("getGlobalContext", YamlContext().getGlobalContext)
    values = {
        "dl": NS(RG_I=DiscoveryLib.RG_I, zentrovaSpokeSubnetNames=DiscoveryLib.zentrovaSpokeSubnetNames,
                 isRouteTableUsedInVnet=t("isRouteTableUsedInVnet", DiscoveryLib.isRouteTableUsedInVnet)),
        "common": NS(AZURE_SUBNET=Common.AZURE_SUBNET,
                     getMainTablePrefix=t("getMainTablePrefix", Common.getMainTablePrefix)),
        "tf": NS(createSubnetAssociationTf=t("createSubnetAssociationTf", Writer.createSubnetAssociationTf)),
        "yctx": lambda: NS(getGlobalContext=get_global_context),
        "CIDict": t("CIDict", TracedCIDict if traced else ShortCIDict),
        "ci_equal": t("ci_equal", case_insensitive_equal),
        "ci_nequal": t("ci_nequal", case_insensitive_not_equal),
        "ci_startswith": t("ci_startswith", case_insensitive_startswith),
    }
    for name in HOST_NAMES:
        setattr(trafswap, name, values[name])
        globals()[name] = values[name]


def client_of(tables, subnets):
    by_name = {(t.id.split("/")[4], t.name): t for t in tables}

    def get(rg, name):
        found = by_name.get((rg, name))
        if found is None:
            raise LookupError(f"{rg}/{name} not found")
        return found
    return NS(route_tables=NS(list_all=TRACE("list_all", lambda: list(tables)), get=TRACE("get", get)),
              subnets=NS(list=TRACE("subnets.list", lambda rg, name: list(subnets))))


def same_host_work(name, cpp, python):
    """Runs both sides traced, with the log captured; raises unless all is equal."""
    runs = []
    logger = logging.getLogger("dm.arm.trafswap")
    for side in (cpp, python):
        lines = []
        handler = logging.Handler()
        handler.emit = lambda record: lines.append((record.levelname, record.getMessage()))
        logger.addHandler(handler)
        bind_host(traced=True)
        TRACE.on, TRACE.calls = True, []
        try:
            result = side()
        finally:
            TRACE.on = False
            logger.removeHandler(handler)
            bind_host(traced=False)
        runs.append((result, TRACE.calls, lines))
    if runs[0] != runs[1]:
        raise SystemExit(f"{name}: the two renderings differ in their host calls, log or results")


def cases():
    logger = logging.getLogger("dm.arm.trafswap")
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    SwitchTraffic.DryRun = True
    bind_host(traced=False)

    def discovery(impl, tables, revert):
        client = client_of(tables, [])

        def run():
            target = {}
            staged, info = impl.discoverRouteTable(client, revert, VNET, target)
            return staged, {k: v.name for k, v in info.items()}, target
        return run

    def reassociation(impl, subnets, tables, default):
        client = client_of(tables + [default], subnets)
        target = {f"rt-{i}": f"rt-{i}-copy" for i in range(300)}
        yaml = {"default_route_table": "default", "subscriptionInfo": {"alias": "acct"},
                "migrate_non_associated_subnet": True, "subnet_in_subnet_groups": ["sub.11", "sub.12"]}
        before = [s.route_table for s in subnets]

        def run():
            for s, route_table in zip(subnets, before):
                s.route_table = route_table
            Writer.records.clear()
            impl.updateSubnetAssociation(yaml, False, client, VNET, target, {})
            return [s.route_table and s.route_table.name for s in subnets], list(Writer.records)
        return run

    # Sizes that keep the callgrind table quick (each side is counted over ten calls at least).
    tables = subscription(1000, 30)
    subnets, default = subnets_of(200, tables)
    pairs = [
        ("discoverRouteTable (1,000 tables, 30 copies)", discovery, (tables, False), 30),
        ("discoverRouteTable revert (1,000, 30)", discovery, (tables, True), 30),
        ("updateSubnetAssociation (200 subnets, dry-run)", reassociation, (subnets, tables, default), 30),
    ]
    built = []
    for name, make, args, number in pairs:
        cpp, python = make(SwitchTraffic, *args), make(PyRouteTables, *args)
        same_host_work(name, cpp, python)
        built.append(Case(name, cpp, python, number=number))
    main, other = tables[1], tables[2]  # spoke-main-2, and rt-0 of group rg-0
    for label, rtb in (("the VNet's second main table", main), ("a table of another group", other)):
        built.append(Case(f"isMainRtb ({label})", lambda rtb=rtb: SwitchTraffic.isMainRtb(VNET, rtb),
                          lambda rtb=rtb: PyRouteTables.isMainRtb(VNET, rtb), number=20000))
    return built
