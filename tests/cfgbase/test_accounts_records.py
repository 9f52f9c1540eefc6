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


@pytest.mark.parametrize("reader", ["getVnetCidrSubscriptionInfo", "getAzurermSubscriptionInfo"])
def test_provider_entries_changed_while_the_map_is_built_are_walked_as_the_list_iterator_walks_them(reader):
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
                               arm_directory_id="d", alias="al", account_name="acct"))
        return getattr(impl, reader)({"vnet_cidr": entries, "terraform": {"azurerm": entries}})
    ours, plain = run(Common), run(PyCommon)
    same_maps(ours, plain)
    assert list(ours) == ["s0", "s1", "s2", "s3", "s4", "s5"]  # s5 is read, then drops itself


# ---- the provider lists: records filled at once while no host code can run

FIELDS = ("arm_subscription_id", "arm_application_secret_env", "arm_application_id", "arm_directory_id", "alias",
          "account_name")


def provider(i, sub=None, **more):
    return dict({"arm_subscription_id": f"s{i}" if sub is None else sub, "arm_application_secret_env": f"E{i}",
                 "arm_application_id": f"id{i}", "arm_directory_id": "d", "alias": f"al{i}",
                 "account_name": f"acct{i}"}, **more)


def both(entries_of, readers=("getAzurermSubscriptionInfo", "getVnetCidrSubscriptionInfo")):
    """Each reader's map from Common and from the plain reading, each side on
    entries made anew by entries_of(log), with what the host code logged."""
    for reader in readers:
        runs = []
        for impl in (Common, PyCommon):
            log = []
            entries = entries_of(log)
            try:
                result = getattr(impl, reader)({"terraform": {"azurerm": entries}, "vnet_cidr": entries})
            except Exception as e:  # the same class and text on both sides
                result = (type(e), str(e))
            runs.append((result, log))
        yield reader, runs


def check_both(entries_of, **kw):
    for reader, ((ours, our_log), (plain, plain_log)) in both(entries_of, **kw):
        assert our_log == plain_log, reader
        if isinstance(plain, dict):
            same_maps(ours, plain)
        else:
            assert ours == plain, reader


class Counted:
    """A mapping that is no dict: every look-up goes through its __getitem__, logged."""
    def __init__(self, log, fields):
        self.log, self.fields = log, fields

    def __getitem__(self, key):
        self.log.append(key)
        return self.fields[key]


class LoggedDict(dict):
    def __getitem__(self, key):
        self.log.append(key)
        return dict.__getitem__(self, key)


def logged_dict(log, fields):
    d = LoggedDict(fields)
    d.log = log
    return d


@pytest.mark.parametrize("kind", [Counted, logged_dict])
def test_mappings_that_are_no_plain_dict_are_read_through_their_own_look_up_in_order(kind):
    def entries(log):
        return [provider(0), kind(log, provider(1)), provider(2), kind(log, provider(3, sub="s0")), provider(4)]
    check_both(entries)
    (_, ((_, log), _)), _ = both(entries)
    assert log == list(FIELDS) * 2


def test_missing_fields_and_bad_ids_raise_what_the_plain_reading_raises():
    for broken in ({"alias"}, {"account_name"}, {"arm_directory_id"}, {"arm_subscription_id"}):
        check_both(lambda log: [provider(0), {k: v for k, v in provider(1).items() if k not in broken}])
    # an unhashable id with a field missing: storing the record fails first (provider list only)
    check_both(lambda log: [provider(0), {"arm_subscription_id": ["s"]}])


def test_records_holding_containers_are_tracked_as_the_plain_reading_tracks_them():
    shared_tuple = ("a", 1)
    gc.collect()  # a tuple of atomic values is untracked by a collection
    assert not gc.is_tracked(shared_tuple)

    def entries(log):
        return [provider(0), provider(1, alias=["x"]), provider(2, account_name=shared_tuple),
                provider(3, arm_application_id=("t", [])), provider(4, arm_application_secret_env={"k": 1}),
                provider(5, arm_directory_id=None), provider(6)]
    check_both(entries)
    (_, ((ours, _), _)), _ = both(entries)
    assert [gc.is_tracked(r) for r in ours.values()] == [False, True, False, True, True, False, False]


def test_duplicate_ids_and_non_text_ids_build_the_plain_map():
    check_both(lambda log: [provider(0), provider(1, sub="s0"), provider(2, sub=7), provider(3, sub="s0"),
                            provider(4, sub=("t", 1)), provider(5), provider(6, sub=7.0), provider(7, sub="s5")])
    check_both(lambda log: [provider(i, sub=f"s{i % 3}") for i in range(12)])


