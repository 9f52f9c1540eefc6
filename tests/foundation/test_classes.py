"""The two classes as a class statement would make them, their constants,
and the gateway-naming operations."""
import inspect
import json
import types

import pytest

import dm.CrossCloudCfgbase
from dm.arm import cfgbase, trafswap
from dm.arm.cfgbase import Common
from dm.arm.trafswap import SwitchTraffic


def test_common_class_shape():
    assert Common.__bases__ == (dm.CrossCloudCfgbase.Common,)
    assert (Common.__module__, Common.__qualname__) == ("dm.arm.cfgbase", "Common")
    assert Common.__doc__
    expected = {"CONFIG_RTB_NAME": "configure_route_table_name",
                "CONFIG_SHARED_RTB_NAME": "configure_shared_route_table_name",
                "SUB_I": 2, "RG_I": 4, "NSG_I": 8, "RT_I": 8, "PEER_I": -1, "VNET_I": 8,
                "IP_I": 8, "SUBNET_I": 10,
                "DEFAULT_MODULE_SOURCE": "../module_azure_brownfield_spoke_vnet"}
    assert {k: getattr(Common, k) for k in expected} == expected
    assert list(Common.GLOBAL_ATTRIBUTE_LIST.items()) == [
        ("configure_gw_name", "boolean"), ("configure_gw_subnet_nsg", "boolean"),
        ("configure_staging_attachment", "boolean"), ("configure_spoke_advertisement", "boolean"),
        ("enable_spoke_split_cidr", "boolean"), ("configure_private_subnet", "boolean"),
        ("configure_subnet_groups", "boolean"), ("configure_shared_route_table_replication", "int")]
    # The ARM id positions select the segments they name.
    subnet_id = "/subscriptions/s1/resourceGroups/rg1/providers/Microsoft.Network/virtualNetworks/v1/subnets/sn1"
    parts = subnet_id.split("/")
    assert [parts[Common.SUB_I], parts[Common.RG_I], parts[Common.VNET_I], parts[Common.SUBNET_I]] == \
        ["s1", "rg1", "v1", "sn1"]


def test_switch_traffic_class_shape():
    assert SwitchTraffic.__bases__ == (object,) and type(SwitchTraffic) is type
    assert (SwitchTraffic.__module__, SwitchTraffic.__qualname__) == ("dm.arm.trafswap", "SwitchTraffic")
    assert (SwitchTraffic.VPN, SwitchTraffic.ER) == ("Vpn", "ExpressRoute")
    assert SwitchTraffic.region == {
        "eastus": "use", "centralus": "usc", "westus": "usw", "westus2": "usw2",
        "northeurope": "eun", "westeurope": "euw", "southeastasia": "asse", "japaneast": "jae",
        "chinaeast2": "che2", "chinanorth2": "chn2"}


@pytest.mark.parametrize("cls,name", [(Common, "loadInputJson"), (SwitchTraffic, "deduceGwName"),
                                      (SwitchTraffic, "setDryRun")])
def test_operations_are_classmethods(cls, name):
    raw = cls.__dict__[name]
    assert isinstance(raw, classmethod)
    bound = getattr(cls, name)
    assert bound.__self__ is cls and bound.__module__ == cls.__module__
    assert bound.__doc__


def test_signature_and_argument_errors():
    assert str(inspect.signature(SwitchTraffic.deduceGwNameWithSubnetCidr)) == "(regionId, cidr)"
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'cidr'"):
        SwitchTraffic.deduceGwNameWithSubnetCidr("eastus")
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        SwitchTraffic.deduceTransitNameWithRegion("eastus", "extra")
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'region'"):
        SwitchTraffic.deduceTransitNameWithRegion(region="eastus")
    with pytest.raises(TypeError, match=r"multiple values for argument 'regionId'"):
        SwitchTraffic.deduceTransitNameWithRegion("eastus", regionId="eastus")
    assert SwitchTraffic.deduceGwNameWithSubnetCidr(cidr="10.0.0.0/8", regionId="japaneast") == \
        "azu-jae-0a000000-gw"
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'cls'"):
        Common.__dict__["loadInputJson"].__func__()


