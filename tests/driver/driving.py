"""The driver run in this process, so a test can reach the local cloud it builds."""
import logging

import migrate
from dm.arm import trafswap
from dm.arm.res.Globals import Globals
from dm.arm.res.YamlContext import YamlContext
from dm.arm.terraform import Terraform
from migrator import environment

LOCAL, START_CONTROLLER = environment.local, environment.start_local_controller
# What a run sets process-wide: the configuration's context, the writer's folder, the dry-run
# switches and the SDK classes bound into the library; later tests expect them as they were.
PROCESS_STATE = [(YamlContext, ("_config", "_records", "_factory")), (Terraform, ("outputFolder",)),
                 (Globals, ("yaml", "CID", "api_ep_url", "_dryRun")),
                 (trafswap, ("NetworkManagementClient", "ManagementLockClient", "arg")),
                 (trafswap.SwitchTraffic, ("DryRun",))]


def drive(*argv, hook=None, controller_hook=None):
    """migrate.main(argv), with `hook(cloud)` applied to the local cloud it builds and
    `controller_hook(controller)` to the local controller it starts; the tool's logging set-up
    and the process-wide state a run sets are undone afterwards."""
    def local(args, folder):
        env = LOCAL(args, folder)
        if hook is not None:
            hook(env.cloud)
        return env

    def start_controller(env, *args):
        START_CONTROLLER(env, *args)
        if controller_hook is not None:
            controller_hook(env.local_controller)
    saved = [(owner, {name: getattr(owner, name) for name in names}) for owner, names in PROCESS_STATE]
    environment.local, environment.start_local_controller = local, start_controller
    try:
        return migrate.main([str(a) for a in argv])
    finally:
        environment.local, environment.start_local_controller = LOCAL, START_CONTROLLER
        for owner, values in saved:
            for name, value in values.items():
                setattr(owner, name, value)
        dm = logging.getLogger("dm")
        for handler in dm.handlers:
            handler.close()
        dm.handlers.clear()
        dm.propagate, dm.level = True, logging.NOTSET
