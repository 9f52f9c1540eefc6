"""Client of the overlay controller's API.

Every call is one HTTPS POST to the API endpoint with a JSON body naming the
"action" and carrying the controller access id "CID"; the controller answers
with a JSON object whose "return" tells success and whose "results" (or
"reason", on failure) holds the answer. The access id travels in the body
only, so it never appears in a URL, and it is masked in any reason quoted in
an error text.

Transport failures and HTTP errors raise in every call. The calls that change
the controller also raise on a reply whose "return" is false, so a refusal is
never taken for success; the two list calls hand back the response of any
reply, so their callers can tell a refusal from a failed request.
"""
import requests

TIMEOUT_SECONDS = 60
MASK = "***"


class ZentrovaError(Exception):
    """The controller refused a request or answered with something other than a reply."""


class Zentrova:
    # A callable giving the calling thread's requests session, whose connection
    # stays open between calls; None: each call opens and closes its own.
    session = None

    @classmethod
    def zentrova_post(cls, api_ep_url, payload):
        """Send `payload` to the controller; the response of a successful request.

        Raises on transport failures, HTTP errors and replies whose "return"
        is false, so a returned response always means success.
        """
        response = cls._post(api_ep_url, payload)
        action = str(payload.get("action"))
        try:
            reply = response.json()
        except ValueError as e:
            raise ZentrovaError(action + ": reply is not JSON") from e
        if not isinstance(reply, dict) or not reply.get("return"):
            reason = reply.get("reason") if isinstance(reply, dict) else reply
            raise ZentrovaError(action + " failed: " + _masked(str(reason), payload.get("CID")))
        return response

    @classmethod
    def _post(cls, api_ep_url, payload):
        """The response of one request; raises on transport failures and HTTP errors."""
        post = requests.post if cls.session is None else cls.session().post
        response = post(api_ep_url, json=payload, timeout=TIMEOUT_SECONDS, verify=True)
        response.raise_for_status()
        return response

    @classmethod
    def disable_snat(cls, api_endpoint_url, CID, gw_name):
        return cls.zentrova_post(api_endpoint_url, {"action": "disable_snat", "CID": CID, "gateway_name": gw_name})

    @classmethod
    def enable_snat(cls, api_endpoint_url, CID, gw_name):
        """Single-IP source NAT: the gateway's own address for all outbound traffic."""
        return cls.zentrova_post(api_endpoint_url, {"action": "enable_snat", "CID": CID, "gateway_name": gw_name,
                                                    "mode": "single_ip"})

    @classmethod
    def list_gateway_info(cls, api_endpoint_url, CID, vpc_access_account_name):
        """Gateways of one controller account, or of every account for the empty name.

        The response's json() is the reply, also when its "return" is false.
        """
        return cls._post(api_endpoint_url, {"action": "list_gateway_info", "CID": CID,
                                            "account_name": vpc_access_account_name})

    @classmethod
    def list_security_domains(cls, api_endpoint_url, CID):
        """The multi-cloud security domains, each with the names of its attachments."""
        return cls.zentrova_post(api_endpoint_url, {"action": "list_multi_cloud_security_domains", "CID": CID})

    @classmethod
    def list_accounts(cls, api_endpoint_url, CID, iam_based):
        """The controller's accounts; the response's json() is the reply, also when its "return" is false."""
        return cls._post(api_endpoint_url, {"action": "list_accounts", "CID": CID, "iam_based": iam_based})


def _masked(text, CID):
    """The text with the access id masked, should a controller quote it back."""
    if isinstance(CID, str) and CID:
        return text.replace(CID, MASK)
    return text
