"""The module object: contents, docstrings, calling conventions, versions,
one module per process and no sub-interpreters."""

import inspect
import subprocess
import sys
import textwrap

import pytest

import ordel_py
from ordel_py import IntentSignature, OrdelEngine, Verdict

EXPORTS = [
    "OrdelEngine",
    "Verdict",
    "IntentSignature",
    "version",
    "verify",
    "verify_async",
    "__version__",
]


def test_version_texts() -> None:
    assert ordel_py.version() == "ordel-py 0.2.1 (ordel-lang 0.2.1)"
    assert ordel_py.__version__ == "0.2.1"


def test_all_lists_the_contents_in_initialisation_order() -> None:
    assert ordel_py.__all__ == EXPORTS
    added = [name for name in vars(ordel_py) if name in EXPORTS]
    assert added == EXPORTS


MODULE_DOC = """Ordel Python module

Provides policy verification for AI agents with sync and async support.

Key classes:
    - OrdelEngine: Main policy engine for loading and verifying
    - Verdict: Result of a verification operation
    - IntentSignature: Intent metadata for introspection

Sync functions:
    - verify(): One-shot verification helper

Async functions:
    - verify_async(): Non-blocking verification for agent frameworks"""

ENGINE_DOC = """Ordel Policy Engine

The main interface for loading policies and verifying intents.
Supports both sync and async usage for integration with agent frameworks.

Example:
    ```python
    from ordel import OrdelEngine

    # Load from file
    engine = OrdelEngine.from_file("security.odl")

    # Or load from source string
    engine = OrdelEngine.from_source('''
        module security {
            intent ReadFile {
                takes: path: String;
                gives: content: String;
                effect: READ;
                conscience: path_safety;
            }
        }
    ''')

    # Sync verification
    verdict = engine.verify("ReadFile", {"path": "/tmp/data.txt"})

    # Async verification (non-blocking for agent frameworks)
    verdict = await engine.verify_async("ReadFile", {"path": "/tmp/data.txt"})
    ```"""

VERDICT_DOC = """Result of a verification operation

Attributes:
    allowed (bool): Whether the intent is permitted by the policy
    reason (str | None): Reason for denial, None if allowed
    guidance (str): Human-readable guidance about the decision
    category (str): Category of the policy decision"""

SIGNATURE_DOC = """Signature of an intent for introspection

Attributes:
    name (str): Intent name
    takes (list[tuple[str, str]]): Input parameters as (name, type) pairs
    gives (list[tuple[str, str]]): Output parameters as (name, type) pairs
    effect (str): Effect class (READ, WRITE, NETWORK, etc.)
    conscience (list[str]): Conscience predicates that apply"""


@pytest.mark.parametrize(
    ("obj", "doc"),
    [
        (ordel_py, MODULE_DOC),
        (OrdelEngine, ENGINE_DOC),
        (Verdict, VERDICT_DOC),
        (IntentSignature, SIGNATURE_DOC),
    ],
    ids=["module", "OrdelEngine", "Verdict", "IntentSignature"],
)
def test_module_and_class_docstrings(obj: object, doc: str) -> None:
    assert obj.__doc__ == doc


# (function, text signature, docstring body after the signature lines)
FUNCTION_DOCS = [
    (
        OrdelEngine.from_file,
        "(path)",
        """Load an Ordel policy from a file

Args:
    path: Path to the .odl policy file

Returns:
    OrdelEngine instance

Raises:
    ValueError: If the policy file cannot be loaded""",
    ),
    (
        OrdelEngine.from_source,
        "(source)",
        """Load an Ordel policy from source code

Args:
    source: Ordel policy source code as a string

Returns:
    OrdelEngine instance

Raises:
    ValueError: If the policy source is invalid""",
    ),
    (
        OrdelEngine.from_file_async,
        "(path)",
        """Load an Ordel policy from a file (async)

Non-blocking file I/O for async contexts.

Args:
    path: Path to the .odl policy file

Returns:
    OrdelEngine instance""",
    ),
    (
        OrdelEngine.from_source_async,
        "(source)",
        """Load an Ordel policy from source code (async)

Non-blocking parse for async contexts.

Args:
    source: Ordel policy source code as a string

Returns:
    OrdelEngine instance""",
    ),
    (
        OrdelEngine.verify,
        "($self, intent_name, fields)",
        """Verify an intent against the policy (sync)

This is a pure operation - no side effects, fully deterministic.

Args:
    intent_name: Name of the intent to verify
    fields: Dictionary of parameter names to values

Returns:
    Verdict indicating whether the intent is allowed

Raises:
    RuntimeError: If verification fails unexpectedly""",
    ),
    (
        OrdelEngine.verify_async,
        "($self, intent_name, fields)",
        """Verify an intent against the policy (async)

Non-blocking verification for async agent frameworks.
Offloads CPU-bound verification to a thread pool.

Args:
    intent_name: Name of the intent to verify
    fields: Dictionary of parameter names to values

Returns:
    Coroutine that resolves to Verdict""",
    ),
    (
        OrdelEngine.intents,
        "($self)",
        """Get a list of all intent names in the policy

Returns:
    List of intent name strings""",
    ),
    (
        OrdelEngine.intent_signature,
        "($self, name)",
        """Get the signature of an intent

Args:
    name: Intent name

Returns:
    IntentSignature if found, None otherwise""",
    ),
    (
        OrdelEngine.has_intent,
        "($self, name)",
        """Check if an intent exists in the policy

Args:
    name: Intent name to check

Returns:
    True if intent exists, False otherwise""",
    ),
    (ordel_py.version, "()", "Get Ordel version information"),
    (
        ordel_py.verify,
        "(policy_path, intent_name, fields)",
        """Quick verification helper (sync)

Load a policy and verify an intent in one call.

Args:
    policy_path: Path to the .odl policy file
    intent_name: Name of the intent to verify
    fields: Dictionary of parameter names to values

Returns:
    Verdict indicating whether the intent is allowed""",
    ),
    (
        ordel_py.verify_async,
        "(policy_path, intent_name, fields)",
        """Quick verification helper (async)

Load a policy and verify an intent in one async call.
Non-blocking for agent frameworks.

Args:
    policy_path: Path to the .odl policy file
    intent_name: Name of the intent to verify
    fields: Dictionary of parameter names to values

Returns:
    Coroutine that resolves to Verdict""",
    ),
]


