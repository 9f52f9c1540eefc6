"""The records file: everything a revert needs, saved after every step.

One JSON document per records file, replaced atomically on every save
(temporary file in the same folder, flush, fsync, rename, fsync of the
folder), so a crash, a kill or Ctrl-C at any point leaves the last complete
version on disk. It holds, per VNet, the steps of its switch in the order
they ran, each with its status ("started", "done", "failed" or "reverted"),
times and the records the libraries returned.
"""
import datetime
import json
import os
import pathlib
import tempfile

FORMAT = "dm-migration-records/1"
STATUSES = ("started", "done", "failed", "reverted")


class RecordsError(Exception):
    """A records file that cannot be used, with the reason in its text."""


def now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def vnet_key(subscription_id, vnet_name):
    return subscription_id.lower() + "/" + vnet_name


class Records:
    """The records of one records file, kept in memory and saved after every change."""

    def __init__(self, path, version, document=None):
        self.path = None if path is None else pathlib.Path(path)
        self.version = version
        self.document = document or {"format": FORMAT, "tool_version": version,
                                     "created": now(), "updated": None, "vnets": {}}

    @classmethod
    def open(cls, path, version):
        """The file's records, or an empty set when the file does not exist yet."""
        path = pathlib.Path(path)
        if not path.exists():
            return cls(path, version)
        return cls(path, version, read_document(path))

    # ------------------------------------------------------------ VNets and steps

    def vnet(self, subscription_id, vnet_name):
        """The VNet's entry, or None."""
        return self.document["vnets"].get(vnet_key(subscription_id, vnet_name))

    def held(self, subscription_id, vnet_name):
        """Whether the file holds a switch of the VNet that has not been reverted."""
        entry = self.vnet(subscription_id, vnet_name)
        return entry is not None and any(step["status"] != "reverted" for step in entry["steps"])

    def begin_vnet(self, subscription_id, vnet_name, resource_group):
        """A fresh entry for a switch of the VNet (an earlier, reverted one is replaced)."""
        entry = {"subscription_id": subscription_id, "vnet_name": vnet_name,
                 "resource_group": resource_group, "switched": now(), "steps": []}
        self.document["vnets"][vnet_key(subscription_id, vnet_name)] = entry
        self.save()
        return entry

    def start(self, entry, name, plan=None):
        """Marks a step as started (with what it is about to change) and saves before it runs."""
        step = {"name": name, "status": "started", "started": now(), "ended": None, "records": None}
        if plan is not None:
            step["plan"] = plan
        entry["steps"].append(step)
        self.save()
        return step

    def finish(self, step, records=None, status="done", error=None, errors=0):
        """Stores a step's outcome and records and saves before the next step starts.

        `errors` counts the error lines the libraries logged during the step.
        """
        step.update(status=status, ended=now(), records=records)
        if error is not None:
            step["error"] = error
        if errors:
            step["library_errors"] = errors
        self.save()

    def reverted(self, step):
        step.update(status="reverted", reverted=now())
        self.save()

    # ------------------------------------------------------------ the file

    def save(self):
        """Writes the file; records of a dry run (no path) are kept in memory only."""
        if self.path is None:
            return
        self.document["updated"] = now()
        self.document["tool_version"] = self.version
        # Compact JSON: the interpreter's C encoder keeps a save cheap as the file grows.
        write_atomically(self.path, json.dumps(self.document, separators=(",", ":")) + "\n")


def write_atomically(path, text):
    """Replaces `path` with `text` so that any reader sees the old or the new file whole."""
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix="." + path.name + ".", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    folder = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def read_document(path):
    """The records document of a file, checked whole; RecordsError says what is wrong."""
    try:
        text = pathlib.Path(path).read_text(encoding="utf-8")
    except OSError as error:
        raise RecordsError("cannot read it: " + (error.strerror or str(error))) from None
    try:
        document = json.loads(text)
    except ValueError as error:
        raise RecordsError("it is not complete JSON (" + str(error) + ")") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise RecordsError('it is not a records file of this tool (no "format": "' + FORMAT + '")')
    vnets = document.get("vnets")
    if not isinstance(vnets, dict):
        raise RecordsError('it has no "vnets" mapping')
    for key, entry in vnets.items():
        problem = entry_problem(entry)
        if problem:
            raise RecordsError("the entry of " + key + " " + problem)
    return document


def entry_problem(entry):
    if not isinstance(entry, dict):
        return "is not a mapping"
    for field in ("subscription_id", "vnet_name", "resource_group"):
        if not isinstance(entry.get(field), str):
            return 'has no text "' + field + '"'
    steps = entry.get("steps")
    if not isinstance(steps, list):
        return 'has no "steps" list'
    for step in steps:
        if not isinstance(step, dict) or not isinstance(step.get("name"), str):
            return "has a step without a name"
        if step.get("status") not in STATUSES:
            return "has step " + step["name"] + " with an unknown status " + repr(step.get("status"))
    return None