def test_a_record_replaced_by_a_duplicate_id_is_freed_before_the_fields_are_read():
    class Witness:
        """The only reference is the first record's: freed when that record is replaced."""
        def __init__(self, entry):
            self.entry = entry

        def __del__(self):
            self.entry["account_name"] = "renamed"
            self.entry["arm_application_id"] = "rotated"

    class Fresh(dict):
        """An entry that hands out a new object for one field on each read."""
        def __getitem__(self, key):
            if key == self.fresh_key:
                return Witness(self.target)
            return dict.__getitem__(self, key)

    def entries(log):
        second = provider(1, sub="s0")
        first = Fresh(provider(0))
        first.fresh_key, first.target = "alias", second
        return [first, second]
    check_both(entries, readers=("getAzurermSubscriptionInfo",))
    (_, ((ours, _), _)), = both(entries, readers=("getAzurermSubscriptionInfo",))
    assert ours["s0"]["account_name"] == "renamed" and ours["s0"]["app_id"] == "rotated"


def test_an_id_whose_hashing_runs_code_is_stored_before_the_fields_are_read():
    def entries(log):
        entry = provider(1)
        sub = Probed("s1")
        sub.on_hash = lambda: (log.append("hash"), entry.update(alias="moved"))
        entry["arm_subscription_id"] = sub
        return [provider(0), entry, provider(2)]
    check_both(entries)
    (_, ((ours, log), _)), _ = both(entries)
    assert ours["s1"]["alias"] == "moved" and "hash" in log


def test_entries_with_keys_of_other_kinds_compare_with_them_as_the_plain_reading_does():
    class Colliding:
        """A key hashing like a field: every look-up of that field compares with it."""
        def __init__(self, log, field):
            self.log, self.field, self.fail = log, field, False

        def __hash__(self):
            return hash(self.field)

        def __eq__(self, other):
            self.log.append(("eq", self.field))
            if self.fail:
                raise ValueError("no comparing")
            return False

    for field in FIELDS:
        for fail in (False, True):
            def entries(log):
                key = Colliding(log, field)
                odd = {key: 0}
                odd.update(provider(1))
                key.fail = fail
                return [provider(0), odd, provider(2), {5: "five", **provider(3)}]
            check_both(entries)


def test_entries_of_every_table_layout_are_read_as_the_dict_reads_them():
    class Holder:
        pass

    def split_entry(i):
        holder = Holder()  # an instance dict: keys shared with its class, values apart
        for key, value in provider(i).items():
            setattr(holder, key, value)
        return holder.__dict__

    def rebuilt_keys(i):  # equal texts that are not the interned names
        return {"".join(k.partition("_")): v for k, v in provider(i).items()}

    def wide(i):  # a table big enough for wider slot indices
        return dict(provider(i), **{f"extra{n}": n for n in range(400)})

    def with_deleted(i):
        d = dict(provider(i), gone=1, also_gone=2)
        del d["gone"], d["also_gone"]
        return d

    for make in (split_entry, rebuilt_keys, wide, with_deleted):
        check_both(lambda log: [provider(0), make(1), make(2), provider(3)])


def test_records_are_independent_and_grow_as_the_plain_records_grow():
    def entries(log):
        return [provider(i) for i in range(5)]
    for reader, ((ours, _), (plain, _)) in both(entries):
        for record in list(ours.values()) + list(plain.values()):
            record["extra"] = 1
        assert [sys.getsizeof(r) for r in ours.values()] == [sys.getsizeof(r) for r in plain.values()]
        for n in range(20):
            for record in list(ours.values()) + list(plain.values()):
                record[f"more{n}"] = n
        assert [sys.getsizeof(r) for r in ours.values()] == [sys.getsizeof(r) for r in plain.values()]
        ours["s0"]["secret_env"] = "changed"
        assert ours["s1"]["secret_env"] == "E1"
    again = Common.getAzurermSubscriptionInfo({"terraform": {"azurerm": entries([])}})  # nothing kept between calls
    same_maps(again, PyCommon.getAzurermSubscriptionInfo({"terraform": {"azurerm": entries([])}}))
    assert sys.getsizeof(again) == sys.getsizeof(PyCommon.getAzurermSubscriptionInfo(
        {"terraform": {"azurerm": entries([])}}))
