"""Logging set-up of the tool, for `logging.config.dictConfig`.

Everything under the "dm" logger goes to three places: the run log
("logConsoleHandler", every level), the alert log ("alertHandler", warnings
and errors) and the console (info and above). The two file names are pointed
at the run's log folder before the configuration is applied; the files are
opened on the first record only.
"""

logging_config = {
    "version": 1,
    "disable_existing_loggers": False,
    "formatters": {
        "plain": {"format": "%(message)s"},
        "stamped": {"format": "%(asctime)s %(levelname)s %(name)s: %(message)s"},
    },
    "handlers": {
        "consoleHandler": {
            "class": "logging.StreamHandler",
            "level": "INFO",
            "formatter": "plain",
            "stream": "ext://sys.stdout",
        },
        "logConsoleHandler": {
            "class": "logging.FileHandler",
            "level": "DEBUG",
            "formatter": "stamped",
            "filename": "dm.log",
            "delay": True,
        },
        "alertHandler": {
            "class": "logging.FileHandler",
            "level": "WARNING",
            "formatter": "stamped",
            "filename": "dm.alert.log",
            "delay": True,
        },
    },
    "loggers": {
        "dm": {
            "level": "DEBUG",
            "handlers": ["consoleHandler", "logConsoleHandler", "alertHandler"],
            "propagate": False,
        },
    },
}
