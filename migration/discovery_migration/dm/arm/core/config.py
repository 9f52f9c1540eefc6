"""Loading of the migration configuration file."""
import copy
from dataclasses import dataclass

import yaml


@dataclass(frozen=True)
class MigrationConfig:
    """A parsed configuration file: its path and top-level mapping."""

    path: object
    document: dict


def load_from_yaml(path):
    """Parse the YAML file at `path`; an empty file gives an empty document.

    Only plain YAML is accepted (no tags that construct Python objects), and
    the top level must be a mapping.
    """
    with open(path, encoding="utf-8") as stream:
        document = yaml.safe_load(stream)
    if document is None:
        document = {}
    if not isinstance(document, dict):
        raise ValueError(str(path) + ": the top level of a configuration must be a mapping, got "
                         + type(document).__name__)
    return MigrationConfig(path, document)


def dump_to_dict(config):
    """The configuration as plain mappings and lists, independent of `config`."""
    return copy.deepcopy(config.document)
