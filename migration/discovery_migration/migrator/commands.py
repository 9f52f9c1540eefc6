"""The driver's commands: discover, plan, switch, revert and rehearse."""
import json
import logging
import logging.config
import os
import pathlib
import sys
import types

from azure.core.exceptions import AzureError, ClientAuthenticationError

from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import YamlContext

from . import (VERSION, config, discovery, environment, htmlreport, interrupts, parallel, perthread, snapshot,
               steps, switching, targets)
from .errors import BadInput, text_of
from .records import Records, RecordsError, write_atomically
from .summary import Progress, Summary

logger = logging.getLogger("dm.migrate")


def run(args):
    """Runs one command; the exit status (0 done, 1 some VNet failed, 2 bad input, nothing done)."""
    steps.stop_requested.clear()
    document = config.load(args.config)
    checker = config.check_shape(args.config, document)
    if not checker.readable():
        config.report(checker)
    YamlContext.load(document)
    env = open_environment(args, document)
    targets.share_clients()
    try:
        preflight(args, document, env, checker)
    except BadInput:
        targets.stop_sharing()
        env.close(save=False)           # nothing was done: no state is written
        close_records(args, save=False)
        raise
    try:
        env.keep()
        if args.command != "discover" and env.local:
            environment.start_local_controller(env, document, args.state)
        log_file = start_logging(document)
        if args.command == "discover":
            return discover(args, document, env, log_file)
        return COMMANDS[args.command](args, document, env, log_file)
    finally:
        targets.stop_sharing()
        env.close()
        close_records(args)


def open_environment(args, document):
    if args.azure:
        if args.command == "rehearse":
            raise BadInput("rehearse runs on a local copy of the network only; leave out --azure")
        return environment.azure(document)
    return environment.local(args, os.path.join(str(document["log_output"]), "localcloud"))


def start_logging(document):
    """The tool's logging set-up in the configured log folder; errors and alerts also on standard error
    when it is not the terminal standard output already shows."""
    logging_config = Common.intLogLocationMgmtVnetCidr(document).logging_config
    logging.config.dictConfig(logging_config)
    if not same_terminal():
        alerts = logging.StreamHandler(sys.stderr)
        alerts.setLevel(logging.WARNING)
        alerts.setFormatter(logging.Formatter("%(message)s"))
        logging.getLogger("dm").addHandler(alerts)
    return pathlib.Path(logging_config["handlers"]["logConsoleHandler"]["filename"])


def same_terminal():
    try:
        return os.isatty(1) and os.isatty(2) and os.ttyname(1) == os.ttyname(2)
    except OSError:
        return False


def preflight(args, document, env, checker):
    """Checks the whole configuration and the cloud before anything changes (BadInput lists every problem)."""
    lists = {}

    def find_vnet(sub, credential, name):
        if sub not in lists:
            try:
                client = targets.network_client(credential)
                lists[sub] = {v.name: list((v.address_space and v.address_space.address_prefixes) or ())
                              for v in client.virtual_networks.list_all()}
            except (AzureError, LookupError) as error:
                logger.debug("subscription %s cannot be read: %s", sub, text_of(error))
                lists[sub] = None
        return None if lists[sub] is None else lists[sub].get(name, False)

    config.check(checker, document, args.azure, None if args.command == "discover" else find_vnet,
                 ranges=args.command != "revert")
    if args.command in ("switch", "plan", "rehearse"):
        checker.problems.extend(environment.controller_problems(env, args.config))
    if not checker.readable(config.OPTIONS):
        config.report(checker)
    chosen = targets.accounts(document, args.subscription)
    if args.subscription and not chosen:
        checker.problem("account_info", "no account has the subscription " + args.subscription)
    if args.vnet and not any(args.vnet in account.vnet_entries for account in chosen):
        checker.problem("account_info", "no VNet named " + args.vnet
                        + (" in subscription " + args.subscription if args.subscription else ""))
    if args.command in ("switch", "plan") and not checker.problems:
        checker.problems.extend(missing_discovery(args, document))
    if args.command in ("switch", "plan", "revert", "rehearse") and not checker.problems:
        try:
            args.held = open_records(args, document)
        except BadInput as error:
            checker.problems.append(str(error))
    if args.command == "revert" and not checker.problems and not args.force:
        checker.problems.extend(absent_from_network(args.held, find_vnet))
    config.report(checker)


def missing_discovery(args, document):
    """With shared route-table replication on, the re-association reads the discovery of each account."""
    if not YamlContext().getGlobalContext("configure_shared_route_table_replication") > 0:
        return []
    return [path + ": missing; run discover first (config.configure_shared_route_table_replication is on)"
            for account in targets.accounts(document, args.subscription)
            for path in [account.output_folder() + "/" + discovery.DISCOVERY_FILE]
            if not os.path.exists(path)]


