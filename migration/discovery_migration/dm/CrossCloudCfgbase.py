"""Configuration services shared by every cloud's configuration class."""
import logging
from pathlib import Path


class Common:
    """Base of the per-cloud configuration classes; class methods only."""

    VPC_NAME_MAX_LENGTH = 50
    GATEWAY_SUFFIX = "-gw"

    @classmethod
    def get_data_path(cls):
        """The tool's data directory, the `data` folder beside the `dm` package."""
        return Path(__file__).resolve().parent.parent / "data"

    @classmethod
    def getLabel(cls, doc):
        """The kind of a loaded YAML document: its top-level "label" value, or None."""
        if isinstance(doc, dict):
            return doc.get("label")
        return None

    @classmethod
    def validateBoolean(cls, scope, name, value):
        """Log an error unless `value` is exactly True or False."""
        if not isinstance(value, bool):
            cls._reportInvalid(scope, name, "a boolean")

    @classmethod
    def validateString(cls, scope, name, value):
        """Log an error unless `value` is text."""
        if not isinstance(value, str):
            cls._reportInvalid(scope, name, "a string")

    @classmethod
    def _reportInvalid(cls, scope, name, expected):
        logging.getLogger(__name__).error(
            "Invalid " + str(scope) + " option " + str(name) + ". Valid input is " + expected)

    @classmethod
    def getSpokeGatewayName(cls, vnetInYaml, vnetName, maxLength):
        """The spoke gateway name of a VNet.

        A non-empty "spoke_gw_name" in the VNet's entry is used as written;
        otherwise the name is the VNet name followed by "-gw", the VNet name
        shortened so that the whole fits in `maxLength` characters.
        """
        configured = vnetInYaml[vnetName].get("spoke_gw_name")
        if configured:
            return configured
        stem = vnetName[:max(maxLength - len(cls.GATEWAY_SUFFIX), 0)]
        return stem + cls.GATEWAY_SUFFIX

    @classmethod
    def getTransitGatewayName(cls, vnetInYaml, vnetName):
        """The transit gateway the VNet's spoke attaches to: its entry's "transit_gw_name", or None."""
        return vnetInYaml[vnetName].get("transit_gw_name") or None

    @classmethod
    def getSpokeGatewayTags(cls, vnetInYaml, vnetName):
        """The spoke gateway tags: a copy of the entry's "spoke_gw_tags" mapping, empty when unset."""
        return dict(vnetInYaml[vnetName].get("spoke_gw_tags") or {})
