"""Process-wide values of the running tool."""


class Globals:
    """Set by the driver once per run; read by the libraries as class attributes."""

    yaml = {}
    CID = ""
    api_ep_url = ""
    _dryRun = False

    @classmethod
    def getDryRun(cls):
        return cls._dryRun

    @classmethod
    def setDryRun(cls, flag):
        cls._dryRun = bool(flag)
