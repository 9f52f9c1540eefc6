"""Resources from the JSON the Azure CLI prints (`az network vnet list`, `az network route-table list`,
`az network vnet-gateway list`, `az lock list`), in the form the cloud stores.

The CLI flattens each resource's "properties" into the object and adds
"resourceGroup" keys; here the properties go back under "properties", the
subnets and peerings a VNet embeds become resources of their own, and the route
tables' subnet back-references are left to be rebuilt from the subnets.
"""
import json
import os

TOP_LEVEL = ("id", "name", "type", "location", "tags", "etag", "zones", "extendedLocation")
VNET_CHILDREN = {"subnets": "Microsoft.Network/virtualNetworks/subnets",
                 "virtualNetworkPeerings": "Microsoft.Network/virtualNetworks/virtualNetworkPeerings"}


def resources(documents):
    """Every resource of the documents: each a list of CLI objects, its JSON text, or the path of a file."""
    found = []
    for document in documents:
        for item in _items(document):
            if not isinstance(item, dict):
                raise ValueError("a CLI list holds objects; found " + json.dumps(item)[:200])
            resource = _unflatten(item)
            properties = resource["properties"]
            kind = resource["type"].lower()
            found.append(resource)
            if kind == "microsoft.network/virtualnetworks":
                for key, child_type in VNET_CHILDREN.items():
                    found += [_unflatten(child, child_type) for child in properties.pop(key, None) or ()]
            elif kind == "microsoft.network/routetables":
                properties.pop("subnets", None)
                properties["routes"] = [_unflatten(route, "Microsoft.Network/routeTables/routes")
                                        for route in properties.get("routes") or ()]
    return found


def _items(document):
    if isinstance(document, (str, os.PathLike)):
        if isinstance(document, str) and document.lstrip()[:1] in ("[", "{"):
            document = json.loads(document)
        else:
            with open(document) as file:
                document = json.load(file)
    if isinstance(document, dict):
        return [document]
    if not isinstance(document, list):
        raise ValueError("not what az ... list prints (a list of objects)")
    return document


def _unflatten(item, default_type=None):
    resource = {key: item[key] for key in TOP_LEVEL if key in item}
    resource.setdefault("type", default_type)
    if not isinstance(resource.get("id"), str) or not isinstance(resource["type"], str):
        raise ValueError("a CLI object without id or type: " + json.dumps(item)[:200])
    resource["properties"] = {key: _references(value) for key, value in item.items()
                              if key not in TOP_LEVEL and key != "resourceGroup"}
    return resource


def _references(value):
    """The value without the "resourceGroup" the CLI adds next to every "id" it prints."""
    if isinstance(value, list):
        return [_references(v) for v in value]
    if isinstance(value, dict):
        return {k: _references(v) for k, v in value.items() if not (k == "resourceGroup" and "id" in value)}
    return value
