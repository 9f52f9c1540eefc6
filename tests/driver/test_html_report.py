"""The HTML report: what its data holds for each VNet and step, and what a browser shows of it."""
import html.parser
import json
import os
import pathlib
import re
import shutil
import subprocess

import pytest
import yaml
from PIL import Image

from driving import drive
from localarm import SAMPLE_TOPOLOGY
from migrator import htmlreport
from migrator.summary import Summary

HUB, SPOKES = "11111111-1111-4111-8111-111111111111", "22222222-2222-4222-8222-222222222222"


class Page(html.parser.HTMLParser):
    """The page's elements, the links it would follow and its text (style sheets and scripts left out)."""

    def __init__(self, markup):
        super().__init__(convert_charrefs=True)
        self.tags, self.texts, self.links, self.skip = [], [], [], 0
        self.feed(markup)
        self.text = " ".join(" ".join(self.texts).split())

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.links += [value for name, value in attrs if name in ("src", "href", "xlink:href")
                       and not value.startswith("#")]
        self.skip += tag in ("style", "title", "script")

    def handle_endtag(self, tag):
        self.skip -= tag in ("style", "title", "script")

    def handle_data(self, data):
        if not self.skip:
            self.texts.append(data)


def data_of(markup):
    """The run's data as the page embeds it (it holds no "<", so it cannot end its script element)."""
    found = re.search(r'<script type="application/json" id="report-data">(.*?)</script>', markup, re.S).group(1)
    assert "<" not in found
    return json.loads(found)


def vnet(data, name):
    return next(v for v in data["vnets"] if v["name"] == name)


def rows(data, name, run=0):
    """The step rows of a VNet in a run: [step, change, outcome, [[level, text]]]."""
    return next(found for number, found in vnet(data, name)["rows"] if number == run)


def report(folder, *argv, **drive_options):
    folder.mkdir(exist_ok=True)
    cwd = os.getcwd()
    os.chdir(folder)
    try:
        if argv[0] in ("plan", "switch"):                 # they read the discovery of each account
            assert drive("discover", *argv[1:argv.index("--records") if "--records" in argv else None]) == 0
        status = drive(*argv, "--html", folder / "report.html", **drive_options)
    finally:
        os.chdir(cwd)
    return status, (folder / "report.html").read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """The reports of plans, switches and a rehearsal of the shipped samples."""
    base = tmp_path_factory.mktemp("reports")
    reports = {}
    for name, argv in {"plan": ["plan"], "switch": ["switch"], "rehearse": ["rehearse", "--parallel", "1"],
                       "plan spoke1": ["plan", "--vnet", "spoke1-vnet"],
                       "switch spoke1": ["switch", "--vnet", "spoke1-vnet"]}.items():
        status, reports[name] = report(base / name.replace(" ", "-"), *argv)
        assert status == 0
    reports["rehearse path"] = base / "rehearse" / "report.html"
    return reports


def test_a_plan_lists_the_same_changes_as_the_switch_marked_as_planned(sample):
    # (one VNet: the plan of a second VNet still finds what the first one's switch would remove)
    planned, switched = rows(data_of(sample["plan spoke1"]), "spoke1-vnet"), rows(data_of(sample["switch spoke1"]),
                                                                                   "spoke1-vnet")
    assert len(planned) >= 12 and [r[:2] + r[3:] for r in planned] == [r[:2] + r[3:] for r in switched]
    assert {r[2] for r in planned} == {"planned", "left alone"}
    assert {r[2] for r in switched} == {"done", "left alone"}
    assert ["subnets", "subnet legacy: spoke1-vnet-default -> spoke1-vnet-main-2", "planned", []] in planned
    data = data_of(sample["plan"])
    assert vnet(data, "spoke2-vnet")["label"] == "planned"
    # nothing changed, so the plan's changes are drawn onto the network read before it
    assert data["stages"] == ["before the plan", "as the plan would leave it"]
    assert [data["tables"][t[-1]][0] for name, _, t in vnet(data, "spoke1-vnet")["subnets"] if name == "legacy"] == [
        "spoke1-vnet-main-2"]
    assert vnet(data, "hub-vnet")["locks"] == [["hub-vnet-lock (CanNotDelete)"], []]
    assert vnet(data, "spoke1-vnet")["spoke"][1] == ["spoke1-vnet-gw", "single_ip", ["prod"]]
    assert sorted(codes for _, _, codes in data["edges"]) == ["kk", "kx", "kx"]


