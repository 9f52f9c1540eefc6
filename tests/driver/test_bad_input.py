"""Bad input of every kind: one line per problem naming the file and the key, exit 2, nothing touched.

The families (configuration shapes, topology shapes, saved state, `az` output and
records files) are each one table run through the driver in this process; the
property at the end mutates the sample configuration and topology at random.
"""
import contextlib
import copy
import io
import json
import os
import pathlib
import tempfile

import pytest
import yaml
from hypothesis import HealthCheck, given, settings, strategies as st

from driving import drive
from localarm import SAMPLE_TOPOLOGY, SAMPLES
from test_migrate import SAMPLE_CONFIG, config_with, run

SAMPLE = yaml.safe_load(SAMPLE_CONFIG.read_text())
TOPOLOGY = yaml.safe_load(pathlib.Path(SAMPLE_TOPOLOGY).read_text())
SPOKE1 = TOPOLOGY["subscriptions"]["22222222-2222-4222-8222-222222222222"]["rg-spoke1"]["vnets"]["spoke1-vnet"]


def driven(folder, *argv):
    """(status, standard error) of the driver run in `folder`; a traceback fails the test."""
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()), chdir(folder):
        status = drive(*argv)
    return status, err.getvalue()


@contextlib.contextmanager
def chdir(folder):
    before = os.getcwd()
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(before)


def refused(folder, status, err):
    """Exit 2, every line an error or the closing line, and nothing written."""
    assert status == 2, err
    assert err.splitlines()[-1] == "nothing was changed"
    assert not (pathlib.Path(folder) / "output").exists()
    assert not (pathlib.Path(folder) / "state.json").exists()
    return [line[len("error: "):] for line in err.splitlines() if line.startswith("error: ")]


def put(document, path, value):
    for step in path[:-1]:
        document = document[step]
    if value is DROP:
        del document[path[-1]]
    else:
        document[path[-1]] = value


DROP = object()
ACCOUNT = ("account_info", 0)
VNET = ACCOUNT + ("vnets", 0)
CONFIG_CASES = [
    ((ACCOUNT + ("subscription_id",), DROP), ["account_info[0] (spokes-prod).subscription_id: missing"]),
    ((ACCOUNT + ("account_name",), DROP), ["account_info[0].account_name: missing"]),
    ((ACCOUNT + ("subscription_id",), 12345),
     ["account_info[0] (spokes-prod).subscription_id: is a number (12345); expected a text"]),
    ((("account_info",), {"a": 1}), ["account_info: is a mapping; expected a list"]),
    ((ACCOUNT, "spokes"), ["account_info[0]: is a text ('spokes'); expected a mapping"]),
    ((("config",), ["x"]), ["config: is a list; expected a mapping"]),
    ((("switch_traffic",), None), ["switch_traffic: is empty; expected a mapping"]),
    ((("alert",), DROP), ["alert: missing"]),
    ((VNET + ("allow_vnet_cidrs",), "10.4.0.0/16"),
     ["account_info[0] (spokes-prod).vnets[0] (spoke1-vnet).allow_vnet_cidrs: is a text ('10.4.0.0/16'); "
      "expected a list of network ranges"]),
    ((("label",), "CLEANUP"), ["label: expected MIGRATION, got 'CLEANUP'"]),
    ((("azure_cred", "hub-app", "arm_subscription_id"), "11111111"),
     ["azure_cred.hub-app.arm_subscription_id: is a text ('11111111'); expected a list"]),
]


@pytest.mark.parametrize("command", ["discover", "plan", "switch"])
@pytest.mark.parametrize("change, lines", CONFIG_CASES, ids=[str(c[0][0][-1]) + "=" + str(c[0][1])[:12]
                                                              for c in CONFIG_CASES])
def test_configuration_shapes(tmp_path, command, change, lines):
    document = copy.deepcopy(SAMPLE)
    put(document, *change)
    config = tmp_path / "c.yaml"
    config.write_text(yaml.safe_dump(document))
    errors = refused(tmp_path, *driven(tmp_path, command, "--config", config, "--save-state", "state.json"))
    assert errors == [str(config) + ": " + line for line in lines]


