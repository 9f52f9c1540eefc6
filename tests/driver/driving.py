"""The driver run in this process, so a test can reach the local cloud it builds."""
import logging

import migrate
from dm.arm import trafswap
from dm.arm.res.Globals import Globals
from dm.arm.res.YamlContext import YamlContext
from dm.arm.terraform import Terraform
from migrator import environment

LOCAL = environment.local
# What a run sets process-wide: the configuration's context, the writer's folder, the dry-run
# switches and the SDK classes bound into the library; later tests expect them as they were.
PROCESS_STATE = [(YamlContext, ("_config", "_records", "_factory")), (Terraform, ("outputFolder",)),
                 (Globals, ("yaml", "CID", "api_ep_url", "_dryRun")),
                 (trafswap, ("NetworkManagementClient", "ManagementLockClient", "arg")),
                 (trafswap.SwitchTraffic, ("DryRun",))]


def drive(*argv, hook=None):
    """migrate.main(argv), with `hook(cloud)` applied to the local cloud it builds; the tool's
    logging set-up and the process-wide state a run sets are undone afterwards."""
    def local(args):
        env = LOCAL(args)
        if hook is not None:
            hook(env.cloud)
        return env
    saved = [(owner, {name: getattr(owner, name) for name in names}) for owner, names in PROCESS_STATE]
    environment.local = local
    try:
        return migrate.main([str(a) for a in argv])
    finally:
        environment.local = LOCAL
        for owner, values in saved:
            for name, value in values.items():
                setattr(owner, name, value)
        dm = logging.getLogger("dm")
        for handler in dm.handlers:
            handler.close()
        dm.handlers.clear()
        dm.propagate, dm.level = True, logging.NOTSET
