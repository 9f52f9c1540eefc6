"""State kept durably in a folder: a snapshot, and an append-only journal of the changes since.

Each change is one JSON line, written and fsynced before the change is
answered, so a process killed at any point leaves every answered change on
disk; a line cut short by the kill was never answered and is ignored. A clean
exit compacts: the snapshot is replaced atomically, naming the last change it
holds, then the journal is emptied, so a kill between the two steps replays
nothing twice.
"""
import json
import os


class Remembered:
    """`<folder>/<name>.json` (the snapshot) and `<folder>/<name>.journal` (the changes since)."""

    def __init__(self, folder, name):
        self.folder = str(folder)
        self.snapshot_path = os.path.join(self.folder, name + ".json")
        self.journal_path = os.path.join(self.folder, name + ".journal")
        self.seq = 0
        self._file = None

    def exists(self):
        return os.path.exists(self.snapshot_path)

    def load(self):
        """(the snapshot, the changes after it, in order); ValueError names a file that cannot be read."""
        try:
            with open(self.snapshot_path) as file:
                snapshot = json.load(file)
            self.seq = int(snapshot.get("journal_seq", 0))
        except (ValueError, TypeError, AttributeError) as error:
            raise ValueError(self.snapshot_path + ": not a snapshot of the local cloud (" + str(error) + ")") from None
        changes = []
        if os.path.exists(self.journal_path):
            with open(self.journal_path, "rb") as file:
                for number, line in enumerate(file, 1):
                    try:
                        change = json.loads(line)
                    except ValueError:
                        break                   # a line cut short by a kill: never answered
                    if not isinstance(change, dict) or not isinstance(change.get("seq"), int):
                        raise ValueError(self.journal_path + ": line " + str(number) + " is not a change")
                    if change["seq"] > self.seq:
                        changes.append(change)
        return snapshot, changes

    def start(self, snapshot):
        """Begins anew from `snapshot`: written at once, with an empty journal. The snapshot names
        the last change of any earlier journal, so none of those is replayed onto it."""
        os.makedirs(self.folder, exist_ok=True)
        try:
            self.seq = max([self.seq] + [change["seq"] for change in self.load()[1]])
        except (OSError, ValueError, KeyError, TypeError):
            pass
        self._write_snapshot(snapshot)
        self._open("wb")

    def resume(self, changes_replayed):
        """Goes on appending after the changes just replayed."""
        if changes_replayed:
            self.seq = changes_replayed[-1]["seq"]
        self._open("ab")

    def append(self, change):
        """Writes one change and returns once it is on disk."""
        self.seq += 1
        self._file.write(json.dumps(dict(change, seq=self.seq)).encode() + b"\n")
        self._file.flush()
        os.fsync(self._file.fileno())

    def compact(self, snapshot):
        """The snapshot replaced by the current state, then the journal emptied; closes the journal."""
        self._write_snapshot(snapshot)
        self.close()
        with open(self.journal_path, "wb") as file:
            os.fsync(file.fileno())

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None

    def _open(self, mode):
        self._file = open(self.journal_path, mode)
        if mode == "wb":
            os.fsync(self._file.fileno())

    def _write_snapshot(self, snapshot):
        temporary = self.snapshot_path + ".tmp"
        with open(temporary, "w") as file:
            json.dump(dict(snapshot, journal_seq=self.seq), file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, self.snapshot_path)
        directory = os.open(self.folder, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)
