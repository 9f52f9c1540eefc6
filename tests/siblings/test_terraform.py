import json

import pytest

from dm.arm.terraform import ASSOCIATION_FILE, Terraform

RECORD = {
    "vnet_name": "hub.vnet",
    "subnet_id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/hub.vnet/subnets/web",
    "subnet_ref": "azurerm_subnet.hub_vnet_web.id",
    "route_table_id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/routeTables/rt-web-new",
    "route_table_ref": 'module.hub.vnet.azurerm_route_table_zentrova_managed["rt-web-new"].id',
    "rname": "hub_vnet_web_rt-web-new",
    "provider": "acct_1",
}


def test_writer_needs_an_output_folder():
    with pytest.raises(RuntimeError):
        Terraform.createSubnetAssociationTf(RECORD)


def test_associations_are_appended_with_their_import(tmp_path):
    Terraform.setOutputFolder(str(tmp_path / "acct-1"))
    Terraform.createSubnetAssociationTf(RECORD)
    Terraform.createSubnetAssociationTf(dict(RECORD, rname="second", provider=None))
    text = (tmp_path / "acct-1" / ASSOCIATION_FILE).read_text()
    first, second = text.split("# VNet hub.vnet, route table ")[1:]
    assert ('resource "azurerm_subnet_route_table_association" "hub_vnet_web_rt-web-new" {\n'
            "  provider       = azurerm.acct_1\n"
            "  subnet_id      = azurerm_subnet.hub_vnet_web.id\n"
            '  route_table_id = module.hub.vnet.azurerm_route_table_zentrova_managed["rt-web-new"].id\n'
            "}\n") in first
    assert ("  to = azurerm_subnet_route_table_association.hub_vnet_web_rt-web-new\n"
            '  id = "' + RECORD["subnet_id"] + '"\n') in first
    assert first.startswith(RECORD["route_table_id"])
    assert "\"second\" {\n  subnet_id" in second and "  provider " not in second


def test_discovery_info_read_from_output_folder(tmp_path):
    info = {"rtbSubnetGwGroupInfos": {"/vnet/id": {"rt-web": [{"subnetId": "web", "rtbName": "rt-shared"}]}}}
    (tmp_path / "discovery.json").write_text(json.dumps(info))
    Terraform.setOutputFolder(tmp_path)
    assert Terraform.readDiscoveryInfo() == info
