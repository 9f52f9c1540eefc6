"""Terraform output of a migration run, in the account's output folder."""
import errno
import json
import os
import re
import threading
from pathlib import Path

ASSOCIATION_FILE = "subnet_route_table_association.tf"
DISCOVERY_FILE = "discovery.json"

# Each association is one block of the file, opened by the comment naming its
# subnet: a subnet has one association, so a later record for the same subnet
# replaces its block, and appending the same record twice changes nothing.
SUBNET_MARK = "# subnet "
ASSOCIATION_TEMPLATE = """\
# subnet {subnet_id}
# VNet {vnet_name}, route table {route_table_id}
resource "azurerm_subnet_route_table_association" "{rname}" {{
{provider}  subnet_id      = {subnet_ref}
  route_table_id = {route_table_ref}
}}

import {{
  to = azurerm_subnet_route_table_association.{rname}
  id = {quoted_subnet_id}
}}

"""
# Each record rewrites the file from what it read: writers on several threads
# take turns, or one's block (and its temporary file) is lost to another's.
_writing = threading.Lock()
# What each file held when this process last read or wrote it, so that adding
# a block costs the same however many the file holds; a file changed since
# (another signature) is read again.
_known = {}
LABEL = re.compile(r'^resource "azurerm_subnet_route_table_association" "([^"]*)"', re.M)


class Terraform:
    outputFolder = None

    @classmethod
    def setOutputFolder(cls, path):
        """Folder (text or path) where the writer puts its files and finds discovery.json."""
        cls.outputFolder = Path(path)

    @classmethod
    def _folder(cls):
        if cls.outputFolder is None:
            raise RuntimeError("Terraform output folder is not set")
        return cls.outputFolder

    @classmethod
    def createSubnetAssociationTf(cls, record):
        """Record one subnet-to-route-table association, with the import block that
        adopts the association the switch has already made in Azure.

        The record holds "vnet_name", "subnet_id", "subnet_ref", "route_table_id",
        "route_table_ref", "rname" and "provider" (the provider alias; no provider
        line when empty). The subnet's earlier association in the file, if any, is
        replaced; a resource name another subnet already uses gets a numeric suffix.
        """
        with _writing:
            cls._write_association(record)

    @classmethod
    def _write_association(cls, record):
        folder = cls._folder()
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / ASSOCIATION_FILE
        held, signature = _known.get(path), _signature(path)
        if held is None or held.signature != signature:
            held = _known[path] = _Held(*_read_blocks(path))
            held.signature = signature
        subnet_key = record["subnet_id"].casefold()
        if subnet_key not in held.keys:
            label = _unique(_label(record["rname"]), held.labels)
            text = _block(record, label)
            with open(path, "a", encoding="utf-8") as tf:
                tf.write(text)
            held.add((subnet_key, label, text))
        else:
            label = _unique(_label(record["rname"]), {b[1] for b in held.blocks if b[0] != subnet_key})
            blocks = [b if b[0] != subnet_key else (subnet_key, label, _block(record, label)) for b in held.blocks]
            if blocks == held.blocks:
                return
            _replace_file(path, held.preamble + "".join(b[2] for b in blocks))
            held = _known[path] = _Held(held.preamble, blocks)
        held.signature = _signature(path)

    @classmethod
    def readDiscoveryInfo(cls):
        """The discovery information saved by the discovery run in the output folder."""
        path = cls._folder() / DISCOVERY_FILE
        try:
            with open(path, encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, "discovery information not found (run the discovery first)",
                                    str(path)) from None
        except (UnicodeDecodeError, ValueError) as e:
            raise ValueError("discovery information " + str(path) + " is not JSON: " + str(e)) from None


def _block(record, label):
    provider = record["provider"]
    return ASSOCIATION_TEMPLATE.format(
        subnet_id=record["subnet_id"],
        vnet_name=record["vnet_name"],
        route_table_id=record["route_table_id"],
        rname=label,
        provider="  provider       = azurerm." + provider + "\n" if provider else "",
        subnet_ref=record["subnet_ref"],
        route_table_ref=record["route_table_ref"],
        quoted_subnet_id=json.dumps(record["subnet_id"]))


def _label(rname):
    """The resource name as a Terraform identifier: letters, digits, "_" and "-", not led by a digit or "-"."""
    label = re.sub(r"[^A-Za-z0-9_-]", "_", rname)
    return label if re.match(r"[A-Za-z_]", label) else "_" + label


def _unique(label, taken):
    n, candidate = 2, label
    while candidate in taken:
        candidate, n = label + "_" + str(n), n + 1
    return candidate


def _read_blocks(path):
    """The text before the first association, and (subnet key, label, text) of each association."""
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return "", []
    starts = [m.start() for m in re.finditer("^" + re.escape(SUBNET_MARK), text, re.M)]
    blocks = []
    for start, end in zip(starts, starts[1:] + [len(text)]):
        chunk = text[start:end]
        subnet_id = chunk[len(SUBNET_MARK):chunk.index("\n")]
        label = LABEL.search(chunk)
        blocks.append((subnet_id.casefold(), label and label.group(1), chunk))
    return text[:starts[0]] if starts else text, blocks


class _Held:
    """What an association file holds: the text before the first block, its blocks, their subnet keys
    and labels, and the file's stat signature when it held them."""

    def __init__(self, preamble, blocks):
        self.preamble, self.blocks, self.keys, self.labels, self.signature = preamble, [], set(), set(), None
        for block in blocks:
            self.add(block)

    def add(self, block):
        self.blocks.append(block)
        self.keys.add(block[0])
        self.labels.add(block[1])


def _signature(path):
    try:
        stat = os.stat(path)
    except FileNotFoundError:
        return None
    return stat.st_ino, stat.st_size, stat.st_mtime_ns


def _replace_file(path, text):
    """Writes the whole file anew through a temporary file, so a reader never sees half of it."""
    temporary = path.with_name(path.name + ".tmp")
    with open(temporary, "w", encoding="utf-8") as tf:
        tf.write(text)
        tf.flush()
        os.fsync(tf.fileno())
    os.replace(temporary, path)