def test_the_switch_report_holds_each_vnet_before_and_after(sample):
    data = data_of(sample["switch"])
    assert data["stages"] == ["before the switch", "after the switch"]
    spoke1, hub = vnet(data, "spoke1-vnet"), vnet(data, "hub-vnet")
    assert (spoke1["kind"], spoke1["label"], hub["kind"], hub["hub"], spoke1["hub"]) == (
        "done", "switched", "done", True, False)
    tables = {name: [data["tables"][t][0] if t >= 0 else None for t in (at * 2)[:2]]
              for name, _, at in spoke1["subnets"]}
    assert tables["legacy"] == ["spoke1-vnet-default", "spoke1-vnet-main-2"]
    assert tables["web"] == ["rt-spoke1-web", "rt-spoke1-web-zentrova"] and tables["AzureBastionSubnet"] == [None] * 2
    main = data["tables"][[t for name, _, t in spoke1["subnets"] if name == "legacy"][0][1]]
    assert main[1][-1] == "mp"                        # a main table, propagation off after the switch
    assert hub["locks"] == [["hub-vnet-lock (CanNotDelete)"], []]
    assert spoke1["spoke"] == [["spoke1-vnet-gw", "none", []], ["spoke1-vnet-gw", "single_ip", ["prod"]]]
    index = {v["name"]: i for i, v in enumerate(data["vnets"])}
    edges = {tuple(sorted((data["vnets"][a]["name"], data["vnets"][b]["name"]))): codes
             for a, b, codes in data["edges"]}
    assert edges == {("hub-vnet", "spoke1-vnet"): "kx", ("hub-vnet", "spoke2-vnet"): "kx",
                     ("spoke1-vnet", "spoke2-vnet"): "kk"}
    assert [p[:2] for p in spoke1["peerings"]] == [["spoke1-to-hub", index["hub-vnet"]],
                                                   ["spoke1-to-spoke2", index["spoke2-vnet"]]]
    assert spoke1["peerings"][0][2] == [["Connected", 1 + 2 + 8], 0]


def test_log_lines_sit_under_the_step_that_logged_them_and_name_what_was_left(sample):
    spoke1, hub = rows(data_of(sample["switch"]), "spoke1-vnet"), rows(data_of(sample["switch"]), "hub-vnet")
    assert ["subnets", "subnet app: rt-spoke1-app -> rt-spoke1-app-zentrova", "done", []] in spoke1
    assert ["subnets", "subnet AzureBastionSubnet: left alone, a subnet of an Azure service", "left alone",
            [["info", "found Azure AzureBastionSubnet -- skipped"]]] in spoke1
    assert ["peerings", "peering spoke1-to-spoke2: left alone, remote peer's allow-gateway-transit flag is False",
            "left alone", [["info", "peering between spoke1-to-spoke2 and spoke2-to-spoke1 -- skipped, as remote "
                                    "peer's allow-gateway-transit flag is False"]]] in spoke1
    assert ["subnets", "subnet shared: skipped, its route table rt-hub-shared has no staged copy", "skipped",
            [["warning", "**Alert** shared associated to rt-hub-shared not copied -- skipped"]]] in hub
    assert [r[0] for r in spoke1 if "AzureBastionSubnet" in r[1]] == ["subnets"]
    marks = vnet(data_of(sample["switch"]), "hub-vnet")["marks"]
    assert marks == [[0, {"AzureFirewallSubnet": ["left alone", "a subnet of an Azure service"],
                          "GatewaySubnet": ["left alone", "a subnet of an Azure service"],
                          "shared": ["skipped", "its route table rt-hub-shared has no staged copy"]}]]


def summary_with(verdict, designed=(), others=()):
    summary = Summary("rehearse", False)
    summary.verdict = verdict
    summary.differences = {"switch": [], "round_trip": [d for d, _ in designed] + list(others),
                           "as_designed": [list(pair) for pair in designed]}
    return summary


