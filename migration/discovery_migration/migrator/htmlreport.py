"""The HTML report (--html FILE): the network drawn at each stage of the run, what changed, and the summary.

One self-contained page (styles and SVG diagrams inline) built from what the
run holds anyway: snapshots of the network (and of the local controller) at
each stage, the Summary with each VNet's changes, and the warning, error and
"skipped" log lines, filed per run, VNet and step as they are logged. Every
text is escaped by the template engine; the diagrams are laid out by Graphviz.
"""
import logging
import pathlib
import re

import jinja2

from dm.arm.cfgbase import Common

from . import changes, diagram, steps
from .records import write_atomically

TEMPLATES = jinja2.Environment(loader=jinja2.FileSystemLoader(pathlib.Path(__file__).parent / "templates"),
                               autoescape=True, undefined=jinja2.StrictUndefined, trim_blocks=True,
                               lstrip_blocks=True)
MAIN_TABLE = re.compile(r"-main-\d+$")
STEPS = (steps.ROUTE_TABLES,) + steps.REVERT_ORDER


class LogCapture(logging.Handler):
    """Keeps the warning and error lines, and those telling of a skip, under the position they were logged at."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = {}

    def emit(self, record):
        where = steps.position
        if where.vnet is None:
            return
        message = record.getMessage()
        if record.levelno >= logging.WARNING or "skipped" in message:
            self.lines.setdefault((id(where.run), where.vnet, where.step), []).append(
                (record.levelname.lower(), message.strip()))


class Report:
    """Collects the stages of one run and writes the page at its end."""

    def __init__(self, path, command, env, document, state_file=None):
        self.path = pathlib.Path(path)
        self.command = command
        self.state_file = state_file
        self.env = env
        self.spokes = spoke_gateways(document)
        self.stages = []
        self.capture = LogCapture()
        logging.getLogger("dm").addHandler(self.capture)

    @classmethod
    def start(cls, args, command, env, document):
        """The report of the run when --html asks for one, else None."""
        if not getattr(args, "html", None):
            return None
        return cls(args.html, command, env, document, getattr(args, "save_state", None))

    def stage(self, title, network):
        """Notes the network (and the local controller's state, when there is one) as it is now."""
        network = dict(network)
        controller = network.pop("controller", None)
        if controller is None and self.env is not None and self.env.local_controller is not None:
            from . import localcontroller
            controller = localcontroller.state(self.env.local_controller)
        self.stages.append((title, network, controller))

    def write(self, summary=None, log_file=None, records_file=None, runs=None):
        """Writes the page; `runs` are (title, Summary) pairs whose changes make the change tables."""
        logging.getLogger("dm").removeHandler(self.capture)
        if runs is None:
            runs = [(summary.command, summary)] if summary is not None else []
        drawn = draw_stages(self.stages, self.spokes)
        page = TEMPLATES.get_template("report.html.j2").render(
            command=self.command, summary=summary, totals=summary.totals() if summary is not None else None,
            log_file=log_file, records_file=records_file, state_file=self.state_file, stages=drawn,
            graphviz_missing=any(view["missing"] for _, views in drawn for view in views),
            max_vnets=diagram.MAX_VNETS,
            changes=[(title, change_rows(run, self.capture.lines)) for title, run in runs])
        write_atomically(self.path, page)
        logging.getLogger("dm.migrate").info("  HTML report: %s", self.path)


def spoke_gateways(document):
    """Each configured VNet's spoke gateway name, as the controller knows it."""
    found = {}
    for account in document.get("account_info") or ():
        for entry in (account.get("vnets") or ()) if isinstance(account, dict) else ():
            name = entry.get("vnet_name") if isinstance(entry, dict) else None
            if isinstance(name, str):
                found[name] = Common.getSpokeGatewayName({name: entry}, name, Common.VPC_NAME_MAX_LENGTH)
    return found


# ---------------------------------------------------------------- the network at each stage

def draw_stages(stages, spokes):
    drawn, previous = [], None
    for title, network, controller in stages:
        views = subscription_views(network, controller, previous, spokes)
        for view in views:
            view.update(diagram.render(view, TEMPLATES))
        drawn.append((title, views))
        previous = (network, controller)
    return drawn


def subscription_views(network, controller, previous, spokes):
    """Per subscription: its resource groups with their VNets, and the peerings as edges, each marked
    with what changed since the `previous` stage (None for the first)."""
    old_network, old_controller = previous or (network, controller)
    ids = {rid: "v" + str(i) for i, rid in enumerate(sorted(set(network) | set(old_network)))}
    views = {}
    for rid, state in sorted(network.items()):
        if state.get("kind") != "vnet":
            continue
        sub, group = rid.split("/")[2], rid.split("/")[4]
        view = views.setdefault(sub, {"subscription": sub, "groups": {}, "edges": {}, "external": {}, "vnets": 0})
        view["vnets"] += 1
        old = old_network.get(rid, state)
        view["groups"].setdefault(group, []).append(
            vnet_view(ids[rid], state, old, network, old_network, spoke_view(spokes.get(state["name"]), controller,
                                                                             old_controller)))
        for name in set(state["peerings"]) | set(old["peerings"]):
            peering(view, ids, rid, name, state, old, network, old_network)
    for view in views.values():
        view["groups"] = sorted(view["groups"].items())
        view["edges"] = sorted(view["edges"].values(), key=lambda e: (e["a"], e["b"]))
        view["external"] = sorted(view["external"].values(), key=lambda x: x["id"])
    return [views[sub] for sub in sorted(views)]


def vnet_view(node, state, old, network, old_network, spoke):
    subnets = []
    for name, table in sorted(state["subnets"].items()):
        row = {"name": name, "prefix": state.get("prefixes", {}).get(name, ""), **table_view(network.get(table), table)}
        was = old["subnets"].get(name, table)
        row["moved_from"] = table_view(old_network.get(was), was)["table"] if was != table else None
        now, then = network.get(table), old_network.get(table)
        row["propagation_changed"] = now is not None and then is not None and (
            now["disable_bgp_route_propagation"] != then["disable_bgp_route_propagation"])
        subnets.append(row)
    removed, added = sorted(set(old["locks"]) - set(state["locks"])), sorted(set(state["locks"]) - set(old["locks"]))
    return {"id": node, "name": state["name"], "address_space": state.get("address_space", []),
            "subnets": subnets, "gateways": state.get("gateways", []), "locks": state["locks"],
            "locks_removed": removed, "locks_added": added, "spoke": spoke,
            "changed": any(r["moved_from"] or r["propagation_changed"] for r in subnets) or bool(removed or added)
            or bool(spoke and spoke["changed"])}


def table_view(table, table_id):
    """The route table a subnet uses: its name and its marks (main table, staged copy, propagation off)."""
    if table_id is None:
        return {"table": "no route table", "marks": []}
    if table is None:
        return {"table": table_id.rsplit("/", 1)[-1], "marks": []}
    marks = (["main table"] if MAIN_TABLE.search(table["name"]) else []) + (
        ["staged copy"] if "Org_RT" in table["tags"] else []) + (
        ["propagation off"] if table["disable_bgp_route_propagation"] else [])
    return {"table": table["name"], "marks": marks}


def spoke_view(gateway, controller, old_controller):
    """The VNet's spoke gateway on the controller: its SNAT mode and security domains, where known."""
    if gateway is None or controller is None or gateway not in controller["gateways"]:
        return None

    def of(state):
        return ((state["gateways"].get(gateway) or {}).get("snat_mode"),
                sorted(d for d, members in state["domains"].items() if gateway in members))
    snat, domains = of(controller)
    return {"gateway": gateway, "snat": snat, "domains": domains,
            "changed": old_controller is not None and of(old_controller) != (snat, domains)}


def peering(view, ids, rid, name, state, old, network, old_network):
    """Adds one half of a peering to the edge between its two VNets. A VNet of another subscription is drawn
    as an outside node, and its own half of the peering comes along."""
    half = state["peerings"].get(name) or old["peerings"][name]
    remote = half["remote"]
    if remote in network and remote.split("/")[2] == rid.split("/")[2]:
        other = ids[remote]
    else:
        outside = view["external"].setdefault(remote, {
            "id": "x" + str(len(view["external"])), "name": remote.rsplit("/", 1)[-1],
            "subscription": remote.split("/")[2] if remote.count("/") > 2 else "", "halves": set()})
        other = outside["id"]
        there, then = network.get(remote) or {"peerings": {}}, old_network.get(remote) or {"peerings": {}}
        for back in set(there["peerings"]) | set(then["peerings"]):
            now_back, then_back = there["peerings"].get(back), then["peerings"].get(back)
            if back not in outside["halves"] and (now_back or then_back)["remote"] == rid:
                outside["halves"].add(back)
                add_half(view, ids[rid], other, back, outside["name"], now_back, then_back)
    add_half(view, ids[rid], other, name, state["name"], state["peerings"].get(name), old["peerings"].get(name))


def add_half(view, one, other, name, vnet_name, now, then):
    a, b = sorted([one, other])
    edge = view["edges"].setdefault((a, b), {"a": a, "b": b, "halves": [], "status": "kept"})
    status = "removed" if now is None else "restored" if then is None else "changed" if now != then else "kept"
    edge["halves"].append({"name": name, "vnet": vnet_name, "state": (now or then)["state"], "status": status,
                           "flags": changes.flags(now or then)})
    edge["halves"].sort(key=lambda h: h["name"])
    if status != "kept":
        edge["status"] = status


# ---------------------------------------------------------------- the change table

def change_rows(run, captured):
    """Every change of the run's VNets with its step and outcome; the failure or skip of a VNet, and the
    warning, error and skip lines of each step beside the step they belong to."""
    outcome_of_change = "planned" if run.dry_run else "done"
    rows = []
    for key, v in run.vnets.items():
        lines = {step: found for (owner, vnet, step), found in captured.items() if owner == id(run) and vnet == key}
        command = "revert" if run.command == "revert" else "switch"
        shown = set()
        for step, text in changes.lines(command, v["changes"], False):
            rows.append(row(v, step, text, outcome_of_change, lines.get(step) if step not in shown else None))
            shown.add(step)
        failed_step = failing_step(v) if v["outcome"] in ("failed", "rolled back") else None
        for step, found in lines.items():
            if step not in shown and step != failed_step:
                rows.append(row(v, step, "no change", worst(found), found))
        if v["outcome"] != "done":
            rows.append(row(v, failed_step or "", v.get("reason") or v["outcome"], v["outcome"],
                            lines.get(failed_step) if failed_step not in shown else None))
    return rows


def failing_step(vnet):
    """The first step the reason of a VNet's failure names ("subnets: ...", "errors in subnets (2 error
    lines)", "revert of peerings failed"), or None."""
    reason = vnet.get("reason", "")
    named = [(found.start(), step) for step in STEPS for found in [re.search(r"\b" + step + r"\b", reason)] if found]
    return min(named)[1] if named else None


def worst(lines):
    """What a step without a change met: an error, a warning, or only skips."""
    levels = {level for level, _ in lines}
    return "error" if levels & {"error", "critical"} else "warning" if "warning" in levels else "skipped"


def row(vnet, step, text, outcome, lines):
    return {"subscription": vnet["subscription_id"], "vnet": vnet["vnet"], "step": step or "", "change": text,
            "outcome": outcome, "lines": lines or []}
