"""The local controller of a rehearsal: one account per subscription and one spoke gateway per VNet,
named as the configuration names them, and the configured security domains."""
import os
import pathlib

from dm.arm.cfgbase import Common

from .errors import BadInput, text_of

CONTROLLER_SUFFIX = ".controller.json"


def start(environment, document, saved_state=None):
    """A running local controller (from `saved_state`'s controller file when there is one, else the
    one kept with a cloud that goes on); the controller client trusts its certificate, which lives
    in the environment's folder."""
    from localctl import ControllerState, LocalController

    cloud = environment.cloud
    saved = controller_file(saved_state) if saved_state else None
    kept = cloud.kept is not None and environment.kept_from is None and os.path.exists(
        os.path.join(environment.folder, "controller.json"))
    try:
        if saved is not None and saved.exists():
            controller = LocalController(ControllerState.load(saved))
        elif kept:
            controller = LocalController.remembered(environment.folder)
        else:
            controller = None
    except (LookupError, TypeError, AttributeError, ValueError) as error:
        raise BadInput(str(saved if saved is not None and saved.exists() else environment.folder) + ": "
                       + "not a saved controller (" + text_of(error) + ")") from None
    if controller is None:
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
    if environment.remembers and controller.kept is None:
        controller.remember(environment.folder)
    controller.start(environment.folder)
    os.environ["REQUESTS_CA_BUNDLE"] = controller.ca_bundle
    return controller


def controller_file(state_file):
    path = pathlib.Path(state_file)
    return path.with_name(path.name + CONTROLLER_SUFFIX)


def state(controller):
    """The gateways' SNAT modes and the domain attachments, to compare before and after."""
    return {"gateways": {name: {"snat_mode": g["snat_mode"]} for name, g in controller.state.gateways.items()},
            "domains": {name: sorted(members) for name, members in controller.state.domains.items()}}


def save(controller, state_file):
    controller.state.save(controller_file(state_file))
