"""The switch of one VNet and its revert, step by step.

Each step is one call of the libraries. Before a step that returns records
runs, the same call is made under dry-run (nothing is sent, its log lines are
held back) and what it would record is saved as the step's plan; then the step
runs and its records are saved before the next step starts. A step cut short
(an error, Ctrl-C, a kill) is undone from its plan, so no record is ever lost.
A revert undoes the steps that ran, newest concern first.
"""
import argparse
import contextlib
import logging
import threading
import types

from dm.arm.cfgbase import Common
from dm.arm.res.Globals import Globals
from dm.arm.trafswap import SwitchTraffic

from . import locks
from .errors import StepError, text_of

logger = logging.getLogger("dm.migrate")

FORWARD = argparse.Namespace(revert=False)   # what the propagation switch reads of the driver's arguments

# Step names in the order a switch runs them, and the order a revert undoes them.
ROUTE_TABLES, PROPAGATION, SUBNETS, PEERINGS, GATEWAY_USE, SNAT, DOMAIN = (
    "route_tables", "propagation", "subnets", "peerings", "gateway_use", "snat", "domain")
REVERT_ORDER = (SUBNETS, PROPAGATION, PEERINGS, GATEWAY_USE, DOMAIN, SNAT)

stop_requested = threading.Event()   # set by the first Ctrl-C: no step starts after it

# Where the run is (the run's summary, "<subscription>/<VNet>", the step): the HTML report files log lines under it.
position = types.SimpleNamespace(run=None, vnet=None, step=None)


class Stopped(KeyboardInterrupt):
    """The run stopped between two steps because the user asked it to."""


class VnetRun:
    """What the steps of one VNet share: its subscription, clients, options and model."""

    def __init__(self, context, subscription_id, credential, network, vnet, options):
        self.context = context
        self.subscription_id = subscription_id
        self.credential = credential
        self.network = network
        self.vnet = vnet
        self.options = options
        self.resource_group = vnet.id.split("/")[Common.RG_I]

    @property
    def name(self):
        return self.vnet.name

    def refresh(self):
        """Reads the VNet again: a step after the peering removal must not see deleted peerings."""
        self.vnet = self.network.virtual_networks.get(self.resource_group, self.vnet.name)


# ---------------------------------------------------------------- switch

def switch(run, records, entry, changes):
    """Runs the switch steps of one VNet; `changes` collects what the report shows."""
    changes["gateways"] = gateways(run)
    rtb_map = {}
    staged, original = step(records, entry, ROUTE_TABLES, lambda: discover_route_tables(run, rtb_map))
    changes["staged"] = staged
    if run.options["manage_propagate_gateway_routes"]:
        changes["propagation"] = planned_step(records, entry, PROPAGATION, lambda: SwitchTraffic.
                                              setDisableAllRouteTablePropagationInVnet(
                                                  FORWARD, run.network, run.vnet, staged, rtb_map, True))
    before = {}

    def plan_subnets():
        before.update(associations(run))
        return before
    changes["subnets"] = step(records, entry, SUBNETS, lambda: both(move_subnets(run, False, rtb_map, original,
                                                                                 before)), plan=plan_subnets)
    peering = {}

    def plan_peerings():
        peering.update(rehearsed(lambda: peering_plan(run)))
        return peering
    changes["peerings"] = step(records, entry, PEERINGS, lambda: both(delete_peerings(run, peering["locks"])),
                               plan=plan_peerings)
    run.refresh()
    if SwitchTraffic.DryRun:      # a plan: the peerings the deletion would remove are not there for the next step
        removed = {pair["localPeeringName"] for pair in changes["peerings"]["pairs"]}
        run.vnet.virtual_network_peerings = [p for p in run.vnet.virtual_network_peerings or ()
                                             if p.name not in removed]
    changes["gateway_use"] = planned_step(records, entry, GATEWAY_USE, lambda: SwitchTraffic.
                                          disableUseRemoteGwInPeering(run.subscription_id, run.network, run.vnet,
                                                                      run.context.controller_peering_prefix))
    changes["snat"] = step(records, entry, SNAT, lambda: both(snat(run, True)))
    changes["domain"] = step(records, entry, DOMAIN, lambda: both(attach(run, True)))


def both(result):
    """A step whose records are its result."""
    return result, result


