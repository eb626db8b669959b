"""Hostile calls of every native callable of the package, explored with
hypothesis and held against pure-Python twins of the same signatures.

Every module function, class (its constructor), method and property accessor
found in the package's native modules is called with random mixes of
positional and keyword arguments drawn from wrong types, str subclasses, NUL
bytes, lone surrogates, huge strings, NaN and infinities, and objects whose
__str__, __float__, __eq__, __bool__, __hash__, __iter__, __index__ (and
more) raise, next to values that let the call get somewhere (real entities,
the tracking server, a run on it). Two things must hold for every call:

- binding: where a Python function with the same signature (and the same
  str checks and float conversions) refuses the arguments, the native one
  refuses them with the same exception type and text;
- after binding, whatever the body does, the outcome is never SystemError,
  never the binding library's internal cast error, never a crash.

tests/test_fuzz.py runs this file as a script:

    python tests/fuzz_calls.py REPORT_DIR [MODULE ...]

It imports the package once and explores each module in a forked child of
its own, so a crash fails that module's report (with the call that was
running) instead of ending the run. Run it from an empty scratch directory:
calls that create local stores do so relative to it. Settings:

    TET_FUZZ_TRACKING_URI  the tracking server the calls may reach (required)
    TET_FUZZ_EXAMPLES      examples per callable (default 20)
    TET_FUZZ_SEED          an integer seed for a new exploration; without it
                           the exploration is derandomized (the same every run)
"""
import abc
import collections
import functools
import http.server
import importlib
import inspect
import io
import itertools
import json
import logging
import math
import os
import queue
import socket
import sys
import time
import traceback
import types
import uuid

from hypothesis import HealthCheck, Phase, given, seed as with_seed, settings, strategies as st
from native_callables import PACKAGE, native_modules, targets

DEFAULT_EXAMPLES = 20


def module_deadline(examples):
    """Seconds after which a module's child is taken for hung (a module
    takes a few seconds at the default number of examples)."""
    return 120.0 + 12.0 * examples


# ---- the Python twin of a native signature ------------------------------------------------

def _as_float(value):
    # Converts exactly as the C API's PyFloat_AsDouble does (the math
    # functions take their argument that way), raising what it raises.
    math.isfinite(value)


def _str_or_none(name, value):
    if value is not None and type(value) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                        % (name, "str", type(value).__name__))


def twin_of(func):
    """A Python function with the native one's signature, defaults, float
    conversions and str checks, that does nothing more."""
    namespace = {"_as_float": _as_float, "_str_or_none": _str_or_none}
    parts, keyword_only_started = [], False
    for p in inspect.signature(func).parameters.values():
        if p.kind is p.KEYWORD_ONLY and not keyword_only_started:
            parts.append("*")
        keyword_only_started |= p.kind in (p.KEYWORD_ONLY, p.VAR_POSITIONAL)
        text = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "") + p.name
        if p.default is not p.empty:
            namespace["_default_" + p.name] = p.default
            text += "=_default_" + p.name
        parts.append(text)
    annotations = func.__annotations__
    body = ["    _as_float({})".format(n) for n, a in annotations.items() if a is float and n != "return"]
    body += ["    _str_or_none({!r}, {})".format(n, n) for n, a in annotations.items() if a is str and n != "return"]
    source = "def {}({}):\n{}\n    return None\n".format(func.__name__, ", ".join(parts), "\n".join(body))
    exec(source, namespace)
    twin = namespace[func.__name__]
    # Named in argument errors as the native one is: by its qualified name
    # from 3.10 on, by its name before.
    twin.__qualname__ = func.__qualname__
    return twin


def twin_class(cls):
    """A Python class constructed like `cls`: same name, abstract methods,
    exception base and __init__ signature."""
    namespace = {"__init__": twin_of(cls.__init__)}
    for name in getattr(cls, "__abstractmethods__", ()):
        namespace[name] = abc.abstractmethod(lambda self: None)
    bases = (BaseException,) if issubclass(cls, BaseException) else ()
    return (abc.ABCMeta if namespace.keys() - {"__init__"} else type)(cls.__name__, bases, namespace)


# ---- values -----------------------------------------------------------------------------
#
# Strategies draw plain descriptions (tuples of text and numbers), which is
# what hypothesis shows for a failing example; `build` makes the objects.


class Boom(Exception):
    """What the hostile objects raise."""


def _raising(dunder):
    def method(self, *args, **kwargs):
        raise Boom(dunder)

    return method


