"""OrdelEngine, Verdict and IntentSignature at the Python boundary: loading,
argument and field conversion, every exception, reprs, snapshots, threads
and reference ownership."""

import collections
import gc
import pathlib
import sys
import threading
import tracemalloc
from collections.abc import Callable
from typing import Any

import pytest

import ordel_py
from ordel_py import OrdelEngine

from conftest import POLICY

ALLOWED_GUIDANCE = "Action is permitted under current conscience evaluation."
CHANNEL_GUIDANCE = (
    "Action denied: channel policy restriction. Consider using an alternative path or "
    "requesting predicate review."
)
PASSWD_REASON = "Path '/etc/passwd' (normalized: '/etc/passwd') denied by predicate 'path_safety'"
NOT_FOUND = "Verification failed: [UndefinedFunction] Error: Intent 'WriteFile' not found in policy"

# ---- Loading -------------------------------------------------------------------


def test_from_file_loads(policy_file: str) -> None:
    engine = OrdelEngine.from_file(policy_file)
    assert sorted(engine.intents()) == ["Audit", "ReadFile", "Upload"]


def test_from_file_missing(tmp_path: pathlib.Path) -> None:
    path = str(tmp_path / "missing.odl")
    with pytest.raises(ValueError) as raised:
        OrdelEngine.from_file(path)
    assert str(raised.value) == (
        f"Failed to load policy: [HaltUnknown] Error: Failed to read policy file {path}: "
        "No such file or directory (os error 2)"
    )


@pytest.mark.parametrize(
    ("source", "error"),
    [
        ("$", "[UnexpectedChar] Error at line 1:2: Unexpected character: '$'"),
        ("module m {", "[ExpectedToken] Error at line 1:11: Expected '}', found 'EOF'"),
    ],
)
def test_from_source_errors(source: str, error: str) -> None:
    with pytest.raises(ValueError) as raised:
        OrdelEngine.from_source(source)
    assert str(raised.value) == "Failed to parse policy: " + error


def test_error_text_keeps_nul_characters() -> None:
    with pytest.raises(RuntimeError) as raised:
        OrdelEngine.from_source(POLICY).verify("a\0b", {})
    assert str(raised.value) == (
        "Verification failed: [UndefinedFunction] Error: Intent 'a\0b' not found in policy"
    )


# ---- Argument conversion ---------------------------------------------------------

NOT_STR = [
    (pathlib.Path("/tmp/x.odl"), "PosixPath"),
    (b"/tmp/x.odl", "bytes"),
    (None, "NoneType"),
    (5, "int"),
]


def expect_argument_error(call: Callable[[], object], name: str, type_name: str, expected: str) -> None:
    with pytest.raises(TypeError) as raised:
        call()
    message = f"'{type_name}' object is not an instance of '{expected}'"
    assert str(raised.value) == f"argument '{name}': {message}"
    cause = raised.value.__cause__
    assert type(cause) is TypeError
    assert str(cause) == message


@pytest.mark.parametrize(("value", "type_name"), NOT_STR)
def test_text_parameters_accept_only_str(engine: OrdelEngine, value: Any, type_name: str) -> None:
    calls: list[tuple[Callable[[], object], str]] = [
        (lambda: OrdelEngine.from_file(value), "path"),
        (lambda: OrdelEngine.from_source(value), "source"),
        (lambda: engine.verify(value, {}), "intent_name"),
        (lambda: engine.intent_signature(value), "name"),
        (lambda: engine.has_intent(value), "name"),
        (lambda: ordel_py.verify(value, "ReadFile", {}), "policy_path"),
        (lambda: ordel_py.verify("/nonexistent", value, {}), "intent_name"),
    ]
    for call, name in calls:
        expect_argument_error(call, name, type_name, "str")


@pytest.mark.parametrize(
    ("value", "type_name"),
    [([("path", "/tmp/a")], "list"), (None, "NoneType"), ("path=/tmp/a", "str")],
)
def test_fields_accept_only_dict(engine: OrdelEngine, value: Any, type_name: str) -> None:
    expect_argument_error(lambda: engine.verify("ReadFile", value), "fields", type_name, "dict")
    expect_argument_error(
        lambda: ordel_py.verify("/nonexistent", "ReadFile", value), "fields", type_name, "dict"
    )


