"""Each VNet's steps as rows of the report: every change, what was left as it was and why, and the log
lines under the step that logged them.

Log lines are filed per run, VNet and step as they are logged. A line telling that a subnet or a peering
was left alone or skipped becomes a row of its own naming it and the reason (and a mark on the subnet in
the drawing); the step's other lines sit under a row of that step.
"""
import re

from . import changes, steps

STEPS = (steps.ROUTE_TABLES,) + steps.REVERT_ORDER

# The libraries' lines about a subnet or peering they leave as it is: (line, what it names, mark, reason).
# "left alone" is by design; "skipped" means it should have moved and could not.
LEFT_AS_IS = [(re.compile(pattern), kind, mark, reason) for pattern, kind, mark, reason in (
    (r"found Azure (?P<name>.+?) -- skipped", "subnet", "left alone", "a subnet of an Azure service"),
    (r"subnet (?P<name>.+) without route table association -- skipped", "subnet", "left alone",
     "no route table, and migrate_non_associated_subnet is off"),
    (r"spoke gw subnet (?P<name>.+) -- skipped", "subnet", "left alone", "the overlay gateway's own subnet"),
    (r"\*\*Alert\*\* (?P<name>.+) associated to (?P<table>.+) not copied -- skipped", "subnet", "skipped",
     "its route table {table} has no staged copy"),
    (r"\*\*Alert\*\* Subnet (?P<name>.+) without route table detected during revert traffic -- skipped",
     "subnet", "skipped", "no route table to move it back from"),
    (r"\*\*Alert\*\* (?P<name>.+) is using a route table (?P<table>.+) that has not been copied -- skipped",
     "subnet", "skipped", "its route table {table} has no staged copy"),
    (r"peering between (?P<name>\S+) and \S+ -- skipped, as (?P<why>.+)", "peering", "left alone", "{why}"),
    (r"controller created peering (?P<name>.+) -- skipped", "peering", "left alone", "made by the controller"),
    (r"virtual hub connection (?P<name>.+) -- skipped", "peering", "left alone", "a virtual hub connection"))]


def vnet_rows(command, vnet, lines, dry_run):
    """The rows of one VNet in one run, and the marks of its subnets: ([step, change, outcome, lines] ...),
    {subnet: [mark, reason]}. `lines` maps each step to the (level, text) lines it logged."""
    outcome_of_change = "planned" if dry_run else "undone" if vnet["outcome"] == "rolled back" else "done"
    made = {}
    for step, text in changes.lines(command, vnet["changes"], False):
        made.setdefault(step, []).append(text)
    named = {step: left_as_is(found) for step, found in lines.items()}
    in_subnets = {key for key in named.get(steps.SUBNETS, {})}
    failed_step = failing_step(vnet) if vnet["outcome"] != "done" else None
    rows, marks = [], {}
    for step in list(made) + [s for s in lines if s not in made]:
        rows += [[step or "", text, outcome_of_change, []] for text in made.get(step, ())]
        for (kind, name), (mark, reasons, theirs) in named.get(step, {}).items():
            if step != steps.SUBNETS and (kind, name) in in_subnets:
                continue                  # the discovery's listing of what the subnet step itself tells
            rows.append([step or "", kind + " " + name + ": " + mark + ", " + "; ".join(reasons), mark, theirs])
            if kind == "subnet":
                marks[name] = [mark, "; ".join(reasons)]
        rest = [line for line in unique(lines.get(step, ())) if not named_line(line)]
        if rest and step != failed_step:
            rows.append([step or "", "the step's log lines" if step in made else "no change", worst(rest), rest])
    if vnet["outcome"] != "done":
        rest = [line for line in unique(lines.get(failed_step, ())) if not named_line(line)]
        rows.append([failed_step or "", vnet.get("reason") or vnet["outcome"], vnet["outcome"], rest])
    return rows, marks


def left_as_is(lines):
    """{(kind, name): (mark, [reasons], [lines])} of the lines naming a subnet or peering left as it is."""
    found = {}
    for line in unique(lines):
        hit = named_line(line)
        if hit:
            kind, name, mark, reason = hit
            entry = found.setdefault((kind, name), (mark, [], []))
            if reason not in entry[1]:
                entry[1].append(reason)
            entry[2].append(line)
    return found


def named_line(line):
    for pattern, kind, mark, reason in LEFT_AS_IS:
        hit = pattern.search(line[1])
        if hit:
            return kind, hit["name"], mark, reason.format(**hit.groupdict())
    return None


def unique(lines):
    """The lines once each, in order (a listing after a step repeats what the step said)."""
    return list(dict.fromkeys(tuple(line) for line in lines))


def failing_step(vnet):
    """The first step the reason of a VNet's failure names ("subnets: ...", "errors in subnets (2 error
    lines)", "revert of peerings failed"), or None."""
    reason = vnet.get("reason", "")
    named = [(found.start(), step) for step in STEPS for found in [re.search(r"\b" + step + r"\b", reason)] if found]
    return min(named)[1] if named else None


def worst(lines):
    """What a step's lines met: an error, a warning, or only skips."""
    levels = {level for level, _ in lines}
    return "error" if levels & {"error", "critical"} else "warning" if "warning" in levels else "skipped"