RAISING_DUNDERS = ["__str__", "__repr__", "__float__", "__index__", "__int__", "__eq__", "__bool__", "__len__",
                   "__hash__", "__iter__", "__getattr__", "__getattribute__", "__format__", "__fspath__",
                   "__getitem__", "__contains__", "__lt__"]


def hostile_class(dunders, base=object, name="Hostile"):
    namespace = {d: _raising(d) for d in dunders}
    if "__eq__" in dunders and "__hash__" not in dunders:
        namespace["__hash__"] = base.__hash__
    if "__repr__" not in dunders:
        namespace["__repr__"] = lambda self: "<{} raising {}>".format(name, "/".join(dunders))
    return type(name, (base,), namespace)


class NamedByMeta(type):
    """A metaclass whose classes report an odd `__name__` (it is what the
    argument checks put into their message)."""

    def __new__(mcs, name, bases, namespace, shown=None):
        cls = super().__new__(mcs, name, bases, namespace)
        cls.shown = shown
        return cls

    @property
    def __name__(cls):
        if cls.shown == "raise":
            raise Boom("__name__")
        return cls.shown


HOSTILE = {
    **{"raises" + d: hostile_class([d]) for d in RAISING_DUNDERS},
    "raises-everything": hostile_class([d for d in RAISING_DUNDERS if d not in ("__repr__", "__getattribute__")]),
    "float-returns-str": type("FloatReturnsStr", (), {"__float__": lambda self: "1.5"}),
    "index-returns-float": type("IndexReturnsFloat", (), {"__index__": lambda self: 1.5}),
    "floaty": type("Floaty", (), {"__float__": lambda self: 2.5}),
    "indexy": type("Indexy", (), {"__index__": lambda self: 7}),
    "bool-returns-int": type("BoolReturnsInt", (), {"__bool__": lambda self: 2}),
    "len-negative": type("LenNegative", (), {"__len__": lambda self: -1}),
    "iter-returns-int": type("IterReturnsInt", (), {"__iter__": lambda self: 3}),
    "str-returns-bytes": type("StrReturnsBytes", (), {"__str__": lambda self: b"x"}),
    "dict-items-raise": hostile_class(["items", "keys", "__iter__", "get"], base=dict, name="DictItemsRaise"),
    "list-iter-raises": hostile_class(["__iter__", "__len__"], base=list, name="ListIterRaises"),
    "int-sub-raising": hostile_class(["__str__", "__repr__", "__eq__", "__hash__", "__index__", "__format__"],
                                     base=int, name="IntSub"),
    "float-sub-raising": hostile_class(["__str__", "__float__", "__eq__", "__format__"], base=float, name="FloatSub"),
    "named-5": NamedByMeta("NamedFive", (), {}, shown=5),
    "named-surrogate": NamedByMeta("NamedSurrogate", (), {}, shown="\udcff"),
    "named-raises": NamedByMeta("NamedRaises", (), {}, shown="raise"),
    "named-long": type("\u00e9" * 150, (), {}),
}

STR_SUBCLASSES = {
    "plain": type("Text", (str,), {}),
    **{d: hostile_class([d], base=str, name="Text") for d in ("__str__", "__eq__", "__hash__", "__iter__",
                                                              "__len__", "__format__", "__contains__", "__getitem__")},
}

SPECIAL_TEXTS = ["", " ", "\x00", "a\x00b", "\udcff", "x\ud800y", "\U0001f600", "\u00e9" * 300, "0", "-1", "nan",
                 "None", "Default", "FINISHED", "KILLED", "callback", "USER_KEY", "/", ".", "..", "\\", "%s%r{}"]
HUGE = 1 << 17

# Parameters whose text becomes a path or an address: drawn text is kept to a
# plain relative name (in the scratch directory), so no call reaches outside
# it; what the text holds (NUL, surrogates) is kept.
PATHLIKE_PARAMS = {"tracking_uri", "store_uri", "address", "local_file", "local_dir", "artifact_path",
                   "artifact_location", "experiment_id", "url", "token_endpoint", "userinfo_endpoint", "hostname"}


def texts(surrogates=True):
    plain = st.text(max_size=12)
    options = [plain, plain, st.sampled_from(SPECIAL_TEXTS if surrogates else [t for t in SPECIAL_TEXTS if not
                                                                                has_surrogate(t)])]
    if surrogates:
        options.append(st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=3))
    return st.one_of(options)


def has_surrogate(text):
    return any(0xD800 <= ord(ch) <= 0xDFFF for ch in text)