@pytest.mark.parametrize("summary, kind", [
    (summary_with("restored exactly"), "ok"),
    (summary_with("restored, apart from 1 change(s) the revert makes by design", [("a: 1 -> 2", "why")]), "designed"),
    (summary_with("NOT restored: 1 difference(s)", [("a: 1 -> 2", "why")], ["b: 1 -> 3"]), "bad"),
    (summary_with("restored exactly", others=["c: x -> y"]), "bad"),
])
def test_the_verdict_is_green_only_for_an_exact_round_trip(summary, kind):
    assert htmlreport.verdict(summary)[0] == kind


def test_the_rehearsal_report_names_each_difference_the_revert_makes_by_design(sample):
    page = Page(sample["rehearse"])
    assert 'class="verdict v-designed"' in sample["rehearse"]
    assert ("rg-spoke1/virtualnetworks/spoke1-vnet subnets db: None -> rg-spoke1/routetables/spoke1-vnet-default "
            "(subnet db of VNet spoke1-vnet had no route table and is now on the default table spoke1-vnet-default "
            "(the revert puts a subnet it takes off a main table there))") in page.text
    data = data_of(sample["rehearse"])
    assert data["runs"] == ["switch", "revert"] and len(data["stages"]) == 3
    assert ["peerings", "re-create lock hub-vnet-lock on VNet hub-vnet", "done", []] in rows(data, "spoke1-vnet", 1)


def test_a_failed_step_is_a_row_with_its_error(tmp_path):
    def fail_subnet_writes(cloud):
        cloud.fail("subnets.create_or_update", status=400)
    status, markup = report(tmp_path, "switch", "--vnet", "spoke1-vnet", hook=fail_subnet_writes)
    assert status == 1
    data = data_of(markup)
    failed = [r for r in rows(data, "spoke1-vnet") if r[2] == "rolled back"]
    assert [r[0] for r in failed] == ["subnets"] and failed[0][1].startswith("subnets: ")
    assert "error" in {level for level, _ in failed[0][3]}
    assert vnet(data, "spoke1-vnet")["kind"] == "rolledback" and vnet(data, "spoke2-vnet")["kind"] == "unchanged"


def test_the_revert_report_shows_what_came_back(tmp_path):
    state = tmp_path / "switched.json"
    status, _ = report(tmp_path / "switch", "switch", "--save-state", state, "--records", tmp_path / "r.json")
    assert status == 0
    status, markup = report(tmp_path / "revert", "revert", "--state", state, "--records", tmp_path / "r.json")
    data = data_of(markup)
    assert status == 0 and {codes for _, _, codes in data["edges"]} == {"-r", "kk"}
    assert vnet(data, "hub-vnet")["locks"] == [[], ["hub-vnet-lock (CanNotDelete)"]]
    assert ["subnets", "subnet web: rt-spoke1-web-zentrova -> rt-spoke1-web", "done", []] in rows(data, "spoke1-vnet")
    assert vnet(data, "spoke1-vnet")["label"] == "reverted"


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """A switch refused (already recorded), and one whose summary gives outcomes this report may not know."""
    base = tmp_path_factory.mktemp("outcomes")
    assert report(base / "first", "switch", "--vnet", "spoke1-vnet", "--records", base / "r.json")[0] == 0
    status, refused = report(base / "again", "switch", "--records", base / "r.json")
    assert status == 1
    given = Summary.vnet

    def renamed(summary, subscription_id, name, outcome, changes=None, reason=None):
        if outcome == "done" and name != "hub-vnet":
            outcome, reason = {"spoke1-vnet": ("rolled back", "subnets: the write was refused; every step undone"),
                               "spoke2-vnet": ("held for review", "the change board asked")}[name]
        given(summary, subscription_id, name, outcome, changes, reason)
    Summary.vnet = renamed
    try:
        status, other = report(base / "other", "switch")
    finally:
        Summary.vnet = given
    return {"refused": base / "again" / "report.html", "other": base / "other" / "report.html",
            "refused data": data_of(refused), "other data": data_of(other)}


