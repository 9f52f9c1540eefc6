"""The requests the cloud answered, for tests to count."""
from collections import Counter, namedtuple

Call = namedtuple("Call", "operation method path status")


class RequestLog:
    """Every request in arrival order; `status` is None for a request failed at the transport."""

    def __init__(self):
        self.calls = []

    def record(self, operation, method, path, status):
        self.calls.append(Call(operation, method, path, status))

    def counts(self):
        return Counter(call.operation for call in self.calls)

    def count(self, operation):
        return sum(call.operation == operation for call in self.calls)

    def clear(self):
        self.calls.clear()