def open_records(args, document):
    """The records the run works from, held for the whole run when it writes them: for a revert a file
    that exists; a file that does not read completely, or whose digest does not match (unless --force),
    or that another run holds, is refused."""
    path = records_path(args, document)
    writes = not args.dry_run and args.command != "plan"
    try:
        if args.command == "rehearse":
            return Records.fresh(path.with_name("rehearsal-records.json"), VERSION)
        records = Records.open(path, VERSION, lock=writes, force=args.force)
        if args.command == "revert" and not records.exists():
            records.close()
            raise RecordsError("the file does not exist")
        return records
    except RecordsError as error:
        verb = "revert from" if args.command == "revert" else "use"
        raise BadInput(str(path) + ": cannot " + verb + " it: " + str(error)) from None


def close_records(args, save=True):
    """Ends the run's hold on its records file: the whole document written, the lock released."""
    held = getattr(args, "held", None)
    if held is not None:
        held.close(save)


def absent_from_network(records, find_vnet):
    """The VNets and subscriptions the records name that the network does not have: the records
    of another network, or changed, would revert the wrong things."""
    problems = []
    for sub, name in records.held_vnets():
        credential = YamlContext().generateAzureCredential(sub)
        found = None if credential is None else find_vnet(sub, credential, name)
        if not found:
            problems.append(str(records.path) + ": names " + ("VNet " + name + " of subscription " + sub
                                                              if found is False else "subscription " + sub)
                            + ", which the network does not have (--force reverts all the same)")
    return problems


# ---------------------------------------------------------------- discover

def discover(args, document, env, log_file):
    report = htmlreport.Report.start(args, "discover", env, document)
    accounts = []
    for account in targets.accounts(document, args.subscription):
        accounts.append({"subscription_id": account.subscription_id, "complete": discovery.discover_account(account),
                         "discovery": account.output_folder() + "/" + discovery.DISCOVERY_FILE})
    complete = all(a["complete"] for a in accounts)
    network = snapshot.take(subscriptions(document)) if args.json or report else None
    if report is not None:
        report.stage("the network now", network)
        report.write(log_file=log_file)
    if args.json:
        write_atomically(args.json, json.dumps({"command": "discover", "complete": complete, "accounts": accounts,
                                                "network": network, "log": str(log_file)}, indent=1) + "\n")
    return 0 if complete else 1


# ---------------------------------------------------------------- switch, plan, revert

def context_of(document, env):
    switch = document.get("switch_traffic") or {}
    return types.SimpleNamespace(document=document, controller=env.controller,
                                 controller_peering_prefix=switch.get("controller_peering_prefix"),
                                 delete_peering=switch.get("delete_peering", ""))


def records_path(args, document):
    if args.records:
        return pathlib.Path(args.records)
    return pathlib.Path(str(document["log_output"])) / "records" / "migration-records.json"


def plan(args, document, env, log_file):
    args.dry_run = True
    return switch(args, document, env, log_file, command="plan")


def switch(args, document, env, log_file, command="switch"):
    dry_run = bool(args.dry_run)
    held = args.held
    path = held.path
    summary = Summary(command, dry_run)
    report = htmlreport.Report.start(args, command, env, document)
    before = snapshot.take(subscriptions(document)) if args.json or report else None
    if report is not None:
        report.stage("before the " + command, before)
    switch_all(args, document, env, held, summary)
    return finish(args, document, summary, before, log_file, None if dry_run else path, report)


def switch_all(args, document, env, held, summary):
    """Switches every selected VNet; a dry run keeps its records in memory only."""
    perthread.set_dry_run(summary.dry_run)
    records = Records(None, VERSION) if summary.dry_run else held
    context = context_of(document, env)
    with interrupts.deferred(args, records.path):
        for_each_vnet(args, document, summary, lambda account, name: switching.switch_vnet(
            account, name, context, held, records, summary, getattr(args, "keep_partial", False)))


def revert(args, document, env, log_file):
    records = args.held
    path = records.path
    summary = Summary("revert", bool(args.dry_run))
    report = htmlreport.Report.start(args, "revert", env, document)
    before = snapshot.take(subscriptions(document)) if args.json or report else None
    if report is not None:
        report.stage("before the revert", before)
    revert_all(args, document, env, records, summary)
    return finish(args, document, summary, before, log_file, path, report)


