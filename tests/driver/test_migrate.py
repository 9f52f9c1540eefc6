"""The driver's discovery report, run as the user runs it: a fresh interpreter
on the shipped sample configuration and topology, in a folder of its own."""
import os
import pathlib
import subprocess
import sys

import yaml

from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, bind

REPO = pathlib.Path(__file__).resolve().parents[2]
TOOL = REPO / "migration" / "discovery_migration"
SAMPLE_CONFIG = TOOL / "samples" / "migration.yaml"
SPOKES = "22222222-2222-4222-8222-222222222222"

SPOKE1_REPORT = """\
- Discover subnet to route-table association
  subnet web is associated to rt-spoke1-web
  subnet app is associated to rt-spoke1-app
  subnet app2 is associated to rt-spoke1-app
  subnet db has no route table
  subnet legacy is associated to spoke1-vnet-default
  found Azure AzureBastionSubnet -- skipped 
  subnet zentrova-spoke-gw has no route table

---------------------------------------------

    Route Tables

---------------------------------------------

  route table rt-spoke1-web (rg-spoke1) serves web
  route table rt-spoke1-app (rg-spoke1) serves app, app2
  route table spoke1-vnet-default (rg-spoke1) serves legacy
  main route tables: spoke1-vnet-main-1, spoke1-vnet-main-2
  staged copy of rt-spoke1-web: rt-spoke1-web-zentrova
  staged copy of rt-spoke1-app: rt-spoke1-app-zentrova
- VNet prefixes inside the allowed ranges: 10.1.0.0/16
- Peerings and locks
  peering spoke1-to-hub to hub-vnet (rg-hub): Connected, access on, forwarded traffic on, gateway transit off, remote gateways on
  peering spoke1-to-spoke2 to spoke2-vnet (rg-spoke2): Connected, access on, forwarded traffic off, gateway transit off, remote gateways off
  locks: none
- vnet spoke1-vnet has no VNG
- vnet spoke1-vnet has no VNG
- Gateways
  spoke gateway   : spoke1-vnet-gw
  transit gateway : azure-transit-eastus
  region gateway  : azu-use-0a010000-gw (for 10.1.0.0/16)
"""


def run(cwd, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TOOL), str(REPO)]))
    return subprocess.run([sys.executable, str(TOOL / "migrate.py"), *map(str, args)],
                          capture_output=True, text=True, env=env, cwd=cwd, timeout=120)


def config_with(tmp_path, change):
    document = yaml.safe_load(SAMPLE_CONFIG.read_text())
    change(document)
    path = tmp_path / "migration.yaml"
    path.write_text(yaml.safe_dump(document))
    return path


def test_sample_report_on_the_terminal_and_in_the_log(tmp_path):
    done = run(tmp_path)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert SPOKE1_REPORT in out
    assert [line for line in out.splitlines() if "Subscription ID" in line] == [
        "    Subscription ID :  22222222-2222-4222-8222-222222222222",
        "    Subscription ID :  11111111-1111-4111-8111-111111111111"]
    assert [line for line in out.splitlines() if "Vnet Name" in line] == [
        "    Vnet Name : spoke1-vnet", "    Vnet Name : spoke2-vnet", "    Vnet Name : hub-vnet"]
    # spoke2's subnet sits on a table of another resource group; the hub's
    # reserved subnets are skipped; without a configured transit the region's is named.
    for line in ["  subnet apps is associated to rt-shared-apps",
                 "  route table rt-shared-apps (rg-network) serves apps",
                 "  spoke gateway   : spoke2-gw",
                 "  transit gateway : azu-use-transit-gw (derived from the region)",
                 "  found Azure GatewaySubnet -- skipped ",
                 "  found Azure AzureFirewallSubnet -- skipped ",
                 "- VNet prefixes inside the allowed ranges: 10.0.0.0/16",
                 "- vnet hub-vnet has VNG - Vpn",
                 "  locks: hub-vnet-lock (CanNotDelete)"]:
        assert line in out.splitlines()

    log = (tmp_path / "output/log/dm.log").read_text()
    assert "INFO dm.arm.trafswap:   subnet app2 is associated to rt-spoke1-app" in log
    assert "INFO dm.migrate:   route table rt-spoke1-app (rg-spoke1) serves app, app2" in log
    alerts = (tmp_path / "output/log/dm.alert.log").read_text()
    assert "ERROR" not in alerts and "Subscription ID :  11111111" in alerts