@functools.lru_cache(maxsize=None)
def values(surrogates=True, depth=0):
    """Any value: plain ones, hostile ones, containers of them."""
    text = texts(surrogates)
    scalar = st.one_of(
        st.tuples(st.just("text"), text),
        st.tuples(st.just("int"), st.one_of(st.integers(-3, 3), st.integers())),
        st.tuples(st.just("float"), st.floats()),
        st.sampled_from([("none",), ("true",), ("false",), ("huge",), ("bytes",), ("object",), ("class",),
                         ("exception",), ("pathlike", "file"), ("pathlike", "bytes")]),
    )
    hostile = st.one_of(
        st.tuples(st.just("hostile"), st.sampled_from(sorted(HOSTILE))),
        st.tuples(st.just("str-sub"), st.sampled_from(sorted(STR_SUBCLASSES)), text),
        st.just(("pathlike", "raises")),
    )
    options = [scalar, hostile, hostile]
    if depth < 1:
        item = values(surrogates, depth + 1)
        options.append(st.tuples(st.just("dict"), st.lists(st.tuples(item, item), max_size=3).map(tuple)))
        options.append(st.tuples(st.just("list"), st.lists(item, max_size=3).map(tuple)))
    return st.one_of(options)


@functools.lru_cache(maxsize=None)
def sane_values(param, surrogates=True, annotation=None):
    """Values a caller would pass there, so that calls get past the checks
    and into the body (text may still hold NUL or surrogates)."""
    text = st.tuples(st.just("text"), texts(surrogates))
    if param in SPECIFIC:
        return st.sampled_from(SPECIFIC[param])
    if annotation is str:
        return st.one_of(text, st.just(("none",)))
    if annotation is float:
        return st.one_of(st.tuples(st.just("float"), st.floats()), st.tuples(st.just("int"), st.integers()))
    return st.one_of(text, st.tuples(st.just("int"), st.integers(-3, 3)), st.just(("none",)),
                     st.tuples(st.just("dict"), st.lists(st.tuples(text, text), max_size=3).map(tuple)))


SPECIFIC = {
    "tracking_uri": [("world", "uri"), ("world", "uri///"), ("world", "refused"), ("none",)],
    "store_uri": [("world", "uri"), ("world", "refused")],
    "address": [("world", "uri"), ("world", "refused")],
    "experiment_id": [("world", "experiment_id")],
    "iteration_id": [("world", "run_id"), ("none",)],
    "run_id": [("world", "run_id")],
    "run": [("world", "run")],
    "project": [("instance", "Project"), ("text", "p")],
    "experiment": [("instance", "Experiment"), ("text", "Default"), ("text", "e")],
    "client": [("instance", "Client"), ("none",)],
    "authenticator": [("none",), ("instance", "KOVAAuthenticator"), ("instance", "OIDCAuthenticator")],
    "entity": [("instance", "Project"), ("instance", "Experiment")],
    "obj": [("instance", "Project"), ("instance", "Experiment"), ("instance", "NamedEntity")],
    "attribute": [("instance", "property"), ("instance", "nodump")],
    "local_file": [("world", "file")],
    "local_dir": [("world", "dir")],
    "params": [("world", "param-records"), ("world", "params")],
    "metrics": [("world", "metrics")],
    "tags": [("world", "params")],
    "logged_params": [("world", "params")],
    "status": [("text", "FINISHED"), ("text", "FAILED"), ("text", "KILLED")],
    "exc_type": [("world", "ValueError"), ("world", "KeyboardInterrupt"), ("world", "SystemExit")],
    "exc_value": [("world", "exit-0"), ("world", "exit-1"), ("exception",)],
    "json": [("world", "payload")],
    "error_code": [("int", 1000), ("text", "INVALID_PARAMETER_VALUE")],
    "queue": [("world", "queue")],
}

# Callables whose text arguments must not hold lone surrogates (none now:
# every text reaches Python operations, never a conversion to UTF-8).
NO_SURROGATES = set()


def plain_name(text):
    """Drawn text as a plain relative name: no separators, no scheme."""
    return "fuzz-" + text.replace("/", "_").replace("\\", "_").replace(":", "_")


