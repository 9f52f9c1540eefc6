"""The local controller of a rehearsal, seeded from the local cloud and the configuration."""
from .environment import Controller


def start(cloud, document, state=None):
    """A running local controller and the connection values the libraries use to reach it."""
    raise NotImplementedError
