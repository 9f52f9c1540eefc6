"""The records file: everything a revert needs, saved as each step starts and ends.

It holds, per VNet, the steps of its switch in the order they ran, each with
its status ("started", "done", "failed" or "reverted"), times, what it was
about to change (its plan) and the records the libraries returned. A run holds
the file's lock from start to end and appends each change as one event to the
file's journal, fsynced before the step goes on; at the end of the run the
journal is folded into the whole document, written atomically with its digest
(journal.py tells how). Reading checks the digest, folds in the journal a
killed run left, and checks every entry's shape (shapes.py) before anything
uses it. Files of the earlier single-document form, without a digest, are
read with a warning.
"""
import datetime
import json
import pathlib
import sys
import threading

from . import shapes
from .journal import (DigestError, FileError, Journal, Lock, document_digest, file_digest, journal_path,
                      read_journal, read_text, remove_journal, write_atomically)

FORMAT = "dm-migration-records/2"
OLD_FORMAT = "dm-migration-records/1"      # the single-document form without a digest
STATUSES = shapes.STATUSES
NO_EFFECT = ("route_tables",)              # steps that read only: nothing of theirs to revert


class RecordsError(Exception):
    """A records file that cannot be used, with the reason in its text."""


def now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def vnet_key(subscription_id, vnet_name):
    return subscription_id.lower() + "/" + vnet_name


def empty_document(version):
    return {"format": FORMAT, "tool_version": version, "created": now(), "updated": None, "vnets": {}}


def warn_on_stderr(path, text):
    print("warning: " + str(path) + ": " + text, file=sys.stderr)


class Records:
    """The records of one records file, kept in memory; every change is journalled before it is used."""

    def __init__(self, path, version, document=None):
        self.path = None if path is None else pathlib.Path(path)
        self.version = version
        self.document = document or empty_document(version)
        self.lock = None
        self.journal = None
        self.recording = threading.Lock()    # VNets worked on at the same time journal one event at a time
        self.bytes_written = 0
        self.places = {id(step): (key, index) for key, entry in self.document["vnets"].items()
                       for index, step in enumerate(entry["steps"])}

    @classmethod
    def open(cls, path, version, lock=False, force=False, warn=warn_on_stderr):
        """The file's records (its journal folded in), or an empty set when there is none yet.

        With `lock` the run holds the file from now until `close()`. With `force` a digest that
        does not match is a warning instead of a refusal; a wrong shape is refused all the same.
        """
        path = pathlib.Path(path)
        held = None
        try:
            held = Lock(path) if lock else None
            document = load(path, force, warn)
        except (FileError, shapes.ShapeError) as error:
            if held is not None:
                held.release()
            raise RecordsError(str(error)) from None
        records = cls(path, version, document)
        records.lock = held
        return records

    @classmethod
    def fresh(cls, path, version):
        """Empty records for `path`, locked, replacing whatever was there."""
        records = cls(path, version)
        records.hold()
        records.path.unlink(missing_ok=True)
        remove_journal(records.path)
        return records

    def exists(self):
        return self.path is not None and (self.path.exists() or journal_path(self.path).exists())

    # ------------------------------------------------------------ VNets and steps

    def vnet(self, subscription_id, vnet_name):
        """The VNet's entry, or None."""
        return self.document["vnets"].get(vnet_key(subscription_id, vnet_name))

    def held(self, subscription_id, vnet_name):
        """Whether the file holds a change to the VNet that has not been reverted."""
        entry = self.vnet(subscription_id, vnet_name)
        return entry is not None and any(step["status"] != "reverted" and step["name"] not in NO_EFFECT
                                         for step in entry["steps"])

    def held_vnets(self):
        """(subscription, VNet) of every VNet the file holds a change of, and of their peerings' far ends."""
        named = []
        for entry in self.document["vnets"].values():
            if not self.held(entry["subscription_id"], entry["vnet_name"]):
                continue
            named.append((entry["subscription_id"], entry["vnet_name"]))
            for step in entry["steps"]:
                for saved in (step.get("plan"), step.get("records")):
                    if step["name"] == "peerings" and saved:
                        named.extend((p["remoteSubscriptionId"], p["remoteVnetName"]) for p in saved["pairs"])
        return list(dict.fromkeys(named))

    def begin_vnet(self, subscription_id, vnet_name, resource_group):
        """A fresh entry for a switch of the VNet (an earlier, reverted one is replaced)."""
        key = vnet_key(subscription_id, vnet_name)
        self.record({"event": "vnet", "vnet": key, "entry": {
            "subscription_id": subscription_id, "vnet_name": vnet_name, "resource_group": resource_group,
            "switched": now(), "steps": []}})
        return self.document["vnets"][key]

    def start(self, entry, name, plan=None):
        """Marks a step as started (with what it is about to change) and saves before it runs."""
        step = {"name": name, "status": "started", "started": now(), "ended": None, "records": None}
        if plan is not None:
            step["plan"] = plan
        key = self.key_of(entry)
        if key is None:                      # the entry of a preview, kept by its caller alone
            entry["steps"].append(step)
            return step
        self.record({"event": "step", "vnet": key, "index": len(entry["steps"]), "set": step})
        return entry["steps"][-1]

    def finish(self, step, records=None, status="done", error=None, errors=0, plan=None):
        """Stores a step's outcome and records and saves before the next step starts.

        `errors` counts the error lines the libraries logged during the step; `plan` replaces the one
        saved at its start when the step was decided again on fresh reads.
        """
        fields = {"status": status, "ended": now(), "records": records}
        if plan is not None:
            fields["plan"] = plan
        if error is not None:
            fields["error"] = error
        if errors:
            fields["library_errors"] = errors
        self.update(step, **fields)

    def reverted(self, step):
        self.update(step, status="reverted", reverted=now())

    def update(self, step, **fields):
        """Sets fields of a step and saves them."""
        place = self.places.get(id(step))
        if place is None:
            if self.path is not None:
                raise ValueError("a step that is not one of " + str(self.path))
            step.update(fields)              # a step of a preview's own entry
            return
        self.record({"event": "step", "vnet": place[0], "index": place[1], "set": fields})

    def key_of(self, entry):
        """The key of an entry of these records; None for an entry of a dry run's caller alone."""
        key = vnet_key(entry["subscription_id"], entry["vnet_name"]) if "vnet_name" in entry else None
        if key is not None and self.document["vnets"].get(key) is entry:
            return key
        if self.path is not None:
            raise ValueError("a VNet entry that is not one of " + str(self.path))
        return None

    # ------------------------------------------------------------ the file

    def record(self, event):
        """Journals one event (fsynced) and applies it; a dry run (no path) keeps it in memory only."""
        with self.recording:
            if self.path is not None:
                if self.journal is None:
                    self.hold()
                    self.journal = Journal(self.path, file_digest(self.path), {"tool_version": self.version})
                self.bytes_written += self.journal.append(event)
            step = apply(self.document, event)
            if step is not None:
                self.places[id(step)] = event["vnet"], event["index"]

    def hold(self):
        if self.lock is None and self.path is not None:
            try:
                self.lock = Lock(self.path)
            except FileError as error:
                raise RecordsError(str(error)) from None

    def close(self, save=True):
        """Ends the run: the journal folded into the view, written whole even when the run changed
        nothing (a revert then finds the run's file), and the lock released."""
        if save and (self.journal is not None or self.lock is not None):
            self.save()
        if self.lock is not None:
            self.lock.release()
            self.lock = None

    def save(self):
        """Writes the whole document with its digest, then drops the journal it now contains."""
        self.document.update(format=FORMAT, updated=now(), tool_version=self.version)
        self.document["digest"] = document_digest(self.document)
        text = json.dumps(self.document, separators=(",", ":")) + "\n"
        write_atomically(self.path, text)
        self.bytes_written += len(text.encode("utf-8"))
        if self.journal is not None:
            self.journal.close()
        remove_journal(self.path)
        self.journal = None


