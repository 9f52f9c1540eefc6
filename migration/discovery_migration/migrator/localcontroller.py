"""The local controller of a rehearsal: one account per subscription and one spoke gateway per VNet,
named as the configuration names them, and the configured security domains."""
import os
import pathlib

from dm.arm.cfgbase import Common

from .environment import Controller

CONTROLLER_SUFFIX = ".controller.json"


def start(cloud, document, saved_state=None):
    """A running local controller (from `saved_state`'s controller file when there is one) and the
    connection values the libraries use to reach it; the controller client trusts its certificate."""
    from localctl import ControllerState, LocalController

    saved = controller_file(saved_state) if saved_state else None
    if saved is not None and saved.exists():
        controller = LocalController(ControllerState.load(saved))
    else:
        gateways, accounts, domains = {}, {}, []
        for account in document.get("account_info") or ():
            accounts[account["subscription_id"]] = account.get("account_name") or account["subscription_id"]
            for entry in account.get("vnets") or ():
                name = entry["vnet_name"]
                gateways[name] = Common.getSpokeGatewayName({name: entry}, name, Common.VPC_NAME_MAX_LENGTH)
                if entry.get("domain") and entry["domain"] not in domains:
                    domains.append(entry["domain"])
        controller = LocalController.from_cloud(cloud, gateway_names=gateways, account_names=accounts,
                                                domains=domains)
    controller.start()
    os.environ["REQUESTS_CA_BUNDLE"] = controller.ca_bundle
    return controller, Controller(url=controller.url, cid=controller.cid)


def controller_file(state_file):
    path = pathlib.Path(state_file)
    return path.with_name(path.name + CONTROLLER_SUFFIX)


def state(controller):
    """The gateways' SNAT modes and the domain attachments, to compare before and after."""
    return {"gateways": {name: {"snat_mode": g["snat_mode"]} for name, g in controller.state.gateways.items()},
            "domains": {name: sorted(members) for name, members in controller.state.domains.items()}}


def save(controller, state_file):
    controller.state.save(controller_file(state_file))
