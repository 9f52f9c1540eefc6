"""What a person reads at the end of a run, and the progress line before it."""
import json
import logging
import sys
import threading

logger = logging.getLogger("dm.migrate")


class Progress(logging.Filter):
    """One line on the terminal, rewritten per VNet, when more than a few VNets are handled (never logged).

    A log line printed on a terminal first clears it (this filter, on the tool's stream handlers),
    and the line is drawn again after it (a handler of its own, after those).
    """

    MIN_VNETS = 4

    def __init__(self, total, stream=None):
        super().__init__()
        self.stream = stream or sys.stderr
        self.total = total
        self.shown = total >= self.MIN_VNETS and self.stream.isatty()
        self.done = 0
        self.in_flight = 0
        self.drawing = threading.RLock()   # workers start and end VNets at the same time
        self.what = ""
        self.text = None         # the line on the terminal now, None when cleared
        self.redraw = logging.Handler()
        self.redraw.emit = lambda record: self.draw()
        if self.shown:
            for handler in self.terminal_handlers():
                handler.addFilter(self)
            logging.getLogger("dm").addHandler(self.redraw)

    def terminal_handlers(self):
        return [h for h in logging.getLogger("dm").handlers
                if isinstance(h, logging.StreamHandler) and not isinstance(h, logging.FileHandler)]

    def filter(self, record):
        with self.drawing:
            if self.text is not None:
                self.stream.write("\r\033[K")
                self.stream.flush()
                self.text = None
        return True

    def next(self, what, in_flight=0):
        """A VNet starts (`in_flight`: 1 when VNets are worked on at the same time)."""
        with self.drawing:
            self.done += 1
            self.in_flight += in_flight
            self.text = None
            self.what = what
        self.draw()

    def ended(self):
        """A VNet worked on beside others ends; its lines have been written."""
        with self.drawing:
            self.in_flight -= 1
            self.text = None
        self.draw()

    def draw(self):
        with self.drawing:
            if self.shown and self.text is None and self.done:
                flying = ", " + str(self.in_flight) + " in flight" if self.in_flight else ""
                self.text = "[" + str(self.done) + "/" + str(self.total) + flying + "] " + self.what
                self.stream.write("\r\033[K" + self.text)
                self.stream.flush()

    def close(self):
        if self.shown:
            logging.getLogger("dm").removeHandler(self.redraw)
            for handler in self.terminal_handlers():
                handler.removeFilter(self)
            self.stream.write("\r\033[K")
            self.stream.flush()


class ErrorTally(logging.Handler):
    """Counts the error lines of the whole run, the libraries' and the driver's."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.count = 0

    def emit(self, record):
        self.count += 1


class Summary:
    def __init__(self, command, dry_run):
        self.command = command
        self.dry_run = dry_run
        self.vnets = {}           # "<subscription>/<vnet>": {"outcome": ..., "changes": {...}}
        self.differences = None           # the sentences of the terminal and the HTML report
        self.difference_objects = None    # the same as objects, for the JSON form
        self.verdict = None
        self.tally = ErrorTally()
        logging.getLogger("dm").addHandler(self.tally)

    def vnet(self, subscription_id, name, outcome, changes=None, reason=None):
        entry = {"subscription_id": subscription_id, "vnet": name, "outcome": outcome, "changes": changes or {}}
        if reason:
            entry["reason"] = reason
        self.vnets[subscription_id + "/" + name] = entry

    def in_order(self, keys):
        """The VNets in the order given (VNets worked on at the same time end in any order)."""
        self.vnets = {key: self.vnets[key] for key in keys if key in self.vnets} | self.vnets

    def count(self, outcome):
        return sum(1 for v in self.vnets.values() if v["outcome"] == outcome)

    def totals(self):
        kept = [v for v in self.vnets.values() if v["outcome"] != "rolled back"]   # a rollback's changes cancel out
        moved = sum(len(v["changes"].get("subnets") or {}) for v in kept)
        peerings = sum(len(peering_pairs(v["changes"].get("peerings"))) for v in kept)
        return {"vnets_done": self.count("done"), "vnets_skipped": self.count("skipped"),
                "vnets_refused": self.count("refused"), "vnets_rolled_back": self.count("rolled back"),
                "vnets_failed": self.count("failed"), "subnets_moved": moved,
                ("peerings_restored" if self.command == "revert" else "peerings_removed"): peerings,
                "errors": self.tally.count}

    def show(self, log_file, records_file):
        logging.getLogger("dm").removeHandler(self.tally)
        totals = self.totals()
        would = "would be " if self.dry_run else ""
        logger.info("")
        logger.info("=== Summary of %s%s ===", self.command, " (dry run: nothing was changed)" if self.dry_run else "")
        logger.info("  VNets done %d, skipped %d, refused %d, rolled back %d, failed %d", totals["vnets_done"],
                    totals["vnets_skipped"], totals["vnets_refused"], totals["vnets_rolled_back"],
                    totals["vnets_failed"])
        for name, v in self.vnets.items():
            if v["outcome"] != "done":
                logger.info("  %s %s%s", v["outcome"], name, ": " + v["reason"] if v.get("reason") else "")
        peer_key = "peerings_restored" if self.command == "revert" else "peerings_removed"
        logger.info("  subnets %smoved: %d; peerings %s%s: %d", would, totals["subnets_moved"], would,
                    peer_key.split("_")[1], totals[peer_key])
        logger.info("  error lines: %d", totals["errors"])
        logger.info("  log: %s", log_file)
        if records_file:
            logger.info("  records: %s", records_file)
        if self.verdict is not None:
            logger.info("  round trip: %s", self.verdict)

    def as_json(self, log_file, records_file):
        return json.dumps({"command": self.command, "dry_run": self.dry_run, "totals": self.totals(),
                           "vnets": list(self.vnets.values()), "differences": self.difference_objects,
                           "round_trip": self.verdict, "log": str(log_file),
                           "records": str(records_file) if records_file else None}, indent=1, default=str)


def peering_pairs(recorded):
    if isinstance(recorded, dict):
        return recorded.get("pairs") or []
    return recorded or []
