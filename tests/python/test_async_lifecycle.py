"""The asyncio bridge at the edges of a loop's and a process's life: results
that arrive after their loop was closed, processes that exit with jobs in
flight, and forked children."""

import asyncio
import pathlib
import subprocess
import sys
import textwrap
import time
from typing import Any

import pytest

from ordel_py import OrdelEngine

from test_async import LOOP_KINDS, big_policy, new_loop


@pytest.fixture(params=LOOP_KINDS)
def loop_kind(request: pytest.FixtureRequest) -> str:
    return str(request.param)


def test_results_for_a_closed_loop_are_printed_and_futures_stay_pending(
    loop_kind: str, capsys: pytest.CaptureFixture[str]
) -> None:
    source = big_policy(20_000)
    loop = new_loop(loop_kind)

    async def start() -> list[asyncio.Future[Any]]:
        return [OrdelEngine.from_source_async(source) for _ in range(3)]

    futures = loop.run_until_complete(start())
    loop.close()
    printed = ""
    deadline = time.monotonic() + 60
    while "RuntimeError: Event loop is closed" not in printed and time.monotonic() < deadline:
        time.sleep(0.05)
        printed += capsys.readouterr().err
    time.sleep(0.5)  # the other jobs finish too
    printed += capsys.readouterr().err
    # One report per refused hand-over; jobs finishing together share one.
    tracebacks = printed.count("Traceback (most recent call last)")
    assert 1 <= tracebacks <= len(futures)
    assert printed.count("\nRuntimeError: Event loop is closed\n") == tracebacks
    assert not any(f.done() for f in futures)


def run_script(script: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    start = time.monotonic()
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert time.monotonic() - start < timeout
    return done


SHUTDOWN_SCRIPTS = {
    # asyncio.run closes the loop while the compilations run; the process
    # then exits with them still compiling.
    "loop closed": """
        asyncio.run(start())
    """,
    # The loop is never closed: results may still be scheduled on it while
    # the interpreter exits.
    "loop left open": """
        loop = new_loop()
        loop.run_until_complete(start())
        loop.run_until_complete(asyncio.sleep(0.05))
    """,
    # A daemon thread keeps a loop busy with verifications, so results are
    # being delivered at the very moment the interpreter finalizes.
    "daemon loop busy": """
        def busy():
            async def forever():
                engine = ordel_py.OrdelEngine.from_source(small)
                while True:
                    await asyncio.gather(*[engine.verify_async("Read1", {"path": "/tmp/a"})
                                           for _ in range(200)])
                    engine.verify_async("Read1", {"path": "/tmp/b"})  # never awaited
            loop = new_loop()
            loop.run_until_complete(forever())
        threading.Thread(target=busy, daemon=True).start()
        asyncio.run(start())
        time.sleep(0.2)
    """,
}


@pytest.mark.parametrize("scenario", sorted(SHUTDOWN_SCRIPTS))
def test_process_exits_cleanly_with_jobs_in_flight(loop_kind: str, scenario: str) -> None:
    prologue = f"""
        import asyncio, threading, time
        import ordel_py
        from test_async import big_policy
        try:
            import uvloop
        except ImportError:
            uvloop = None
        new_loop = uvloop.new_event_loop if {loop_kind!r} == "uvloop" else asyncio.new_event_loop
        source = big_policy(30_000)
        small = big_policy(10)
        pending = []

        async def start():
            pending.extend(ordel_py.OrdelEngine.from_source_async(source) for _ in range(12))
            engine = ordel_py.OrdelEngine.from_source(small)
            pending.extend(engine.verify_async("Read1", {{"path": "/tmp/a"}}) for _ in range(500))
            await asyncio.sleep(0)
    """
    script = f"import sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})\n"
    script += textwrap.dedent(prologue) + textwrap.dedent(SHUTDOWN_SCRIPTS[scenario])
    done = run_script(script)
    assert done.returncode == 0, done.stderr
    assert "Fatal Python error" not in done.stderr


def test_forked_child_runs_its_own_jobs() -> None:
    script = """
        import asyncio, os, warnings
        import ordel_py
        warnings.simplefilter("ignore", DeprecationWarning)
        engine = ordel_py.OrdelEngine.from_source('module m { intent R { effect: READ; } }')

        async def check():
            verdicts = await asyncio.gather(*[engine.verify_async("R", {}) for _ in range(50)])
            return all(v.allowed for v in verdicts)

        assert asyncio.run(check())
        pid = os.fork()
        if pid == 0:
            os._exit(0 if asyncio.run(check()) else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert asyncio.run(check())
    """
    done = run_script(script)
    assert done.returncode == 0, done.stderr