def test_each_outcome_is_coloured_and_told_with_its_reason(outcomes):
    refused, other = outcomes["refused data"], outcomes["other data"]
    assert (vnet(refused, "spoke1-vnet")["kind"], vnet(refused, "spoke2-vnet")["kind"]) == ("refused", "done")
    assert vnet(refused, "spoke1-vnet")["reason"].startswith("its switch is already recorded in ")
    assert [(v["kind"], v["label"], v["reason"]) for v in other["vnets"]] == [
        ("done", "switched", ""), ("rolledback", "rolled back", "subnets: the write was refused; every step undone"),
        ("failed", "held for review", "the change board asked")]
    assert rows(other, "spoke1-vnet")[0][2] == "undone"


HOSTILE = ['<img src=x onerror=alert(1)>', 'a"b&amp;c\'d<u>x<script>alert(2)']


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    # (the local cloud takes such names where it is not asked for the resource by name: subnets left alone)
    base = tmp_path_factory.mktemp("hostile")
    topology = yaml.safe_load(pathlib.Path(SAMPLE_TOPOLOGY).read_text())
    spoke2 = topology["subscriptions"][SPOKES]["rg-spoke2"]["vnets"]["spoke2-vnet"]
    spoke2["subnets"][HOSTILE[0]] = spoke2["subnets"].pop("batch")
    hub = topology["subscriptions"][HUB]["rg-hub"]["vnets"]["hub-vnet"]
    hub["subnets"][HOSTILE[1]] = hub["subnets"].pop("shared")
    (base / "topology.yaml").write_text(yaml.safe_dump(topology))
    status, markup = report(base / "run", "rehearse", "--topology", base / "topology.yaml")
    assert status == 0
    return base / "run" / "report.html", markup


def test_names_holding_markup_are_data_not_markup(hostile):
    _, markup = hostile
    assert "<img" not in markup and "<u>" not in markup and markup.count("<script") == 2
    data = data_of(markup)
    assert HOSTILE[0] in [s[0] for s in vnet(data, "spoke2-vnet")["subnets"]]
    assert ["subnets", "subnet " + HOSTILE[0] + ": left alone, no route table, and migrate_non_associated_subnet "
            "is off", "left alone", [["info", "subnet " + HOSTILE[0] + " without route table association -- skipped"]]
            ] in rows(data, "spoke2-vnet")


# ---------------------------------------------------------------- in a browser

def chromium():
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is not installed (./dev test installs it)")
        pytest.skip("chromium is not installed (./dev test installs it)")
    return found


def browse(url, profile, *options):
    shown = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                            "--hide-scrollbars", "--user-data-dir=" + str(profile), "--enable-logging=stderr",
                            "--v=0", "--allow-file-access-from-files", *options, url],
                           capture_output=True, text=True, timeout=180, stdin=subprocess.DEVNULL)
    assert shown.returncode == 0, shown.stderr
    assert "CONSOLE" not in shown.stderr              # no script, load or parse error in the page's console
    return shown.stdout


# The page in a 1,400 px frame; `act(window, document)` runs once it has loaded and drawn, and what it
# gives back is the result (the frame and the page are both files, which the browser is let reach).
HARNESS = """<!DOCTYPE html><html><body><pre id="result"></pre>
<iframe id="page" src="%s" style="width:1400px;height:1000px;border:0"></iframe>
<script>
document.getElementById("page").addEventListener("load", () => {
  const w = document.getElementById("page").contentWindow, d = w.document;
  document.getElementById("result").textContent = JSON.stringify((%s)(w, d));
});
</script></body></html>"""


def in_browser(page, fragment, act, profile):
    harness = page.with_name("harness.html")
    harness.write_text(HARNESS % (page.name + fragment, act), encoding="utf-8")
    dom = browse(harness.as_uri(), profile, "--dump-dom")
    return json.loads(html.unescape(re.search(r'<pre id="result">(.*?)</pre>', dom, re.S).group(1)))


FIT_AND_FIND = """(w, d) => {
  const fits = d.documentElement.scrollWidth <= d.documentElement.clientWidth;
  const box = d.getElementById("search");
  box.value = %s;
  box.dispatchEvent(new w.Event("input"));
  const hits = [...d.querySelectorAll("svg.overview .node.hit")].map(n => n.querySelector("title").textContent);
  const other = d.querySelector("svg.overview .node:not(.hit)");
  return {fits, hits, found: d.getElementById("found").textContent, scrolled: w.scrollY,
          dimmed: other ? w.getComputedStyle(other).opacity : null, nodes: d.querySelectorAll("svg.overview .node").length};
}"""


