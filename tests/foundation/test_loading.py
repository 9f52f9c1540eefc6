"""Importing the modules: what they bind, in which order, and how a broken
environment makes the import fail."""
import json

import pytest


def test_cfgbase_binds_its_namespace_in_order(fresh):
    r = fresh("""
        import dm.arm.cfgbase as m
        names = [n for n in vars(m) if not n.startswith("__")]
        print(names)
        import os, pathlib, typing, json
        assert m.makedirs is os.makedirs and m.path is os.path and m.Path is pathlib.Path
        assert m.T is typing and m.json is json
        import dm.CrossCloudCfgbase, dm.logconf
        assert m.dm is dm and m.logconf is dm.logconf
        from dm.arm.res.YamlContext import YamlContext
        assert m.yctx is YamlContext
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str([
        "logging", "os", "sys", "site", "T", "makedirs", "path", "Path", "pathlib", "json", "dm",
        "logconf", "dump_to_dict", "load_from_yaml", "get_ad_cs_credential", "Globals", "yctx",
        "Common"])


def test_trafswap_binds_sdk_siblings_and_common(fresh):
    r = fresh("""
        import dm.arm.trafswap as t, dm.arm.cfgbase as c
        from azure.mgmt.network import NetworkManagementClient
        from azure.mgmt.resource import ManagementLockClient
        import azure.mgmt.resourcegraph as arg
        from dm.arm.res.CaseInsensitiveHelper import CaseInsensitiveDict, case_insensitive_startswith
        from dm.arm.discoverylib import DiscoveryLib
        from dm.arm.zentrova import Zentrova
        assert t.NetworkManagementClient is NetworkManagementClient
        assert t.ManagementLockClient is ManagementLockClient and t.arg is arg
        assert t.CIDict is CaseInsensitiveDict and t.ci_startswith is case_insensitive_startswith
        assert t.dl is DiscoveryLib and t.av is Zentrova and t.common is c.Common
        print(sorted(n for n in vars(t) if not n.startswith("__")))
    """)
    assert r.returncode == 0, r.stderr
    for name in ["yctx", "AzureCredential", "Globals", "dl", "vwm", "av", "tf", "CIDict",
                 "ci_equal", "ci_nequal", "ci_startswith", "common", "SwitchTraffic"]:
        assert f"'{name}'" in r.stdout


CFGBASE_SIBLINGS = ["dm.CrossCloudCfgbase", "dm.logconf", "dm.arm.core.config", "dm.arm.lib.arm_utils",
                    "dm.arm.res.Globals", "dm.arm.res.YamlContext"]
TRAFSWAP_SIBLINGS = ["azure.mgmt.network", "azure.mgmt.resource", "azure.mgmt.resourcegraph",
                     "dm.arm.res.YamlContext", "dm.arm.res.Globals", "dm.arm.discoverylib",
                     "dm.arm.res.VWanMgmt", "dm.arm.zentrova", "dm.arm.terraform",
                     "dm.arm.res.CaseInsensitiveHelper", "dm.arm.cfgbase"]


@pytest.mark.parametrize("module,missing", [("dm.arm.cfgbase", m) for m in CFGBASE_SIBLINGS]
                         + [("dm.arm.trafswap", m) for m in TRAFSWAP_SIBLINGS])
def test_missing_sibling_fails_the_import_naming_it(fresh, module, missing):
    # Every finder passes over the module, as when its file is not installed:
    # the error is the one `import <missing>` gives.
    r = fresh(f"""
        import sys

        class Hiding:
            def __init__(self, finder):
                self.finder = finder

            def find_spec(self, name, path=None, target=None):
                if name == {missing!r}:
                    return None
                return self.finder.find_spec(name, path, target)

        sys.meta_path[:] = [Hiding(f) for f in sys.meta_path]
        try:
            import {module}
        except ImportError as e:
            print(type(e).__name__, e.name, e)
        else:
            print("imported")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == f"ModuleNotFoundError {missing} No module named '{missing}'"


def test_missing_name_in_sibling_is_an_import_error(fresh):
    r = fresh("""
        import dm.arm.core.config as cfg
        del cfg.dump_to_dict
        try:
            import dm.arm.cfgbase
        except ImportError as e:
            print(e.name, e)
    """)
    assert r.stdout.strip() == "dm.arm.core.config cannot import name 'dump_to_dict' from 'dm.arm.core.config'"


def _import_with_data_dir(fresh, data_dir):
    return fresh(f"""
        import pathlib, dm.CrossCloudCfgbase as base
        base.Common.get_data_path = classmethod(lambda cls: pathlib.Path({str(data_dir)!r}))
        try:
            import dm.arm.cfgbase as m
        except Exception as e:
            print(type(e).__name__, e)
        else:
            print("REGION", m.Common.REGION, "AZURE_SUBNET", m.Common.AZURE_SUBNET)
    """)


def test_input_document_read_at_import(fresh, tmp_path):
    (tmp_path / "azure_data").mkdir()
    (tmp_path / "azure_data" / "input.json").write_text(
        json.dumps({"REGION": {"eastus": "East US"}, "AZURE_SUBNET": ["GatewaySubnet"]}))
    r = _import_with_data_dir(fresh, tmp_path)
    assert r.stdout.strip() == "REGION {'eastus': 'East US'} AZURE_SUBNET ['GatewaySubnet']"


def test_broken_input_document_fails_the_import_with_the_hosts_error(fresh, tmp_path):
    path = tmp_path / "azure_data" / "input.json"
    r = _import_with_data_dir(fresh, tmp_path)
    assert r.stdout.strip() == f"FileNotFoundError [Errno 2] No such file or directory: '{path}'"

    path.parent.mkdir()
    path.write_text("{not json")
    assert _import_with_data_dir(fresh, tmp_path).stdout.startswith("JSONDecodeError")

    path.write_text(json.dumps({"REGION": {}}))
    assert _import_with_data_dir(fresh, tmp_path).stdout.strip() == "KeyError 'AZURE_SUBNET'"


def test_data_path_is_joined_as_text(fresh, tmp_path):
    # A data path ending in "/" gives "//azure_data": the text form is joined as it is.
    (tmp_path / "azure_data").mkdir()
    (tmp_path / "azure_data" / "input.json").write_text('{"REGION": 1, "AZURE_SUBNET": 2}')
    r = fresh(f"""
        import builtins, dm.CrossCloudCfgbase as base
        base.Common.get_data_path = classmethod(lambda cls: {str(tmp_path) + "/"!r})
        opened = []
        real_open = builtins.open
        builtins.open = lambda name, *a: opened.append(name) or real_open(name, *a)
        import dm.arm.cfgbase
        print(opened)
    """)
    assert r.stdout.strip() == str([str(tmp_path) + "//azure_data/input.json"])
