"""The data the HTML report's page draws from: every VNet at each stage of the run, with its outcome and
its steps, in a compact form the page's script reads.

A value that can change between stages is a list of one value per stage, or of one value when it stays
the same throughout. Route tables are listed once and named by their position; peering flags are bits
in the order of `changes.FLAGS`. Every text stays text: the page sets it as the text of an element,
never as markup.
"""
import re

from dm.arm.cfgbase import Common

from . import changes, steprows

MAIN_TABLE = re.compile(r"-main-\d+$")
DONE = {"plan": "planned", "switch": "switched", "revert": "reverted", "rehearse": "switched and reverted"}
CHANGE_OUTCOMES = ("done", "planned", "undone")   # of a step's row that is a change
# The colour (class) of each outcome a run gives a VNet; one it does not know is shown as failed, with its text.
KINDS = {"done": "done", "rolled back": "rolledback", "refused": "refused", "failed": "failed",
         "skipped": "skipped", "": "unchanged", "outside": "outside"}


def build(command, stages, spokes, summary, runs, captured):
    """`stages`: (title, network, controller) triples; `runs`: (title, Summary) pairs; `captured`:
    {(run id, "<subscription>/<VNet>"): {step: [(level, text)]}}."""
    model = Model([network for _, network, _ in stages], DONE.get(command, "done"))
    for index, (_, network, controller) in enumerate(stages):
        for rid, state in network.items():
            if state.get("kind") == "vnet":
                model.vnet(rid, index, state, network, spoke_of(spokes.get(state["name"]), controller))
    for number, (title, run) in enumerate(runs):
        for key, v in run.vnets.items():
            rows, marks = steprows.vnet_rows("revert" if run.command == "revert" else "switch", v,
                                             captured.get((id(run), key), {}), run.dry_run)
            record = model.handled(v)
            record["rows"].append([number, rows])
            record["marks"].append([number, marks])
    for v in (summary.vnets.values() if summary is not None else ()):
        record = model.handled(v)
        record["outcome"], record["reason"] = v["outcome"], v.get("reason") or ""
    vnets = model.finish()
    return {"stages": [title for title, _, _ in stages],
            "runs": [title for title, _ in runs], "flags": [label for _, label in changes.FLAGS],
            "subscriptions": model.subscriptions, "tables": model.tables, "vnets": vnets, "edges": model.edges()}


def label(outcome, done):
    """An outcome as the page names it."""
    return {"done": done, "": "unchanged", "outside": "outside the configured subscriptions"}.get(outcome, outcome)


def per_stage(values):
    """One value per stage, or the one value when every stage has it."""
    return values[:1] if all(v == values[0] for v in values) else values


def natural(text):
    """Sorts spoke2 before spoke10."""
    return [int(part) if part.isdigit() else part.lower() for part in re.split(r"(\d+)", text)]