def build(d, world, param):
    kind = d[0]
    if kind == "text":
        return plain_name(d[1]) if param in PATHLIKE_PARAMS else d[1]
    if kind == "str-sub":
        return STR_SUBCLASSES[d[1]](plain_name(d[2]) if param in PATHLIKE_PARAMS else d[2])
    if kind in ("int", "float"):
        return d[1]
    if kind == "hostile":
        return HOSTILE[d[1]]()
    if kind == "dict":
        built = {}
        for k, v in d[1]:
            # A key that cannot be hashed or compared would fail here, not in the call.
            try:
                built[build(k, world, "item")] = build(v, world, "item")
            except (Boom, TypeError):
                pass
        return built
    if kind == "list":
        return [build(v, world, "item") for v in d[1]]
    if kind == "pathlike":
        return Path(d[1], world.file)
    if kind == "instance":
        return world.instance(d[1])
    if kind == "world":
        return world.value(d[1])
    return {"none": None, "true": True, "false": False, "huge": "x" * HUGE, "bytes": b"\xff\x00bytes",
            "object": object(), "class": int, "exception": ValueError("v")}[kind]


class Path(os.PathLike):
    def __init__(self, kind, file):
        self.kind, self.file = kind, file

    def __fspath__(self):
        if self.kind == "raises":
            raise Boom("__fspath__")
        return self.file.encode() if self.kind == "bytes" else self.file

    def __repr__(self):
        return "<Path {}>".format(self.kind)


def keys(target):
    """Keyword names a call may add beyond the parameters it fills: repeated,
    unknown, star names, a str subclass of a parameter's name, non-strings."""
    names = [p.name for p in target.params]
    return [("key", n) for n in names] + [("key", "unexpected"), ("key", "self"), ("key", "kwargs"),
                                          ("str-key", names[0] if names else "x"), ("int-key",)]


def build_key(d):
    return {"key": lambda: d[1], "str-key": lambda: STR_SUBCLASSES["plain"](d[1]), "int-key": lambda: 1}[d[0]]()


@st.composite
def calls(draw, target):
    """(positional values, keyword items, environment changes) of one call.
    Most calls fill the parameters as a caller would (values still hostile
    or not); the rest leave out, repeat or add arguments."""
    positional = [p for p in target.params if p.kind is p.POSITIONAL_OR_KEYWORD]
    keyword_only = [p for p in target.params if p.kind is p.KEYWORD_ONLY]
    star = any(p.kind is p.VAR_POSITIONAL for p in target.params)
    first_name = positional[0].name if positional and target.first else None
    surrogates = target.name not in NO_SURROGATES
    annotations = (target.owner.__init__ if target.construct else target.func).__annotations__

    def value(name):
        if name == first_name and draw(st.integers(0, 3)):
            return ("self",)
        if draw(st.integers(0, 2)):
            return draw(sane_values(name, surrogates, annotations.get(name)))
        return draw(values(surrogates))

    well_formed = draw(st.integers(0, 3)) > 0
    n = draw(st.integers(0, len(positional) + (0 if well_formed else 2 if star else 1)))
    args = tuple(value(positional[i].name if i < len(positional) else "*") for i in range(n))
    kwargs = []
    for p in positional[n:] + keyword_only:
        required = p.default is p.empty and well_formed
        if required or draw(st.integers(0, 2)):
            kwargs.append((("key", p.name), value(p.name)))
    if not well_formed:
        for key in draw(st.lists(st.sampled_from(keys(target)), min_size=1, max_size=2, unique=True)):
            kwargs.append((key, value(key[1] if key[0] == "key" else "**")))
    return args, tuple(kwargs), draw(environment())


# ---- the environment the package reads ------------------------------------------------


@functools.lru_cache(maxsize=None)
def environment():
    from tavro_experiment_tracking import constants

    # Not the retry count: a large one would keep a call to a refusing address retrying for minutes.
    names = sorted({getattr(constants, n) for n in dir(constants) if n.startswith("ENV_")} | {"LOGNAME", "USER"}
                   - {constants.ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES})
    return st.one_of(st.just(()), st.lists(st.tuples(st.sampled_from(names), st.one_of(st.none(), texts())),
                                           max_size=3, unique_by=lambda t: t[0]).map(tuple))


