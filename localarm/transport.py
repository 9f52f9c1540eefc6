"""The azure-core transport that hands SDK requests to a local cloud instead of the network."""
import io
import json
import time
from http import HTTPStatus

from azure.core.exceptions import ServiceRequestError
from azure.core.pipeline.transport import HttpTransport
from azure.core.rest._http_response_impl import HttpResponseImpl
from azure.core.utils import case_insensitive_dict

from .faults import TransportFault
from .timing import LATENCY


class LocalTransport(HttpTransport):
    """Sends each request to the cloud in process; without Azure's timing it never sleeps, so polling and
    retry back-off cost nothing."""

    def __init__(self, cloud):
        self.cloud = cloud

    def send(self, request, **kwargs):
        try:
            reply = self.cloud.handle(request.method, request.url, request.content, headers=request.headers)
        except TransportFault as fault:
            raise ServiceRequestError(str(fault)) from None
        if self.cloud.timing is not None:        # outside the cloud's lock: requests overlap as in Azure
            self.cloud.timing.wait(LATENCY)
            time.sleep(reply.delay)
        return LocalResponse(request, reply)

    def sleep(self, duration):
        """Polling and retry waits: none, unless the cloud keeps Azure's timing."""
        if self.cloud.timing is not None:
            time.sleep(duration)

    def open(self):
        pass

    def close(self):
        pass

    def __exit__(self, *exc_info):
        pass


class LocalResponse(HttpResponseImpl):
    """A complete response held in memory, readable and streamable as the SDK expects."""

    def __init__(self, request, reply):
        content = b"" if reply.body is None else json.dumps(reply.body).encode()
        headers = dict(reply.headers)
        if content:
            headers["Content-Type"] = "application/json; charset=utf-8"
        super().__init__(request=request, internal_response=io.BytesIO(content), status_code=reply.status,
                         reason=HTTPStatus(reply.status).phrase, content_type=headers.get("Content-Type"),
                         headers=case_insensitive_dict(headers), stream_download_generator=_stream)
        self._content = content


def _stream(pipeline, response, **kwargs):
    yield response.content
