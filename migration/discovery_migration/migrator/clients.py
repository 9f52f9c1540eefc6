"""One client per subscription and kind for a whole run, as the libraries ask for them.

The libraries build a client on every call (`NetworkManagementClient(cred.getCSC(),
cred.getSubId())`); the run hands them, for each subscription, the one client it
built first, which reads through the run's cache (readcache) and waits out ARM's
busy answers (busy). A create-or-update's poller asks for the operation's status
only when someone waits on it.
"""
import io
import json
import threading
import types
from http import HTTPStatus

import requests

from azure.core.pipeline import PipelineResponse
from azure.core.pipeline.policies import HTTPPolicy
from azure.core.rest._http_response_impl import HttpResponseImpl
from azure.core.utils import case_insensitive_dict
from azure.mgmt.core.polling.arm_polling import ARMPolling

from .busy import WaitWhileBusy
from .models import build_through, carrying
from .readcache import ALL, NONE, READS, body_of, json_of


class Shared:
    """Stands in for an SDK client class: one client per subscription (or per credential for the
    resource-graph client), all reading through the cache; `checking`'s clients are answered only
    from ARM's answers to reads, `past`'s read past the cache (what ARM answers them still tells the
    cache what it holds)."""

    def __init__(self, sdk_class, cache, answers=ALL):
        self.sdk_class, self.cache, self.answers = sdk_class, cache, answers
        self.clients = {}
        self._lock = threading.Lock()
        if answers == ALL:
            self.checking, self.past = Shared(sdk_class, cache, READS), Shared(sdk_class, cache, NONE)

    def __call__(self, credential, *args, **kwargs):
        owner = str(args[0]).lower() if args else id(credential)
        with self._lock:
            client = self.clients.get(owner)
            if client is None:
                kwargs.setdefault("per_retry_policies", [CachePolicy(self.cache, self.answers), WaitWhileBusy()])
                client = self.clients[owner] = self.sdk_class(credential, *args, **kwargs)
                build_through(client, self.cache.models)
                for group, method in POLLED_WHEN_WAITED:
                    if hasattr(client, group):
                        polled_when_waited(getattr(client, group), method, client._config.polling_interval)
            return client


# The long-running operations the libraries start: each polled on the thread that waits for it
POLLED_WHEN_WAITED = (("route_tables", "begin_create_or_update"), ("subnets", "begin_create_or_update"),
                      ("virtual_network_peerings", "begin_create_or_update"),
                      ("virtual_network_peerings", "begin_delete"))


class PolledWhenWaited(ARMPolling):
    """A poller that asks for the operation's status only when someone waits for its result, on the
    waiting thread: the propagation and remote-gateway updates are started and never awaited (a
    poller left to itself would poll them to the end in a thread of its own, for no reader), and the
    awaited ones need no thread of their own. Threads waiting on the same poller poll it once. An
    operation has ended when its status says so: a deletion needs no final read of its Location."""

    def __init__(self, delay):
        super().__init__(delay, lro_options={"final-state-via": "azure-async-operation"})
        self._waited = False
        self._lock = threading.Lock()

    def finished(self):
        return super().finished() if self._waited else True

    def resource(self):
        with self._lock:
            if not self._waited:
                self._waited = True
                self.run()
        return super().resource()


def polled_when_waited(operations, method, delay):
    """The operations group's `method` (a begin_*) polls with a PolledWhenWaited unless told otherwise."""
    begin = getattr(operations, method)

    def begin_polled_when_waited(*args, **kwargs):
        kwargs.setdefault("polling", PolledWhenWaited(delay))
        return begin(*args, **kwargs)
    setattr(operations, method, begin_polled_when_waited)


def install(module, cache):
    """The module's network, lock and resource-graph client classes replaced by shared, cached ones;
    `uncached(module.X)` gives shared clients that read past the cache."""
    module.NetworkManagementClient = Shared(module.NetworkManagementClient, cache)
    module.ManagementLockClient = Shared(module.ManagementLockClient, cache)
    module.arg = types.SimpleNamespace(ResourceGraphClient=Shared(module.arg.ResourceGraphClient, cache),
                                       models=module.arg.models)
    return cache


class Sessions:
    """The controller's calls of a run go through one HTTPS session per thread, which keeps its
    connection open from call to call (a connection per call costs a TLS handshake each time);
    `close` ends them all when the run ends."""

    def __init__(self):
        self._mine = threading.local()
        self._all = []
        self._lock = threading.Lock()

    def __call__(self):
        session = getattr(self._mine, "session", None)
        if session is None:
            session = self._mine.session = requests.Session()
            with self._lock:
                self._all.append(session)
        return session

    def close(self):
        with self._lock:
            ended, self._all = self._all, []
        for session in ended:
            session.close()


def uncached(client_class):
    return client_class.past if isinstance(client_class, Shared) else client_class


def checking(client_class):
    """Clients for reading back what a step changed: answered only from what ARM answered to reads."""
    return client_class.checking if isinstance(client_class, Shared) else client_class


class CachePolicy(HTTPPolicy):
    """Answers a GET (and a resource-graph query) from the cache when it may (see readcache's
    ALL, READS, NONE); tells the cache of every other request and of ARM's answers."""

    def __init__(self, cache, answers=ALL):
        super().__init__()
        self.cache, self.answers = cache, answers

    def send(self, request):
        http = request.http_request
        if http.method == "POST" and "/providers/microsoft.resourcegraph/" in http.url.lower():
            return self.query(request)
        if http.method == "GET":
            answer = self.cache.answer(http.url, self.answers) if self.answers != NONE else None
            if answer is not None:
                cached = CachedResponse(http, answer[0], self.cache.models.text(answer[1]))
                if answer[0] == 200:
                    carrying(cached, answer[1])
                return PipelineResponse(http, cached, request.context)
            read = self.cache.now()
            response = self.next.send(request)
            status = response.http_response.status_code
            body = json_of(body_of(response.http_response)) if status < 300 or status == 404 else None
            if status in (200, 404):
                self.cache.seen(http.url, status, body, read)
            if status == 200:
                carrying(response.http_response, body)
            self.cache.followed(http.url, status, body)
            return response
        if http.method not in ("PUT", "DELETE"):
            return self.next.send(request)
        etag, write = self.cache.writing(http.method, http.url, http.content)
        if etag:
            http.headers["If-Match"] = etag
        response = self.next.send(request)      # lost on the way: what it changes stays unsettled
        self.cache.written_answer(http.method, http.url, write, response.http_response)
        return response

    def query(self, request):
        http = request.http_request
        body = self.cache.query_answer(http.content) if self.answers != NONE else None
        if body is not None:
            return PipelineResponse(http, CachedResponse(http, 200, json.dumps(body)), request.context)
        read = self.cache.now()
        response = self.next.send(request)
        if response.http_response.status_code == 200:
            self.cache.query_seen(http.content, json_of(body_of(response.http_response)), read)
        return response


class CachedResponse(HttpResponseImpl):
    def __init__(self, request, status, text):
        content = text.encode()
        super().__init__(request=request, internal_response=io.BytesIO(content), status_code=status,
                         reason=HTTPStatus(status).phrase, content_type="application/json",
                         headers=case_insensitive_dict({"Content-Type": "application/json; charset=utf-8"}),
                         stream_download_generator=lambda *a, **k: iter([content]))
        self._content = content
        self._encoding = "utf-8"