def apply_environment(changes):
    from tavro_experiment_tracking import constants

    addresses = {constants.ENV_MLFLOW_TRACKING_URI, constants.ENV_EXP_TRACKING_SERVER_URI,
                 constants.ENV_OIDC_ISSUER_URL, constants.ENV_KOVA_TOKEN_ENDPOINT,
                 constants.ENV_KOVA_USERINFO_ENDPOINT}
    for name, text in changes:
        if text is None:
            os.environ.pop(name, None)
            continue
        # What the environment can hold: no NUL, and only the surrogates that
        # stand for undecodable bytes.
        text = "".join("0" if ch == "\x00"
                       else "\udcff" if 0xD800 <= ord(ch) <= 0xDFFF and not 0xDC80 <= ord(ch) <= 0xDCFF
                       else ch for ch in text)
        if name in addresses:
            text = plain_name(text)
        elif name == constants.ENV_OIDC_HOSTNAME:
            # A host name is looked up: only names this machine answers itself.
            text = "localhost" if len(text) % 2 else "127.0.0.1"
        os.environ[name] = text


# ---- the real things calls may use --------------------------------------------------------


class World:
    """The tracking server, an experiment and a run on it, an address that
    refuses at once, a small file and folder, and fresh instances of the
    package's classes bound to them."""

    def __init__(self, uri, module_name):
        from mlflow.entities import Param
        from mlflow.tracking import MlflowClient

        self.uri, self.module_name, self.Param = uri, module_name, Param
        self.mlflow = MlflowClient(uri)
        # Bound and never listening: a connection is refused at once.
        self.closed = socket.socket()
        self.closed.bind(("127.0.0.1", 0))
        self.refused = "http://127.0.0.1:{}".format(self.closed.getsockname()[1])
        self.dir = os.path.abspath("artifacts-" + module_name)
        os.makedirs(self.dir, exist_ok=True)
        self.file = os.path.join(self.dir, "small.txt")
        with open(self.file, "w") as f:
            f.write("small\n")
        self.experiment_id = self.mlflow.create_experiment(self.new_name())
        self.run_id = self.mlflow.create_run(self.experiment_id).info.run_id
        self.run = self.mlflow.get_run(self.run_id)
        self._fresh_id, self._uses = None, 0

    def new_name(self):
        return "fuzz-{}-{}".format(self.module_name, uuid.uuid4().hex)

    def fresh_experiment_id(self):
        # A new experiment every few uses for iterations that start runs:
        # starting one by name lists every run of its experiment.
        if self._uses % 8 == 0:
            self._fresh_id = self.mlflow.create_experiment(self.new_name())
        self._uses += 1
        return self._fresh_id

    def value(self, what):
        """A fresh one of the things a caller passes (see SPECIFIC)."""
        return {
            "uri": lambda: self.uri, "uri///": lambda: self.uri + "///", "refused": lambda: self.refused,
            "experiment_id": lambda: self.experiment_id, "run_id": lambda: self.run_id, "run": lambda: self.run,
            "file": lambda: self.file, "dir": lambda: self.dir,
            "params": lambda: {"alpha": "1", "beta": 2.5},
            "param-records": lambda: [self.Param("alpha", "1"), self.Param("beta", "2")],
            "metrics": lambda: {"loss": 0.5, "accuracy": 1},
            "payload": lambda: {"error_code": "RESOURCE_DOES_NOT_EXIST", "message": "no such thing"},
            "queue": queue.Queue, "exit-0": lambda: SystemExit(0), "exit-1": lambda: SystemExit(1),
            "ValueError": lambda: ValueError, "KeyboardInterrupt": lambda: KeyboardInterrupt,
            "SystemExit": lambda: SystemExit,
        }[what]()

    def client(self):
        from tavro_experiment_tracking.tracking.client import Client

        client = Client(None)
        client.tracking_uri = self.uri
        return client

    def instance(self, name):
        from tavro_experiment_tracking import context
        from tavro_experiment_tracking.auth.authenticator import KOVAAuthenticator, OIDCAuthenticator
        from tavro_experiment_tracking.auth.user import User
        from tavro_experiment_tracking.auth.utils import get_disposable_handler
        from tavro_experiment_tracking.entities.experiment import Experiment
        from tavro_experiment_tracking.entities.iteration import Iteration
        from tavro_experiment_tracking.entities.project import Project
        from tavro_experiment_tracking.entities.quorril import NamedEntity, NamedEntityPrinter, property_and_nodump
        from tavro_experiment_tracking.exception import (
            ExperimentTrackingException,
            RestException,
            ServerNotAccessibleException,
        )
        from tavro_experiment_tracking.tracking.client import ActiveIteration

        def experiment(experiment_id=None):
            return Experiment("e", "ed", experiment_id or self.experiment_id, Project("p", "pd", self.client()))

        def iteration():
            # Half of them have a current run, the others start one.
            if self._uses % 2:
                it = Iteration(experiment())
                it.iteration_id = self.run_id
            else:
                it = Iteration(experiment(self.fresh_experiment_id()))
            self._uses += 1
            return it

        def current_client():
            current = type(context.current_client)()
            if self._uses % 2:
                current.update(self.client())
            self._uses += 1
            return current

        makers = {
            "NamedEntity": lambda: NamedEntity("n", "d"),
            "NamedEntityPrinter": NamedEntityPrinter,
            "property": lambda: property(len),
            "nodump": lambda: property_and_nodump(len),
            "Project": lambda: Project("p", "pd", self.client()),
            "Experiment": experiment,
            "Iteration": iteration,
            "Client": self.client,
            "ActiveIteration": lambda: ActiveIteration(self.client(), self.run),
            "CurrentClient": current_client,
            "User": lambda: User("u"),
            "ExperimentTrackingException": lambda: ExperimentTrackingException("m", 1000),
            "ServerNotAccessibleException": lambda: ServerNotAccessibleException("m"),
            "RestException": lambda: RestException(self.value("payload")),
            "OIDCAuthenticator": lambda: OIDCAuthenticator(self.refused + "/oidc"),
            "KOVAAuthenticator": lambda: KOVAAuthenticator("r", self.refused + "/token", self.refused + "/userinfo"),
            "CallbackHandler": lambda: callback_handler(get_disposable_handler(None, "state", queue.Queue()),
                                                        CALLBACK_PATHS[self._next() % len(CALLBACK_PATHS)]),
        }
        if name in makers:
            return makers[name]()
        # The abstract base: one of its implementations.
        return makers["KOVAAuthenticator" if self._uses % 2 else "OIDCAuthenticator"]()

    def _next(self):
        self._uses += 1
        return self._uses

    def instance_of(self, target):
        """What a method's first argument normally is."""
        if target.first == "cls":
            return target.owner
        return self.instance(target.owner.__name__)


