"""Terraform output of a migration run, in the account's output folder."""
import json
from pathlib import Path

ASSOCIATION_FILE = "subnet_route_table_association.tf"
DISCOVERY_FILE = "discovery.json"

ASSOCIATION_TEMPLATE = """\
# VNet {vnet_name}, route table {route_table_id}
resource "azurerm_subnet_route_table_association" "{rname}" {{
{provider}  subnet_id      = {subnet_ref}
  route_table_id = {route_table_ref}
}}

import {{
  to = azurerm_subnet_route_table_association.{rname}
  id = {subnet_id}
}}

"""


class Terraform:
    outputFolder = None

    @classmethod
    def setOutputFolder(cls, path):
        """Folder (text or path) where the writer puts its files and finds discovery.json."""
        cls.outputFolder = Path(path)

    @classmethod
    def _folder(cls):
        if cls.outputFolder is None:
            raise RuntimeError("Terraform output folder is not set")
        return cls.outputFolder

    @classmethod
    def createSubnetAssociationTf(cls, record):
        """Append one subnet-to-route-table association, with the import block that
        adopts the association the switch has already made in Azure.

        The record holds "vnet_name", "subnet_id", "subnet_ref", "route_table_id",
        "route_table_ref", "rname" and "provider" (the provider alias; no provider
        line when empty).
        """
        provider = record["provider"]
        text = ASSOCIATION_TEMPLATE.format(
            vnet_name=record["vnet_name"],
            rname=record["rname"],
            provider="  provider       = azurerm." + provider + "\n" if provider else "",
            subnet_ref=record["subnet_ref"],
            route_table_ref=record["route_table_ref"],
            route_table_id=record["route_table_id"],
            subnet_id=json.dumps(record["subnet_id"]))
        folder = cls._folder()
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / ASSOCIATION_FILE, "a", encoding="utf-8") as tf:
            tf.write(text)

    @classmethod
    def readDiscoveryInfo(cls):
        """The discovery information saved by the discovery run in the output folder."""
        with open(cls._folder() / DISCOVERY_FILE, encoding="utf-8") as f:
            return json.load(f)