def test_arguments_convert_left_to_right(engine: OrdelEngine) -> None:
    expect_argument_error(lambda: engine.verify(1, []), "intent_name", "int", "str")  # type: ignore[arg-type]
    expect_argument_error(
        lambda: ordel_py.verify(1, 2, []), "policy_path", "int", "str"  # type: ignore[arg-type]
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda e: OrdelEngine.from_source("\ud800"),
        lambda e: OrdelEngine.from_file("/tmp/\udcff"),
        lambda e: e.verify("Read\ud800", {}),
        lambda e: e.has_intent("\udfff"),
        lambda e: ordel_py.verify("/tmp/\ud800", "ReadFile", {}),
    ],
)
def test_lone_surrogates_raise_unicode_encode_error(engine: OrdelEngine, call: Callable[[OrdelEngine], object]) -> None:
    with pytest.raises(UnicodeEncodeError) as raised:
        call(engine)
    assert raised.value.reason == "surrogates not allowed"


def test_keyword_arguments(engine: OrdelEngine, policy_file: str) -> None:
    assert engine.verify(intent_name="ReadFile", fields={"path": "/tmp/a"}).allowed
    assert engine.verify("ReadFile", fields={"path": "/tmp/a"}).allowed
    assert engine.has_intent(name="ReadFile")
    assert engine.intent_signature(name="ReadFile") is not None
    assert OrdelEngine.from_source(source=POLICY).has_intent("Audit")
    assert OrdelEngine.from_file(path=policy_file).has_intent("Audit")
    assert ordel_py.verify(fields={}, intent_name="Audit", policy_path=policy_file).allowed


@pytest.mark.parametrize(
    ("args", "kwargs", "fragment"),
    [
        (("ReadFile",), {}, "missing required argument 'fields'"),
        ((), {}, "missing required argument 'intent_name'"),
        (("ReadFile", {}, {}), {}, "at most 2 arguments"),
        (("ReadFile",), {"intent_name": "ReadFile", "fields": {}}, "at most 2 arguments"),
        (("ReadFile", {}), {"extra": 1}, "at most 2 arguments"),
        ((), {"intent_name": "ReadFile", "field": {}}, "missing required argument 'fields'"),
    ],
    ids=["missing", "none", "surplus", "repeated", "unknown", "misspelt"],
)
def test_argument_matching_errors(
    engine: OrdelEngine, args: tuple[Any, ...], kwargs: dict[str, Any], fragment: str
) -> None:
    with pytest.raises(TypeError) as raised:
        engine.verify(*args, **kwargs)
    assert str(raised.value).startswith("verify() ")
    assert fragment in str(raised.value)


# ---- Field conversion ------------------------------------------------------------


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        ({"path": 5}, "Field value must be string: TypeError: 'int' object is not an instance of 'str'"),
        ({"path": None}, "Field value must be string: TypeError: 'NoneType' object is not an instance of 'str'"),
        ({"path": b"/tmp"}, "Field value must be string: TypeError: 'bytes' object is not an instance of 'str'"),
        ({5: "x"}, "Field key must be string: TypeError: 'int' object is not an instance of 'str'"),
        ({b"path": "x"}, "Field key must be string: TypeError: 'bytes' object is not an instance of 'str'"),
        ({1: 2}, "Field key must be string: TypeError: 'int' object is not an instance of 'str'"),
        ({"a": 1, 2: "b"}, "Field value must be string: TypeError: 'int' object is not an instance of 'str'"),
        ({"a": "b", 2: 3}, "Field key must be string: TypeError: 'int' object is not an instance of 'str'"),
        (
            {"\ud800": "x"},
            "Field key must be string: UnicodeEncodeError: 'utf-8' codec can't encode character "
            "'\\ud800' in position 0: surrogates not allowed",
        ),
        (
            {"path": "/tmp/\udc80"},
            "Field value must be string: UnicodeEncodeError: 'utf-8' codec can't encode character "
            "'\\udc80' in position 5: surrogates not allowed",
        ),
    ],
)
def test_field_conversion_errors(engine: OrdelEngine, policy_file: str, fields: dict[Any, Any], message: str) -> None:
    for call in (lambda: engine.verify("ReadFile", fields), lambda: ordel_py.verify(policy_file, "ReadFile", fields)):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message
        assert isinstance(raised.value.__cause__, (TypeError, UnicodeEncodeError))


