"""The VNet option readers and the name builder edit texts and reuse look-ups
in their own way; these tests hold them to what the host's own code gives:
names built by str.replace and str.split, and every read of the VNet entry
seeing the mapping and the VNet as they are at that moment."""
import pytest
from hypothesis import given, settings, strategies as st

from bench.bench_vnet import PyCommon
from dm.arm.cfgbase import Common
from tests.cfgbase.test_vnet_options import entry as entries


def outcome(fn, *args):
    try:
        return "returned", fn(*args)
    except Exception as e:  # noqa: BLE001 (an error is an outcome to compare)
        return "raised", type(e), str(e)


class Text(str):
    pass


# Texts rich in what the builder looks for: braces, commas, repeats, and
# characters beyond ASCII that take the interpreter's own replace.
texts = st.text(alphabet="ab{}},-_é€", max_size=12)
values = st.one_of(texts, texts.map(Text), st.integers(0, 3))
steps = st.fixed_dictionaries({"key": st.sampled_from(["base", "replace", "other"]), "value": values})
names = st.dictionaries(st.one_of(texts, texts.map(Text)), values, max_size=4)


@settings(max_examples=400, deadline=None)
@given(transforms=st.lists(steps, max_size=5), iDict=names)
def test_names_are_built_as_str_replace_builds_them(transforms, iDict):
    assert outcome(Common.transformName, transforms, iDict) == outcome(PyCommon.transformName, transforms, iDict)


@pytest.mark.parametrize("template, iDict, built", [
    ("{a}{a}{a}", {"a": "xy"}, "xyxyxy"),
    ("{aa}a}", {"aa": "{aa}"}, "{aa}a}"),
    ("{a}{b}", {"a": "{b}", "b": "c"}, "cc"),
    ("{" + "k" * 70 + "}", {"k" * 70: "long"}, "long"),
    ("rt-{vnet}", {"vnet": ""}, "rt-"),
    ("{vnet}", {"vnet": "é"}, "é")])
def test_placeholders_fill_every_occurrence_in_turn(template, iDict, built):
    assert Common.transformName([{"key": "base", "value": template}], iDict) == built


@pytest.mark.parametrize("replacement, built", [
    ("aa,b", "ba-"), ("a,", "-"), (",x", "xaxaxax-x"), ("a,b,c", "bbb-"), ("-,", "aaa"), ("zz,y", "aaa-")])
def test_replace_steps_take_the_two_first_parts(replacement, built):
    steps = [{"key": "base", "value": "aaa-"}, {"key": "replace", "value": replacement}]
    assert Common.transformName(steps, {}) == built


class CountedName:
    """A VNet whose name is read through a property, counting the reads."""
    def __init__(self, *names):
        self.names, self.reads = list(names), 0

    @property
    def name(self):
        self.reads += 1
        return self.names[min(self.reads, len(self.names)) - 1]


def entry(**values):
    return entries(**values)["spoke1"]


def test_the_vnet_name_is_read_at_every_use():
    vnet = CountedName("spoke1")
    Common.readVnetOption({"spoke1": entry(spoke_advertisement=["10.0.0.0/16"])}, vnet,
                          {"hpe": "true", "max_hpe_performance": None})
    once = vnet.reads
    vnet.reads = 0
    Common.getSpokeAdvertisement({"spoke1": entry(spoke_advertisement=["10.0.0.0/16"])}, vnet)
    assert (once, vnet.reads) == (21, 3)


def test_a_vnet_renamed_between_uses_is_looked_up_under_its_new_name():
    vnets = {"a": entry(spoke_advertisement=["10.0.0.0/16"]), "b": entry(spoke_advertisement=None)}
    assert Common.getSpokeAdvertisement(vnets, CountedName("a", "b")) is None
    assert Common.getSpokeAdvertisement(vnets, CountedName("b", "a")) == "10.0.0.0/16"


class Flip:
    """A value whose truth test changes the VNet's entry (or replaces it) under the reader."""
    def __init__(self, vnets, replace_entry):
        self.vnets, self.replace_entry = vnets, replace_entry

    def __bool__(self):
        old = self.vnets["spoke1"]
        if self.replace_entry:
            self.vnets["spoke1"] = entry(spoke_gw_size="new entry")
        old["spoke_gw_size"] = "new value"
        return True


@pytest.mark.parametrize("replace_entry, size", [(True, "new entry"), (False, "new value")])
def test_changes_made_between_uses_are_seen(replace_entry, size):
    vnets = {"spoke1": entry()}
    vnets["spoke1"]["spoke_gw_size"] = Flip(vnets, replace_entry)
    YAML = {"hpe": "true", "max_hpe_performance": None}
    Common.readVnetOption(vnets, CountedName("spoke1"), YAML)
    assert YAML["ztvx_gw_size"] == size


class Key:
    """A key of a mapping that also holds str keys: equal to the name, counting comparisons."""
    compared = 0

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        Key.compared += 1
        return False


def test_look_ups_that_run_code_are_made_every_time():
    vnets = {Key("spoke1"): None, "spoke1": entry(spoke_routes=["0.0.0.0/0"])}
    counts = []
    for reader in (Common, PyCommon):
        Key.compared = 0
        assert reader.getSpokeRoutes(vnets, CountedName("spoke1")) == "0.0.0.0/0"
        counts.append(Key.compared)
    assert counts[0] == counts[1] >= 3


def test_the_logger_is_taken_as_the_module_names_it_at_each_call(monkeypatch):
    import logging
    from types import SimpleNamespace

    from dm.arm import cfgbase
    asked, real = [], logging.getLogger

    def ask(tag):
        return lambda name=None: asked.append((tag, name)) or real(name)
    Common.getPreStageDefaultRouteTable({})
    monkeypatch.setattr(logging, "getLogger", ask("patched"))
    Common.getPreStageDefaultRouteTable({})
    monkeypatch.setattr(cfgbase, "logging", SimpleNamespace(getLogger=ask("rebound")))
    Common.getSWDeleteVnetLock({})
    monkeypatch.setattr(cfgbase, "__name__", "renamed")
    Common.getCUDeleteVnetLock({})
    monkeypatch.undo()
    Common.getPreStageDefaultRouteTable({})
    assert asked == [("patched", "dm.arm.cfgbase"), ("rebound", "dm.arm.cfgbase"), ("rebound", "renamed")]
