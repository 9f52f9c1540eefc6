"""The revert of one VNet's switch, also the rollback of a switch cut short.

Each step undoes the union of its plan and its records, and only what the
cloud or the controller does not already hold as the revert leaves it: an
effect already undone counts as done, so a revert can run any number of
times, after a kill at any point. After each step the driver reads back what
it undid; a step that did not come back stays in the records as it was, so a
later revert tries it again.
"""
import logging

from dm.arm.trafswap import SwitchTraffic

from . import locks, parallel, steps, verify
from .errors import text_of

logger = logging.getLogger("dm.migrate")


def revert(run, records, entry, changes):
    """Undoes the entry's steps that are not reverted yet, in the revert order; returns those that failed.

    The route-table discovery changed nothing and is reverted with the last of the others.
    """
    pending = {s["name"]: s for s in entry["steps"] if s["status"] != "reverted"}
    failed = []
    for name in steps.REVERT_ORDER:
        taken = pending.get(name)
        if taken is None:
            continue
        steps.position.step = name
        with parallel.guards.holding(steps.touched(run, name, taken)):
            problem = undo_step(run, name, taken, changes)
        if problem:
            logger.error("**Error** revert of %s in VNet %s: %s", name, run.name, problem)
            failed.append(name + " (" + problem + ")")
        elif not SwitchTraffic.DryRun:
            records.reverted(taken)
    discovery = pending.get(steps.ROUTE_TABLES)
    if discovery is not None and not failed and not SwitchTraffic.DryRun:
        records.reverted(discovery)
    return failed


def undo_step(run, name, step, changes):
    """Undoes one step as far as the current state needs; the problem left, or None."""
    with steps.library_errors() as errors:
        try:
            todo = [item for item, _ in verify.unrestored(run, name, step)]
            if todo:
                UNDO[name](run, todo, changes)
            if SwitchTraffic.DryRun:
                return None
            left = verify.unrestored(run, name, step)
        except Exception as error:
            return text_of(error)
    if left:
        return "; ".join(verify.where(name, item, run) + ": " + verify.property_of(name, item) + " is " + now
                         for item, now in left)
    if errors.count:
        return str(errors.count) + " error lines"
    return None


def undo_subnets(run, todo, changes):
    rtb_map = {}
    (staged, original), _ = steps.discover_route_tables(run, rtb_map, revert=True)
    changes["subnets"] = steps.move_subnets(run, True, rtb_map, original)


def undo_propagation(run, todo, changes):
    changes["propagation"] = todo
    SwitchTraffic.restoreRouteTablePropagationInVnet(run.network, todo)


def undo_peerings(run, todo, changes):
    pairs = [item for item in todo if "localPeering" in item]
    if pairs:
        SwitchTraffic.addPeerings(pairs)
    changes["peerings"] = pairs
    held = [item for item in todo if "localPeering" not in item]
    changes["locks"] = held if SwitchTraffic.DryRun else locks.restore(held)


def undo_gateway_use(run, todo, changes):
    changes["gateway_use"] = todo
    SwitchTraffic.restoreUseRemoteGwInPeering(run.network, todo)


def undo_domain(run, todo, changes):
    changes["domain"] = steps.attach(run, False)


def undo_snat(run, todo, changes):
    changes["snat"] = steps.snat(run, False)


UNDO = {steps.SUBNETS: undo_subnets, steps.PROPAGATION: undo_propagation, steps.PEERINGS: undo_peerings,
        steps.GATEWAY_USE: undo_gateway_use, steps.DOMAIN: undo_domain, steps.SNAT: undo_snat}