@pytest.mark.parametrize("text, line", [
    ("- a\n- b\n", "the top level of a configuration must be a mapping, got list"),
    ("label: MIGRATION\n  x: [\n", "line 2, column 4: mapping values are not allowed here"),
])
def test_configuration_files_that_are_not_one(tmp_path, text, line):
    config = tmp_path / "c.yaml"
    config.write_text(text)
    assert refused(tmp_path, *driven(tmp_path, "discover", "--config", config)) == [str(config) + ": " + line]


def test_every_problem_of_a_configuration_is_named_once(tmp_path):
    def spoil(document):
        spokes = document["account_info"][0]
        spokes["vnets"][0]["allow_vnet_cidrs"] = ["10.0.0.0/33"]
        spokes["vnets"].append(dict(spokes["vnets"][1], vnet_name="ghost-vnet"))
        spokes["vnets"].append(dict(spokes["vnets"][1]))                  # spoke2 listed twice
        document["account_info"].append(dict(document["account_info"][1],
                                             subscription_id="44444444-4444-4444-8444-444444444444"))
        del document["azure_cred"]["zentrova"]
        del document["switch_traffic"]["manage_propagate_gateway_routes"]
    config = config_with(tmp_path, spoil)
    done = run(tmp_path, "switch", "--config", config, "--save-state", tmp_path / "state.json")
    name = str(config) + ": "
    assert refused(tmp_path, done.returncode, done.stderr) == [
        name + "switch_traffic.manage_propagate_gateway_routes: missing",
        name + "account_info[0] (spokes-prod).vnets[0] (spoke1-vnet).allow_vnet_cidrs: '10.0.0.0/33' is not a "
               "network range ('10.0.0.0/33' does not appear to be an IPv4 or IPv6 network)",
        name + "account_info[0] (spokes-prod): subscription 22222222-2222-4222-8222-222222222222 has no "
               "credential in azure_cred",
        name + "account_info[2] (hub-prod): subscription 44444444-4444-4444-8444-444444444444 has no "
               "credential in azure_cred"]
    assert "VNets spoke2-vnet, ghost-vnet are given the same spoke gateway spoke2-gw" in done.stderr
    assert "VNet spoke2-vnet is listed twice" in done.stderr
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("argv, line", [
    (("--subscription", "99999999-0000-0000-0000-000000000000"),
     "{config}: account_info: no account has the subscription 99999999-0000-0000-0000-000000000000"),
    (("--vnet", "ghost-vnet"), "{config}: account_info: no VNet named ghost-vnet"),
])
def test_a_selection_that_names_nothing(tmp_path, argv, line):
    for command in ("discover", "switch"):
        errors = refused(tmp_path, *driven(tmp_path, command, *argv, "--save-state", "state.json"))
        assert errors == [line.format(config=SAMPLE_CONFIG)]


def test_a_vnet_outside_its_allowed_ranges_is_warned_about(tmp_path):
    def narrow(document):
        document["account_info"][0]["vnets"][1]["allow_vnet_cidrs"] = ["10.9.0.0/16"]
    config = config_with(tmp_path, narrow)
    assert run(tmp_path, "discover").returncode == 0
    done = run(tmp_path, "plan", "--config", config)
    assert done.returncode == 0, done.stderr
    assert ("**Alert** " + str(config) + ": account_info[0] (spokes-prod).vnets[1] (spoke2-vnet).allow_vnet_cidrs: "
            "the VNet's address space 10.2.0.0/16 is outside the allowed ranges 10.9.0.0/16") in done.stderr.splitlines()
    assert "outside the allowed ranges" not in run(tmp_path, "plan").stderr


def spoke1(**change):
    topology = copy.deepcopy(TOPOLOGY)
    vnet = topology["subscriptions"]["22222222-2222-4222-8222-222222222222"]["rg-spoke1"]["vnets"]["spoke1-vnet"]
    vnet.update(change)
    return yaml.safe_dump(topology)


