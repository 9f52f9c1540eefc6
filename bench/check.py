"""The equality check every benchmark case passes before a ratio is reported:
both sides run once on the same host and must give the same result (or error),
the same log records and the same host calls with the same arguments.

A host call is a Python function entered from outside the renderings: a
client method, a model's accessor, a base-class method, a logger method. The
renderings' own functions (methods of the `Py*` classes of a suite) and the
case's driver functions (what the case's two callables call to reach the
operation) are not host calls; what a host call runs in turn is part of it.
"""
import gc
import keyword
import logging
import re
import sys
import types

LOGGERS = ("dm.arm.cfgbase", "dm.arm.trafswap")


def _codes(obj, into):
    """The code objects of a function, of the functions nested in it and of the
    functions its closure holds."""
    if isinstance(obj, (classmethod, staticmethod)):
        obj = obj.__func__
    if isinstance(obj, types.MethodType):
        obj = obj.__func__
    if isinstance(obj, types.FunctionType):
        if obj.__code__ in into:
            return
        for cell in obj.__closure__ or ():
            try:
                _codes(cell.cell_contents, into)
            except ValueError:  # an empty cell
                pass
        obj = obj.__code__
    if isinstance(obj, types.CodeType):
        into.add(obj)
        for const in obj.co_consts:
            _codes(const, into)


def rendering_codes(module):
    """The code of every function of the suite's `Py*` classes and of its
    module-level functions (helpers of the renderings). The host objects a
    suite builds are nested functions, and stay host calls, also when the
    suite binds one to a module-level name (a stand-in for a module global of
    the tool)."""
    codes = set()
    for name, value in vars(module).items():
        if name.startswith("Py") and isinstance(value, type):
            for member in vars(value).values():
                _codes(member, codes)
        elif (isinstance(value, types.FunctionType) and value.__module__ == module.__name__
              and "<locals>" not in value.__qualname__):
            codes.add(value.__code__)
    return codes


def _shown(value):
    # A class is shown by name ("PyCommon" and "Common" stand for each other),
    # anything else by its repr without memory addresses.
    if isinstance(value, type):
        return "class " + value.__name__.removeprefix("Py")
    try:
        shown = repr(value)
    except Exception:  # noqa: BLE001 (e.g. a mapping entering its __init__, before its store exists;
        # an error here would end the observed call and leave both sides "alike" in failing)
        shown = f"<{type(value).__qualname__}>"
    return re.sub(r" at 0x[0-9a-f]+", "", shown)


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.name, record.levelname, record.getMessage()))


_GENERATOR = 0x20 | 0x80 | 0x100 | 0x200  # generator, coroutine, iterable coroutine, async generator


def _replayable(frame):
    """The host function a frame runs and the arguments it was entered with, so
    that the call can be made again: (function, positional, keywords), or None
    for a generator's step."""
    code, local = frame.f_code, frame.f_locals
    if code.co_flags & _GENERATOR:
        return None
    names = code.co_varnames
    n, kwonly = code.co_argcount, code.co_kwonlyargcount
    positional = [local[name] for name in names[:n]]
    keywords = {name: local[name] for name in names[n:n + kwonly]}
    at = n + kwonly
    if code.co_flags & 0x04:  # *args
        positional += list(local[names[at]])
        at += 1
    if code.co_flags & 0x08:  # **kwargs
        keywords.update(local[names[at]])
    closure = tuple(types.CellType(local[name]) for name in code.co_freevars) or None
    return types.FunctionType(code, frame.f_globals, code.co_name, None, closure), positional, keywords


def observe(fn, own, replay=None):
    """(result or error, log records, host calls) of one call of fn; with
    `replay` (a list), each host call is appended to it as _replayable gives it,
    with the value it returned: [function, positional, keywords, result]."""
    calls, hosts = [], set()
    returning = {}  # frame id: the replay entry its return value goes to
    records = _Records()
    top = sys._getframe()

    def profile(frame, event, arg):
        if event == "return":
            hosts.discard(id(frame))  # once the frame is gone, a rendering's frame may take its id
            entry = returning.pop(id(frame), None)
            if entry is not None:
                entry[3] = arg
            return
        if event != "call" or frame.f_code in own:
            return
        up = frame.f_back
        while up is not None and up is not top:
            if id(up) in hosts:
                return
            up = up.f_back
        hosts.add(id(frame))
        code = frame.f_code
        args = [_shown(frame.f_locals.get(n)) for n in code.co_varnames[:code.co_argcount]]
        calls.append((getattr(code, "co_qualname", code.co_name), args))     # 3.9 and 3.10 keep no qualified name
        if replay is not None:
            again = _replayable(frame)
            if again:
                replay.append([*again, None])
                returning[id(frame)] = replay[-1]

    loggers = [logging.getLogger(name) for name in LOGGERS]
    for logger in loggers:
        logger.addHandler(records)
    # A collection inside the call would run weakref callbacks of earlier garbage.
    gc.collect()
    collecting = gc.isenabled()
    gc.disable()
    sys.setprofile(profile)
    try:
        outcome = ("returned", fn())
    except Exception as e:  # noqa: BLE001 (an error is an outcome to compare)
        outcome = ("raised", type(e).__name__, str(e))
    finally:
        sys.setprofile(None)
        if collecting:
            gc.enable()
        for logger in loggers:
            logger.removeHandler(records)
    return outcome, records.records, calls


class Differs(Exception):
    pass