def test_field_error_comes_before_an_unknown_intent(engine: OrdelEngine) -> None:
    with pytest.raises(ValueError, match="^Field value must be string"):
        engine.verify("WriteFile", {"path": 1})


def test_module_verify_reports_the_load_failure_before_bad_fields() -> None:
    with pytest.raises(ValueError) as raised:
        ordel_py.verify("/nonexistent/p.odl", "ReadFile", {"path": 5})
    assert str(raised.value).startswith(
        "Failed to load policy: [HaltUnknown] Error: Failed to read policy file /nonexistent/p.odl: "
    )


def test_module_verify(policy_file: str) -> None:
    assert ordel_py.verify(policy_file, "ReadFile", {"path": "/tmp/a"}).allowed
    assert ordel_py.verify(policy_file, "ReadFile", {"path": "/etc/passwd"}).reason == PASSWD_REASON
    with pytest.raises(RuntimeError) as raised:
        ordel_py.verify(policy_file, "WriteFile", {})
    assert str(raised.value) == NOT_FOUND


class Tricky(str):
    """A str subclass whose Python-level methods all lie or fail."""

    calls = 0

    def __str__(self) -> str:
        Tricky.calls += 1
        return "/tmp/elsewhere"

    def __hash__(self) -> int:
        Tricky.calls += 1
        return str.__hash__(self)

    def __eq__(self, other: object) -> bool:
        Tricky.calls += 1
        return str.__eq__(self, other)

    def encode(self, *args: Any, **kwargs: Any) -> bytes:  # type: ignore[override]
        raise AssertionError("encode must not be called")


def test_str_subclasses_are_read_as_their_text(engine: OrdelEngine) -> None:
    fields = {Tricky("path"): Tricky("/etc/passwd")}
    Tricky.calls = 0
    verdict = engine.verify(Tricky("ReadFile"), fields)
    assert Tricky.calls == 0
    assert verdict.reason == PASSWD_REASON
    assert engine.has_intent(Tricky("ReadFile"))


class Mutator(str):
    """A key whose hash and equality change the dict that holds it."""

    target: dict[Any, Any] = {}

    def __hash__(self) -> int:
        Mutator.target.clear()
        Mutator.target["path"] = "/etc/passwd"
        return str.__hash__(self)

    def __eq__(self, other: object) -> bool:
        Mutator.target.clear()
        return str.__eq__(self, other)


def test_dict_mutated_by_its_keys(engine: OrdelEngine) -> None:
    fields: dict[Any, Any] = {"path": "/tmp/a"}
    Mutator.target = fields
    fields[Mutator("other")] = "value"  # hashing replaces the contents on insertion
    snapshot = list(fields.items())
    verdict = engine.verify("ReadFile", fields)
    assert list(fields.items()) == snapshot  # the walk ran no Python code
    assert verdict.reason == PASSWD_REASON


class OpaqueDict(dict[str, str]):
    """A dict subclass whose Python-level views all fail."""

    def _fail(self, *args: Any, **kwargs: Any) -> Any:
        raise AssertionError("the dict's storage is read directly")

    __iter__ = items = keys = values = __getitem__ = __len__ = _fail  # type: ignore[assignment]


@pytest.mark.parametrize(
    "fields",
    [
        OpaqueDict(path="/etc/passwd"),
        collections.OrderedDict(path="/etc/passwd"),
        collections.defaultdict(str, path="/etc/passwd"),
    ],
    ids=["overrides", "OrderedDict", "defaultdict"],
)
def test_dict_subclasses(engine: OrdelEngine, fields: dict[str, str]) -> None:
    assert engine.verify("ReadFile", fields).reason == PASSWD_REASON


def test_huge_dict(engine: OrdelEngine) -> None:
    fields = {f"k{i}": "v" for i in range(200_000)}
    assert engine.verify("ReadFile", fields | {"path": "/tmp/a"}).allowed
    assert engine.verify("ReadFile", {"path": "/tmp/a"} | fields | {"path": "/etc/passwd"}).reason == PASSWD_REASON
    bad = fields | {"k199999": 1}
    with pytest.raises(ValueError, match="^Field value must be string"):
        engine.verify("ReadFile", bad)


def test_later_duplicate_key_wins(engine: OrdelEngine) -> None:
    class Distinct(str):
        def __hash__(self) -> int:
            return id(self)

        def __eq__(self, other: object) -> bool:
            return self is other

    fields = {Distinct("path"): "/tmp/a", Distinct("path"): "/etc/passwd"}
    assert len(fields) == 2
    assert engine.verify("ReadFile", fields).reason == PASSWD_REASON


