"""The Python example (examples/guard_tools.py) guards an agent's tool calls
with the example policy (examples/coding_agent.odl)."""

import importlib.util
from pathlib import Path

import pytest

ordel_py = pytest.importorskip("ordel_py")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
POLICY = str(EXAMPLES / "coding_agent.odl")


@pytest.fixture(scope="module")
def guard_tools():
    found = importlib.util.spec_from_file_location("guard_tools", EXAMPLES / "guard_tools.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture
def tools(guard_tools):
    guard = guard_tools.Guard(ordel_py.OrdelEngine.from_file(POLICY))
    return guard_tools.Tools(guard, {"/workspace/build": "x", "/workspace/a.py": "print(1)\n"})


def test_policy_declares_the_tools_intents():
    engine = ordel_py.OrdelEngine.from_file(POLICY)
    assert sorted(engine.intents()) == [
        "DeleteFile", "FetchDocs", "FetchUrl", "ReadFile", "RunCommand", "WriteFile"]


# (tool, arguments, category of the denial or None when allowed)
CALLS = [
    ("read_file", {"path": "/workspace/a.py"}, None),
    ("read_file", {"path": "/workspace/../etc/passwd"}, "ChannelPolicy"),
    ("read_file", {"path": "/home/dev/.aws/credentials"}, "ConscienceCore"),
    ("write_file", {"path": "/tmp/out.txt", "content": "x"}, None),
    ("write_file", {"path": "/srv/out.txt", "content": "x"}, "ConscienceCore"),
    ("delete_file", {"path": "/workspace/build", "authorized": True}, None),
    ("delete_file", {"path": "/workspace/build"}, "IrreversibleAction"),
    ("run_command", {"command": "make -j2", "timeout_s": 600, "verified": True}, None),
    ("run_command", {"command": "make -j2", "timeout_s": 601, "verified": True},
     "ConscienceCore"),
    ("run_command", {"command": "make -j2"}, "ConscienceCore"),
    ("fetch_docs", {"site": "docs.rs", "page": "serde/latest/serde/"}, None),
    ("fetch_url", {"url": "https://example.com/"}, "ChannelPolicy"),
]


@pytest.mark.parametrize("tool, arguments, category", CALLS)
def test_tool_calls(guard_tools, tools, tool, arguments, category):
    call = getattr(tools, tool)
    if category is None:
        call(**arguments)
        return
    with pytest.raises(guard_tools.ToolDenied) as denied:
        call(**arguments)
    assert denied.value.verdict.allowed is False
    assert denied.value.verdict.category == category
    assert denied.value.verdict.reason


def test_denied_calls_do_not_run(guard_tools, tools):
    with pytest.raises(guard_tools.ToolDenied):
        tools.delete_file("/workspace/build")
    with pytest.raises(guard_tools.ToolDenied):
        tools.run_command("make", verified=False)
    assert "/workspace/build" in tools.files
    assert tools.ran == []


def test_arguments_become_text_fields(guard_tools):
    guard = guard_tools.Guard(ordel_py.OrdelEngine.from_file(POLICY))
    tools = guard_tools.Tools(guard)
    tools.run_command("git status", verified=True)
    intent, fields, verdict = guard.log[-1]
    assert intent == "RunCommand"
    assert fields == {"command": "git status", "timeout_s": "60", "verified": "true"}
    assert verdict.allowed


def test_main_runs_the_session(guard_tools, capsys):
    assert guard_tools.main(["guard_tools.py", POLICY]) == 0
    out = capsys.readouterr().out
    decisions = [line.split()[0] for line in out.splitlines() if not line.startswith(" ")]
    assert decisions == [
        "allowed", "denied", "denied", "allowed", "denied", "denied", "allowed",
        "denied", "allowed", "denied", "allowed", "denied"]
    assert ("denied   read_file(path='/workspace/../etc/shadow')\n"
            "         ChannelPolicy: Path '/workspace/../etc/shadow' (normalized: "
            "'/etc/shadow') denied by predicate 'path_safety'\n") in out