def gateways(run):
    """Whether the VNet holds a VPN or an ExpressRoute gateway (reported, not changed)."""
    return {"vpn": SwitchTraffic.isVnetWithVng(run.credential, run.vnet, SwitchTraffic.VPN),
            "expressroute": SwitchTraffic.isVnetWithVng(run.credential, run.vnet, SwitchTraffic.ER)}


def discover_route_tables(run, rtb_map, revert=False):
    staged, original = SwitchTraffic.discoverRouteTable(run.network, revert, run.vnet, rtb_map)
    return (staged, original), {"staged": list(staged), "map": dict(rtb_map)}


def step(records, entry, name, body, plan=None):
    """Runs one step between its two saves; a failing step is saved as failed and ends the VNet's switch.

    `body` returns (what the next steps need, the records to save); `plan`, when callable, gives what
    the step is about to change (a plan that cannot be made stops the switch before the step starts).
    """
    if stop_requested.is_set():
        raise Stopped("stopped before " + name)
    position.step = name
    if callable(plan):
        try:
            plan = plan()
        except Exception as error:
            raise StepError(name, "cannot tell what it would change: " + text_of(error)) from error
    started = records.start(entry, name, plan)
    with library_errors() as errors:
        try:
            result, saved = body()
        except Exception as error:
            records.finish(started, status="failed", error=text_of(error))
            raise StepError(name, text_of(error)) from error
    records.finish(started, saved, errors=errors.count)
    return result


def planned_step(records, entry, name, call):
    """A step whose records the revert needs: the same call under dry-run gives its plan first."""
    return step(records, entry, name, lambda: both(call()), plan=lambda: rehearsed(call))


def rehearsed(call):
    """What `call` returns under dry-run, without its log lines (the real call logs them)."""
    was = SwitchTraffic.DryRun
    library = logging.getLogger("dm.arm.trafswap")
    SwitchTraffic.DryRun, library.disabled = True, True
    try:
        return call()
    finally:
        SwitchTraffic.DryRun, library.disabled = was, False


class ErrorCount(logging.Handler):
    """Counts the error lines the libraries log while a step runs: their
    guarded failures do not raise, but the step is then not clean."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.count = 0

    def emit(self, record):
        self.count += 1


@contextlib.contextmanager
def library_errors():
    counter = ErrorCount()
    library = logging.getLogger("dm.arm")
    library.addHandler(counter)
    try:
        yield counter
    finally:
        library.removeHandler(counter)


def associations(run):
    """Each subnet's route table id (None for no table), as the cloud holds it now."""
    return {subnet.name: subnet.route_table.id if subnet.route_table is not None else None
            for subnet in run.network.subnets.list(run.resource_group, run.vnet.name)}


class RecordingNetwork:
    """The network client, keeping the subnet models a re-association lists, so that
    the driver sees the table each one was given (also under dry-run)."""

    def __init__(self, network):
        self._network = network
        self.subnets_listed = []
        self.subnets = self

    def __getattr__(self, name):
        return getattr(self._network, name)

    def list(self, *args):
        listed = list(self._network.subnets.list(*args))
        self.subnets_listed.extend(listed)
        return listed

    def get(self, *args):
        return self._network.subnets.get(*args)

    def begin_create_or_update(self, *args):
        return self._network.subnets.begin_create_or_update(*args)


def move_subnets(run, revert, rtb_map, original, before=None):
    """Re-associates the VNet's subnets; the result maps each moved subnet to [old table, new table]."""
    if before is None:
        before = associations(run)
    recording = RecordingNetwork(run.network)
    SwitchTraffic.updateSubnetAssociation(run.options, revert, recording, run.vnet, rtb_map, original)
    moved = {}
    for subnet in recording.subnets_listed:
        if subnet.name in moved or subnet.name not in before:
            continue
        table = subnet.route_table.id if subnet.route_table is not None else None
        if (table or "").lower() != (before[subnet.name] or "").lower():
            moved[subnet.name] = [before[subnet.name], table]
    return moved


def peering_options(run):
    return {"delete_peering": run.context.delete_peering,
            "delete_vnet_lock": Common.getSWDeleteVnetLock(run.context.document)}


def peering_plan(run):
    """Under dry-run: the peerings the deletion will record, and the first lock of each remote VNet,
    which the deletion removes when the configuration says so."""
    options = peering_options(run)
    pairs = SwitchTraffic.deletePeerings(options, run.subscription_id, run.vnet, run.network,
                                         run.context.controller_peering_prefix)
    return {"pairs": pairs, "locks": locks.of_remote_vnets(pairs) if options["delete_vnet_lock"] == True else []}