def apply(document, event):
    """Applies one journal event to a document; the step it created or changed, if any."""
    kind, key = event.get("event"), event.get("vnet")
    if kind == "vnet" and isinstance(key, str) and isinstance(event.get("entry"), dict):
        document["vnets"][key] = event["entry"]
        return None
    entry = document["vnets"].get(key) if isinstance(key, str) else None
    index, fields = event.get("index"), event.get("set")
    if kind != "step" or not isinstance(entry, dict) or not isinstance(entry.get("steps"), list) \
            or not isinstance(fields, dict) or not isinstance(index, int) or not 0 <= index <= len(entry["steps"]):
        raise FileError("an event that does not fit the records before it: " + shapes.found(event))
    if index == len(entry["steps"]):
        entry["steps"].append({})
    entry["steps"][index].update(fields)
    return entry["steps"][index]


# ---------------------------------------------------------------- reading

def load(path, force, warn):
    """The document of a records file with the journal a killed run left folded in, checked whole.
    FileError or ShapeError says what is wrong."""
    document = read_view(path, force, warn) if path.exists() else None
    journal = journal_path(path)
    header, events = read_journal(journal, force, lambda text: warn(journal, text)) if journal.exists() \
        else (None, [])
    if header is not None and header.get("base") == file_digest(path):
        document = document or empty_document(header.get("tool_version"))
        for number, event in events:
            try:
                apply(document, event)
            except FileError as error:
                raise FileError(str(journal) + ": line " + str(number) + ": " + str(error)) from None
    document = document or empty_document(None)
    check_document(document)
    return document


def read_view(path, force, warn):
    """The whole-document view, its digest checked (or its absence warned of, in the earlier form)."""
    try:
        document = json.loads(read_text(path))
    except ValueError as error:
        raise FileError("it is not complete JSON (" + str(error) + ")") from None
    except RecursionError:
        raise FileError("it is not a records file of this tool (nested too deeply)") from None
    if not isinstance(document, dict) or document.get("format") not in (FORMAT, OLD_FORMAT):
        raise FileError('it is not a records file of this tool (no "format": "' + FORMAT + '")')
    if document["format"] == OLD_FORMAT:
        warn(path, "written without a digest by an earlier version of the tool; read as it is")
    elif document.get("digest") != document_digest(document):
        if not force:
            raise DigestError("its content does not match its digest (changed after it was written); "
                              "--force uses it all the same")
        warn(path, "its content does not match its digest; used as it is (--force)")
    if not isinstance(document.get("vnets"), dict):
        raise FileError('it has no "vnets" mapping')
    return document


def check_document(document):
    for key, entry in document["vnets"].items():
        shapes.check_entry(key, entry, vnet_key)
