"""Faults a test plants: the Nth request of an action goes wrong, once."""


# The client timeout for a test of a delayed reply: a loaded machine may take
# seconds to connect, but the read gives up long before the delayed reply comes.
SLOW_REPLY_TIMEOUT = (30, 0.5)


class Fault:
    """Spoils the `nth` request of `action` (any action when None).

    Exactly one way: `status` answers that HTTP status with a plain-text body;
    `refuse` answers {"return": false, "reason": refuse}; `delay` answers as
    usual, changes made, only after that many seconds; `close` drops the
    connection without an answer. Refusals, errors and drops change nothing.
    """

    def __init__(self, action=None, nth=1, status=None, refuse=None, delay=None, close=False):
        if sum(x is not None and x is not False for x in (status, refuse, delay, close)) != 1:
            raise ValueError("a fault is one of status, refuse, delay or close")
        self.action, self.nth = action, nth
        self.status, self.refuse, self.delay, self.close = status, refuse, delay, close
        self.seen = 0
        self.fired = False

    def matches(self, action):
        """Count a matching request; True when it is the one to spoil."""
        if self.fired or self.action not in (None, action):
            return False
        self.seen += 1
        self.fired = self.seen == self.nth
        return self.fired
