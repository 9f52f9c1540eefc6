import json

import hcl2
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
    Terraform.createSubnetAssociationTf(dict(RECORD, rname="second", provider=None, subnet_id=RECORD["subnet_id"] + "2"))
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


def parsed(folder):
    """(resource name, subnet_id, route_table_id, provider) of each association and the import targets."""
    with open(folder / ASSOCIATION_FILE) as f:
        document = hcl2.load(f)
    resources = [(name.strip('"'), body["subnet_id"], body["route_table_id"], body.get("provider"))
                 for block in document.get("resource", ())
                 for kind, named in block.items() if kind.strip('"') == "azurerm_subnet_route_table_association"
                 for name, body in named.items()]
    imports = [(block["to"], json.loads(block["id"])) for block in document.get("import", ())]
    return resources, imports


def test_repeated_and_changed_associations_keep_one_resource_per_subnet(tmp_path):
    Terraform.setOutputFolder(tmp_path)
    other = dict(RECORD, subnet_id=RECORD["subnet_id"].replace("/web", "/web_"), subnet_ref="azurerm_subnet.b.id")
    Terraform.createSubnetAssociationTf(RECORD)
    Terraform.createSubnetAssociationTf(other)                      # another subnet, the same resource name
    Terraform.createSubnetAssociationTf(RECORD)                     # the same association again
    first_text = (tmp_path / ASSOCIATION_FILE).read_text()
    Terraform.createSubnetAssociationTf(dict(RECORD, route_table_ref="azurerm_route_table.x.id", rname="1.web"))
    resources, imports = parsed(tmp_path)
    assert resources == [("_1_web", "${azurerm_subnet.hub_vnet_web.id}", "${azurerm_route_table.x.id}",
                          "${azurerm.acct_1}"),
                         ("hub_vnet_web_rt-web-new_2", "${azurerm_subnet.b.id}",
                          '${module.hub.vnet.azurerm_route_table_zentrova_managed["rt-web-new"].id}',
                          "${azurerm.acct_1}")]
    assert imports == [("${azurerm_subnet_route_table_association._1_web}", RECORD["subnet_id"]),
                       ("${azurerm_subnet_route_table_association.hub_vnet_web_rt-web-new_2}", other["subnet_id"])]
    assert first_text.count("resource ") == 2 and "# subnet " + RECORD["subnet_id"] + "\n" in first_text


def test_discovery_info_errors_name_the_file(tmp_path):
    Terraform.setOutputFolder(tmp_path)
    with pytest.raises(FileNotFoundError, match="discovery.json"):
        Terraform.readDiscoveryInfo()
    (tmp_path / "discovery.json").write_text("{not json")
    with pytest.raises(ValueError, match=str(tmp_path / "discovery.json") + " is not JSON"):
        Terraform.readDiscoveryInfo()


def test_writers_on_several_threads_lose_no_association(tmp_path):
    """Eight threads record associations of their own subnets, all under the
    same resource name, each subnet twice (the second a rewrite of the file):
    every subnet ends with one resource of a name no other has."""
    import threading
    Terraform.setOutputFolder(tmp_path)
    subnets = [[RECORD["subnet_id"] + f"-{t}-{n}" for n in range(4)] for t in range(8)]

    def write(own):
        for subnet_id in own * 2:
            Terraform.createSubnetAssociationTf(dict(RECORD, subnet_id=subnet_id))
    threads = [threading.Thread(target=write, args=(own,)) for own in subnets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    resources, imports = parsed(tmp_path)
    assert sorted(subnet_id for _, subnet_id in imports) == sorted(s for own in subnets for s in own)
    assert len({name for name, *_ in resources}) == len(resources) == 32


@pytest.mark.parametrize("change", ["removed", "rewritten with the other subnet's block"])
def test_a_file_changed_by_another_writer_is_read_again(tmp_path, change):
    Terraform.setOutputFolder(tmp_path)
    other = dict(RECORD, subnet_id=RECORD["subnet_id"] + "2", rname="other")
    Terraform.createSubnetAssociationTf(RECORD)
    path = tmp_path / ASSOCIATION_FILE
    if change == "removed":
        path.unlink()
    else:
        path.write_text(path.read_text().replace(RECORD["subnet_id"] + "\n", other["subnet_id"] + "\n", 1))
    Terraform.createSubnetAssociationTf(other)
    Terraform.createSubnetAssociationTf(RECORD)
    _, imports = parsed(tmp_path)
    assert sorted(imports) == [("${azurerm_subnet_route_table_association.hub_vnet_web_rt-web-new}",
                                RECORD["subnet_id"]),
                               ("${azurerm_subnet_route_table_association.other}", other["subnet_id"])]
