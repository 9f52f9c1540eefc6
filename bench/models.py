"""Host objects as the Azure SDK makes them: plain instances of Python classes
whose fields are instance attributes (what the interpreter's attribute caches
are made for), not SimpleNamespace, which it reads generically."""


class Model:
    def __init__(self, **fields):
        for name, value in fields.items():
            setattr(self, name, value)
