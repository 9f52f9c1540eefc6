"""The subscription maps are built with fewer dictionary operations than the
plain reading makes (a copy of an entry's previous record, a record sized for
its keys up front); the maps, their records and everything the host sees must
be those of the plain reading, also when host code runs inside the loop."""
import gc
import sys

import pytest

from bench.bench_accounts import PyCommon
from dm.arm.cfgbase import Common


def cred(app, subs, **more):
    return dict({"arm_application_secret_env": f"ENV_{app}", "arm_application_id": f"id-{app}",
                 "arm_directory_id": "dir", "arm_subscription_id": subs}, **more)


def same_maps(ours, plain):
    """Equal maps in the same order, each record a dict of its own with the
    same keys in the same order, the same size and the same tracking."""
    assert list(ours.items()) == list(plain.items())
    for key, record in ours.items():
        assert type(record) is dict and list(record) == list(plain[key])
        assert sys.getsizeof(record) == sys.getsizeof(plain[key])
        assert gc.is_tracked(record) == gc.is_tracked(plain[key])
    records = list(ours.values())
    assert len({id(r) for r in records}) == len(records)


@pytest.mark.parametrize("creds", [
    {"zentrova": cred(0, None), "app1": cred(1, [f"s{i}" for i in range(30)], arm_application_secret_data_src="kv"),
     "app2": cred(2, ["s3", "s40", "s40", "s41"]), "app3": cred(3, [])},
    {"app1": cred(1, ["s1", 7, "s2", ("t", 1), "s3"]), "app2": cred(2, ["s2", "zentrova", "s4"])},
    {"app1": cred(1, ["s1", "s2"], tags=["shared"]), 5: cred(5, ["s3", "s4"])},
])
def test_azure_cred_records_are_those_of_the_plain_reading(creds):
    ours, plain = Common.getAzureSubscriptionInfo({"azure_cred": creds}), PyCommon.getAzureSubscriptionInfo(
        {"azure_cred": creds})
    same_maps(ours, plain)
    ours["s1"]["app_id"] = "changed"
    assert ours["s2"]["app_id"] == plain["s2"]["app_id"]


class Probed(str):
    """A subscription id whose hashing runs host code (as a str subclass may)."""
    def __hash__(self):
        self.on_hash()
        return str.__hash__(self)


def test_host_code_between_two_subscriptions_is_seen_by_the_next_record(monkeypatch):
    def build(impl, last_change):
        entry = cred(1, [])
        first, second = Probed("s1"), Probed("s2")
        first.on_hash = lambda: entry.update(arm_application_id="rotated")
        second.on_hash = last_change(entry)
        entry["arm_subscription_id"] = [first, "s1b", second, "s3"]
        return impl.getAzureSubscriptionInfo({"azure_cred": {"app1": entry}})

    def rename(entry):
        return lambda: entry.update(arm_application_secret_env="ENV_NEW")
    ours, plain = build(Common, rename), build(PyCommon, rename)
    same_maps(ours, plain)
    assert [r["app_id"] for r in ours.values()] == ["id-1", "rotated", "rotated", "rotated"]
    assert ours["s3"]["secret_env"] == "ENV_NEW"

    def drop(entry):
        return lambda: entry.pop("arm_directory_id")
    for impl in (Common, PyCommon):  # "s3" reads the entry again and finds a field gone
        with pytest.raises(SystemExit):
            build(impl, drop)


def test_key_comparisons_inside_an_entry_happen_once_per_subscription():
    class Colliding:
        """A key of the entry hashing like "arm_application_id": every lookup of
        that field compares with it."""
        compared = 0

        def __hash__(self):
            return hash("arm_application_id")

        def __eq__(self, other):
            Colliding.compared += 1
            return False

    counts = []
    for impl in (Common, PyCommon):
        Colliding.compared = 0
        entry = {Colliding(): 0}
        entry.update(cred(1, ["s1", "s2", "s3", "s4"]))
        impl.getAzureSubscriptionInfo({"azure_cred": {"app1": entry}})
        counts.append(Colliding.compared)
    assert counts[0] == counts[1] >= 4


def test_provider_records_are_those_of_the_plain_reading():
    entries = [{"arm_subscription_id": f"s{i % 7}", "arm_application_secret_env": f"E{i}",
                "arm_application_id": f"id{i}", "arm_directory_id": "d", "alias": f"al{i}",
                "account_name": ["acct", i] if i % 3 else f"acct{i}"} for i in range(20)]
    doc = {"terraform": {"azurerm": entries}, "vnet_cidr": entries}
    same_maps(Common.getAzurermSubscriptionInfo(doc), PyCommon.getAzurermSubscriptionInfo(doc))
    same_maps(Common.getVnetCidrSubscriptionInfo(doc), PyCommon.getVnetCidrSubscriptionInfo(doc))
    unhashable_first = {"terraform": {"azurerm": [{"arm_subscription_id": ["s"]}]}}
    with pytest.raises(TypeError, match="unhashable"):  # the record is stored before its fields are read
        Common.getAzurermSubscriptionInfo(unhashable_first)


def test_vnet_cidr_entries_changed_while_the_map_is_built_are_walked_as_the_list_iterator_walks_them():
    def run(impl):
        entries = []

        class Growing(dict):
            """An entry whose reading appends an entry to the list, or drops the last one."""
            def __getitem__(self, key):
                if key == "arm_directory_id" and len(entries) < 6:
                    entries.append(Growing(self, arm_subscription_id=f"s{len(entries)}"))
                elif key == "arm_directory_id" and len(entries) == 6:
                    entries.pop()
                return dict.__getitem__(self, key)
        entries.append(Growing(arm_subscription_id="s0", arm_application_secret_env="E", arm_application_id="a",
                               arm_directory_id="d"))
        return impl.getVnetCidrSubscriptionInfo({"vnet_cidr": entries})
    ours, plain = run(Common), run(PyCommon)
    same_maps(ours, plain)
    assert list(ours) == ["s0", "s1", "s2", "s3", "s4", "s5"]  # s5 is read, then drops itself