def test_missing_vnet_is_an_error_and_the_rest_is_still_reported(tmp_path):
    def add_ghost(document):
        vnets = document["account_info"][0]["vnets"]
        vnets.insert(0, dict(vnets[0], vnet_name="ghost-vnet"))
    done = run(tmp_path, "discover", "--config", config_with(tmp_path, add_ghost))
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    error = "**Error** VNet ghost-vnet not found in subscription " + SPOKES
    assert error in lines and lines.index(error) < lines.index("    Vnet Name : spoke1-vnet")
    assert "    Vnet Name : hub-vnet" in lines
    assert error in (tmp_path / "output/log/dm.alert.log").read_text()


def test_report_reads_a_saved_cloud(tmp_path):
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    network = bind(cloud).NetworkManagementClient(StaticCredential(), SPOKES)
    db = network.subnets.get("rg-spoke1", "spoke1-vnet", "db")
    db.route_table = network.route_tables.get("rg-spoke1", "rt-spoke1-web")
    network.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "db", db).result()
    cloud.save(tmp_path / "state.json")

    done = run(tmp_path, "--state", tmp_path / "state.json")
    assert done.returncode == 0, done.stderr
    assert "  subnet db is associated to rt-spoke1-web" in done.stdout.splitlines()
    assert "  route table rt-spoke1-web (rg-spoke1) serves web, db" in done.stdout.splitlines()


def test_against_azure_the_client_secrets_come_from_the_environment(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("ARM_CLIENT_SECRET", "ARM_HUB_CLIENT_SECRET")}
    env["PYTHONPATH"] = str(TOOL)           # no local cloud on the path: it is not needed
    done = subprocess.run([sys.executable, str(TOOL / "migrate.py"), "--azure"], capture_output=True,
                          text=True, env=env, cwd=tmp_path, timeout=120)
    assert done.returncode == 1
    assert [line for line in done.stdout.splitlines() if "Error" in line] == [
        "**Error** client secret of subscription " + SPOKES
        + " not found: environment variable ARM_CLIENT_SECRET is not set",
        "**Error** client secret of subscription 11111111-1111-4111-8111-111111111111"
        " not found: environment variable ARM_HUB_CLIENT_SECRET is not set"]


def test_rehearsal_on_a_copy_of_a_real_network(tmp_path):
    """The Azure CLI's list output of another subscription, with the example
    configuration pointed at it; a VNet the copy lacks is an error."""
    def point_at_copy(document):
        account = document["account_info"][0]
        account["subscription_id"] = "33333333-3333-4333-8333-333333333333"
        account["vnets"] = [dict(account["vnets"][0], vnet_name=name, allow_vnet_cidrs=["10.0.0.0/8"])
                            for name in ("prod-vnet", "spoke1-vnet")]
        del document["account_info"][1:]
    samples = REPO / "localarm" / "samples"
    done = run(tmp_path, "--config", config_with(tmp_path, point_at_copy), "--from-az",
               samples / "az-network-vnet-list.json", samples / "az-network-route-table-list.json")
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert "    Vnet Name : prod-vnet" in lines
    assert "  subnet frontend is associated to rt-prod-frontend" in lines
    assert "  route table rt-prod-frontend (rg-prod) serves frontend, shared-vnet/services" in lines
    assert "**Error** VNet spoke1-vnet not found in subscription 33333333-3333-4333-8333-333333333333" in lines