def delete_peerings(run, held_locks):
    """Records and deletes the VNet's peerings; the locks noted beforehand go with the records."""
    pairs = SwitchTraffic.deletePeerings(peering_options(run), run.subscription_id, run.vnet, run.network,
                                         run.context.controller_peering_prefix)
    return {"pairs": pairs, "locks": held_locks}


def snat(run, enable):
    """Single-IP SNAT on the VNet's spoke gateway (switch), or SNAT off again (revert)."""
    controller, gw = run.context.controller, run.options["spoke_gw_name"]
    if enable:
        SwitchTraffic.enableSingleIPSnat(controller.url, controller.cid, gw)
    else:
        SwitchTraffic.disableSnat(controller.url, controller.cid, gw)
    return {"gateway": gw}


def attach(run, attach_it):
    """Attaches (or detaches) the VNet's spoke gateway to its security domain."""
    Globals.yaml = {"configure_gw_name": run.context.document["config"].get("configure_gw_name"),
                    "domain": run.options.get("domain"), "spoke_gw_name": run.options["spoke_gw_name"]}
    Globals.CID = run.context.controller.cid
    Globals.api_ep_url = run.context.controller.url
    SwitchTraffic.attach_spoke_domain(attach_it)
    return {"domain": Globals.yaml["domain"], "attachment": Globals.yaml["spoke_gw_name"]}


# ---------------------------------------------------------------- revert

def revert(run, records, entry, changes):
    """Undoes the entry's steps that ran, in the revert order; returns the names of those that failed.

    A step whose undo fails stays as it was in the records, so a later revert tries it again.
    """
    ran = {s["name"]: s for s in entry["steps"] if s["status"] in ("started", "done", "failed")}
    failed = []
    for name in REVERT_ORDER:
        taken = ran.get(name)
        if taken is None:
            continue
        position.step = name
        with library_errors() as errors:
            try:
                UNDO[name](run, taken, changes)
            except Exception as error:
                logger.error("**Error** revert of %s in VNet %s failed: %s", name, run.name, text_of(error))
                failed.append(name)
                continue
        if errors.count:                     # kept as it was, so that the next revert tries again
            failed.append(name + " (" + str(errors.count) + " error lines)")
        elif not SwitchTraffic.DryRun:
            records.reverted(taken)
    return failed


def error_lines(entry):
    """The steps of a switch that logged error lines, as "step (n error lines)"."""
    return [s["name"] + " (" + str(s["library_errors"]) + " error lines)"
            for s in entry["steps"] if s.get("library_errors")]


def recorded(step):
    """What a step changed: its records when it returned, else what it was about to change."""
    return step["records"] if step["status"] == "done" else step.get("plan")


def undo_subnets(run, step, changes):
    rtb_map = {}
    (staged, original), _ = discover_route_tables(run, rtb_map, revert=True)
    changes["subnets"] = move_subnets(run, True, rtb_map, original)


def undo_propagation(run, step, changes):
    changes["propagation"] = recorded(step) or []
    SwitchTraffic.restoreRouteTablePropagationInVnet(run.network, changes["propagation"])


def undo_peerings(run, step, changes):
    saved = recorded(step) or {"pairs": [], "locks": []}
    if saved["pairs"]:
        SwitchTraffic.addPeerings(saved["pairs"])
    changes["peerings"] = saved["pairs"]
    changes["locks"] = saved["locks"] if SwitchTraffic.DryRun else locks.restore(saved["locks"])


def undo_gateway_use(run, step, changes):
    changes["gateway_use"] = recorded(step) or []
    SwitchTraffic.restoreUseRemoteGwInPeering(run.network, changes["gateway_use"])


def undo_domain(run, step, changes):
    if step["status"] != "failed":           # a refused attach attached nothing
        changes["domain"] = attach(run, False)


def undo_snat(run, step, changes):
    changes["snat"] = snat(run, False)


UNDO = {SUBNETS: undo_subnets, PROPAGATION: undo_propagation, PEERINGS: undo_peerings,
        GATEWAY_USE: undo_gateway_use, DOMAIN: undo_domain, SNAT: undo_snat}