SPOKE1_AT = "subscriptions.22222222-2222-4222-8222-222222222222.rg-spoke1.vnets.spoke1-vnet"
TOPOLOGY_CASES = [
    ("subscriptions: [", "line 1, column 17: expected the node content, but found '<stream end>'"),
    ("- a\n- b\n", "top level: is list, not a mapping"),
    (spoke1(subnets=dict(SPOKE1["subnets"], web="10.1.1.0/33")),
     SPOKE1_AT + ".subnets.web: InvalidAddressPrefixFormat: Value '10.1.1.0/33' of the address prefix of resource "
     "/subscriptions/22222222-2222-4222-8222-222222222222/resourceGroups/rg-spoke1/providers/Microsoft.Network/"
     "virtualNetworks/spoke1-vnet/subnets/web is not a valid address prefix."),
    (spoke1(subnets={"web": "10.9.1.0/24"}),
     SPOKE1_AT + ".subnets.web: NetcfgSubnetRangeOutsideVnet: Subnet 'web' is not valid because its IP address "
     "range is outside the IP address range of virtual network 'spoke1-vnet'."),
    (spoke1(subnets={"a": "10.1.1.0/24", "b": "10.1.1.128/25"}),
     SPOKE1_AT + ".subnets.b: NetcfgSubnetRangesOverlap: Subnet 'b' is not valid because its IP address range "
     "overlaps with that of an existing subnet 'a' in virtual network 'spoke1-vnet'."),
    (spoke1(address_space=["10.1.0.0/99"]),
     SPOKE1_AT + ": InvalidAddressPrefixFormat: Value '10.1.0.0/99' of the address prefix of resource "
     "/subscriptions/22222222-2222-4222-8222-222222222222/resourceGroups/rg-spoke1/providers/Microsoft.Network/"
     "virtualNetworks/spoke1-vnet is not a valid address prefix."),
    (spoke1(subnets={"web": {"prefix": "10.1.1.0/24", "route_table": "rt-ghost"}}),
     SPOKE1_AT + ".subnets.web: InvalidResourceReference: Resource /subscriptions/22222222-2222-4222-8222-"
     "222222222222/resourceGroups/rg-spoke1/providers/Microsoft.Network/routeTables/rt-ghost referenced by resource "
     "/subscriptions/22222222-2222-4222-8222-222222222222/resourceGroups/rg-spoke1/providers/Microsoft.Network/"
     "virtualNetworks/spoke1-vnet/subnets/web was not found. Please make sure that the referenced resource exists, "
     "and that both resources are in the same region."),
    (spoke1(peerings={"to-ghost": {"remote": "rg-spoke1/ghost-vnet"}}),
     SPOKE1_AT + ".peerings.to-ghost: InvalidResourceReference: Resource /subscriptions/22222222-2222-4222-8222-"
     "222222222222/resourceGroups/rg-spoke1/providers/Microsoft.Network/virtualNetworks/ghost-vnet referenced by "
     "resource /subscriptions/22222222-2222-4222-8222-222222222222/resourceGroups/rg-spoke1/providers/Microsoft."
     "Network/virtualNetworks/spoke1-vnet/virtualNetworkPeerings/to-ghost was not found. Please make sure that the "
     "referenced resource exists, and that both resources are in the same region."),
    (spoke1(locks={"l": "Sometimes"}),
     SPOKE1_AT + ".locks.l: InvalidRequestFormat: Lock level 'Sometimes' is not CanNotDelete or ReadOnly."),
    (spoke1(subnets="10.1.0.0/24"), SPOKE1_AT + ".subnets: is str, not a mapping"),
]


@pytest.mark.parametrize("text, line", TOPOLOGY_CASES, ids=[c[1].split(": ")[0][-24:] + str(i)
                                                           for i, c in enumerate(TOPOLOGY_CASES)])
def test_topology_shapes(tmp_path, text, line):
    topology = tmp_path / "t.yaml"
    topology.write_text(text)
    errors = refused(tmp_path, *driven(tmp_path, "plan", "--topology", topology, "--save-state", "state.json"))
    assert errors == [str(topology) + ": " + line]


def saved_cloud(folder):
    folder.mkdir()
    status, err = driven(folder, "discover", "--save-state", "saved.json")
    assert status == 0, err
    return json.loads((folder / "saved.json").read_text())