def revert_all(args, document, env, records, summary):
    perthread.set_dry_run(summary.dry_run)
    context = context_of(document, env)
    with interrupts.deferred(args, records.path):
        for_each_vnet(args, document, summary, lambda account, name: switching.revert_vnet(
            account, name, context, records, summary))


def for_each_vnet(args, document, summary, act):
    """Calls act(account, name) for every selected VNet, --parallel of them at a time, with a progress
    line; a subscription whose credential fails is reported once and its VNets skipped."""
    chosen = [(account, name) for account in targets.accounts(document, args.subscription)
              for name in targets.vnet_names(account, args.vnet)]
    failed_subscriptions = {}
    stopped = []                        # why no further VNet starts (--stop-on-failure)

    def one(account, name):
        sub = account.subscription_id
        if steps.stop_requested.is_set() or stopped:
            return summary.vnet(sub, name, "skipped", reason=stopped[0] if stopped else "stopped by the user")
        steps.position.run, steps.position.vnet, steps.position.step = summary, sub + "/" + name, None
        logger.info("=== %s VNet %s (subscription %s)", summary.command, name, sub)
        try:
            failed = connected(account, failed_subscriptions)
            if failed:
                return summary.vnet(sub, name, "skipped", reason=failed)
            targets.point_terraform_at(account, summary.dry_run)
            act(account, name)
            if getattr(args, "stop_on_failure", False) and summary.vnets[sub + "/" + name]["outcome"] in (
                    "failed", "rolled back"):
                stopped.append("not started: VNet " + name + " failed (--stop-on-failure)")
        except Exception as error:          # anything else ends this VNet only, with one line
            if isinstance(error, ClientAuthenticationError):
                summary.vnet(sub, name, "skipped", reason=subscription_failed(failed_subscriptions, sub, error))
            else:
                logger.error("**Error** VNet %s failed: %s", name, text_of(error))
                summary.vnet(sub, name, "failed", reason=text_of(error))
        except steps.Stopped as stop:
            logger.warning("**Alert** VNet %s: %s by the user", name, stop)
            summary.vnet(sub, name, "failed", reason=str(stop) + " by the user")
        finally:
            steps.position.vnet = None

    progress = Progress(len(chosen))
    try:
        with perthread.own_values():
            parallel.each(chosen, getattr(args, "parallel", 1), one, progress,
                          lambda: steps.stop_requested.is_set() or bool(stopped), steps.stop_requested.set)
    finally:
        progress.close()
        summary.in_order(account.subscription_id + "/" + name for account, name in chosen)


def connected(account, failed_subscriptions):
    """Connects the account once; why its VNets are skipped when its credential fails, else None."""
    sub = account.subscription_id
    with account.lock:
        if sub not in failed_subscriptions and account.network is None:
            try:
                account.connect()
            except Exception as error:
                subscription_failed(failed_subscriptions, sub, error)
        return failed_subscriptions.get(sub)


def subscription_failed(failed_subscriptions, sub, error):
    """Notes, once in the log, why the subscription's VNets are skipped; the reason."""
    failed_subscriptions[sub] = "subscription " + sub + ": " + text_of(error)
    logger.error("**Error** %s; its VNets are skipped", failed_subscriptions[sub])
    return failed_subscriptions[sub]


def subscriptions(document):
    """Every subscription the configuration names, and those its credentials list."""
    subs = [a["subscription_id"] for a in document.get("account_info") or ()]
    for entry in (document.get("azure_cred") or {}).values():
        subs.extend(entry.get("arm_subscription_id") or ())
    return list(dict.fromkeys(subs))


def finish(args, document, summary, before, log_file, path, report=None):
    if before is not None:
        after = snapshot.take(subscriptions(document))
        found = snapshot.differences(before, after)
        summary.differences = [snapshot.describe(d) for d in found]
        summary.difference_objects = [snapshot.as_object(d, "changed by the " + summary.command) for d in found]
        if report is not None:
            report.stage("after the " + summary.command + (" (dry run: unchanged)" if summary.dry_run else ""), after)
    finish_summary(args, summary, log_file, path, report)
    if steps.stop_requested.is_set():
        return 130
    return 1 if summary.count("failed") or summary.count("refused") or summary.count("rolled back") else 0


def finish_summary(args, summary, log_file, path, report=None, runs=None):
    summary.show(log_file, path)
    if args.json:
        write_atomically(args.json, summary.as_json(log_file, path) + "\n")
    if report is not None:
        report.write(summary, log_file, path, runs)


# ---------------------------------------------------------------- rehearse

def rehearse(args, document, env, log_file):
    from . import rehearsal
    return rehearsal.rehearse(args, document, env, log_file)


COMMANDS = {"plan": plan, "switch": switch, "revert": revert, "rehearse": rehearse}
