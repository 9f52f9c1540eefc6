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
