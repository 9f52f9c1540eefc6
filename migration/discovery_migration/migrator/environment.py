"""Where a run acts: a local cloud and a local controller, or Azure and a real controller.

The local cloud is seeded from a topology, a saved state or `az ... list`
output and saved after the run when asked; the local controller is seeded from
the cloud and the configuration, so nothing outside this machine is touched
and no secret is needed. Against Azure the SDK's own retry policy answers
throttling (429 with Retry-After) and server errors, and the controller's
address and access identifier come from the configuration and the environment;
neither is ever logged.
"""
import os
import sys
import types

from azure.core.exceptions import AzureError
from azure.core.pipeline.policies import HeadersPolicy

from dm.arm import trafswap
from dm.arm.res.YamlContext import YamlContext

from . import localcontroller, steps
from .errors import BadInput

CONTROLLER_URL_VARIABLE = "ZENTROVA_API_URL"
CONTROLLER_CID_VARIABLE = "ZENTROVA_CID"


class Controller(types.SimpleNamespace):
    """The controller's API endpoint and access identifier (never logged or printed)."""

    def __repr__(self):
        return "Controller(url=" + repr(self.url) + ", cid=<hidden>)"


class Environment:
    """The cloud and controller of one run; `close()` saves the local cloud when asked and stops the controller.

    A local cloud lives in `folder` (`<log_output>/localcloud/`: its CA certificate while the
    controller runs and, unless it came from a saved state, the cloud and controller as kept
    between runs). `kept_from` says where a cloud that starts over came from; None when it
    goes on from what the folder keeps.
    """

    def __init__(self, cloud=None, controller=None, save_state=None, folder=None, kept_from=None):
        self.cloud = cloud
        self.controller = controller
        self.local_controller = None
        self.save_state = save_state
        self.folder = folder
        self.kept_from = kept_from

    @property
    def local(self):
        return self.cloud is not None

    @property
    def remembers(self):
        return self.cloud is not None and (self.cloud.kept is not None or self.kept_from is not None)

    def keep(self):
        """From now on every accepted write is kept (called once the input is known to be good)."""
        if self.cloud is not None and self.kept_from is not None:
            replaced = self.cloud.kept is None and os.path.exists(os.path.join(self.folder, "cloud.json"))
            sys.stderr.write("local cloud: " + ("starts over" if replaced else "starts") + " from " + str(self.kept_from)
                             + (", replacing the one kept in " if replaced else "; kept in ") + self.folder + "\n")
            self.cloud.remember(self.folder)

    def close(self, save=True):
        """Saves the local cloud when asked (not after bad input: nothing was done), compacts what is
        kept and stops the controller."""
        if save and self.cloud is not None and self.save_state:
            self.cloud.save(self.save_state)
            if self.local_controller is not None:
                localcontroller.save(self.local_controller, self.save_state)
        for kept in (self.cloud, self.local_controller):
            if kept is not None and kept.kept is not None:
                kept.forget() if save else kept.kept.close()
        if self.local_controller is not None:
            self.local_controller.stop()
            self.local_controller = None


class StoppedByUser(AzureError):
    """Raised in place of a request sent after the user asked the run to stop."""


class StopAtNextRequest(HeadersPolicy):
    """After a first Ctrl-C no further request leaves: the one in flight completes, the next fails
    at once (this policy runs before the retry policy, so it is not retried). The operations then
    log it as a failed item, keep their records and return, and no further step starts."""

    def on_request(self, request):
        if steps.stop_requested.is_set():
            raise StoppedByUser("stopped by the user before this request")
        super().on_request(request)


def stop_between_requests():
    """The libraries' network and lock clients, built with the stopping policy."""
    for name in ("NetworkManagementClient", "ManagementLockClient"):
        sdk_class = getattr(trafswap, name)

        def __init__(self, *args, _sdk_class=sdk_class, **kwargs):
            kwargs.setdefault("headers_policy", StopAtNextRequest())
            _sdk_class.__init__(self, *args, **kwargs)
        setattr(trafswap, name, type(sdk_class.__name__, (sdk_class,), {"__init__": __init__}))


def local(args, folder):
    """A local cloud bound into the libraries' module globals (its controller starts later): the
    one `folder` keeps, unless a saved state, a topology, `az` output or --fresh says otherwise."""
    from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, install

    source = args.state or args.topology or SAMPLE_TOPOLOGY
    goes_on = not (args.state or args.topology or args.from_az or args.fresh)
    kept_from = None if args.state else " ".join(map(str, args.from_az)) if args.from_az else source
    try:
        if goes_on and os.path.exists(os.path.join(folder, "cloud.json")):
            source, kept_from = folder, None
            cloud = LocalCloud.remembered(folder)
        elif args.state:
            cloud = LocalCloud.load(args.state)
        elif args.from_az:
            cloud = LocalCloud()
            for source in args.from_az:
                cloud.import_cli(source)
        else:
            cloud = LocalCloud.from_topology(source)
    except OSError as error:
        raise BadInput(str(source) + ": " + (error.strerror or str(error))) from None
    except ValueError as error:
        raise BadInput(str(source) + ": " + str(error).splitlines()[0]
                       + ("; --fresh starts the local cloud over" if source == folder else "")) from None
    if getattr(args, "azure_timing", None):
        from localarm import timing
        timing.apply(cloud, args.azure_timing)
    install(cloud)
    stop_between_requests()
    YamlContext.setCredentialFactory(lambda record: StaticCredential())
    return Environment(cloud=cloud, save_state=args.save_state, folder=folder, kept_from=kept_from)


def start_local_controller(environment, document, saved_state=None):
    """The local controller of a local cloud, seeded from the cloud and the configuration, or
    taken from the controller file saved beside a saved cloud or from the one kept with the cloud."""
    controller = localcontroller.start(environment, document, saved_state)
    environment.local_controller = controller
    environment.controller = Controller(url=controller.url, cid=controller.cid)


def azure(document):
    """Azure through the real SDK, and the controller the configuration names."""
    url = os.environ.get(CONTROLLER_URL_VARIABLE)
    if not url:
        address = (document.get("zentrova") or {}).get("controller_private_ip")
        url = "https://" + str(address) + "/v2/api" if address else None
    cid = os.environ.get(CONTROLLER_CID_VARIABLE)
    stop_between_requests()
    return Environment(controller=Controller(url=url, cid=cid))


def controller_problems(environment, config_path):
    """Why the controller cannot be reached, one line each (for the checks before a switch)."""
    problems = []
    if environment.local:
        return problems
    if not environment.controller.url:
        problems.append(str(config_path) + ": zentrova.controller_private_ip: missing (or set "
                        + CONTROLLER_URL_VARIABLE + ")")
    if not environment.controller.cid:
        problems.append("environment variable " + CONTROLLER_CID_VARIABLE
                        + " (the controller access identifier) is not set")
    return problems
