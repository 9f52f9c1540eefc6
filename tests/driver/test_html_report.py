"""The HTML report of the shipped samples: what it shows, that a browser shows it, and that names are text."""
import html.parser
import os
import pathlib
import shutil
import subprocess

import pytest
import yaml
from PIL import Image

from driving import drive
from localarm import SAMPLE_TOPOLOGY
from migrator import diagram


class Page(html.parser.HTMLParser):
    """The page's elements, its text (style sheets left out) and the rows of each table by class."""

    def __init__(self, markup):
        super().__init__(convert_charrefs=True)
        self.tags, self.texts, self.tables, self.links, self.skip = [], [], {}, [], 0
        self.row = self.cell = None
        self.feed(markup)
        self.text = " ".join(" ".join(self.texts).split())

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        attrs = dict(attrs)
        self.links += [attrs[name] for name in ("src", "href", "xlink:href") if name in attrs]
        if tag in ("style", "title"):
            self.skip += 1
        elif tag == "table":
            self.rows = self.tables.setdefault(attrs.get("class"), [])
        elif tag == "tr":
            self.row = []
            self.rows.append(self.row)
        elif tag in ("td", "th"):
            self.cell = []
            self.row.append(self.cell)

    def handle_endtag(self, tag):
        if tag in ("style", "title"):
            self.skip -= 1
        elif tag in ("td", "th"):
            self.row[-1] = " ".join(" ".join(self.cell).split())
            self.cell = None

    def handle_data(self, data):
        if not self.skip:
            self.texts.append(data)
            if self.cell is not None:
                self.cell.append(data)

    def changes(self):
        """The change table's rows without the header: subscription, VNet, step, change, outcome, log lines."""
        return [row for row in self.tables.get("changes", []) if row[0] != "subscription"]


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
    for name, argv in {"plan": ["plan"], "switch": ["switch"], "rehearse": ["rehearse"],
                       "plan spoke1": ["plan", "--vnet", "spoke1-vnet"],
                       "switch spoke1": ["switch", "--vnet", "spoke1-vnet"]}.items():
        status, reports[name] = report(base / name.replace(" ", "-"), *argv)
        assert status == 0
    reports["rehearse path"] = base / "rehearse" / "report.html"
    return reports


def names_of_the_sample():
    topology = yaml.safe_load(pathlib.Path(SAMPLE_TOPOLOGY).read_text())
    names = []
    for groups in topology["subscriptions"].values():
        for group in groups.values():
            for vnet, layout in (group.get("vnets") or {}).items():
                names += [vnet, *(layout.get("subnets") or {}), *(layout.get("peerings") or {})]
    return names


def test_a_plan_lists_the_same_changes_as_the_switch_marked_as_planned(sample):
    # (one VNet: the plan of a second VNet still finds what the first one's switch would remove)
    planned, switched = Page(sample["plan spoke1"]).changes(), Page(sample["switch spoke1"]).changes()
    assert planned and len(planned) == len(switched)
    assert [r[:4] + r[5:] for r in planned] == [r[:4] + r[5:] for r in switched]
    assert {r[4] for r in planned if r[3] != "no change"} == {"planned"}
    assert {r[4] for r in switched if r[3] != "no change"} == {"done"}
    assert ["22222222-2222-4222-8222-222222222222", "spoke1-vnet", "subnets",
            "subnet legacy: spoke1-vnet-default -> spoke1-vnet-main-2", "planned", ""] in planned
    assert "(dry run: nothing was changed)" in Page(sample["plan"]).text