# ---- Verification and verdicts -----------------------------------------------------


def test_allowed_verdict(engine: OrdelEngine) -> None:
    verdict = engine.verify("ReadFile", {"path": "/tmp/data.txt"})
    assert (verdict.allowed, verdict.reason, verdict.guidance, verdict.category) == (
        True,
        None,
        ALLOWED_GUIDANCE,
        "ChannelPolicy",
    )
    assert bool(verdict) is True
    assert repr(verdict) == "Verdict(allowed=True)"


def test_denied_verdict(engine: OrdelEngine) -> None:
    verdict = engine.verify("ReadFile", {"path": "/etc/passwd"})
    assert (verdict.allowed, verdict.reason, verdict.guidance, verdict.category) == (
        False,
        PASSWD_REASON,
        CHANNEL_GUIDANCE,
        "ChannelPolicy",
    )
    assert bool(verdict) is False
    assert repr(verdict) == f'Verdict(allowed=False, reason="{PASSWD_REASON}")'


def test_pre_condition_verdicts(engine: OrdelEngine) -> None:
    failed = engine.verify("ReadFile", {"path": ""})
    assert (failed.reason, failed.guidance, failed.category) == (
        "Pre-condition failed for intent 'ReadFile'",
        "One or more pre-conditions were not satisfied",
        "ConscienceCore",
    )
    assert repr(failed) == "Verdict(allowed=False, reason=\"Pre-condition failed for intent 'ReadFile'\")"
    error = engine.verify("ReadFile", {})
    assert error.reason == "Pre-condition evaluation error: Unknown field 'path' in pre-condition"
    assert error.guidance == "Pre-condition could not be evaluated"


def test_unknown_intent(engine: OrdelEngine) -> None:
    with pytest.raises(RuntimeError) as raised:
        engine.verify("WriteFile", {})
    assert str(raised.value) == NOT_FOUND
    assert engine.intent_signature("WriteFile") is None
    assert engine.has_intent("WriteFile") is False
    assert engine.has_intent("readfile") is False
    assert engine.has_intent("ReadFile") is True


# A character in a denied path and how the repr shows it; everything else in
# those reasons is printable ASCII.
REPR_ESCAPES = [
    ('"', '\\"'),
    ("\\", "\\\\"),
    ("\t", "\\t"),
    ("\r", "\\r"),
    ("\n", "\\n"),
    ("\0", "\\0"),
    ("\x1b", "\\u{1b}"),  # Cc
    ("\x7f", "\\u{7f}"),  # Cc
    ("\x85", "\\u{85}"),  # Cc
    ("\u200b", "\\u{200b}"),  # Cf
    ("\u200d", "\\u{200d}"),  # Cf
    ("\ufeff", "\\u{feff}"),  # Cf
    ("\ue000", "\\u{e000}"),  # Co
    ("\U0010fffd", "\\u{10fffd}"),  # Co
    ("\u0378", "\\u{378}"),  # Cn
    ("\U000e0080", "\\u{e0080}"),  # Cn
    ("\u2028", "\\u{2028}"),  # Zl
    ("\u2029", "\\u{2029}"),  # Zp
    ("\u00a0", "\\u{a0}"),  # Zs
    ("\u3000", "\\u{3000}"),  # Zs
    ("\u0301", "\\u{301}"),  # Mn, grapheme extend
    ("\u20dd", "\\u{20dd}"),  # Me, grapheme extend
    ("\u0903", "\u0903"),  # Mc without grapheme extend: printable
    (" ", " "),
    ("'", "'"),
    ("é", "é"),
    ("ж", "ж"),
    ("\U0001f600", "\U0001f600"),
]


@pytest.mark.parametrize(("char", "shown"), REPR_ESCAPES, ids=[hex(ord(c)) for c, _ in REPR_ESCAPES])
def test_verdict_repr_escapes(engine: OrdelEngine, char: str, shown: str) -> None:
    verdict = engine.verify("ReadFile", {"path": f"/etc/a{char}b"})
    assert not verdict.allowed
    reason = verdict.reason
    assert reason is not None and reason.startswith(f"Path '/etc/a{char}b'")
    plain = {"\\": "\\\\", '"': '\\"', char: shown}
    escaped = "".join(plain.get(c, c) for c in reason)
    assert repr(verdict) == f'Verdict(allowed=False, reason="{escaped}")'


