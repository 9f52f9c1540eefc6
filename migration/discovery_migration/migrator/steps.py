"""The switch of one VNet, step by step.

Each step is one call of the libraries. Before a step runs, what it will
change is saved as its plan (for a call that returns records, the same call
under dry-run, its log lines held back); then the step runs, its records are
saved, and what the plan and the records name is read back from the cloud and
the controller before the next step starts. A step cut short (an error,
Ctrl-C, a kill) is undone from its plan and records (module undo), so no
change is ever lost.
"""
import argparse
import contextlib
import logging
import threading

from dm.arm.cfgbase import Common
from dm.arm.res.Globals import Globals
from dm.arm.trafswap import SwitchTraffic

from . import locks, parallel, perthread, readcache, verify
from .errors import StepError, text_of

logger = logging.getLogger("dm.migrate")

FORWARD = argparse.Namespace(revert=False)   # what the propagation switch reads of the driver's arguments

# Step names in the order a switch runs them, and the order a revert undoes them.
ROUTE_TABLES, PROPAGATION, SUBNETS, PEERINGS, GATEWAY_USE, SNAT, DOMAIN = (
    "route_tables", "propagation", "subnets", "peerings", "gateway_use", "snat", "domain")
REVERT_ORDER = (SUBNETS, PROPAGATION, PEERINGS, GATEWAY_USE, DOMAIN, SNAT)

stop_requested = threading.Event()   # set by the first Ctrl-C: no step starts after it



class Position(threading.local):
    """Where the calling thread's run is (the run's summary, "<subscription>/<VNet>", the step): the
    HTML report files log lines under it, and a stop names it."""
    run = vnet = step = None

    def __setattr__(self, name, value):
        super().__setattr__(name, value)
        if self.vnet is None:
            _flying.pop(threading.get_ident(), None)
        else:
            _flying[threading.get_ident()] = (self.vnet, self.step)


_flying = {}                        # thread: (VNet, step), for a stop to name every VNet in flight
position = Position()


def in_flight():
    """(VNet, step) of every VNet being worked on now, in no particular order."""
    return sorted(_flying.values(), key=str)


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

def switch(run, records, entry, changes, arm_only=False):
    """Runs the switch steps of one VNet; `changes` collects what the report shows. `arm_only`: the
    steps that write to ARM only (what its locks may refuse)."""
    changes["gateways"] = gateways(run)
    rtb_map = {}
    staged, original = step(run, records, entry, ROUTE_TABLES, lambda: discover_route_tables(run, rtb_map))
    changes["staged"] = staged
    if run.options["manage_propagate_gateway_routes"]:
        changes["propagation"] = planned_step(run, records, entry, PROPAGATION, lambda: SwitchTraffic.
                                              setDisableAllRouteTablePropagationInVnet(
                                                  FORWARD, run.network, run.vnet, staged, rtb_map, True))
    before = associations(run)
    changes["subnets"] = planned_step(run, records, entry, SUBNETS,
                                      lambda: move_subnets(run, False, rtb_map, original, before))
    peering = {}

    def plan_peerings():
        peering.update(rehearsed(lambda: peering_plan(run)))
        return peering
    changes["peerings"] = step(run, records, entry, PEERINGS, lambda: both(delete_peerings(run, peering["locks"])),
                               plan=plan_peerings, fresh=run.refresh)

    def after_deletion():
        run.refresh()
        if SwitchTraffic.DryRun:  # a plan: the peerings the deletion would remove are not there for the next step
            removed = {pair["localPeeringName"] for pair in changes["peerings"]["pairs"]}
            run.vnet.virtual_network_peerings = [p for p in run.vnet.virtual_network_peerings or ()
                                                 if p.name not in removed]
    changes["gateway_use"] = planned_step(run, records, entry, GATEWAY_USE, lambda: SwitchTraffic.
                                          disableUseRemoteGwInPeering(run.subscription_id, run.network, run.vnet,
                                                                      run.context.controller_peering_prefix),
                                          fresh=after_deletion)
    if arm_only:
        return
    changes["snat"] = step(run, records, entry, SNAT, lambda: both(snat(run, True)), plan=lambda: snat_plan(run))
    changes["domain"] = step(run, records, entry, DOMAIN, lambda: both(attach(run, True)),
                             plan=lambda: domain_of(run))


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


def step(run, records, entry, name, body, plan=None, fresh=None):
    """Runs one step between its two saves, then reads back what it changed.

    `body` returns (what the next steps need, the records to save); `plan`, when callable, gives what
    the step is about to change (a plan that cannot be made stops the switch before the step starts).
    The step fails, is saved as failed and ends the VNet's switch when it raises, when the libraries log
    an error line, or when a planned change is not in effect or is in effect without a record. When ARM
    refused one of its updates because a state it was decided on had changed (412), the body runs again
    on fresh reads, the VNet read afresh and the plan made again first (readcache.redecided): the step is
    then checked against what it set out to change on those reads.

    The step first waits until no other VNet's step is changing a VNet it changes; `fresh` then reads
    again what another VNet's steps may have changed meanwhile (the far halves of peerings).
    """
    if stop_requested.is_set():
        raise Stopped("stopped before " + name)
    position.step = name
    with parallel.guards.holding(touched(run, name)):
        if fresh is not None:
            fresh()
        return guarded_step(run, records, entry, name, body, plan)


