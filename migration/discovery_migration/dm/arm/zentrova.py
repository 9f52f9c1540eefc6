"""Client of the overlay controller's API.

Every call is one HTTPS POST to the API endpoint with a JSON body naming the
"action" and carrying the controller access id "CID"; the controller answers
with a JSON object whose "return" tells success and whose "results" (or
"reason", on failure) holds the answer. The access id travels in the body
only, so it never appears in a URL or in an error text.
"""
import requests

TIMEOUT_SECONDS = 60


class ZentrovaError(Exception):
    """The controller refused a request or answered with something other than a reply."""


class Zentrova:
    @classmethod
    def zentrova_post(cls, api_ep_url, payload):
        """Send `payload` to the controller; the response of a successful request.

        Raises on transport failures, HTTP errors and replies whose "return"
        is false, so a returned response always means success.
        """
        response = requests.post(api_ep_url, json=payload, timeout=TIMEOUT_SECONDS, verify=True)
        response.raise_for_status()
        try:
            reply = response.json()
        except ValueError as e:
            raise ZentrovaError(str(payload.get("action")) + ": reply is not JSON") from e
        if not isinstance(reply, dict) or not reply.get("return"):
            reason = reply.get("reason") if isinstance(reply, dict) else reply
            raise ZentrovaError(str(payload.get("action")) + " failed: " + str(reason))
        return response

    @classmethod
    def _action(cls, api_endpoint_url, action, CID, **fields):
        return cls.zentrova_post(api_endpoint_url, {"action": action, "CID": CID, **fields})

    @classmethod
    def disable_snat(cls, api_endpoint_url, CID, gw_name):
        return cls._action(api_endpoint_url, "disable_snat", CID, gateway_name=gw_name)

    @classmethod
    def enable_snat(cls, api_endpoint_url, CID, gw_name):
        """Single-IP source NAT: the gateway's own address for all outbound traffic."""
        return cls._action(api_endpoint_url, "enable_snat", CID, gateway_name=gw_name, mode="single_ip")

    @classmethod
    def list_gateway_info(cls, api_endpoint_url, CID, vpc_access_account_name):
        """Gateways of one controller account, or of every account for the empty name."""
        return cls._action(api_endpoint_url, "list_gateway_info", CID,
                           account_name=vpc_access_account_name)

    @classmethod
    def list_accounts(cls, api_endpoint_url, CID, iam_based):
        return cls._action(api_endpoint_url, "list_accounts", CID, iam_based=iam_based)
