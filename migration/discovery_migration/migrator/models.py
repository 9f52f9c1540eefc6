"""What the cache hands the SDK, made once per resource state the run's cache holds: the JSON text of
an answer, and the SDK models built from it, handed out as copies.

The libraries list a subscription's VNets to find one of them (several times per VNet switched)
and its route tables to find the staged ones: building every item of such a list into SDK models
costs more than anything else the run does, and grows with the subscription. A model is built
from a state the cache holds (what ARM answered, unchanged until the run reads or writes the
resource again) at most once; every answer gets its own copy, which its reader may change freely,
and the items of a list are copied only as its reader reaches them. What ARM answered, the SDK's
own deserializer builds: a copy equals the model the SDK builds from the same answer.
"""
import json
import threading

STATES = "dm_states"        # the attribute where the cache policy leaves, on a response, the state(s) it carries


class ModelMemo:
    """The JSON text of each resource's latest state (per resource id), and models built from it
    (per resource id and model class): a state equal in text to the one a model was built from
    gets that model, without building it again. Only the latest of each is kept."""

    def __init__(self):
        self._lock = threading.Lock()
        self._texts = {}        # resource id -> (state, its JSON text)
        self._models = {}       # (resource id, model class) -> (JSON text of the state, model)

    def text(self, body):
        """The JSON text of an answer (a state, or a page of them) exactly as json.dumps writes it."""
        items = body.get("value")
        if list(body) not in (["value"], ["value", "nextLink"]) or not isinstance(items, list):
            return self.state_text(body)
        text = '{"value": [' + ", ".join(self.state_text(item) for item in items) + "]"
        return text + (', "nextLink": ' + json.dumps(body["nextLink"]) if "nextLink" in body else "") + "}"

    def state_text(self, state):
        resource_id = state.get("id") if isinstance(state, dict) else None
        if not isinstance(resource_id, str):
            return json.dumps(state)
        held = self._texts.get(resource_id)
        if held is not None and held[0] is state:
            return held[1]
        text = json.dumps(state)
        with self._lock:
            self._texts[resource_id] = (state, text)
        return text

    def model(self, deserializer, model_class, state):
        """A function giving a new copy of the model built from `state` at each call."""
        text = self.state_text(state)
        entry_key = (state.get("id"), model_class)
        held = self._models.get(entry_key)
        if held is not None and held[0] == text:
            return held[1]
        copy = copier(deserializer._deserialize(model_class, state))
        with self._lock:
            self._models[entry_key] = (text, copy)
        return copy


class MemoDeserializer:
    """Stands in for an operations group's deserializer: responses the cache policy marked with the
    states they carry (`carrying`) are built through the memo; everything else goes to the SDK's.
    An operation hands it either the pipeline's response or the HTTP response inside."""

    def __init__(self, deserializer, memo):
        self.deserializer, self.memo = deserializer, memo

    def __call__(self, target, response, content_type=None):
        states = getattr(getattr(response, "http_response", response), STATES, None)
        model_class = self.deserializer.dependencies.get(target) if isinstance(target, str) else None
        if not isinstance(states, dict) or model_class is None:
            return self.deserializer(target, response, content_type)
        item_type = (getattr(model_class, "_attribute_map", {}).get("value") or {}).get("type", "")
        items = states.get("value")
        if isinstance(items, list) and item_type.startswith("[") and item_type[1:-1] in (
                self.deserializer.dependencies) and all(isinstance(item, dict) for item in items):
            item_class = self.deserializer.dependencies[item_type[1:-1]]
            page = self.deserializer._deserialize(model_class, {k: v for k, v in states.items() if k != "value"})
            copies = [self.memo.model(self.deserializer, item_class, state) for state in items]
            page.value = (copy() for copy in copies)
            return page
        return self.memo.model(self.deserializer, model_class, states)()

    def __getattr__(self, name):
        return getattr(self.deserializer, name)


def carrying(http_response, states):
    """Marks an HTTP response as carrying `states`: what the cache keeps of it (the same objects)."""
    setattr(http_response, STATES, states)


def copier(value):
    """A function giving a new deep copy of `value` (a model as the SDK builds them) at each call, its
    way planned once: models, lists and dicts copied, everything else shared (texts, numbers,
    enumeration members); the copy of a model starts from a copy of its attribute dict, then copies
    the attributes that hold something to copy."""
    kind = type(value)
    if kind is list:
        entries = enumerate(value)
    elif kind is dict:
        entries = value.items()
    elif hasattr(kind, "_attribute_map"):
        entries = value.__dict__.items()
    else:
        return None
    inner = [(k, c) for k, c in ((k, copier(v)) for k, v in entries) if c is not None]
    if kind is list or kind is dict:
        def copy_container():
            copied = value.copy()
            for k, c in inner:
                copied[k] = c()
            return copied
        return copy_container
    attributes = value.__dict__

    def copy_model():
        copy = object.__new__(kind)
        copy.__dict__ = copied = attributes.copy()
        for k, c in inner:
            copied[k] = c()
        return copy
    return copy_model


def build_through(client, memo):
    """Every operations group of an SDK client builds the cache's answers through `memo`."""
    for group in vars(client).values():
        deserializer = getattr(group, "_deserialize", None)
        if deserializer is not None and not isinstance(deserializer, MemoDeserializer) and hasattr(
                deserializer, "dependencies"):
            group._deserialize = MemoDeserializer(deserializer, memo)
