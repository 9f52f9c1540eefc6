"""Faults a test plants: the Nth request of an action goes wrong, once."""

ANY_WRITE = "any write"   # the action of a fault on the nth request that changes something
WRITE_ACTIONS = ("enable_snat", "disable_snat", "associate_attachment_to_multi_cloud_security_domain",
                 "disassociate_attachment_from_multi_cloud_security_domain")


# The client timeout for a test of a delayed reply: a loaded machine may take
# seconds to connect, but the read gives up long before the delayed reply comes.
SLOW_REPLY_TIMEOUT = (30, 0.5)


class Fault:
    """Spoils the `nth` request of `action` (any action when None, any write for ANY_WRITE).

    Exactly one way: `status` answers that HTTP status with a plain-text body;
    `refuse` answers {"return": false, "reason": refuse}; `delay` answers as
    usual, changes made, only after that many seconds; `close` drops the
    connection without an answer; `lost` makes the changes and then drops the
    connection, as a reply lost on the way back. Refusals, errors and `close`
    change nothing.
    """

    def __init__(self, action=None, nth=1, status=None, refuse=None, delay=None, close=False, lost=False):
        if sum(x is not None and x is not False for x in (status, refuse, delay, close, lost)) != 1:
            raise ValueError("a fault is one of status, refuse, delay, close or lost")
        self.action, self.nth = action, nth
        self.status, self.refuse, self.delay, self.close, self.lost = status, refuse, delay, close, lost
        self.seen = 0
        self.fired = False

    def matches(self, action):
        """Count a matching request; True when it is the one to spoil."""
        wanted = action in WRITE_ACTIONS if self.action == ANY_WRITE else self.action in (None, action)
        if self.fired or not wanted:
            return False
        self.seen += 1
        self.fired = self.seen == self.nth
        return self.fired
