"""Attribute reads of the operations remember where a type keeps an attribute;
whatever happens to the class or the instance afterwards, each read gives what
Python's own `o.name` gives at that moment."""
from types import SimpleNamespace

import pytest

from dm.arm.trafswap import SwitchTraffic


class Probe:
    """Compares unequal to everything and keeps what it was compared with: the
    values getVnet read as `vnet.name`."""
    def __init__(self):
        self.seen = []

    def __eq__(self, other):
        self.seen.append(other)
        return False


def names_read(*objs):
    probe = Probe()
    client = SimpleNamespace(virtual_networks=SimpleNamespace(list_all=lambda: iter(objs)))
    assert SwitchTraffic.getVnet(probe, client) is None
    return probe.seen


def check(*objs):
    """Twice, so the second read goes the remembered way."""
    for _ in range(2):
        assert names_read(*objs) == [o.name for o in objs]


def plain(name="a", **more):
    class Model:
        def __init__(self, name):
            self.id = "/x"
            self.name = name
            for k, v in more.items():
                setattr(self, k, v)
    return Model(name)


def test_plain_instances_and_their_own_changes():
    o, p = plain("a"), plain("b", location="eastus")
    check(o, p)
    o.name = "c"
    check(o, p)
    del o.name
    with pytest.raises(AttributeError) as ours:
        names_read(o)
    with pytest.raises(AttributeError) as theirs:
        o.name
    assert str(ours.value) == str(theirs.value)
    o.name = "d"
    check(o)


def prop(value):
    return property(lambda self: value)


@pytest.mark.parametrize("change", [
    lambda o: setattr(type(o), "name", prop("data descriptor")),
    lambda o: setattr(type(o).__mro__[1], "name", prop("base descriptor")),
    lambda o: setattr(type(o), "name", "class value under the instance's"),
    lambda o: setattr(type(o), "name", staticmethod(len)),
    lambda o: setattr(type(o), "__getattribute__", lambda self, n: "getattribute " + n),
    lambda o: (setattr(type(o), "__getattr__", lambda self, n: "getattr " + n), delattr(o, "name")),
    lambda o: setattr(o, "__class__", type("Other", (type(o).__mro__[1],), {"name": prop("other")})),
    lambda o: setattr(o, "__dict__", {"name": "replaced dict"}),
    lambda o: setattr(o, "__dict__", type("D", (dict,), {})(name="dict subclass")),
    lambda o: vars(o).update(name="materialised dict"),
    lambda o: vars(o).__setitem__(1, "a key that is not text"),
    lambda o: [setattr(o, f"extra{i}", i) for i in range(40)] and setattr(o, "name", "many"),
    lambda o: setattr(type(o), "__slots__", ()),  # too late to matter, but a change of the class
])
def test_changes_to_a_class_after_reads(change):
    class Base:
        pass

    class Model(Base):
        def __init__(self, name):
            self.name = name

    o, other = Model("a"), Model("b")
    check(o, other)
    change(o)
    check(o, other)


def test_many_kinds_of_objects_at_one_read():
    class Slots:
        __slots__ = ("name",)

        def __init__(self):
            self.name = "slot"

    class Prop:
        name = prop("property")

    class Sub(str):
        pass

    objs = [plain("p1"), SimpleNamespace(name="ns"), Slots(), Prop(), plain("p2"),
            type("WithDictOffset", (list,), {})(), plain("p3", more=1)]
    objs[5].name = Sub("list subclass")
    check(*objs)
    for o in objs[:5]:
        if not isinstance(o, SimpleNamespace):
            type(o).name = prop("changed")
    check(*objs)


def test_class_replaced_by_one_with_same_layout():
    class A:
        def __init__(self):
            self.name = "a"

    class B:
        def __init__(self):
            self.name = "b"

        @property
        def name(self):
            return "b property"

        @name.setter
        def name(self, v):
            pass

    o = A()
    check(o)
    o.__class__ = B
    check(o)
    o.__class__ = A
    check(o)


def with_spoke_prefixes(cls, *prefixes):
    vnet = plain("v", address_space=plain(address_prefixes=list(prefixes)))
    return SwitchTraffic.discoverVpcCidr.__func__(cls, vnet, {"allow_vnet_cidrs": []})


def accepting_a(base):
    """A subclass whose prefix test accepts "a", called twice so that its calls are remembered."""
    class Sub(base):
        @classmethod
        def isExpectedVpcPrefix(cls, ip, allowed):
            return ip == "a"

    for _ in range(2):
        assert with_spoke_prefixes(Sub, "a", "b") == ["a"]
    return Sub