@pytest.mark.parametrize(
    ("function", "text_signature", "doc"),
    FUNCTION_DOCS,
    ids=[entry[0].__qualname__ for entry in FUNCTION_DOCS],
)
def test_function_docstrings_and_signatures(function: object, text_signature: str, doc: str) -> None:
    assert function.__text_signature__ == text_signature  # type: ignore[attr-defined]
    assert function.__doc__ == doc
    parameters = [p for p in text_signature.strip("()").split(", ") if p and p != "$self"]
    signature = inspect.signature(function)  # type: ignore[arg-type]
    assert [p.name for p in signature.parameters.values() if p.name != "self"] == parameters
    for parameter in signature.parameters.values():
        if parameter.name == "self":
            continue
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


@pytest.mark.parametrize(
    "name", ["from_file", "from_source", "from_file_async", "from_source_async"]
)
def test_loading_operations_are_static(name: str) -> None:
    assert isinstance(vars(OrdelEngine)[name], staticmethod)


def test_no_argument_functions_reject_arguments(engine: OrdelEngine) -> None:
    with pytest.raises(TypeError):
        ordel_py.version(1)  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        engine.intents("x")  # type: ignore[call-arg]


def test_getters_are_read_only_and_undocumented(engine: OrdelEngine) -> None:
    verdict = engine.verify("ReadFile", {"path": "/tmp/a"})
    signature = engine.intent_signature("ReadFile")
    cases = [
        (verdict, ["allowed", "reason", "guidance", "category"]),
        (signature, ["name", "takes", "gives", "effect", "conscience"]),
    ]
    for instance, attributes in cases:
        for attribute in attributes:
            assert vars(type(instance))[attribute].__doc__ is None
            with pytest.raises(AttributeError):
                setattr(instance, attribute, None)


@pytest.mark.parametrize("cls", [OrdelEngine, Verdict, IntentSignature])
@pytest.mark.parametrize(
    ("args", "kwargs"), [((), {}), (("x",), {}), ((), {"source": "x"})], ids=["none", "pos", "kw"]
)
def test_classes_have_no_constructor(cls: type, args: tuple[object, ...], kwargs: dict[str, object]) -> None:
    with pytest.raises(TypeError) as raised:
        cls(*args, **kwargs)
    assert str(raised.value) == "No constructor defined"


def test_reimport_returns_the_same_module_object() -> None:
    saved = sys.modules.pop("ordel_py")
    try:
        import ordel_py as again

        assert again is saved
        assert again.OrdelEngine is OrdelEngine
    finally:
        sys.modules["ordel_py"] = saved


SUBINTERPRETER_SCRIPT = """
import os, sys, _testcapi
if {main_first}:
    import ordel_py
r, w = os.pipe()
code = (
    "import os\\n"
    "try:\\n"
    "    import ordel_py\\n"
    "    text = 'imported'\\n"
    "except ImportError as error:\\n"
    "    text = 'ImportError: ' + str(error)\\n"
    f"os.write({{w}}, text.encode())\\n"
)
_testcapi.run_in_subinterp(code)
os.close(w)
print(os.read(r, 1000).decode())
import ordel_py
print(ordel_py.version())
"""


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_sub_interpreter_import_fails(main_first: bool) -> None:
    pytest.importorskip("_testcapi")
    script = SUBINTERPRETER_SCRIPT.format(main_first=main_first)
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    )
    assert result.stdout.splitlines() == [
        "ImportError: module ordel_py does not support loading in subinterpreters",
        "ordel-py 0.2.1 (ordel-lang 0.2.1)",
    ]
