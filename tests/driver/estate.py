"""An estate as users have them, for the benchmark of the whole run and for tests at a small size.

One hub VNet per subscription, holding a VPN gateway and a lock, the hubs peered
in a ring across subscriptions; spokes of 3 to 5 subnets, each peered with its
subscription's hub (the hub's half allows gateway transit, the spoke's uses the
remote gateways), every fifth spoke also with the next spoke, which sits in the
next subscription. A spoke's first subnet is on one of its subscription's shared
route tables, the next two on tables of its own, the rest on none; each table in
use has a staged copy tagged for the spoke, and each spoke has its two main
tables. The configuration switches every spoke; the hubs stay as they are.
"""
import pathlib

import yaml

SAMPLE_CONFIG = (pathlib.Path(__file__).resolve().parents[2] / "migration" / "discovery_migration"
                 / "samples" / "migration.yaml")
SHARED_TABLES = 3


def subscription_id(index):
    return "eeeeeeee-0000-4000-8000-%012d" % index


def spokes_of(vnets, subscriptions):
    """(spoke index, subscription index) of every spoke: the VNets beyond the hubs, dealt round the subscriptions."""
    return [(i, i % subscriptions) for i in range(max(0, vnets - subscriptions))]


def topology(vnets, subscriptions):
    subs = {subscription_id(s): {} for s in range(subscriptions)}
    for s in range(subscriptions):
        sub = subs[subscription_id(s)]
        ring = {"hub%d-to-hub%d" % (s, t): {"remote": "%s/rg-hub%d/hub%d" % (subscription_id(t), t, t),
                                            "allow_forwarded_traffic": True}
                for t in {(s + 1) % subscriptions, (s - 1) % subscriptions} - {s}}
        sub["rg-hub%d" % s] = {"vnets": {"hub%d" % s: {
            "address_space": ["10.%d.0.0/16" % (200 + s)],
            "subnets": {"GatewaySubnet": "10.%d.0.0/27" % (200 + s), "shared": "10.%d.1.0/24" % (200 + s)},
            "gateways": {"hub%d-vpn" % s: "Vpn"}, "locks": {"hub%d-lock" % s: "CanNotDelete"}, "peerings": ring}}}
        sub["rg-shared%d" % s] = {"route_tables": {"rt-shared%d-%d" % (s, k): {} for k in range(SHARED_TABLES)}}
    spokes = spokes_of(vnets, subscriptions)
    for i, s in spokes:
        sub, name = subs[subscription_id(s)], "spoke%d" % i
        hub = sub["rg-hub%d" % s]["vnets"]["hub%d" % s]
        hub["peerings"]["hub%d-to-%s" % (s, name)] = {"remote": "rg-%s/%s" % (name, name), "allow_gateway_transit": True}
        peerings = {name + "-to-hub": {"remote": "rg-hub%d/hub%d" % (s, s), "use_remote_gateways": True}}
        tables = {name + "-main-1": {}, name + "-main-2": {}}
        subnets = {}
        for j in range(3 + i % 3):
            prefix = "10.%d.%d.%d/27" % (i // 256, i % 256, 32 * j)
            if j == 0:
                shared = "rt-shared%d-%d" % (s, i % SHARED_TABLES)
                subnets["s0"] = {"prefix": prefix, "route_table": "rg-shared%d/%s" % (s, shared)}
                tables["%s-%s" % (shared, name)] = staged_copy(name, shared)
            elif j < 3:
                own = "rt-%s-%d" % (name, j)
                tables[own] = {"routes": {"default": {"prefix": "0.0.0.0/0", "next_hop_ip": "10.%d.1.4" % (200 + s)}}}
                tables[own + "-zentrova"] = staged_copy(name, own)
                subnets["s%d" % j] = {"prefix": prefix, "route_table": own}
            else:
                subnets["s%d" % j] = prefix
        sub["rg-" + name] = {"route_tables": tables, "vnets": {name: {
            "address_space": ["10.%d.%d.0/24" % (i // 256, i % 256)], "subnets": subnets, "peerings": peerings}}}
    for i, s in spokes:
        if i % 5 == 0 and i + 1 < len(spokes):
            j, t = spokes[i + 1]
            here = subs[subscription_id(s)]["rg-spoke%d" % i]["vnets"]["spoke%d" % i]
            there = subs[subscription_id(t)]["rg-spoke%d" % j]["vnets"]["spoke%d" % j]
            here["peerings"]["spoke%d-to-spoke%d" % (i, j)] = {"remote": "%s/rg-spoke%d/spoke%d" % (subscription_id(t), j, j)}
            there["peerings"]["spoke%d-to-spoke%d" % (j, i)] = {"remote": "%s/rg-spoke%d/spoke%d" % (subscription_id(s), i, i)}
    return {"location": "eastus", "subscriptions": subs}


def staged_copy(vnet, original):
    return {"tags": {"vnet": vnet, "Org_RT": "org_" + original}}


def configuration(vnets, subscriptions):
    """The migration configuration that switches every spoke (and names the hubs' subscriptions)."""
    document = yaml.safe_load(SAMPLE_CONFIG.read_text())
    entry = dict(document["account_info"][0]["vnets"][1], subnet_groups=None, allow_vnet_cidrs=["10.0.0.0/8"],
                 spoke_gw_name=None, domain=None)
    document["config"]["configure_shared_route_table_replication"] = 0
    document["switch_traffic"].update(delete_peering="all", transit_peerings=None)
    template = document["account_info"][0]
    by_sub = {s: [] for s in range(subscriptions)}
    for i, s in spokes_of(vnets, subscriptions):
        by_sub[s].append(dict(entry, vnet_name="spoke%d" % i))
    document["account_info"] = [dict(template, subscription_id=subscription_id(s), account_name="estate%d" % s,
                                     vnets=by_sub[s]) for s in range(subscriptions)]
    del document["azure_cred"]["hub-app"]
    return document


def write(folder, vnets, subscriptions):
    """Writes topology.yaml and migration.yaml into the folder; returns their paths."""
    folder = pathlib.Path(folder)
    paths = folder / "topology.yaml", folder / "migration.yaml"
    paths[0].write_text(yaml.safe_dump(topology(vnets, subscriptions)))
    paths[1].write_text(yaml.safe_dump(configuration(vnets, subscriptions)))
    return paths
