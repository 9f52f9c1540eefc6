"""ARM's "busy" answers, waited out: a write to a VNet (or its subnets and peerings) while an earlier
operation on it is in progress is answered 409 AnotherOperationInProgress, and a peering that
references a VNet still updating 400 ReferencedResourceNotProvisioned. Neither is a failure of the
request: the same request is sent again once the operation in its way has ended (after Retry-After
when ARM gives one, else after a growing pause), a bounded number of times, with one line in the log.
Throttling (429) is the SDK's own retry policy's to answer."""
import json
import logging

from azure.core.pipeline.policies import HTTPPolicy

from .readcache import body_of

logger = logging.getLogger("dm.migrate")

WAITED = {(409, "AnotherOperationInProgress"), (400, "ReferencedResourceNotProvisioned")}


class WaitWhileBusy(HTTPPolicy):
    def __init__(self, tries=12, longest=30.0):
        super().__init__()
        self.tries, self.longest = tries, longest

    def send(self, request):
        waited, code = 0.0, None
        for attempt in range(self.tries):
            response = self.next.send(request)
            code = busy(response.http_response)
            if code is None or attempt == self.tries - 1:
                break
            pause = retry_after(response.http_response) or min(self.longest, 2.0 ** attempt)
            request.context.transport.sleep(pause)
            waited += pause
        if waited:
            http = request.http_request
            logger.info("  %s %s: %s, sent again %d time(s) over %.1f s%s", http.method,
                        http.url.split("?")[0].rsplit("/", 1)[-1], "waited for ARM's operation in progress",
                        attempt, waited, "" if code is None else "; still " + code)
        return response


def busy(response):
    """The error code of a busy answer, or None."""
    if response.status_code not in (409, 400):
        return None
    try:
        code = json.loads(body_of(response))["error"]["code"]
    except (ValueError, KeyError, TypeError):
        return None
    return code if (response.status_code, code) in WAITED else None


def retry_after(response):
    try:
        return float(response.headers.get("Retry-After"))
    except (TypeError, ValueError):
        return None
