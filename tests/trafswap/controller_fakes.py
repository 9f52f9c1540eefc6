"""Recording fakes of the controller client, the process context, the credential
factory, the network client and the resource-graph package."""
from types import SimpleNamespace as NS


class Response:
    def __init__(self, reply):
        self.reply = reply

    def json(self):
        return self.reply


class Controller:
    """Stands for the controller client `av`: records each call as (name, args, kwargs).

    `replies` maps the two list calls to their reply; `errors` maps a call to the
    exception it raises.
    """

    def __init__(self, replies=None, errors=None):
        self.calls = []
        self.replies = replies or {}
        self.errors = errors or {}

    def _call(self, name, args, kwargs):
        self.calls.append((name, args, kwargs))
        if name in self.errors:
            raise self.errors[name]
        return Response(self.replies.get(name))

    def disable_snat(self, *args, **kwargs):
        return self._call("disable_snat", args, kwargs)

    def enable_snat(self, *args, **kwargs):
        return self._call("enable_snat", args, kwargs)

    def zentrova_post(self, *args, **kwargs):
        return self._call("zentrova_post", args, kwargs)

    def list_gateway_info(self, *args, **kwargs):
        return self._call("list_gateway_info", args, kwargs)

    def list_accounts(self, *args, **kwargs):
        return self._call("list_accounts", args, kwargs)


class Document(dict):
    """Globals.yaml that records which keys were read."""

    def __init__(self, reads, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.reads = reads

    def __getitem__(self, key):
        self.reads.append("yaml[" + key + "]")
        return super().__getitem__(key)


class ProcessContext:
    """Stands for `Globals`: records reads of CID, api_ep_url and getDryRun() in order."""

    def __init__(self, document, dry_run=False, CID="cid-1", api_ep_url="https://ctl/v1/api"):
        self.reads = []
        self._yaml = Document(self.reads, document) if isinstance(document, dict) else document
        self._CID, self._url, self._dry_run = CID, api_ep_url, dry_run

    @property
    def yaml(self):
        return self._yaml

    @property
    def CID(self):
        self.reads.append("CID")
        return self._CID

    @property
    def api_ep_url(self):
        self.reads.append("api_ep_url")
        return self._url

    def getDryRun(self):
        self.reads.append("getDryRun")
        return self._dry_run


class Credential:
    def __init__(self, sub_id="sub-1", calls=None):
        self.sub_id, self.calls = sub_id, calls if calls is not None else []

    def getCSC(self):
        self.calls.append(("getCSC",))
        return "csc-of-" + self.sub_id

    def getSubId(self):
        self.calls.append(("getSubId",))
        return self.sub_id


def credential_factory(calls):
    """Stands for `yctx`: YamlContext() whose generateAzureCredential records its argument."""
    class YamlContext:
        def __init__(self, *args):
            calls.append(("YamlContext",) + args)

        def generateAzureCredential(self, subId):
            calls.append(("generateAzureCredential", subId))
            return Credential(subId, calls)
    return YamlContext


def network_client_class(calls, vnets):
    """Stands for NetworkManagementClient; virtual_networks.get answers from `vnets[(rg, name)]`."""
    class NetworkManagementClient:
        def __init__(self, *args):
            calls.append(("NetworkManagementClient",) + args)
            self.virtual_networks = NS(get=self.get)

        def get(self, *args):
            calls.append(("virtual_networks.get",) + args)
            return vnets[args]
    return NetworkManagementClient


def resource_graph(calls, response):
    """Stands for the `arg` package: the client and the two request models record how they are made."""
    def ResourceGraphClient(*args, **kwargs):
        calls.append(("ResourceGraphClient", args, kwargs))
        return NS(resources=lambda *a, **kw: calls.append(("resources", a, kw)) or response)

    def model(kind):
        def make(*args, **kwargs):
            calls.append((kind, args, kwargs))
            return NS(kind=kind, **kwargs)
        return make
    return NS(ResourceGraphClient=ResourceGraphClient,
              models=NS(QueryRequestOptions=model("QueryRequestOptions"), QueryRequest=model("QueryRequest")))