def test_verdict_is_a_snapshot() -> None:
    engine = OrdelEngine.from_source(POLICY)
    verdict = engine.verify("ReadFile", {"path": "/etc/passwd"})
    signature = engine.intent_signature("ReadFile")
    del engine
    gc.collect()
    assert verdict.guidance is not verdict.guidance
    assert verdict.reason is not verdict.reason
    assert verdict.reason == PASSWD_REASON
    assert signature is not None and signature.name == "ReadFile"


# ---- Introspection -----------------------------------------------------------------


def test_engine_repr_and_intents(engine: OrdelEngine) -> None:
    assert repr(engine) == "OrdelEngine(intents=3)"
    names = engine.intents()
    assert sorted(names) == ["Audit", "ReadFile", "Upload"]
    names.append("x")
    assert len(engine.intents()) == 3
    assert repr(OrdelEngine.from_source("module empty {}")) == "OrdelEngine(intents=0)"
    assert OrdelEngine.from_source("module empty {}").intents() == []


def test_signature(engine: OrdelEngine) -> None:
    signature = engine.intent_signature("ReadFile")
    assert signature is not None
    assert signature.name == "ReadFile"
    assert signature.takes == [("path", "String")]
    assert signature.gives == [("content", "String")]
    assert signature.effect == "READ"
    assert signature.conscience == ["path_safety", "no_harm"]
    assert repr(signature) == "IntentSignature(name=ReadFile, effect=READ, predicates=path_safety, no_harm)"


def test_signature_without_effect_or_predicates(engine: OrdelEngine) -> None:
    signature = engine.intent_signature("Audit")
    assert signature is not None
    assert signature.takes == [("data", "Map<String, [bool]>"), ("grid", "Tensor[3, n, ?]")]
    assert signature.gives == []
    assert signature.effect == "NOOP"
    assert repr(signature) == "IntentSignature(name=Audit, effect=NOOP, predicates=)"


def test_signature_lists_are_new_on_every_read(engine: OrdelEngine) -> None:
    signature = engine.intent_signature("ReadFile")
    assert signature is not None
    for attribute in ("takes", "gives", "conscience"):
        first = getattr(signature, attribute)
        assert first is not getattr(signature, attribute)
        first.append(("x", "y"))
        first.clear()
    assert signature.takes == [("path", "String")]
    assert signature.conscience == ["path_safety", "no_harm"]


# ---- Threads and ownership -----------------------------------------------------------


def test_threads_share_one_engine(engine: OrdelEngine) -> None:
    requests = [("ReadFile", {"path": f"/{d}/file{i}"}) for i in range(50) for d in ("tmp", "etc")]
    expected = [engine.verify(*request).reason for request in requests]
    results: list[list[str | None]] = []

    def work() -> None:
        results.append([engine.verify(*request).reason for request in requests])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 4


def fresh(text: str) -> str:
    """A new, non-interned str object whose reference count can be watched."""
    return "".join(list(text))


def test_no_reference_leaks(engine: OrdelEngine, policy_file: str) -> None:
    intent, key, value, bad = fresh("ReadFile"), fresh("path"), fresh("/etc/passwd"), fresh("x")
    fields = {key: value}
    bad_fields = {key: 5, bad: value}
    watched = [intent, key, value, bad, fields, bad_fields]
    before = [sys.getrefcount(o) for o in watched]

    def exercise() -> None:
        engine.verify(intent, fields)
        engine.verify(intent_name=intent, fields=fields)
        engine.has_intent(intent)
        engine.intent_signature(intent)
        for call in (
            lambda: engine.verify(intent, bad_fields),
            lambda: engine.verify(bad_fields, fields),
            lambda: engine.verify(intent, [fields]),
            lambda: engine.verify(fresh("Nope"), fields),
            lambda: ordel_py.verify(policy_file, intent, bad_fields),
        ):
            try:
                call()
            except (ValueError, TypeError, RuntimeError):
                pass

    for _ in range(100):
        exercise()
    assert [sys.getrefcount(o) for o in watched] == before

    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(200):
            exercise()
        gc.collect()
        baseline = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            exercise()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - baseline
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes kept after 2000 rounds"