def test_the_switch_report_draws_the_network_before_and_after_with_the_changes_marked(sample):
    page = Page(sample["switch"])
    assert page.tags.count("svg") == 4              # two subscriptions, before and after
    peerings = page.tables["peerings"]
    assert ["spoke1-to-hub", "spoke1-vnet", "Connected", "access, forwarded traffic, remote gateways",
            "kept"] in peerings
    assert ["spoke1-to-hub", "spoke1-vnet", "Connected", "access, forwarded traffic, remote gateways",
            "removed"] in peerings
    network = page.tables["network"]
    assert ["rg-spoke1", "spoke1-vnet", "10.1.0.0/16", "legacy", "10.1.5.0/24",
            "spoke1-vnet-default → spoke1-vnet-main-2 [main table] [propagation off]"] in network
    details = page.tables["details"]
    assert ["hub-vnet", "hub-vpngw", "hub-vnet-lock (CanNotDelete)", "hub-vnet-gw, SNAT none"] in details
    assert ["hub-vnet", "hub-vpngw", "none; hub-vnet-lock (CanNotDelete) removed", "hub-vnet-gw, SNAT single_ip"] \
        in details
    assert ["spoke1-vnet", "none", "none", "spoke1-vnet-gw, SNAT single_ip, domain prod"] in details
    # a skip of a step that changed nothing is a row with its log lines
    hub = [r for r in page.changes() if r[1] == "hub-vnet" and r[2] == "subnets"]
    assert hub[0][3:5] == ["no change", "warning"]
    assert "warning: **Alert** shared associated to rt-hub-shared not copied -- skipped" in hub[0][5]


def test_the_rehearsal_report_holds_the_verdict_and_both_change_tables(sample):
    page = Page(sample["rehearse"])
    assert ("restored, with 1 notice(s): subnet db of VNet spoke1-vnet had no route table and is now on the "
            "default table spoke1-vnet-default") in page.text
    assert page.tables["changes"][0][0] == "subscription" and len([r for r in page.tables["changes"]
                                                                     if r[0] == "subscription"]) == 2
    assert ("rg-spoke1/virtualnetworks/spoke1-vnet subnets db: None -> rg-spoke1/routetables/spoke1-vnet-default"
            in page.text)
    assert ["22222222-2222-4222-8222-222222222222", "spoke1-vnet", "peerings",
            "re-create lock hub-vnet-lock on VNet hub-vnet", "done", ""] in page.changes()
    assert page.tags.count("svg") == 6              # two subscriptions, three stages


def test_a_failed_step_is_a_row_with_its_error(tmp_path):
    def fail_subnet_writes(cloud):
        cloud.fail("subnets.create_or_update", status=400)
    status, markup = report(tmp_path, "switch", "--vnet", "spoke1-vnet", hook=fail_subnet_writes)
    assert status == 1
    failed = [r for r in Page(markup).changes() if r[4] == "rolled back"]
    assert [r[1:3] for r in failed] == [["spoke1-vnet", "subnets"]]
    assert failed[0][3].startswith("subnets: ") and "error: " in failed[0][5]


def test_the_revert_report_shows_what_came_back(tmp_path):
    state = tmp_path / "switched.json"
    status, markup = report(tmp_path / "switch", "switch", "--save-state", state, "--records", tmp_path / "r.json")
    assert status == 0
    summary = Page(markup).tables["summary"]
    assert ["local cloud saved in", str(state)] in summary and ["records", str(tmp_path / "r.json")] in summary
    assert "rg-hub/virtualnetworks/hub-vnet locks: ['hub-vnet-lock (CanNotDelete)'] -> []" in Page(markup).text
    status, markup = report(tmp_path / "revert", "revert", "--state", state, "--records", tmp_path / "r.json")
    page = Page(markup)
    assert status == 0 and page.tags.count("svg") == 4
    assert ["spoke1-to-hub", "spoke1-vnet", "Connected", "access, forwarded traffic, remote gateways",
            "restored"] in page.tables["peerings"]
    assert ["hub-vnet", "hub-vpngw", "hub-vnet-lock (CanNotDelete)", "hub-vnet-gw, SNAT none"] in page.tables["details"]
    assert ["22222222-2222-4222-8222-222222222222", "spoke1-vnet", "subnets",
            "subnet web: rt-spoke1-web-zentrova -> rt-spoke1-web", "done"] in [r[:5] for r in page.changes()]


HOSTILE = ['<img src=x onerror=alert(1)>', 'a"b&amp;c\'d<u>x']


