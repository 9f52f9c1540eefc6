"""The records file on disk: its lock, its journal of step events and its whole-document view.

Beside a records file `r.json` live `r.json.journal` and `r.json.lock`.

The journal holds the events of the run in progress, one JSON line each,
appended and fsynced before the run goes on, so a kill loses nothing that was
acknowledged and costs one line per event, not a rewrite of everything saved
so far. Its first line names the view it continues (the SHA-256 of the view
file's bytes, or null when there is none). Every line carries "chain": the
SHA-256 of the previous line's chain followed by the line's own canonical JSON
(sorted keys, compact, without "chain"), the first line starting from the empty
text. A changed, removed or reordered line therefore breaks the chain of every
line after it, and the last line's chain is the digest of the whole journal.
A last line without its newline is a write cut short by a kill: it is ignored
with a warning.

At the end of a run the journal is folded into the view, written atomically
(temporary file, fsync, rename, fsync of the folder) with "digest": the
SHA-256 of the document's canonical JSON without that key; then the journal is
removed. A kill between the two leaves a journal whose base no longer matches
the view, which tells that it is folded in already.

The lock file is held with `flock` for the whole run and names the holder's
process id; the kernel releases it when the process ends, however it ends.
"""
import fcntl
import hashlib
import json
import os
import pathlib
import tempfile

JOURNAL_FORMAT = "dm-migration-journal/1"


class FileError(Exception):
    """A records file, journal or lock that cannot be used, with the reason in its text."""


class DigestError(FileError):
    """Content that does not match its digest: changed after it was written."""


def canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


def sha256(text):
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def document_digest(document):
    """The digest a view carries: of its canonical JSON without the digest itself."""
    return "sha256:" + sha256(canonical({k: v for k, v in document.items() if k != "digest"}))


def file_digest(path):
    """The SHA-256 of a file's bytes, or None when it does not exist (what a journal continues)."""
    try:
        return "sha256:" + hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()
    except FileNotFoundError:
        return None


def journal_path(path):
    return path.with_name(path.name + ".journal")


def lock_path(path):
    return path.with_name(path.name + ".lock")


def read_text(path):
    """A file's text, or FileError naming why it cannot be read."""
    try:
        return pathlib.Path(path).read_bytes().decode("utf-8")
    except OSError as error:
        raise FileError("cannot read it: " + (error.strerror or str(error))) from None
    except UnicodeDecodeError as error:
        raise FileError("it is not UTF-8 text (byte " + str(error.start) + ")") from None


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
    sync_folder(path.parent)


def sync_folder(folder):
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# ---------------------------------------------------------------- the lock

class Lock:
    """An exclusive `flock` on the records file's lock file, held until `release()` or the process ends."""

    def __init__(self, path):
        self.path = lock_path(path)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            holder = os.pread(self.fd, 64, 0).decode("ascii", "replace").strip() or "unknown"
            os.close(self.fd)
            raise FileError("it is in use by another run (process " + holder + ", lock " + str(self.path) + ")") \
                from None
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, (str(os.getpid()) + "\n").encode("ascii"), 0)

    def release(self):
        if self.fd is not None:
            os.ftruncate(self.fd, 0)
            os.close(self.fd)          # closing the only descriptor releases the flock
            self.fd = None


# ---------------------------------------------------------------- the journal

class Journal:
    """Appends events to a fresh journal; the first append creates it, continuing the view `base`."""

    def __init__(self, path, base, header):
        self.path = journal_path(path)
        self.fd = None
        self.chain = ""
        self.header = dict(header, event="open", format=JOURNAL_FORMAT, base=base)

    def append(self, event):
        """Writes one event as one line and fsyncs it before returning; the bytes written."""
        written = 0
        if self.fd is None:
            self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
            written = self.write(self.header)
            sync_folder(self.path.parent)
        return written + self.write(event)

    def write(self, event):
        self.chain = sha256(self.chain + canonical(event))
        data = (json.dumps(dict(event, chain=self.chain), separators=(",", ":")) + "\n").encode("utf-8")
        rest = memoryview(data)
        while rest:
            rest = rest[os.write(self.fd, rest):]
        os.fsync(self.fd)
        return len(data)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def remove_journal(path):
    """Removes the journal of a records file once its events are in the view."""
    try:
        os.unlink(journal_path(path))
    except FileNotFoundError:
        return
    sync_folder(path.parent)


def read_journal(path, force, warn):
    """The header of a journal and its events after it, each with its line number; DigestError at the first line that
    breaks the chain (unless `force`: that line is then used as it is, an unreadable one skipped)."""
    text = read_text(path)
    lines = text.split("\n")
    if lines[-1]:
        warn("its last line is incomplete (a write cut short); it is ignored")
    events, chain = [], ""
    for number, line in enumerate(lines[:-1], 1):
        where = "line " + str(number)
        try:
            event = json.loads(line)
            if not isinstance(event, dict):
                raise ValueError("not a JSON object")
        except (ValueError, RecursionError) as error:
            if not force:
                raise DigestError(where + " is not a JSON object (" + str(error) + ")") from None
            warn(where + " is not a JSON object; skipped (--force)")
            continue
        stored = event.pop("chain", None)
        chain = sha256(chain + canonical(event))
        if stored != chain:
            if not force:
                raise DigestError(where + " does not match its digest (changed after it was written)")
            warn(where + " does not match its digest; used as it is (--force)")
            chain = stored if isinstance(stored, str) else chain     # the lines after it are checked again
        events.append((number, event))
    if not events:
        return None, []
    header = events[0][1]
    if header.get("event") != "open" or header.get("format") != JOURNAL_FORMAT:
        raise FileError('it is not a journal of this tool (no "format": "' + JOURNAL_FORMAT + '" on line 1)')
    return header, events[1:]