# Requests of the login's redirect: the provider's answers, forged and
# broken ones. The login's client is None here: a code gets as far as the
# token exchange and fails there.
CALLBACK_PATHS = ["/callback?state=state&code=c", "/callback?state=other&code=c", "/favicon.ico", "/callback",
                  "/callback?error=access_denied&error_description=%ED%B3%BF&state=state",
                  "/callback?state=state&code=", "/callback?state=%00&state=state", "/%ff?\udcff", "\udcff"]


def callback_handler(handler_class, path):
    """A handler as its server makes it, holding one parsed GET request;
    what it answers is written into a buffer."""
    handler = object.__new__(handler_class)
    handler.path, handler.command, handler.request_version = path, "GET", "HTTP/1.1"
    handler.requestline = "GET {} HTTP/1.1".format(path)
    handler.client_address = ("127.0.0.1", 0)
    handler.wfile = io.BytesIO()
    handler.server = types.SimpleNamespace(shutdown=lambda: None)
    return handler


# ---- one call -------------------------------------------------------------------------


def text_of(exc):
    try:
        return str(exc)
    except Exception:
        return "<str() raised>"


def internal_error(exc):
    """The first internal error in an exception's chain, or None."""
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        if isinstance(exc, SystemError):
            return exc
        if isinstance(exc, RuntimeError) and ("Unable to cast" in text_of(exc) or "C++" in text_of(exc)):
            return exc
        exc = exc.__cause__ or exc.__context__
    return None


BINDING_PHRASES = ("missing", "takes", "got an unexpected keyword", "got multiple values", "keywords must be")


def attempt(func, args, kwargs):
    try:
        result = func(*args, **kwargs)
        # A native iterator's work happens when it is consumed.
        if type(result).__name__ == "generator" and not isinstance(result, types.GeneratorType):
            list(itertools.islice(result, 100))
        return None
    except Exception as e:  # noqa: BLE001 - the exception is the outcome here
        return e


