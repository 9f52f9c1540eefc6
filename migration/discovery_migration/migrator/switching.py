"""The switch and the revert of one VNet as the commands run them.

Before a VNet is switched, the switch is previewed under dry-run and every
management lock that would refuse one of its writes refuses the VNet, so
nothing changes. A switch that fails at any step is rolled back at once (or,
when asked, left as it is for an expert); the records then say which VNets are
switched.
"""
import logging

from dm.arm.cfgbase import Common
from dm.arm.trafswap import SwitchTraffic

from . import VERSION, changes, locks, perthread, steps, targets, undo
from .errors import StepError, text_of
from .records import Records

logger = logging.getLogger("dm.migrate")


def switch_vnet(account, name, context, held, records, summary, keep_partial=False):
    if held.held(account.subscription_id, name):
        reason = "its switch is already recorded in " + str(held.path) + "; revert it first"
        logger.error("**Error** VNet %s not switched: %s", name, reason)
        return summary.vnet(account.subscription_id, name, "refused", reason=reason)
    vnet = account.find(name)
    if vnet is None:
        return not_found(account, name, summary)
    run = vnet_run(context, account, vnet)
    if not summary.dry_run:
        refused = refusals(account, run, preview(account, context, vnet))
        if refused:
            return refuse(account, name, summary, refused)
    entry = records.begin_vnet(account.subscription_id, name, run.resource_group)
    found = {}
    try:
        steps.switch(run, records, entry, found)
    except Exception as error:          # a step that failed, or anything between two steps
        cause = str(error) if isinstance(error, StepError) else text_of(error)
        logger.error("**Error** switch of VNet %s stopped at %s", name, cause)
        changes.log_changes("switch", name, found, summary.dry_run)
        return summary.vnet(account.subscription_id, name, *roll_back(run, records, entry, cause, keep_partial))
    changes.log_changes("switch", name, found, summary.dry_run)
    refused = refusals(account, run, found) if summary.dry_run else None
    if refused:
        return refuse(account, name, summary, refused, found)
    summary.vnet(account.subscription_id, name, "done", found)


def vnet_run(context, account, vnet):
    return steps.VnetRun(context, account.subscription_id, account.credential, account.network, vnet,
                         account.vnet_options(vnet))


def preview(account, context, vnet):
    """What the switch of the VNet would change in ARM: its steps that write there under dry-run, their
    log lines held back."""
    found = {}
    perthread.set_dry_run(True)
    targets.point_terraform_at(account, True)
    try:
        with perthread.quiet():
            steps.switch(vnet_run(context, account, vnet), Records(None, VERSION), {"steps": []}, found,
                         arm_only=True)
    except StepError:
        pass                            # the switch itself meets the same failure and rolls back
    finally:
        perthread.set_dry_run(False)
        targets.point_terraform_at(account, False)
    return found


def refusals(account, run, found):
    """The locks that would refuse a write the switch makes, one line each."""
    return locks.refusals(run.subscription_id, run.vnet.id, found,
                          Common.getSWDeleteVnetLock(run.context.document) == True)  # noqa: E712 (as the library)


def refuse(account, name, summary, refused, found=None):
    reason = "; ".join(refused)
    logger.error("**Error** VNet %s refused: %s", name, reason)
    summary.vnet(account.subscription_id, name, "refused", found, reason=reason)


def roll_back(run, records, entry, cause, keep_partial):
    """(outcome, changes, reason) of a VNet whose switch failed: its completed steps undone at once."""
    if SwitchTraffic.DryRun:
        return "failed", {}, cause
    if keep_partial:
        logger.error("**Error** VNet %s left half-switched (--keep-partial); records in %s", run.name, records.path)
        return "failed", {}, cause + "; left as it is (--keep-partial)"
    run.refresh()
    undone = {}
    failed = undo.revert(run, records, entry, undone)
    changes.log_changes("revert", run.name, undone, False)
    if failed:
        return "failed", undone, cause + "; the rollback failed: " + ", ".join(failed)
    logger.warning("**Alert** VNet %s rolled back: %s", run.name, cause)
    return "rolled back", undone, cause


def revert_vnet(account, name, context, records, summary):
    entry = records.vnet(account.subscription_id, name)
    if entry is None or not records.held(account.subscription_id, name):
        return summary.vnet(account.subscription_id, name, "skipped", reason="no switch recorded")
    vnet = account.find(name)
    if vnet is None:
        return not_found(account, name, summary)
    found = {}
    failed = undo.revert(vnet_run(context, account, vnet), records, entry, found)
    changes.log_changes("revert", name, found, summary.dry_run)
    summary.vnet(account.subscription_id, name, "failed" if failed else "done", found,
                 "revert of " + ", ".join(failed) + " failed" if failed else None)


def not_found(account, name, summary):
    logger.error("**Error** VNet %s not found in subscription %s", name, account.subscription_id)
    summary.vnet(account.subscription_id, name, "failed", reason="not found")