def test_class_functions_bind_as_python_functions_do():
    function = SwitchTraffic.deduceTransitNameWithRegion.__func__
    assert vars(SwitchTraffic)["deduceTransitNameWithRegion"].__func__ is function
    assert (function.__name__, function.__qualname__, function.__module__) == (
        "deduceTransitNameWithRegion", "SwitchTraffic.deduceTransitNameWithRegion", "dm.arm.trafswap")
    assert function.__doc__ == "Transit gateway name of a region."
    assert str(inspect.signature(SwitchTraffic.deduceTransitNameWithRegion)) == "(regionId)"
    assert function(SwitchTraffic, "eastus") == function(cls=SwitchTraffic, regionId="eastus") == "azu-use-transit-gw"
    assert function.__get__(None, SwitchTraffic) is function
    assert inspect.ismethod(SwitchTraffic.deduceTransitNameWithRegion)

    class Sub(SwitchTraffic):
        region = {"x": "sub"}

        @classmethod
        def deduceTransitNameWithRegion(cls, regionId):
            return super().deduceTransitNameWithRegion(regionId).upper()

    # Bound to the class it is reached through, by the class, an instance or super().
    assert Sub.deduceTransitNameWithRegion("x") == "AZU-SUB-TRANSIT-GW"
    assert SwitchTraffic().deduceTransitNameWithRegion.__self__ is SwitchTraffic
    assert Sub().deduceGwName.__self__ is Sub
    assert function.__get__(Sub).__self__ is Sub
    assert SwitchTraffic.deduceTransitNameWithRegion("eastus") == "azu-use-transit-gw"
    with pytest.raises(TypeError, match=r"deduceGwName\(\) takes 5 positional arguments but 10 were given"):
        Sub.deduceGwName(*range(9))


def test_an_operation_reaching_itself_through_the_class_hits_the_recursion_limit():
    # discoverVpcCidr asks cls.isExpectedVpcPrefix(prefix, allowed) of each prefix:
    # here that is discoverVpcCidr again, on a VNet that is its own prefix.
    class Sub(SwitchTraffic):
        isExpectedVpcPrefix = classmethod(SwitchTraffic.discoverVpcCidr.__func__)
    prefixes = []
    vnet = types.SimpleNamespace(address_space=types.SimpleNamespace(address_prefixes=prefixes))
    prefixes.append(vnet)
    allowed = {}
    allowed["allow_vnet_cidrs"] = allowed
    with pytest.raises(RecursionError):
        Sub.discoverVpcCidr(vnet, allowed)


def test_a_subclass_bound_to_an_operation_is_freed():
    import gc
    import weakref
    Sub = type("Sub", (SwitchTraffic,), {})
    assert Sub.deduceTransitNameWithRegion("eastus") == "azu-use-transit-gw"
    gone = weakref.ref(Sub)
    del Sub
    gc.collect()
    assert gone() is None


def test_common_keeps_the_base_metaclass_and_hooks(fresh):
    r = fresh("""
        import dm.CrossCloudCfgbase as base
        seen = []
        class Meta(type):
            def __prepare__(name, bases):
                seen.append("prepare " + name)
                return {}
        class Base(metaclass=Meta):
            def __init_subclass__(cls):
                seen.append("subclass " + cls.__qualname__)
            get_data_path = base.Common.get_data_path
        base.Common = Base
        from dm.arm.cfgbase import Common
        print(type(Common).__name__, seen)
    """)
    assert r.stdout.strip() == "Meta ['prepare Base', 'prepare Common', 'subclass Common']", r.stderr