def touched(run, name, step=None):
    """The VNets ("<subscription>/<name>") a step changes: its own, and for the peering steps the far
    ends of the VNet's peerings and of those `step` recorded (a revert's, whose peerings are gone)."""
    keys = [run.subscription_id + "/" + run.name]
    if name in (PEERINGS, GATEWAY_USE):
        keys.extend(sub + "/" + vnet for sub, _, vnet in far_ends(run))
        for saved in ((step or {}).get("plan"), (step or {}).get("records")):
            if isinstance(saved, dict):
                keys.extend(p["remoteSubscriptionId"] + "/" + p["remoteVnetName"] for p in saved.get("pairs") or ())
    return keys


def far_ends(run):
    """(subscription, group, name) of the VNet at the far end of each of the VNet's peerings."""
    ends = []
    for peering in run.vnet.virtual_network_peerings or ():
        remote = peering.remote_virtual_network
        if remote is not None and remote.id:
            parts = remote.id.split("/")
            ends.append((parts[Common.SUB_I], parts[Common.RG_I], parts[Common.VNET_I]))
    return ends


def guarded_step(run, records, entry, name, body, plan):
    planning = plan if callable(plan) else None
    if planning is not None:
        try:
            plan = planning()
        except Exception as error:
            raise StepError(name, "cannot tell what it would change: " + text_of(error)) from error
    started = records.start(entry, name, plan)
    replanned = {}

    def again():
        run.refresh()
        if planning is not None:
            replanned["plan"] = planning()
    with library_errors() as errors:
        try:
            result, saved = readcache.redecided(body, errors, again)
        except Exception as error:
            records.finish(started, status="failed", error=text_of(error), errors=errors.count)
            raise StepError(name, text_of(error)) from error
    if SwitchTraffic.DryRun or name == ROUTE_TABLES or stop_requested.is_set():
        problems = []                   # after a Ctrl-C no request leaves: the revert reads the state instead
    else:
        problems = checked(run, name, dict(started, records=saved, **replanned))
    if errors.count:
        problems.append(str(errors.count) + " error line(s) of the libraries")
    if problems:
        for problem in problems:
            logger.error("**Error** %s in VNet %s: %s", name, run.name, problem)
        records.finish(started, saved, status="failed", error="; ".join(problems), errors=errors.count,
                       **replanned)
        raise StepError(name, "; ".join(problems))
    records.finish(started, saved, **replanned)
    return result


def checked(run, name, step):
    """What the step changed, read back; a read that fails is itself the problem."""
    try:
        return verify.switched(run, name, step)
    except Exception as error:
        return ["cannot read back what it changed: " + text_of(error)]


def planned_step(run, records, entry, name, call, fresh=None):
    """A step whose records the revert needs: the same call under dry-run gives its plan first (in a
    dry run, which keeps no records, the step itself is that call)."""
    plan = None if SwitchTraffic.DryRun else lambda: rehearsed(call)
    return step(run, records, entry, name, lambda: both(call()), plan=plan, fresh=fresh)


def rehearsed(call):
    """What `call` returns under dry-run, without its log lines (the real call logs them)."""
    was = SwitchTraffic.DryRun
    perthread.assign(SwitchTraffic, "DryRun", True)
    try:
        with perthread.quiet():
            return call()
    finally:
        perthread.assign(SwitchTraffic, "DryRun", was)


class ErrorCount(logging.Handler):
    """Counts the error lines the libraries log on the calling thread while a step runs: their
    guarded failures do not raise, but the step is then not clean."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.count = 0
        self.thread = threading.get_ident()

    def emit(self, record):
        if record.thread == self.thread:
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


def snat_plan(run):
    """The gateway whose SNAT the step turns on, with its mode before."""
    gw = run.options["spoke_gw_name"]
    return {"gateway": gw, "before": verify.Reader(run).controller()[0].get(gw)}


def domain_of(run):
    """The security domain the VNet's spoke gateway goes to (None when the domain step does nothing)."""
    configured = run.context.document["config"].get("configure_gw_name")
    return {"domain": run.options.get("domain") if configured != False else None,  # noqa: E712 (as the library)
            "attachment": run.options["spoke_gw_name"]}


def attach(run, attach_it):
    """Attaches (or detaches) the VNet's spoke gateway to its security domain."""
    perthread.assign(Globals, "yaml", {"configure_gw_name": run.context.document["config"].get("configure_gw_name"),
                                       "domain": run.options.get("domain"),
                                       "spoke_gw_name": run.options["spoke_gw_name"]})
    perthread.assign(Globals, "CID", run.context.controller.cid)
    perthread.assign(Globals, "api_ep_url", run.context.controller.url)
    SwitchTraffic.attach_spoke_domain(attach_it)
    return domain_of(run)
