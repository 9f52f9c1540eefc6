"""Azure Resource Graph: the "Resources" table of the cloud and the part of its query language tools use.

A query is a table followed by "|"-separated stages:
  where A op 'text' [and ...]   op: == != (exact) =~ !~ (ignoring case) contains startswith (ignoring case);
                                a quoted text escapes its quote and backslash with a backslash
  mvexpand|mv-expand [name=]path
  project [name=]path[, ...]    an unnamed path is named with "_" for "." (properties_gatewayType)
  limit|take N
A path is a column followed by ".key" or "[index]" steps. Anything else is refused as Azure refuses a
query it cannot parse (400, InvalidQuery).
"""
import re

from .. import errors, ids

QUOTED = r"'(?:[^'\\]|\\.)*'" + r'|"(?:[^"\\]|\\.)*"'
STAGE = re.compile(r"(?:" + QUOTED + r"""|[^|'"])+""")
PATH = r"[A-Za-z_]\w*(?:\.\w+|\[\d+\])*"
NAMED_PATH = re.compile(r"\s*(?:(\w+)\s*=\s*)?(" + PATH + r")\s*$")
CONDITION = re.compile(r"\s*(" + PATH + r")\s*(==|!=|=~|!~|\bcontains\b|\bstartswith\b)\s*"
                       r"(" + QUOTED + r"|-?\d+|true|false)\s*$")
AND = re.compile(r"\s+and\s+(?=(?:" + QUOTED + r"""|[^'"])*$)""")
ESCAPE = re.compile(r"\\(.)")
ESCAPED = {"n": "\n", "t": "\t", "r": "\r"}
COMPARE = {
    "==": lambda a, b: a == b,
    "!=": lambda a, b: a != b,
    "=~": lambda a, b: _fold(a) == _fold(b),
    "!~": lambda a, b: _fold(a) != _fold(b),
    "contains": lambda a, b: isinstance(a, str) and b.lower() in a.lower(),
    "startswith": lambda a, b: isinstance(a, str) and a.lower().startswith(b.lower()),
}
DEFAULT_TOP = 100


class ResourceGraph:
    def __init__(self, cloud):
        self.cloud = cloud

    def resources(self, body):
        options = body.get("options") or {}
        if options.get("resultFormat", "objectArray") != "objectArray":
            raise errors.bad_request("The local cloud answers only the objectArray result format.")
        rows = run(body.get("query") or "", self.rows(body.get("subscriptions") or ()))
        skip = int(options.get("$skipToken") or options.get("$skip") or 0)
        top = int(options.get("$top") or DEFAULT_TOP)
        page = rows[skip:skip + top]
        answer = {"totalRecords": len(rows), "count": len(page), "data": page, "facets": [],
                  "resultTruncated": "false"}
        if skip + top < len(rows):
            answer["$skipToken"] = str(skip + top)
        return answer

    def rows(self, subscriptions):
        cloud = self.cloud
        for sub in subscriptions:
            resources = [cloud.vnets.render(v) for v in cloud.vnets.table.in_subscription(sub)]
            resources += cloud.route_tables.table.in_subscription(sub)
            resources += cloud.gateways.table.in_subscription(sub)
            for resource in resources:
                yield {"id": resource["id"], "name": resource["name"], "type": resource["type"].lower(),
                       "location": resource.get("location"),
                       "resourceGroup": ids.resource_group(resource["id"]).lower(), "subscriptionId": sub,
                       "tags": resource.get("tags"), "properties": resource["properties"]}


def run(query, rows):
    stages = [stage.strip() for stage in STAGE.findall(query)]
    if not stages or stages[0].lower() != "resources":
        raise _invalid("the local cloud holds only the Resources table")
    rows = list(rows)
    for stage in stages[1:]:
        verb, _, rest = stage.partition(" ")
        verb = verb.lower()
        if verb == "where":
            tests = [_condition(text) for text in AND.split(rest)]
            rows = [row for row in rows if all(test(row) for test in tests)]
        elif verb in ("mvexpand", "mv-expand"):
            rows = _expand(rows, *_named_path(rest))
        elif verb == "project":
            columns = [_named_path(text) for text in rest.split(",")]
            rows = [{name: _value(row, path) for name, path in columns} for row in rows]
        elif verb in ("limit", "take") and rest.strip().isdigit():
            rows = rows[:int(rest)]
        else:
            raise _invalid("cannot read the stage '" + stage + "'")
    return rows


def _expand(rows, name, path):
    """One row per element; a value that is missing, empty or not a list keeps the row, with that value
    in the new column (which is what lets the gateway query expand the absent networkProfile)."""
    expanded = []
    for row in rows:
        value = _value(row, path)
        for element in value if isinstance(value, list) and value else [value]:
            expanded.append(dict(row, **{name: element}))
    return expanded


def _condition(text):
    match = CONDITION.match(text)
    if not match:
        raise _invalid("cannot read the condition '" + text.strip() + "'")
    path, op, literal = match.groups()
    expected, compare = _literal(literal), COMPARE[op]
    return lambda row: compare(_value(row, path), expected)


def _literal(text):
    if text[0] in "'\"":
        return ESCAPE.sub(lambda m: ESCAPED.get(m.group(1), m.group(1)), text[1:-1])
    if text in ("true", "false"):
        return text == "true"
    return int(text)


def _named_path(text):
    match = NAMED_PATH.match(text)
    if not match:
        raise _invalid("cannot read the column '" + text.strip() + "'")
    name, path = match.groups()
    return name or re.sub(r"[.\[\]]+", "_", path).strip("_"), path


def _value(row, path):
    value = row
    for step in re.findall(r"\w+|\[\d+\]", path):
        if step.startswith("["):
            index = int(step[1:-1])
            value = value[index] if isinstance(value, list) and index < len(value) else None
        else:
            value = value.get(step) if isinstance(value, dict) else None
    return value


def _fold(value):
    return value.lower() if isinstance(value, str) else value


def _invalid(reason):
    return errors.ArmError(400, "BadRequest", "Query is invalid: " + reason + ".",
                           details=[{"code": "InvalidQuery", "message": "Query is invalid: " + reason + "."}])
