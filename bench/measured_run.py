"""One run of the driver on the local cloud, measured from inside: the ARM requests the cloud
answered and the bytes written into the records folder. bench/estate.py starts one per command.

    python bench/measured_run.py RESULT.json RECORDS_FOLDER [--azure-timing SCALE] -- <migrate.py arguments>
"""
import builtins
import io
import json
import os
import pathlib
import sys
from collections import Counter

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "migration" / "discovery_migration"), str(ROOT)]


class WriteCounter:
    """Counts the bytes written to files below one folder, however they are opened (open, os.fdopen
    of a temporary file, os.write on a descriptor), so any way of keeping records is measured alike."""

    def __init__(self, folder):
        self.folder = os.path.realpath(folder) + os.sep
        self.bytes = 0

    def install(self):
        real_open, real_fdopen, real_write = builtins.open, os.fdopen, os.write

        def counted_open(file, mode="r", *args, **kwargs):
            handle = real_open(file, mode, *args, **kwargs)
            return self.wrap(handle, file, mode)

        def counted_fdopen(fd, mode="r", *args, **kwargs):
            return self.wrap(real_fdopen(fd, mode, *args, **kwargs), self.path_of(fd), mode)

        def counted_write(fd, data):
            written = real_write(fd, data)
            if self.inside(self.path_of(fd)):
                self.bytes += written
            return written
        builtins.open = io.open = counted_open
        os.fdopen, os.write = counted_fdopen, counted_write

    def path_of(self, fd):
        try:
            return os.readlink("/proc/self/fd/%d" % fd)
        except OSError:
            return ""

    def inside(self, path):
        return isinstance(path, (str, os.PathLike)) and os.path.realpath(path).startswith(self.folder)

    def wrap(self, handle, path, mode):
        if not any(m in mode for m in "wax+") or not self.inside(path):
            return handle
        return Counting(handle, self)


class Counting:
    def __init__(self, handle, counter):
        self._handle, self._counter = handle, counter

    def write(self, data):
        self._counter.bytes += len(data.encode() if isinstance(data, str) else data)
        return self._handle.write(data)

    def __getattr__(self, name):
        return getattr(self._handle, name)

    def __enter__(self):
        self._handle.__enter__()
        return self

    def __exit__(self, *exc):
        return self._handle.__exit__(*exc)

    def __iter__(self):
        return iter(self._handle)


def main(argv):
    result_path, records_folder = argv[0], argv[1]
    rest = argv[2:]
    scale = None
    if rest[0] == "--azure-timing":
        scale, rest = float(rest[1]), rest[2:]
    migrate_args = rest[1:]
    import migrate
    from migrator import environment
    clouds = []
    build = environment.local

    def local(*args):
        env = build(*args)
        if scale:
            from localarm import timing
            timing.apply(env.cloud, scale)
        clouds.append(env.cloud)
        return env
    environment.local = local
    counter = WriteCounter(records_folder)
    counter.install()
    stdout, sys.stdout = sys.stdout, open(os.devnull, "w")
    try:
        status = migrate.main(migrate_args)
    finally:
        sys.stdout = stdout
    calls = clouds[0].log.calls if clouds else []
    result = {"status": status, "requests": len(calls),
              "statuses": dict(Counter(str(c.status) for c in calls)),
              "operations": dict(Counter(c.operation for c in calls)), "records_bytes": counter.bytes}
    with open(result_path, "w") as out:
        json.dump(result, out)


if __name__ == "__main__":
    main(sys.argv[1:])