def test_the_overview_fits_the_window_and_finds_a_vnet(sample, tmp_path):
    found = in_browser(sample["rehearse path"], "", FIT_AND_FIND % '"SPOKE2"', tmp_path / "profile")
    assert found["fits"] and found["nodes"] == 3
    assert [hit.split(":")[0] for hit in found["hits"]] == ["spoke2-vnet"] and found["dimmed"] == "0.25"
    assert found["found"] == "1 VNet found: spoke2-vnet"


def estate_network(vnets, subscriptions):
    """A snapshot of a generated estate: two hubs, each peered with every spoke over `subscriptions`."""
    network, hubs = {}, []
    for number in range(vnets):
        sub = "%08d-0000-4000-8000-000000000000" % (0 if number < 2 else 1 + number % (subscriptions - 1))
        name = "hub%d" % number if number < 2 else "spoke%d" % number
        rid = "/subscriptions/%s/resourcegroups/rg-%s/providers/microsoft.network/virtualnetworks/%s" % (sub, name, name)
        network[rid] = {"kind": "vnet", "name": name, "subnets": {"s0": None}, "peerings": {}, "locks": [],
                        "address_space": ["10.0.0.0/24"], "prefixes": {"s0": "10.0.0.0/26"}, "gateways": []}
        for hub in hubs if number >= 2 else ():
            network[hub]["peerings"][name] = {"remote": rid, "state": "Connected", "allow_gateway_transit": True}
            network[rid]["peerings"][hub.rsplit("/", 1)[1]] = {"remote": hub, "state": "Connected"}
        if number < 2:
            hubs.append(rid)
    return network


def test_an_estate_of_a_thousand_vnets_fits_the_window_and_a_vnet_is_found(tmp_path):
    page = htmlreport.Report(tmp_path / "estate.html", "discover", None, {})
    page.stage("the network now", estate_network(1000, 20))
    page.write()
    found = in_browser(tmp_path / "estate.html", "", FIT_AND_FIND % '"spoke777"', tmp_path / "profile")
    assert found["fits"] and found["nodes"] == 1000 and found["found"] == "1 VNet found: spoke777"
    assert [hit.split(":")[0] for hit in found["hits"]] == ["spoke777"] and found["scrolled"] > 0


OPENED = """(w, d) => {
  const drawing = d.querySelector("#vnet-view svg.vnet");
  const pieces = cls => [...drawing.querySelectorAll("tspan." + cls)].map(t => t.textContent.trim());
  const steps = [...d.querySelectorAll("#vnet-view table.steps tr")].map(tr => tr.className + ": " + tr.innerText);
  const whole = drawing.getAttribute("viewBox");
  d.querySelector("#vnet-view .zoom button").click();
  return {estate: d.getElementById("estate").hidden, text: drawing.textContent, old: pieces("old"),
          zoom: [whole, drawing.getAttribute("viewBox")].map(box => box.split(" ").map(Number)),
          new: pieces("new"), removed: pieces("removed"), skipped: pieces("skipped"), left: pieces("left-alone"),
          changedRows: drawing.querySelectorAll("rect.changed").length, steps,
          banner: d.querySelector("#vnet-view .banner").textContent,
          legend: d.querySelector("#vnet-view .legend").textContent,
          fits: d.documentElement.scrollWidth <= d.documentElement.clientWidth};
}"""


