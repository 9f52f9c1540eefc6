"""The driver run in this process, so a test can reach the local cloud it builds."""
import logging

import migrate
from migrator import environment

LOCAL = environment.local


def drive(*argv, hook=None):
    """migrate.main(argv), with `hook(cloud)` applied to the local cloud it builds; the tool's
    logging set-up is undone afterwards, as later tests expect pytest's."""
    def local(args):
        env = LOCAL(args)
        if hook is not None:
            hook(env.cloud)
        return env
    environment.local = local
    try:
        return migrate.main([str(a) for a in argv])
    finally:
        environment.local = LOCAL
        dm = logging.getLogger("dm")
        for handler in dm.handlers:
            handler.close()
        dm.handlers.clear()
        dm.propagate, dm.level = True, logging.NOTSET