def test_gateway_names():
    cases = [("eastus", "10.20.0.0/24", "azu-use-0a140000-gw"),
             ("westus2", "172.16.5.0/26", "azu-usw2-ac100500-gw"),
             ("chinanorth2", "192.168.1.1/32", "azu-chn2-c0a80101-gw"),
             ("eastus", "10.010.0.0", "azu-use-0a0a0000-gw"),         # leading zeros, no length
             ("eastus", " 1.2.3.4.5/9", "azu-use-01020304-gw")]       # blanks; fifth piece ignored
    for region, cidr, name in cases:
        assert SwitchTraffic.deduceGwNameWithSubnetCidr(region, cidr) == name
    assert SwitchTraffic.deduceTransitNameWithRegion("northeurope") == "azu-eun-transit-gw"
    assert SwitchTraffic.deduceTransitNameWithRegion("southeastasia") == "azu-asse-transit-gw"

    class Wide(SwitchTraffic):            # codes of wider characters and of other types
        region = {"w": "\u00fc\U0001f310", "n": 5, "s": type("Code", (str,), {"__str__": lambda s: "sub"})("c")}
    assert Wide.deduceTransitNameWithRegion("w") == "azu-\u00fc\U0001f310-transit-gw"
    assert Wide.deduceTransitNameWithRegion("n") == "azu-5-transit-gw"
    assert Wide.deduceTransitNameWithRegion("s") == "azu-sub-transit-gw"
    assert Wide.deduceGwNameWithSubnetCidr("w", "10.0.0.1/32") == "azu-\u00fc\U0001f310-0a000001-gw"

    class Described(SwitchTraffic):       # read through the class, a descriptor binds as usual
        region = classmethod(lambda cls: {"d": cls.__name__})
    with pytest.raises(TypeError):
        Described.deduceTransitNameWithRegion("d")   # a bound method is no mapping

    for region in ("uksouth", "EastUS"):
        with pytest.raises(KeyError):
            SwitchTraffic.deduceTransitNameWithRegion(region)
        with pytest.raises(KeyError):
            SwitchTraffic.deduceGwNameWithSubnetCidr(region, "10.0.0.0/8")
    with pytest.raises(IndexError):
        SwitchTraffic.deduceGwNameWithSubnetCidr("eastus", "10.0.0/8")
    with pytest.raises(ValueError):
        SwitchTraffic.deduceGwNameWithSubnetCidr("eastus", "10.0.x.0/8")


def test_spoke_gateway_name_from_map_or_fallback():
    sentinel = object()
    gw_map = {"vnetA-acct1": sentinel, "5-7": "gw-57"}
    assert SwitchTraffic.deduceGwName(gw_map, "vnetA", "spoke", "acct1") is sentinel
    assert SwitchTraffic.deduceGwName(gw_map, 5, "spoke", 7) == "gw-57"
    assert SwitchTraffic.deduceGwName({}, "vnetA", "spoke", "acct1") == "spoke-acct1-gw"

    class Membership:          # any object with membership and subscription
        def __contains__(self, key):
            return key == "x-1"
        def __getitem__(self, key):
            return "mapped " + key
    assert SwitchTraffic.deduceGwName(Membership(), "x", "n", 1) == "mapped x-1"
    assert SwitchTraffic.deduceGwName(Membership(), "y", None, 1) == "None-1-gw"


def test_subclass_region_table_is_used():
    class Regional(SwitchTraffic):
        region = {"uksouth": "uks"}
    assert Regional.deduceTransitNameWithRegion("uksouth") == "azu-uks-transit-gw"
    assert Regional.deduceGwNameWithSubnetCidr("uksouth", "10.0.0.0/16") == "azu-uks-0a000000-gw"
    with pytest.raises(KeyError):
        Regional.deduceTransitNameWithRegion("eastus")


def test_set_dry_run_sets_the_flag_on_the_class_it_is_called_on(monkeypatch):
    monkeypatch.setattr(SwitchTraffic, "DryRun", False)

    class Rehearsal(SwitchTraffic):
        pass
    assert Rehearsal.setDryRun() is None
    assert Rehearsal.DryRun is True and SwitchTraffic.DryRun is False
    assert SwitchTraffic.setDryRun() is None and SwitchTraffic.DryRun is True


def test_module_globals_are_looked_up_at_call_time(monkeypatch):
    target = types.SimpleNamespace()
    fake_json = types.SimpleNamespace(load=lambda f: {"REGION": f.name, "AZURE_SUBNET": ["X"]})
    monkeypatch.setattr(cfgbase, "json", fake_json)
    monkeypatch.setattr(cfgbase, "Common", target)
    Common.loadInputJson()
    assert target.REGION.endswith("/azure_data/input.json") and target.AZURE_SUBNET == ["X"]
    assert Common.REGION != target.REGION


def test_input_file_is_closed_after_parsing(monkeypatch):
    files = []

    def load(f):
        files.append(f)
        return json.load(f)
    monkeypatch.setattr(cfgbase, "json", types.SimpleNamespace(load=load))
    Common.loadInputJson()
    assert files and files[0].closed

    def failing_load(f):
        files.append(f)
        raise ValueError("bad document")
    monkeypatch.setattr(cfgbase, "json", types.SimpleNamespace(load=failing_load))
    with pytest.raises(ValueError, match="bad document"):
        Common.loadInputJson()
    assert files[1].closed