def test_opening_a_vnet_shows_its_subnets_peerings_and_changes(sample, tmp_path):
    shown = in_browser(sample["rehearse path"], "#vnet=" + SPOKES + "/spoke1-vnet", OPENED, tmp_path / "profile")
    assert shown["estate"] and shown["fits"] and shown["banner"] == "switched and reverted"
    whole, zoomed = shown["zoom"]
    assert zoomed[2:] == [whole[2] / 2, whole[3] / 2]   # + halves the view, around the middle
    assert zoomed[:2] == [whole[2] / 4, whole[3] / 4]
    for text in ("web", "10.1.1.0/24", "legacy", "10.1.5.0/24", "controller: gateway spoke1-vnet-gw",
                 "hub-vnet", "spoke1-to-hub (this VNet's half): Connected; access, forwarded traffic, remote gateways",
                 "hub-to-spoke1 (its half): Connected; access, forwarded traffic, gateway transit", "spoke2-vnet"):
        assert text in shown["text"], text
    assert {"rt-spoke1-web", "spoke1-vnet-default", "none"} <= set(shown["old"])
    assert {"rt-spoke1-web-zentrova", "spoke1-vnet-main-2", "single_ip", "prod"} <= set(shown["new"])
    moved = [r for r in rows(data_of(sample["rehearse"]), "spoke1-vnet") if r[0] == "subnets" and r[2] == "done"]
    assert shown["removed"] == ["removed", "removed"] and shown["changedRows"] == len(moved) + 1  # and the controller
    assert "left alone: a subnet of an Azure service" in shown["left"]
    assert "yellow: changed since the stage before" in shown["legend"] and "left alone:" in shown["legend"]
    bastion = [i for i, row in enumerate(shown["steps"]) if "subnet AzureBastionSubnet: left alone" in row][0]
    assert shown["steps"][bastion + 1] == "lines: info: found Azure AzureBastionSubnet -- skipped"


def test_skipped_refused_and_rolled_back_are_marked_with_their_reasons(sample, outcomes, tmp_path):
    hub = in_browser(sample["rehearse path"], "#vnet=hub-vnet", OPENED, tmp_path / "profile")
    assert hub["skipped"] == ["skipped: its route table rt-hub-shared has no staged copy"]
    assert "skipped: the subnet should have moved and did not" in hub["legend"]
    refused = in_browser(outcomes["refused"], "#vnet=spoke1-vnet", OPENED, tmp_path / "profile")
    assert refused["banner"].startswith("refused: its switch is already recorded in ")
    rolled = in_browser(outcomes["other"], "#vnet=spoke1-vnet", OPENED, tmp_path / "profile")
    assert rolled["banner"] == "rolled back: subnets: the write was refused; every step undone"
    legend = in_browser(outcomes["other"], "", "(w, d) => d.getElementById('overview-legend').textContent",
                        tmp_path / "profile")
    assert "rolled back: 1" in legend and "held for review: 1" in legend and "switched: 1" in legend


def test_hostile_names_stay_text_in_the_browser(hostile, tmp_path):
    path, _ = hostile
    look = """(w, d) => ({tags: [...d.querySelectorAll("img, u, script")].length, text: d.body.textContent})"""
    for fragment, name in (("", None), ("#vnet=spoke2-vnet", HOSTILE[0]), ("#vnet=hub-vnet", HOSTILE[1])):
        shown = in_browser(path, fragment, look, tmp_path / "profile")
        assert shown["tags"] == 2                      # the page's own two scripts
        assert name is None or name in shown["text"]


def screenshot(url, profile, shot):
    browse(url, profile, "--window-size=1400,1000", "--screenshot=" + str(shot))
    image = Image.open(shot).convert("RGB")
    colours = image.getcolors(maxcolors=1 << 20)
    return image, colours


@pytest.mark.parametrize("fragment", ["", "#vnet=spoke1-vnet"])
def test_each_view_is_drawn(sample, tmp_path, fragment):
    path = sample["rehearse path"]
    dom = Page(browse(path.as_uri() + fragment, tmp_path / "profile", "--dump-dom"))
    assert dom.links == []                             # self-contained: nothing to fetch
    assert dom.tags.count("svg") == (2 if fragment else 1)     # the overview, and only the VNet opened
    image, colours = screenshot(path.as_uri() + fragment, tmp_path / "profile", tmp_path / "view.png")
    assert image.size == (1400, 1000)
    assert len(colours) > 50                           # text, drawings and the outcome colours, not a blank page
    assert max(colours)[0] < 0.95 * image.size[0] * image.size[1]
    green = sum(count for count, (r, g, b) in colours if g > 140 and r < 60 and b < 110)
    assert green > 100                                 # the outcome colour of the switched VNets
