"""The HTML report (--html FILE): an overview of the estate, a view of each VNet, what changed, the summary.

One self-contained page: its style, its script and the run's data inline, nothing fetched. The data is
the network at each stage of the run (snapshots of the cloud, and of the local controller when there is
one), each VNet's outcome and steps from the run's Summary, and the warning, error and "skipped" log
lines filed per run, VNet and step as they are logged. The script draws the overview at once and a
VNet's view when it is opened, from that data; it sets every name as text, never as markup, and the
data is written so that nothing in it can end the script element.
"""
import json
import logging
import pathlib

import jinja2
from markupsafe import Markup

from . import planned, reportmodel, steps
from .records import write_atomically

TEMPLATES = pathlib.Path(__file__).parent / "templates"
PAGE = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                          undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True)
SCRIPTS = ("common.js", "overview.js", "vnetview.js")
# JSON inside a script element: no "<", ">" or "&" (no "</script>", no comment opener) and no line
# separators that older script engines take for line ends
UNSAFE_IN_SCRIPT = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026", "\u2028": "\\u2028",
                                  "\u2029": "\\u2029"})


class LogCapture(logging.Handler):
    """Keeps the warning and error lines, and those telling of a skip, under the run, VNet and step
    they were logged at."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = {}

    def emit(self, record):
        where = steps.position
        if where.vnet is None:
            return
        message = record.getMessage()
        if record.levelno >= logging.WARNING or "skipped" in message:
            self.lines.setdefault((id(where.run), where.vnet), {}).setdefault(where.step, []).append(
                (record.levelname.lower(), message.strip()))


class Report:
    """Collects the stages of one run and writes the page at its end."""

    def __init__(self, path, command, env, document, state_file=None):
        self.path = pathlib.Path(path)
        self.command = command
        self.state_file = state_file
        self.env = env
        self.spokes = reportmodel.spoke_gateways(document)
        self.stages = []
        self.capture = LogCapture()
        logging.getLogger("dm").addHandler(self.capture)

    @classmethod
    def start(cls, args, command, env, document):
        """The report of the run when --html asks for one, else None."""
        if not getattr(args, "html", None):
            return None
        return cls(args.html, command, env, document, getattr(args, "save_state", None))

    def stage(self, title, network):
        """Notes the network (and the local controller's state, when there is one) as it is now."""
        network = dict(network)
        controller = network.pop("controller", None)
        if controller is None and self.env is not None and self.env.local_controller is not None:
            from . import localcontroller
            controller = localcontroller.state(self.env.local_controller)
        self.stages.append((title, network, controller))

    def write(self, summary=None, log_file=None, records_file=None, runs=None):
        """Writes the page; `runs` are (title, Summary) pairs whose steps make the VNets' step tables."""
        logging.getLogger("dm").removeHandler(self.capture)
        if runs is None:
            runs = [(summary.command, summary)] if summary is not None else []
        stages = self.stages
        if summary is not None and summary.dry_run and summary.command != "revert" and len(stages) > 1:
            stages = stages[:-1] + [(planned.TITLE, *planned.after(*stages[-1][1:], summary))]
        data = reportmodel.build(self.command, stages, self.spokes, summary, runs, self.capture.lines)
        page = PAGE.get_template("report.html.j2").render(
            command=self.command, summary=summary, totals=summary.totals() if summary is not None else None,
            log_file=log_file, records_file=records_file, state_file=self.state_file, data=data,
            verdict=verdict(summary), data_json=Markup(json.dumps(data, ensure_ascii=False, separators=(",", ":"))
                                                       .translate(UNSAFE_IN_SCRIPT)),
            script=Markup("\n".join((TEMPLATES / name).read_text(encoding="utf-8") for name in SCRIPTS)))
        write_atomically(self.path, page)
        logging.getLogger("dm.migrate").info("  HTML report: %s", self.path)


def verdict(summary):
    """The round trip's verdict as (class, text, [(difference, why it is by design)], [other differences]):
    "ok" only for an exact round trip, "designed" when every difference is one the revert makes by design."""
    if summary is None or summary.verdict is None:
        return None
    found = summary.differences if isinstance(summary.differences, dict) else {}
    designed = [tuple(pair) for pair in found.get("as_designed", ())]
    others = [line for line in found.get("round_trip", ()) if line not in {d for d, _ in designed}]
    kind = "bad" if others or summary.verdict.startswith("NOT") else "designed" if designed else "ok"
    return kind, summary.verdict, designed, others