def test_names_holding_markup_are_shown_as_text(tmp_path):
    # (the local cloud takes such names where it is not asked for the resource by name: subnets left alone)
    topology = yaml.safe_load(pathlib.Path(SAMPLE_TOPOLOGY).read_text())
    spoke2 = topology["subscriptions"]["22222222-2222-4222-8222-222222222222"]["rg-spoke2"]["vnets"]["spoke2-vnet"]
    spoke2["subnets"][HOSTILE[0]] = spoke2["subnets"].pop("batch")
    hub = topology["subscriptions"]["11111111-1111-4111-8111-111111111111"]["rg-hub"]["vnets"]["hub-vnet"]
    hub["subnets"][HOSTILE[1]] = hub["subnets"].pop("shared")
    (tmp_path / "topology.yaml").write_text(yaml.safe_dump(topology))
    status, markup = report(tmp_path / "run", "rehearse", "--topology", tmp_path / "topology.yaml")
    page = Page(markup)
    assert not {"img", "u", "script"} & set(page.tags)
    for name in HOSTILE:
        assert name in page.text
    assert status == 0
    skipped = [r[5] for r in page.changes() if r[1] == "spoke2-vnet" and r[2] == "subnets"]
    assert "subnet " + HOSTILE[0] + " without route table association -- skipped" in skipped[0]
    assert "&lt;img src=x onerror=alert(1)&gt;" in markup and "<img" not in markup
    assert "d&lt;u&gt;x" in markup[markup.index("<svg"):]     # in the diagrams too


def test_without_graphviz_or_past_the_size_limit_the_tables_stay(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path / "no-programs-here"))
    status, markup = report(tmp_path / "missing", "discover")
    page = Page(markup)
    assert status == 0 and "svg" not in page.tags
    assert page.text.count("Graphviz (its dot program) is not installed") == 1
    assert all(name in page.text for name in names_of_the_sample())
    monkeypatch.undo()
    monkeypatch.setattr(diagram, "MAX_VNETS", 1)
    page = Page(report(tmp_path / "large", "discover")[1])
    assert page.tags.count("svg") == 1              # the hub's subscription; the spokes' has two VNets
    assert "2 VNets: past 1 VNets in one subscription the diagram is left out" in page.text
    assert all(name in page.text for name in names_of_the_sample())


# ---------------------------------------------------------------- in a browser

def chromium():
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is not installed (./dev test installs it)")
        pytest.skip("chromium is not installed (./dev test installs it)")
    return found


def browse(page, profile, *options):
    return subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                           "--hide-scrollbars", "--user-data-dir=" + str(profile), "--enable-logging=stderr",
                           "--v=0", *options, page.as_uri()],
                          capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)


def test_the_rehearsal_report_in_a_headless_browser(sample, tmp_path):
    path = sample["rehearse path"]
    shown = browse(path, tmp_path / "profile", "--dump-dom")
    assert shown.returncode == 0, shown.stderr
    assert "CONSOLE" not in shown.stderr            # no script, load or parse error in the page's console
    dom = Page(shown.stdout)
    assert dom.links == []                           # self-contained: nothing to fetch
    assert dom.tags.count("svg") == sample["rehearse"].count("<svg") == 6
    for name in names_of_the_sample():
        assert name in dom.text, name
    planned = {r[3] for r in Page(sample["plan"]).changes()}
    assert planned <= {r[3] for r in dom.changes()}
    assert len(planned) >= 20

    shot = tmp_path / "page.png"
    taken = browse(path, tmp_path / "profile", "--window-size=1280,2000", "--screenshot=" + str(shot))
    assert taken.returncode == 0, taken.stderr
    image = Image.open(shot).convert("RGB")
    assert image.size == (1280, 2000)
    colours = image.getcolors(maxcolors=1 << 20)
    background = max(colours)[0]
    assert len(colours) > 50                         # text, diagrams and the change colours, not a blank page
    assert background < 0.95 * image.size[0] * image.size[1]