def same_behaviour(case, own, sides):
    """Runs each side once to warm the host's caches, then once observed; raises
    Differs unless every side behaves as the plain-Python rendering."""
    for fn in sides.values():
        fn()
    own = set(own)
    for fn in sides.values():
        own |= _all_codes(fn)
    seen = {name: observe(fn, own) for name, fn in sides.items()}
    reference = seen["Python"]
    for name, got in seen.items():
        aspects = [("result", got[0], reference[0]), ("log records", got[1], reference[1]),
                   ("host calls", got[2], reference[2])]
        if name != "Cython":  # which sizes a dict display's table up front, for keys of any kind
            aspects.append(("dict sizes", _dict_sizes(got[0][1:]), _dict_sizes(reference[0][1:])))
        for what, ours, theirs in aspects:
            if ours != theirs:
                raise Differs(f"{case.name}: {name} and Python differ in {what}:\n"
                              f"  {name}: {str(ours)[:600]}\n  Python: {str(theirs)[:600]}")


def _dict_sizes(value, seen=None):
    """sys.getsizeof of every dict in a result, walking lists, tuples and dicts:
    a record equal to the rendering's but built another way (a table sized up
    front, keys of any kind) differs here."""
    seen = set() if seen is None else seen
    if id(value) in seen or not isinstance(value, (dict, list, tuple)):
        return []
    seen.add(id(value))
    sizes = [sys.getsizeof(value)] if isinstance(value, dict) else []
    for item in (value.values() if isinstance(value, dict) else value):
        sizes += _dict_sizes(item, seen)
    return sizes


def host_calls(python, own, chunk=8):
    """A function making the host calls that one call of the Python side makes,
    with the same arguments, and nothing else: the host work both sides do.

    Each call is written out as a call expression of its own, as the rendering
    writes it, so that the interpreter makes it the way it makes the
    rendering's calls (a Python function entered in the same evaluation loop,
    not through a fresh one as `f(*args)` would). An argument that an earlier
    call returned is what that call returns in the replay, as it is in the
    rendering: a model made by one call and read by the next (an address
    network and its cached broadcast address, say) is a new one each time.
    The calls are grouped `chunk` to a function, as short as a
    rendering's own: a host call that reads its caller's line number (a log
    record does) walks the caller's line table, which a single function of
    thousands of calls would make long."""
    replay = recorded_calls(python, own)
    links, kept = _links(replay)
    names = {}

    def bound(value):
        name = f"v{len(names)}"
        names[name] = value
        return name

    def function(name, lines, scope):
        # The objects come in as defaults, so each is read as a local, as the
        # rendering reads its own.
        used = sorted({n for line in lines for n in re.findall(r"\bv\d+\b", line)}, key=lambda n: int(n[1:]))
        source = f"def {name}({', '.join(f'{n}={n}' for n in used)}):\n" + "\n".join(lines or ["    pass"])
        made = {}
        exec(compile(source, "<host work>", "exec"), scope, made)
        return made[name]

    # Chunk of each call; a result read in a later chunk is kept in a list
    # that every chunk reads, any other in a local of its chunk.
    part = (lambda index: 0) if len(replay) <= chunk else (lambda index: index // chunk)
    shared = bound([None] * len(replay))
    crossing = {source for user, pairs in links.items() for _, source in pairs if part(source) != part(user)}

    def result(index):
        return f"{shared}[{index}]" if index in crossing else f"r{index}"

    lines = []
    for index, (function_called, positional, keywords, _) in enumerate(replay):
        linked = dict(links.get(index, ()))

        def argument(at, value):
            return result(linked[at]) if at in linked else bound(value)

        args = [argument(at, value) for at, value in enumerate(positional)]
        if all(key.isidentifier() and not keyword.iskeyword(key) for key in keywords):
            args += [f"{key}={argument(at, value)}" for at, (key, value) in enumerate(keywords.items(), len(positional))]
        else:
            args.append(f"**{bound(keywords)}")
        target = f"{result(index)} = " if index in kept else ""
        lines.append(f"    {target}{bound(function_called)}({', '.join(args)})")
    if len(lines) <= chunk:  # one function of its own, entered as the rendering's is
        return function("host_work", lines, dict(names))
    chunks = [function("host_calls", lines[at:at + chunk], dict(names)) for at in range(0, len(lines), chunk)]
    return function("host_work", [f"    {bound(part)}()" for part in chunks], dict(names))


def _links(replay):
    """{call index: ((argument position, index of the earlier call that returned it), ...)}
    and the indexes of the calls whose results are so passed on; None and the
    two truth values are no one's result."""
    returned, links = {}, {}
    for index, (_, positional, keywords, result) in enumerate(replay):
        pairs = tuple((at, returned[id(value)]) for at, value in enumerate([*positional, *keywords.values()])
                      if id(value) in returned)
        if pairs:
            links[index] = pairs
        if result is not None and result is not True and result is not False:
            returned[id(result)] = index  # alive in the replay list, so the id stays its own
    return links, {source for pairs in links.values() for _, source in pairs}


def recorded_calls(python, own):
    """[[function, positional, keywords, result]] of the host calls of one call of the Python side."""
    replay = []
    observe(python, set(own) | _all_codes(python), replay)
    return replay


def host_calls_from_c(python, own, replay):
    """A function making the same host calls as host_calls() from C, through
    `replay` of bench/hostcall.c: what any compiled operation pays for them,
    each result an earlier call returned passed on as host_calls() does."""
    calls = recorded_calls(python, own)
    links, kept = _links(calls)
    return replayed(replay, tuple((function_called, tuple(positional) + tuple(keywords.values()),
                                   tuple(keywords) or None, links.get(index), index in kept)
                                  for index, (function_called, positional, keywords, _) in enumerate(calls)))


def replayed(replay, calls):
    return lambda: replay(calls)


def _all_codes(fn):
    codes = set()
    _codes(fn, codes)
    return codes