class Explorer:
    def __init__(self, world, last_call_path):
        self.world = world
        self.last_call = open(last_call_path, "w")
        self.twins = {}
        self.calls = 0
        # per target: calls refused in binding, raised in the body, returned
        self.outcomes = collections.defaultdict(lambda: [0, 0, 0])
        self.errors = collections.defaultdict(collections.Counter)

    def record(self, target, description):
        self.last_call.seek(0)
        self.last_call.write("{}{!r}\n".format(target.name, description))
        self.last_call.truncate()
        self.last_call.flush()

    def twin(self, target):
        if target.name not in self.twins:
            self.twins[target.name] = twin_class(target.owner) if target.construct else twin_of(target.func)
        return self.twins[target.name]

    def check(self, target, description):
        args_d, kwargs_d, env = description

        def make():
            self_value = None

            def one(d, param):
                nonlocal self_value
                if d == ("self",):
                    self_value = self.world.instance_of(target)
                    return self_value
                return build(d, self.world, param)

            positional = [p.name for p in target.params if p.kind is p.POSITIONAL_OR_KEYWORD]
            args = tuple(one(d, positional[i] if i < len(positional) else "*") for i, d in enumerate(args_d))
            kwargs = {build_key(k): one(v, k[1] if k[0] == "key" else "**") for k, v in kwargs_d}
            return args, kwargs

        # Separate objects for the twin and the native call: calls may change them.
        twin_args, twin_kwargs = make()
        args, kwargs = make()
        saved = dict(os.environ)
        try:
            apply_environment(env)
            expected = attempt(self.twin(target), twin_args, twin_kwargs)
            self.record(target, description)
            self.calls += 1
            got = attempt(target.func, args, kwargs)
        finally:
            os.environ.clear()
            os.environ.update(saved)
            from tavro_experiment_tracking import context

            context.current_client.update(None)
            # Values a call queued in the background for an address that refuses
            # would keep the next flush waiting for ever: they are dropped.
            background = sys.modules.get("tavro_experiment_tracking.tracking.background")
            if background is not None:
                background._before_ending(None, 0, True)
        self.outcomes[target.name][0 if expected is not None else 1 if got is not None else 2] += 1
        if got is not None and expected is None:
            self.errors[target.name][type(got).__name__ + ": " + text_of(got)[:80]] += 1
        internal = internal_error(got)
        assert internal is None, "{} ended in an internal error: {}: {}".format(
            target.name, type(internal).__name__, text_of(internal))
        if expected is not None:
            assert got is not None, "{} accepted arguments its Python twin refuses: {}: {}".format(
                target.name, type(expected).__name__, text_of(expected))
            assert (type(got), text_of(got)) == (type(expected), text_of(expected)), \
                "{} refused unlike its Python twin: {}: {} (twin: {}: {})".format(
                    target.name, type(got).__name__, text_of(got), type(expected).__name__, text_of(expected))
        elif isinstance(got, TypeError):
            message = text_of(got)
            own = message.startswith(target.code_name + "()") and any(p in message for p in BINDING_PHRASES)
            checked = any(message.startswith("Argument '{}' has incorrect type".format(p.name))
                          for p in target.params)
            assert not (own or checked), "{} refused a call its Python twin binds: {}".format(target.name, message)

    def explore(self, target, examples, seed):
        @settings(max_examples=examples, derandomize=seed is None, database=None, deadline=None,
                  suppress_health_check=list(HealthCheck), report_multiple_bugs=False,
                  phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.shrink])
        @given(call=calls(target))
        def explore_target(call):
            self.check(target, call)

        if seed is not None:
            explore_target = with_seed(seed)(explore_target)
        explore_target()


def explore_module(module_name, report_path, examples, seed):
    """Runs in the module's child: explores every target, writes the report."""
    module = importlib.import_module(module_name)
    world = World(os.environ["TET_FUZZ_TRACKING_URI"], module_name.rsplit(".", 1)[-1])
    explorer = Explorer(world, report_path + ".last-call")
    report = {"module": module_name, "targets": {}, "failures": {}}
    started = time.monotonic()
    for target in targets(module):
        before = explorer.calls
        try:
            explorer.explore(target, examples, seed)
        except Exception as e:  # noqa: BLE001 - reported
            # (hypothesis's notes, with the failing example, are part of the text)
            report["failures"][target.name] = "".join(traceback.format_exception(type(e), e, e.__traceback__,
                                                                                 limit=-3))
        report["targets"][target.name] = explorer.calls - before
        report.setdefault("outcomes", {})[target.name] = explorer.outcomes[target.name]
        report.setdefault("errors", {})[target.name] = explorer.errors[target.name].most_common(8)
    report["seconds"] = round(time.monotonic() - started, 1)
    with open(report_path, "w") as f:
        json.dump(report, f, indent=1)


# ---- the script: one forked child per module ----------------------------------------------


class QuickServer(http.server.HTTPServer):
    def serve_forever(self, poll_interval=0.02):
        super().serve_forever(poll_interval)