@pytest.mark.parametrize("change", [
    lambda cls: setattr(cls, "isExpectedVpcPrefix", classmethod(lambda c, ip, allowed: ip == "b")),
    lambda cls: (setattr(cls.__mro__[1], "isExpectedVpcPrefix", classmethod(lambda c, ip, allowed: ip == "b")),
                 delattr(cls, "isExpectedVpcPrefix")),
    lambda cls: setattr(cls, "isExpectedVpcPrefix", staticmethod(lambda ip, allowed: ip == "b")),
    lambda cls: vars(cls)["isExpectedVpcPrefix"].__init__(lambda c, ip, allowed: ip == "b"),
    lambda cls: setattr(cls, "isExpectedVpcPrefix", lambda ip, allowed: ip == "b"),
])
def test_class_method_calls_follow_changes_to_the_class(change):
    # discoverVpcCidr calls cls.isExpectedVpcPrefix(x, allowed) for each prefix.
    Sub = accepting_a(type("Base", (SwitchTraffic,), {}))
    change(Sub)
    assert with_spoke_prefixes(Sub, "a", "b") == ["b"]


def test_class_method_calls_through_a_metaclass_attribute():
    Sub = accepting_a(SwitchTraffic)

    class Meta(type):
        @property
        def isExpectedVpcPrefix(cls):
            return lambda ip, allowed: ip == "b"

    Other = Meta("Other", (Sub,), {})
    assert with_spoke_prefixes(Other, "a", "b") == ["b"]
    assert with_spoke_prefixes(Sub, "a", "b") == ["a"]


def vnets_listed(holder):
    """The names of the VNets getVnet iterated, the list coming from
    `holder.list_all()` as the operation calls it."""
    probe = Probe()
    assert SwitchTraffic.getVnet(probe, SimpleNamespace(virtual_networks=holder)) is None
    return probe.seen


def holder_class():
    class Base:
        def list_all(self):
            return iter([plain("base")])

    class VNets(Base):
        def __init__(self, tag):
            self.tag = tag

        def list_all(self):
            return iter([plain("class " + self.tag)])
    return VNets


def own_list(o, name):
    o.list_all = lambda: iter([plain(name)])


@pytest.mark.parametrize("change", [
    lambda o, other: own_list(o, "instance's own"),
    lambda o, other: own_list(other, "another instance's own"),  # the shared keys grow
    lambda o, other: setattr(type(o), "list_all", lambda self: iter([plain("replaced")])),
    lambda o, other: delattr(type(o), "list_all"),
    lambda o, other: (delattr(type(o), "list_all"),
                      setattr(type(o).__mro__[1], "list_all", lambda self: iter([plain("base replaced")]))),
    lambda o, other: setattr(type(o), "list_all", property(lambda self: lambda: iter([plain("property")]))),
    lambda o, other: setattr(type(o), "list_all", staticmethod(lambda: iter([plain("static")]))),
    lambda o, other: setattr(type(o), "list_all", classmethod(lambda cls: iter([plain(cls.__name__)]))),
    lambda o, other: setattr(type(o), "__getattribute__", lambda self, n: lambda: iter([plain("getattribute")])),
    lambda o, other: setattr(o, "__class__", type("Other", (type(o).__mro__[1],), {})),
    lambda o, other: vars(o).update(list_all=lambda: iter([plain("materialised dict")])),
    lambda o, other: vars(o).__setitem__(1, "a key that is not text"),
    lambda o, other: setattr(o, "__dict__", {"list_all": lambda: iter([plain("replaced dict")])}),
    lambda o, other: [setattr(o, f"extra{i}", i) for i in range(40)],
])
def test_method_calls_on_instances_follow_changes(change):
    VNets = holder_class()
    o, other = VNets("o"), VNets("other")
    for _ in range(2):  # the second call goes the remembered way
        assert vnets_listed(o) == ["class o"]
        assert vnets_listed(other) == ["class other"]
    change(o, other)
    for _ in range(2):
        for holder in (o, other):
            assert vnets_listed(holder) == [v.name for v in holder.list_all()]


def test_method_calls_on_other_kinds_of_instances():
    class Slots:
        __slots__ = ("tag",)

        def list_all(self):
            return iter([plain("slots")])

    class Dict(dict):
        list_all = dict.values  # a method descriptor of C

    class Raising:
        def list_all(self):
            raise LookupError("from the host")

    holders = [Slots(), Dict(x=plain("dict value")), holder_class()("plain"), SimpleNamespace(list_all=lambda: iter([]))]
    for _ in range(2):
        assert [vnets_listed(h) for h in holders] == [["slots"], ["dict value"], ["class plain"], []]
        with pytest.raises(LookupError, match="from the host"):
            vnets_listed(Raising())


