"""What the controller holds, and its answer to each action the controller client sends.

Accounts carry the Azure subscription, client and tenant ids; gateways their
controller account, "vpc_id" (VNet name, a colon, resource group) and SNAT
mode; security domains the names of the gateways attached to them. Replies
have the controller's shape: {"return": true, "results": ...} on success,
{"return": false, "reason": ...} on a refusal, which changes nothing.
"""
import copy
import json
import secrets
import uuid

import yaml

from localarm import ids

FORMAT = "localctl/1"
AZURE = 8  # the controller's cloud type of an Azure account or gateway
SNAT_MODES = ("none", "single_ip")


class Refused(Exception):
    """The controller says no; the text is the reply's "reason"."""


class ControllerState:
    def __init__(self, cid=None):
        self.cid = cid or secrets.token_hex(16)
        self.accounts = {}   # account name -> record, in the order added
        self.gateways = {}   # gateway name -> record
        self.domains = {}    # security domain -> attached gateway names, in attach order

    # Seeding

    def add_account(self, name, subscription_id, client_id="", tenant_id=""):
        self.accounts[name] = {"account_name": name, "cloud_type": AZURE, "arm_subscription_id": subscription_id,
                               "arm_ad_client_id": client_id, "arm_ad_tenant_id": tenant_id}
        return self.accounts[name]

    def add_gateway(self, name, account, vpc_id, region="", snat_mode="none"):
        if name in self.gateways:
            raise ValueError("gateway " + name + " exists")
        if snat_mode not in SNAT_MODES:
            raise ValueError("SNAT mode is one of " + ", ".join(SNAT_MODES))
        self.gateways[name] = {"gw_name": name, "account_name": account, "cloud_type": AZURE, "vpc_id": vpc_id,
                               "vpc_region": region, "snat_mode": snat_mode}
        return self.gateways[name]

    def add_domain(self, name, attachments=()):
        self.domains[name] = list(attachments)

    @classmethod
    def from_cloud(cls, cloud, gateway_names=None, account_names=None, domains=(), cid=None):
        """One account per subscription of a local cloud and one gateway per VNet.

        A VNet's gateway is named by `gateway_names[vnet name]`, else "<vnet name>-gw";
        a subscription's account by `account_names[subscription id]`, else
        "azure-<first 8 characters of the id>". The client and tenant ids are
        made up from the subscription id.
        """
        gateway_names, account_names = gateway_names or {}, account_names or {}
        state = cls(cid)
        for subscription in cloud.subscriptions.values():
            sub = subscription["subscriptionId"]
            state.add_account(account_names.get(sub, "azure-" + sub[:8]), sub,
                              str(uuid.uuid5(uuid.NAMESPACE_URL, "client/" + sub)),
                              str(uuid.uuid5(uuid.NAMESPACE_URL, "tenant/" + sub)))
        by_subscription = {a["arm_subscription_id"].lower(): a["account_name"] for a in state.accounts.values()}
        for vnet in cloud.vnets.table:
            name, rg = vnet["name"], ids.resource_group(vnet["id"])
            state.add_gateway(gateway_names.get(name, name + "-gw"),
                              by_subscription[ids.subscription(vnet["id"]).lower()], name + ":" + rg,
                              vnet.get("location") or "")
        for domain in domains:
            state.add_domain(domain)
        return state

    # Inspection

    def snat(self, gw_name):
        return self.gateways[gw_name]["snat_mode"]

    def attached(self, gw_name):
        """The domains the gateway is attached to."""
        return [domain for domain, names in self.domains.items() if gw_name in names]

    # Files

    def to_json(self):
        return {"format": FORMAT, "cid": self.cid, "accounts": list(self.accounts.values()),
                "gateways": list(self.gateways.values()), "domains": copy.deepcopy(self.domains)}

    @classmethod
    def from_mapping(cls, document):
        """A state from a mapping as `to_json` writes it; "cid", "format" and each section are optional."""
        state = cls(document.get("cid"))
        for a in document.get("accounts") or ():
            state.add_account(a["account_name"], a["arm_subscription_id"], a.get("arm_ad_client_id", ""),
                              a.get("arm_ad_tenant_id", ""))
        for g in document.get("gateways") or ():
            state.add_gateway(g["gw_name"], g["account_name"], g["vpc_id"], g.get("vpc_region", ""),
                              g.get("snat_mode", "none"))
        for name, attachments in (document.get("domains") or {}).items():
            state.add_domain(name, attachments or ())
        return state

    @classmethod
    def load(cls, path):
        """A state from a YAML or JSON file."""
        with open(path) as file:
            return cls.from_mapping(yaml.safe_load(file) or {})

    def save(self, path):
        with open(path, "w") as file:
            json.dump(self.to_json(), file, indent=1)

    # Requests

    def answer(self, body):
        """The reply to one request body."""
        try:
            if not isinstance(body, dict):
                raise Refused("Request body must be a JSON object.")
            if body.get("CID") != self.cid:
                raise Refused("CID is invalid or expired.")
            action = body.get("action")
            handler = ACTIONS.get(action) if isinstance(action, str) else None
            if handler is None:
                raise Refused("Valid action required: " + str(action) + ".")
            return {"return": True, "results": handler(self, body)}
        except Refused as refusal:
            return {"return": False, "reason": str(refusal)}

    def _gateway(self, body, field):
        name = _required(body, field)
        if not isinstance(name, str) or name not in self.gateways:
            raise Refused("Gateway " + str(name) + " does not exist.")
        return self.gateways[name]

    def list_gateway_info(self, body):
        account = _required(body, "account_name")
        return [dict(g) for g in self.gateways.values() if account in ("", g["account_name"])]

    def list_accounts(self, body):
        _required(body, "iam_based")
        return {"account_list": [dict(a) for a in self.accounts.values()]}

    def enable_snat(self, body):
        gateway = self._gateway(body, "gateway_name")
        if body.get("mode") != "single_ip":
            raise Refused("Only single_ip SNAT mode is supported on Azure gateways.")
        gateway["snat_mode"] = "single_ip"
        return "SNAT enabled on gateway " + gateway["gw_name"] + "."

    def disable_snat(self, body):
        gateway = self._gateway(body, "gateway_name")
        gateway["snat_mode"] = "none"
        return "SNAT disabled on gateway " + gateway["gw_name"] + "."

    def list_domains(self, body):
        return [{"name": name, "attachments": list(members)} for name, members in self.domains.items()]

    def _domain(self, body):
        name = _required(body, "domain_name")
        if not isinstance(name, str) or name not in self.domains:
            raise Refused("Security domain " + str(name) + " does not exist.")
        return name, self._gateway(body, "attachment_name")["gw_name"]

    def associate(self, body):
        domain, gateway = self._domain(body)
        if gateway in self.domains[domain]:
            raise Refused("Attachment " + gateway + " is already associated with domain " + domain + ".")
        self.domains[domain].append(gateway)
        return "Attachment " + gateway + " associated with domain " + domain + "."

    def disassociate(self, body):
        domain, gateway = self._domain(body)
        if gateway not in self.domains[domain]:
            raise Refused("Attachment " + gateway + " is not associated with domain " + domain + ".")
        self.domains[domain].remove(gateway)
        return "Attachment " + gateway + " disassociated from domain " + domain + "."


# The actions that change the state, kept in the journal of a remembered controller.
CHANGES = ("enable_snat", "disable_snat", "associate_attachment_to_multi_cloud_security_domain",
           "disassociate_attachment_from_multi_cloud_security_domain")
ACTIONS = {
    "list_gateway_info": ControllerState.list_gateway_info,
    "list_accounts": ControllerState.list_accounts,
    "list_multi_cloud_security_domains": ControllerState.list_domains,
    "enable_snat": ControllerState.enable_snat,
    "disable_snat": ControllerState.disable_snat,
    "associate_attachment_to_multi_cloud_security_domain": ControllerState.associate,
    "disassociate_attachment_from_multi_cloud_security_domain": ControllerState.disassociate,
}


def _required(body, field):
    if field not in body:
        raise Refused(field + " is required.")
    return body[field]