@pytest.mark.parametrize("option, spoil, line", [
    ("--state", lambda s: dict(s, format="x"), "not a saved local cloud (format 'x')"),
    ("--state", lambda s: [s], "not a saved local cloud (format None)"),
    ("--state", lambda s: dict(s, resources=s["resources"][:1] + [{"id": 5}]),
     "resource [1] ({'id': 5}): not a resource as Azure lists it (AttributeError: 'int' object has no attribute "
     "'split')"),
    ("--state", lambda s: dict(s, subscriptions=[1]),
     "subscriptions or resources not as saved (AttributeError: 'list' object has no attribute 'items')"),
    ("--from-az", lambda s: {"value": 1}, "a CLI object without id or type: {\"value\": 1}"),
    ("--from-az", lambda s: 7, "not what az ... list prints (a list of objects)"),
    ("--from-az", lambda s: [[1]], "a CLI list holds objects; found [1]"),
])
def test_saved_state_and_az_files(tmp_path, option, spoil, line):
    state = saved_cloud(tmp_path / "first")
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps(spoil(state)))
    if option == "--from-az":
        argv = (option, pathlib.Path(SAMPLES) / "az-network-vnet-list.json", bad)
    else:
        argv = (option, bad)
    errors = refused(tmp_path, *driven(tmp_path, "switch", *argv, "--save-state", "state.json"))
    assert errors == [str(bad) + ": " + line]


@pytest.mark.parametrize("content, line", [
    ('{"format": "dm-migration-records/1", "vnets": {"a', "cannot revert from it: it is not complete JSON"),
    (None, "cannot revert from it: the file does not exist"),
])
def test_records_files(tmp_path, content, line):
    records = tmp_path / "records.json"
    if content is not None:
        records.write_text(content)
    errors = refused(tmp_path, *driven(tmp_path, "revert", "--records", records, "--save-state", "state.json"))
    assert errors[0].startswith(str(records) + ": " + line)


def key_paths(node, prefix=()):
    yield prefix
    if isinstance(node, dict):
        for name, value in node.items():
            yield from key_paths(value, prefix + (name,))
    elif isinstance(node, list):
        for index, value in enumerate(node):
            yield from key_paths(value, prefix + (index,))


def mutated(document, path, how):
    """The document with one value dropped, renamed or replaced by null, another type, a text, or a
    list for a mapping and back."""
    document = copy.deepcopy(document)
    if not path:
        return {"drop": None, "null": None, "other": 5}.get(how, [document])
    parent = document
    for step in path[:-1]:
        parent = parent[step]
    name = path[-1]
    value = parent[name]
    if how == "drop":
        del parent[name]
    elif how == "rename" and isinstance(parent, dict):
        parent[str(name) + "_x"] = parent.pop(name)
    elif how == "rename":
        parent[name] = {"x": value}
    elif how == "null":
        parent[name] = None
    elif how == "other":
        parent[name] = 12345 if isinstance(value, str) else "text"
    elif how == "text":
        parent[name] = "10.4.0.0/16"
    elif how == "swap":
        parent[name] = (list(value.values()) if isinstance(value, dict) else
                        {str(i): v for i, v in enumerate(value)} if isinstance(value, list) else [value])
    return document


CONFIG_PATHS = list(key_paths(SAMPLE))
TOPOLOGY_PATHS = list(key_paths(TOPOLOGY))
MUTATIONS = st.sampled_from(["drop", "rename", "null", "other", "text", "swap"])


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(["config", "topology"]), st.data(), MUTATIONS, st.sampled_from(["discover", "plan"]))
def test_no_input_ends_in_a_traceback(which, data, how, command):
    paths = CONFIG_PATHS if which == "config" else TOPOLOGY_PATHS
    path = data.draw(st.sampled_from(paths))
    document = mutated(SAMPLE if which == "config" else TOPOLOGY, path, how)
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        (folder / "input.yaml").write_text(yaml.safe_dump(document))
        option = "--config" if which == "config" else "--topology"
        status, err = driven(folder, command, option, "input.yaml", "--save-state", "state.json")
        assert status in (0, 1, 2)
        if status == 2:
            refused(folder, status, err)