class Model:
    def __init__(self, networks, done):
        self.networks = networks
        self.done = done
        self.count = len(networks)
        self.subscriptions, self.tables, self.records = [], [], {}
        self.table_index, self.by_name = {}, {}

    def subscription(self, sub):
        if sub not in self.subscriptions:
            self.subscriptions.append(sub)
        return self.subscriptions.index(sub)

    def record(self, rid, name):
        """The VNet of this (lower-case) id, made when first met; a VNet no stage holds is drawn as outside."""
        found = self.records.get(rid)
        if found is None:
            parts = rid.split("/")
            found = self.records[rid] = {
                "rid": rid, "name": name or parts[-1], "sub": parts[2] if len(parts) > 2 else "",
                "group": parts[4] if len(parts) > 4 else "", "outcome": None, "reason": "",
                "stages": [None] * self.count, "rows": [], "marks": []}
            self.by_name[found["sub"], parts[-1]] = found
        return found

    def vnet(self, rid, index, state, network, spoke):
        record = self.record(rid, state["name"])
        record["name"] = state["name"]
        subnets = {name: [state.get("prefixes", {}).get(name, ""), self.table(table, network)]
                   for name, table in state["subnets"].items()}
        peerings = {name: [half["remote"], half["state"], sum(1 << bit for bit, (key, _) in
                                                               enumerate(changes.FLAGS) if half.get(key))]
                    for name, half in state["peerings"].items()}
        for remote, _, _ in peerings.values():
            self.record(remote, None)
        record["stages"][index] = {"space": state.get("address_space", []), "subnets": subnets,
                                   "peerings": peerings, "locks": state["locks"],
                                   "gateways": state.get("gateways", []), "spoke": spoke}

    def table(self, rid, network):
        """The position of a route table in the list; its marks per stage are filled as stages come."""
        if rid is None:
            return -1
        if rid not in self.table_index:
            self.table_index[rid] = len(self.tables)
            self.tables.append([rid.rsplit("/", 1)[-1], [""] * self.count])
        entry = self.tables[self.table_index[rid]]
        state = network.get(rid)
        if state is not None:
            entry[0] = state["name"]
            for index, held in enumerate(self.networks):
                if held is network:
                    entry[1][index] = ("m" if MAIN_TABLE.search(state["name"]) else "") + (
                        "s" if "Org_RT" in state["tags"] else "") + ("p" if state["disable_bgp_route_propagation"]
                                                                     else "")
        return self.table_index[rid]

    def handled(self, v):
        """The record of a VNet a run handled (a VNet the cloud did not show is added as one)."""
        found = self.by_name.get((v["subscription_id"].lower(), v["vnet"].lower()))
        return found or self.record(("/subscriptions/" + v["subscription_id"] + "/resourcegroups//providers/"
                                     "microsoft.network/virtualnetworks/" + v["vnet"]).lower(), v["vnet"])

    def finish(self):
        """The VNets in order (by subscription, then name), each with its position for the edges."""
        ordered = sorted(self.records.values(), key=lambda r: (natural(r["sub"]), natural(r["name"])))
        for index, record in enumerate(ordered):
            record["index"] = index
        self.order = ordered
        for table in self.tables:
            table[1] = per_stage(table[1])
        return [self.shown(record) for record in ordered]

    def shown(self, record):
        known = [s for s in record["stages"] if s is not None]
        subnets = []
        for state in known:
            subnets += [name for name in state["subnets"] if name not in subnets]
        peerings = []
        for state in known:
            peerings += [name for name in state["peerings"] if name not in peerings]

        def each(get):
            return per_stage([get(s) if s is not None else None for s in record["stages"]])
        hub = any(s["gateways"] or any(p[2] & 4 for p in s["peerings"].values()) for s in known)
        outcome = record["outcome"] if record["outcome"] is not None else "" if known else "outside"
        return {"name": record["name"], "sub": self.subscription(record["sub"]), "group": record["group"],
                "outcome": outcome, "kind": KINDS.get(outcome, "failed"), "label": label(outcome, self.done),
                "reason": record["reason"], "hub": hub,
                "space": each(lambda s: s["space"]), "locks": each(lambda s: s["locks"]),
                "gateways": each(lambda s: s["gateways"]), "spoke": each(lambda s: s["spoke"]),
                "subnets": [[name, next((s["subnets"][name][0] for s in reversed(known) if name in s["subnets"]), ""),
                             each(lambda s: s["subnets"][name][1] if name in s["subnets"] else -2)]
                            for name in subnets],
                "peerings": [[name, self.records[next(s["peerings"][name][0] for s in known
                                                      if name in s["peerings"])]["index"],
                              each(lambda s: s["peerings"][name][1:] if name in s["peerings"] else 0)]
                             for name in peerings],
                "rows": record["rows"], "marks": record["marks"],
                "changes": sum(row[2] in CHANGE_OUTCOMES for _, rows in record["rows"] for row in rows)}

    def edges(self):
        """Each pair of peered VNets with its status per stage: "k" kept, "c" changed, "x" removed,
        "r" restored (or new), "-" absent."""
        pairs = {}
        for record in self.order:
            for index, state in enumerate(record["stages"]):
                for name, (remote, *half) in (state["peerings"] if state else {}).items():
                    other = self.records[remote]["index"]
                    key = tuple(sorted((record["index"], other)))
                    pairs.setdefault(key, [[] for _ in range(self.count)])[index].append((name, half))
        found = []
        for (a, b), halves in sorted(pairs.items()):
            codes = "k" if halves[0] else "-"
            for before, now in zip(halves, halves[1:]):
                codes += ("-" if not before else "x") if not now else "r" if not before else (
                    "c" if sorted(before) != sorted(now) else "k")
            found.append([a, b, codes])
        return found


def spoke_of(gateway, controller):
    """The VNet's spoke gateway on the controller: [name, SNAT mode, [domains]], where known."""
    if gateway is None or controller is None or gateway not in controller["gateways"]:
        return None
    return [gateway, (controller["gateways"].get(gateway) or {}).get("snat_mode"),
            sorted(d for d, members in controller["domains"].items() if gateway in members)]


def spoke_gateways(document):
    """Each configured VNet's spoke gateway name, as the controller knows it."""
    found = {}
    for account in document.get("account_info") or ():
        for entry in (account.get("vnets") or ()) if isinstance(account, dict) else ():
            name = entry.get("vnet_name") if isinstance(entry, dict) else None
            if isinstance(name, str):
                found[name] = Common.getSpokeGatewayName({name: entry}, name, Common.VPC_NAME_MAX_LENGTH)
    return found
