"""A switch and its revert on a local copy of the network, with the round-trip verdict.

The copy is taken before the switch (network and controller); after the revert
the network is compared with it. A difference the libraries define on purpose
is a notice naming the subnet, not a success: a subnet without a route table
that the switch moved onto a main table comes back on the VNet's default
table when one is configured.
"""
import logging

from . import commands, discovery, htmlreport, snapshot, targets
from .summary import Summary

logger = logging.getLogger("dm.migrate")


def rehearse(args, document, env, log_file):
    subs = commands.subscriptions(document)
    heading("1/4 discovery")
    complete = all([discovery.discover_account(account) for account in targets.accounts(document, args.subscription)])
    before = state(env, subs)
    report = htmlreport.Report.start(args, "rehearse", env, document)
    if report is not None:
        report.stage("before the switch", before)

    records = args.held
    path = records.path

    def phase(title, command, run_all, stage):
        """Runs the switch or the revert of every VNet; its summary and the state it leaves."""
        heading(title)
        summary = Summary(command, False)
        run_all(args, document, env, records, summary)
        after = state(env, subs)
        if report is not None:
            report.stage(stage, after)
        return summary, after

    switched, after_switch = phase("2/4 switch", "switch", commands.switch_all, "after the switch")
    switch_changes = snapshot.differences(before, after_switch)
    heading("what the switch changed")
    for difference in switch_changes:
        logger.info("  %s", snapshot.describe(difference))
    reverted, after = phase("3/4 revert", "revert", commands.revert_all, "after the revert")

    heading("4/4 round trip")
    differences = snapshot.differences(before, after)
    reasons = [by_design(d, switched) for d in differences]
    designed = [(d, reason) for d, reason in zip(differences, reasons) if reason]
    unexpected = [d for d, reason in zip(differences, reasons) if not reason]
    for difference, notice in designed:
        logger.warning("**Notice** %s", notice)
    for difference in unexpected:
        logger.error("**Error** not restored: %s", snapshot.describe(difference))
    if unexpected:
        verdict = "NOT restored: " + str(len(unexpected)) + " difference(s)"
    elif designed:
        verdict = "restored, with " + str(len(designed)) + " notice(s): " + "; ".join(n for _, n in designed)
    else:
        verdict = "restored exactly"
    failed = switched.count("failed") + reverted.count("failed")
    summary = Summary("rehearse", False)
    summary.vnets = {k: dict(v, outcome=worst(v, reverted.vnets.get(k))) for k, v in switched.vnets.items()}
    summary.differences = {"switch": [snapshot.describe(d) for d in switch_changes],
                           "round_trip": [snapshot.describe(d) for d in differences],
                           "as_designed": [[snapshot.describe(d), reason] for d, reason in designed]}
    summary.difference_objects = {
        "switch": [snapshot.as_object(d, "changed by the switch") for d in switch_changes],
        "round_trip": [snapshot.as_object(d, reason or "not restored") for d, reason in zip(differences, reasons)]}
    summary.verdict = verdict
    commands.finish_summary(args, summary, log_file, path, report, [("switch", switched), ("revert", reverted)])
    return 0 if complete and not unexpected and not failed else 1


def heading(text):
    logger.info("")
    logger.info("=== Rehearsal %s ===", text)


def state(env, subs):
    """The network of the subscriptions and, when a local controller runs, its gateways and attachments."""
    copy = snapshot.take(subs)
    if env.local_controller is not None:
        from . import localcontroller
        copy["controller"] = localcontroller.state(env.local_controller)
    return copy


def by_design(difference, switched):
    """The notice naming the subnet when the revert makes this difference on purpose, else None.

    A subnet without a route table that the switch moved onto a main table
    comes back on the VNet's default table when one is configured.
    """
    rid, path, old, new = difference
    if len(path) != 2 or path[0] != "subnets" or old is not None or new is None:
        return None
    for v in switched.vnets.values():
        moved = (v["changes"].get("subnets") or {}).get(path[1])
        if moved is None or not rid.endswith("/virtualnetworks/" + v["vnet"].lower()):
            continue
        main, table = (moved[1] or "").rsplit("/", 1)[-1], new.rsplit("/", 1)[-1]
        if "-main-" in main and table.startswith(v["vnet"].lower() + "-"):
            return ("subnet " + path[1] + " of VNet " + v["vnet"] + " had no route table and is now on the "
                    "default table " + table + " (the revert puts a subnet it takes off a main table there)")
    return None


def worst(switched, reverted):
    if reverted is None:
        return switched["outcome"]
    return "failed" if "failed" in (switched["outcome"], reverted["outcome"]) else switched["outcome"]
