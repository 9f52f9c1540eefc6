"""VNets switched and reverted at the same time, as far as Azure lets them.

Up to N worker threads each take the next VNet and run all of its steps in order. A step that
touches another VNet (the far half of a peering, a remote VNet's lock) first waits until no other
worker is in a step on that VNet, and every step holds its own VNet, so a VNet is changed by one
step at a time, as Azure requires. The VNets are handed out one subscription after another in
turn, so that workers seldom wait for the same hub. One worker keeps the order of a run
without workers.
"""
import contextlib
import itertools
import threading

from . import perthread


class VnetGuards:
    """One lock per VNet ("<subscription>/<name>", case-insensitive), taken in one order."""

    def __init__(self):
        self.locks = {}
        self.making = threading.Lock()

    def lock_of(self, key):
        with self.making:
            return self.locks.setdefault(key.lower(), threading.Lock())

    @contextlib.contextmanager
    def holding(self, keys):
        taken = [self.lock_of(key) for key in sorted({key.lower() for key in keys})]
        with contextlib.ExitStack() as stack:
            for lock in taken:
                stack.enter_context(lock)
            yield


guards = VnetGuards()


def interleaved(chosen):
    """(account, name) pairs one subscription after another in turn, each subscription's in its order."""
    by_account = {}
    for account, name in chosen:
        by_account.setdefault(id(account), []).append((account, name))
    return [pair for turn in itertools.zip_longest(*by_account.values()) for pair in turn if pair is not None]


def each(chosen, workers, act, progress, stopped, stop_all):
    """Calls act(account, name) for every pair, on `workers` threads; `stopped()` tells a worker to
    start no further VNet (its VNets are then still handed to act, which skips them). A worker ended
    by anything act does not report (an interrupt) first calls `stop_all()`, so that every other one
    ends at its next request, and the run ends with it once they have."""
    if workers <= 1:
        for account, name in chosen:
            progress.next(account.subscription_id + " " + name)
            act(account, name)
        return
    queue = iter(interleaved(chosen))
    handing = threading.Lock()
    failures = []

    def work():
        while True:
            with handing:
                pair = next(queue, None)
                if pair is None:
                    return
                if not stopped():
                    progress.next(pair[0].subscription_id + " " + pair[1], +1)
            try:
                with perthread.held_lines():
                    act(*pair)
            except BaseException as error:      # act reports per VNet; anything else ends the run after all
                failures.append(error)
                stop_all()
                return
            finally:
                progress.ended()
    threads = [threading.Thread(target=work, name="vnet-worker-" + str(n), daemon=True)
               for n in range(min(workers, len(chosen)))]
    interrupted = None
    with perthread.holding_output():
        for thread in threads:
            thread.start()
        for thread in threads:
            while thread.is_alive():
                try:
                    thread.join(0.2)    # short joins: the main thread still takes Ctrl-C
                except KeyboardInterrupt as error:
                    interrupted = error     # a second one: the run has stopped, every worker ends at its next request
    if interrupted is not None:
        raise interrupted
    if failures:
        raise failures[0]