def prepare():
    """Done once, before the children fork: imports, and nothing that may
    open a connection a child would inherit."""
    import signal

    from tavro_experiment_tracking.auth import authenticator
    from tavro_experiment_tracking.tracking import client, initialize

    for name in native_modules():
        importlib.import_module(name)
    # The drawn texts' alphabets, worked out here once (seconds of CPU) rather
    # than again in every child.
    for surrogates in (True, False):
        values(surrogates).validate()
    # No browser may open: a login that gets that far fails instead.
    authenticator.webbrowser = types.SimpleNamespace(open=_raising("webbrowser.open"))
    # The login's callback server as it is, answering a shutdown sooner.
    authenticator.HTTPServer = QuickServer
    # The termination handler, called directly, acts as for a program whose
    # own handler returns: it never applies a signal's default action.
    client._previous_handlers.update({signal.SIGTERM: lambda *a: None, signal.SIGHUP: lambda *a: None})
    # init's default server is whatever listens at the usual local port: not ours to write to.
    defaults = list(initialize.init.__defaults__)
    defaults[2] = os.environ["TET_FUZZ_TRACKING_URI"]
    initialize.init.__defaults__ = tuple(defaults)
    # Every log record is formatted, as a handler would.
    handler = logging.Handler(logging.DEBUG)
    handler.emit = lambda record: handler.format(record)
    logging.getLogger(PACKAGE).addHandler(handler)
    logging.getLogger(PACKAGE).setLevel(logging.DEBUG)
    logging.getLogger(PACKAGE).propagate = False
    # The dependencies' complaints about refused connections are expected.
    logging.getLogger().addHandler(logging.NullHandler())


def start_child(module_name, report_dir, examples, seed):
    path = os.path.join(report_dir, module_name + ".json")
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            explore_module(module_name, path, examples, seed)
            status = 0
        except BaseException:  # noqa: BLE001 - the child must end here, whatever happened
            traceback.print_exc()
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(status)
    return pid, path, time.monotonic() + module_deadline(examples)


def child_report(path, status, examples):
    """The child's report, with how it ended when it did not end well
    (status None: it hung and was killed)."""
    report = {"module": os.path.basename(path)[:-len(".json")], "targets": {}, "failures": {}}
    if os.path.exists(path):
        with open(path) as f:
            report = json.load(f)
    if status is None or os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0:
        last = "(before the first call)"
        if os.path.exists(path + ".last-call"):
            with open(path + ".last-call") as f:
                last = f.read().strip() or last
        how = ("hung for {:.0f} s".format(module_deadline(examples)) if status is None else
               "died of signal {}".format(os.WTERMSIG(status)) if os.WIFSIGNALED(status) else
               "exited with status {}".format(os.WEXITSTATUS(status)))
        report["failures"]["<process>"] = "the exploring process {} during: {}".format(how, last)
    with open(path, "w") as f:
        json.dump(report, f, indent=1)
    return report


def run_children(names, report_dir, examples, seed, width):
    """Explores the modules, `width` children at a time; their reports by name."""
    waiting, running, reports = list(names), {}, {}
    while waiting or running:
        while waiting and len(running) < width:
            name = waiting.pop(0)
            running[name] = start_child(name, report_dir, examples, seed)
        for name, (pid, path, deadline) in list(running.items()):
            done, status = os.waitpid(pid, os.WNOHANG)
            if not done and time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                done, status = pid, None
            if done:
                del running[name]
                reports[name] = child_report(path, status, examples)
        time.sleep(0.05)
    return reports


def main(argv):
    report_dir, modules = argv[0], argv[1:]
    examples = int(os.environ.get("TET_FUZZ_EXAMPLES") or DEFAULT_EXAMPLES)
    seed = os.environ.get("TET_FUZZ_SEED")
    seed = int(seed) if seed else None
    prepare()
    names = modules or native_modules()
    # The modules are independent: as many at once as there are cores, four at most.
    reports = run_children(names, report_dir, examples, seed, width=max(1, min(4, os.cpu_count() or 1)))
    total = 0
    failed = False
    for name in names:
        report = reports[name]
        calls = sum(report["targets"].values())
        total += calls
        failed |= bool(report["failures"])
        print("{}: {} callables, {} calls, {} s{}".format(
            name, len(report["targets"]), calls, report.get("seconds", "?"),
            ", FAILED: " + ", ".join(report["failures"]) if report["failures"] else ""), flush=True)
    print("fuzz: {} calls, {} examples per callable, {}".format(
        total, examples, "seed {}".format(seed) if seed is not None else "derandomized"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