def test_module_globals_are_read_as_bound_at_each_call(monkeypatch):
    """An operation's module-level names (here `ipaddress`) are remembered
    only while the module's namespace is unchanged: a rebinding, a deletion or
    a name shadowing a builtin is seen at the next call."""
    import ipaddress

    from dm.arm import trafswap
    calls = []

    def ip_network(ip):
        calls.append(ip)
        return ipaddress.ip_network(ip)
    allowed = [ipaddress.ip_network("10.0.0.0/8")]
    for _ in range(2):
        assert SwitchTraffic.isExpectedVpcPrefix("10.1.0.0/16", allowed) is True
    monkeypatch.setattr(trafswap, "ipaddress", SimpleNamespace(ip_network=ip_network))
    assert SwitchTraffic.isExpectedVpcPrefix("10.1.0.0/16", allowed) is True
    assert calls == ["10.1.0.0/16"]
    monkeypatch.delattr(trafswap, "ipaddress")
    with pytest.raises(NameError, match="name 'ipaddress' is not defined"):
        SwitchTraffic.isExpectedVpcPrefix("10.1.0.0/16", allowed)
    monkeypatch.setitem(vars(__import__("builtins")), "ipaddress", SimpleNamespace(ip_network=ip_network))
    assert SwitchTraffic.isExpectedVpcPrefix("10.1.0.0/16", allowed) is True
    assert calls == ["10.1.0.0/16"] * 2


def test_module_attributes_are_read_as_the_module_holds_them_at_each_call(monkeypatch):
    """`ipaddress.ip_network(ip)` and `pathlib.PurePath` on a module: what was
    read from the module's namespace is used again only while that namespace
    is unchanged; a module's __getattr__ and a module subclass's property are
    asked as Python asks them."""
    import ipaddress
    import pathlib
    import types

    from dm.arm import cfgbase, trafswap
    from dm.arm.cfgbase import Common
    calls, armed = [], []
    fake = types.ModuleType("fake_ipaddress")

    def counted(tag):
        def ip_network(ip):
            calls.append(tag)
            if armed:  # the function takes itself out of the module while it runs
                del fake.ip_network
            return ipaddress.ip_network(ip)
        return ip_network

    allowed = [ipaddress.ip_network("10.0.0.0/8")]

    def expected():
        return SwitchTraffic.isExpectedVpcPrefix("10.1.0.0/16", allowed)

    monkeypatch.setattr(trafswap, "ipaddress", fake)
    fake.ip_network = counted("a")
    assert expected() and expected()
    fake.ip_network = counted("b")
    assert expected()
    fake.unrelated = 1
    assert expected()
    del fake.ip_network
    with pytest.raises(AttributeError, match="module 'fake_ipaddress' has no attribute 'ip_network'"):
        expected()
    fake.__getattr__ = lambda name: counted("from __getattr__")
    assert expected() and expected()
    del fake.__getattr__
    fake.ip_network = counted("c")
    assert expected()
    armed.append(True)
    assert expected()
    assert not hasattr(fake, "ip_network")
    assert calls == ["a", "a", "b", "b", "from __getattr__", "from __getattr__", "c", "c"]

    class Module(types.ModuleType):
        @property
        def ip_network(self):
            return counted("property")
    armed.clear()
    monkeypatch.setattr(trafswap, "ipaddress", Module("sub"))
    assert expected() and expected()
    assert calls[-2:] == ["property", "property"]

    fake_pathlib = types.ModuleType("fake_pathlib")
    fake_pathlib.PurePath = pathlib.PurePath
    monkeypatch.setattr(cfgbase, "pathlib", fake_pathlib)
    data = {"terraform": {"tmp_folder_id": "YAML_ID"}}
    assert [Common.getTmpFolderId(data, "/x/a.b.yaml") for _ in range(2)] == ["a-b-yaml"] * 2
    fake_pathlib.PurePath = lambda path: SimpleNamespace(name="other.name")
    assert Common.getTmpFolderId(data, "/x/a.yaml") == "other-name"


def test_a_module_dropped_by_the_cache_may_change_the_one_that_replaced_it(monkeypatch):
    """The module the logger comes from (`logging`) replaced: letting go of
    the old module's namespace, which the cache held, runs code (here a
    finalizer; another thread as well) that rebinds `getLogger` in the new
    module. The next call reads that binding, not the one read before it."""
    import functools
    import logging
    import types

    from dm.arm import cfgbase
    from dm.arm.cfgbase import Common
    names = []

    class RebindsWhenDropped:
        def __del__(self):
            second.getLogger = lambda name: names.append(name) or logging.getLogger(name)

    first, second = types.ModuleType("logging"), types.ModuleType("logging")
    first.getLogger, first.dropped = logging.getLogger, RebindsWhenDropped()
    second.getLogger = functools.partial(logging.getLogger)   # dropped by the finalizer
    monkeypatch.setattr(cfgbase, "logging", first)
    Common.logRouteTableHeader()
    cfgbase.logging = second
    del first
    Common.logRouteTableHeader()    # a build that remembers the first namespace lets it go here
    names.clear()
    Common.logRouteTableHeader()
    assert names == ["dm.arm.cfgbase"]
