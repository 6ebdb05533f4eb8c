"""The awaitable operations of ordel_py on asyncio's own loop and on uvloop:
the futures they return, errors at call time and at await time, the module's
two-stage verify_async, cancellation, and engines shared with pending work."""

import asyncio
import gc
import pathlib
import sys
import threading
import time
from collections.abc import Awaitable, Callable, Coroutine, Iterator
from typing import Any

import pytest

import ordel_py
from ordel_py import OrdelEngine, Verdict

from conftest import POLICY

NOT_FOUND = "Verification failed: [UndefinedFunction] Error: Intent 'WriteFile' not found in policy"
PARSE_ERROR = "Failed to parse policy: [UnexpectedChar] Error at line 1:2: Unexpected character: '$'"
FIELD_ERROR = "Field value must be string: TypeError: 'int' object is not an instance of 'str'"


def missing_file_error(path: str) -> str:
    return (
        f"Failed to load policy: [HaltUnknown] Error: Failed to read policy file {path}: "
        "No such file or directory (os error 2)"
    )


# ---- Event loops ---------------------------------------------------------------------

try:
    import uvloop
except ImportError:  # the test script installs it; elsewhere its runs are skipped
    uvloop = None

LOOP_KINDS = [
    pytest.param("asyncio", id="asyncio"),
    pytest.param("uvloop", id="uvloop", marks=pytest.mark.skipif(uvloop is None, reason="uvloop not installed")),
]


def new_loop(kind: str) -> asyncio.AbstractEventLoop:
    return uvloop.new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()


class Reports:
    """What a loop's exception handler and the unraisable hook received."""

    def __init__(self) -> None:
        self.items: list[object] = []

    def handler(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        self.items.append(context)


Runner = Callable[[Callable[..., Coroutine[Any, Any, Any]]], Any]


@pytest.fixture(params=LOOP_KINDS)
def loop_kind(request: pytest.FixtureRequest) -> str:
    return str(request.param)


@pytest.fixture
def reports(monkeypatch: pytest.MonkeyPatch) -> Reports:
    recorded = Reports()
    monkeypatch.setattr(sys, "unraisablehook", recorded.items.append)
    return recorded


@pytest.fixture
def run(loop_kind: str, reports: Reports) -> Iterator[Runner]:
    """Runs a coroutine function on a new loop of the kind under test, whose
    exception handler records into `reports`; the test fails if anything
    was reported."""

    def run(main: Callable[..., Coroutine[Any, Any, Any]]) -> Any:
        with asyncio.Runner(loop_factory=lambda: new_loop(loop_kind)) as runner:
            runner.get_loop().set_exception_handler(reports.handler)
            return runner.run(main())

    yield run
    assert reports.items == []


def same_verdict(a: Verdict, b: Verdict) -> bool:
    return (a.allowed, a.reason, a.guidance, a.category) == (b.allowed, b.reason, b.guidance, b.category)


# ---- Futures ---------------------------------------------------------------------------


def test_each_operation_returns_a_future_of_the_running_loop(
    run: Runner, engine: OrdelEngine, policy_file: str
) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        future_type = type(loop.create_future())
        calls: list[tuple[Callable[[], Awaitable[Any]], type]] = [
            (lambda: OrdelEngine.from_file_async(policy_file), OrdelEngine),
            (lambda: OrdelEngine.from_source_async(POLICY), OrdelEngine),
            (lambda: engine.verify_async("ReadFile", {"path": "/tmp/a"}), Verdict),
            (lambda: ordel_py.verify_async(policy_file, "ReadFile", {"path": "/tmp/a"}), Verdict),
        ]
        for call, result_type in calls:
            future = call()
            assert type(future) is future_type
            assert asyncio.isfuture(future) and not asyncio.iscoroutine(future)
            assert future.get_loop() is loop
            seen: list[asyncio.Future[Any]] = []
            future.add_done_callback(seen.append)
            result = await future
            assert type(result) is result_type and future.done() and future.result() is result
            await asyncio.sleep(0)
            assert seen == [future]

    run(main)


def test_results_match_the_synchronous_operations(run: Runner, engine: OrdelEngine, policy_file: str) -> None:
    async def main() -> None:
        loaded = await OrdelEngine.from_file_async(policy_file)
        compiled = await OrdelEngine.from_source_async(POLICY)
        for other in (loaded, compiled):
            assert sorted(other.intents()) == sorted(engine.intents())
            assert repr(other) == repr(engine)
        for fields in ({"path": "/etc/passwd"}, {"path": "/tmp/a"}, {"path": ""}):
            want = engine.verify("ReadFile", fields)
            assert same_verdict(await engine.verify_async("ReadFile", fields), want)
            assert same_verdict(await ordel_py.verify_async(policy_file, "ReadFile", fields), want)
        assert (await engine.verify_async(intent_name="Upload", fields={})).category == "ChannelPolicy"

    run(main)


def test_thousand_gathered_verifications_equal_the_synchronous_verdicts(run: Runner, engine: OrdelEngine) -> None:
    requests = [
        (name, {"path": path, "url": f"https://example.com/{i}"})
        for i in range(1000)
        for name, path in [(("ReadFile", "Upload", "Audit")[i % 3], ("/tmp/a", "/etc/passwd", "", "/root/x")[i % 4])]
    ]

    async def main() -> list[Verdict]:
        return await asyncio.gather(*[engine.verify_async(name, fields) for name, fields in requests])

    verdicts = run(main)
    assert len(verdicts) == len(requests)
    for (name, fields), verdict in zip(requests, verdicts):
        assert same_verdict(verdict, engine.verify(name, fields))


def test_futures_are_completed_on_the_loop_thread(reports: Reports, engine: OrdelEngine, policy_file: str) -> None:
    completions: list[tuple[str, int]] = []

    class RecordingFuture(asyncio.Future[Any]):
        def set_result(self, result: Any) -> None:
            completions.append(("result", threading.get_ident()))
            super().set_result(result)

        def set_exception(self, exception: BaseException | type[BaseException]) -> None:
            completions.append(("exception", threading.get_ident()))
            super().set_exception(exception)

    class RecordingLoop(asyncio.SelectorEventLoop):
        def create_future(self) -> asyncio.Future[Any]:
            return RecordingFuture(loop=self)

    async def main() -> None:
        futures = [
            engine.verify_async("ReadFile", {"path": "/tmp/a"}),
            engine.verify_async("WriteFile", {}),
            OrdelEngine.from_source_async(POLICY),
            ordel_py.verify_async(policy_file, "Audit", {}),
        ]
        assert all(type(f) is RecordingFuture for f in futures)
        await asyncio.gather(*futures, return_exceptions=True)

    with asyncio.Runner(loop_factory=RecordingLoop) as runner:
        runner.run(main())
    assert sorted(kind for kind, _ in completions) == ["exception", "result", "result", "result"]
    assert {thread for _, thread in completions} == {threading.get_ident()}
    assert reports.items == []


# ---- Errors --------------------------------------------------------------------------------


def test_errors_at_await_time(run: Runner, engine: OrdelEngine, tmp_path: pathlib.Path, policy_file: str) -> None:
    missing = str(tmp_path / "missing.odl")
    cases: list[tuple[Callable[[], Awaitable[Any]], type, str]] = [
        (lambda: OrdelEngine.from_file_async(missing), ValueError, missing_file_error(missing)),
        (lambda: OrdelEngine.from_source_async("$"), ValueError, PARSE_ERROR),
        (lambda: engine.verify_async("WriteFile", {}), RuntimeError, NOT_FOUND),
        (lambda: ordel_py.verify_async(missing, "ReadFile", {}), ValueError, missing_file_error(missing)),
        (lambda: ordel_py.verify_async(policy_file, "WriteFile", {}), RuntimeError, NOT_FOUND),
    ]

    async def main() -> None:
        for call, error_type, message in cases:
            future = call()  # the call itself succeeds
            with pytest.raises(error_type) as raised:
                await future
            assert type(raised.value) is error_type and str(raised.value) == message

    run(main)


def test_no_running_loop_fails_at_once(engine: OrdelEngine, policy_file: str) -> None:
    calls: list[Callable[[], object]] = [
        lambda: OrdelEngine.from_file_async(policy_file),
        lambda: OrdelEngine.from_source_async(POLICY),
        lambda: engine.verify_async("ReadFile", {"path": "/tmp/a"}),
        lambda: ordel_py.verify_async(policy_file, "ReadFile", {}),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == "no running event loop"


def test_errors_at_call_time_come_before_any_future(reports: Reports, engine: OrdelEngine) -> None:
    created: list[object] = []

    class CountingLoop(asyncio.SelectorEventLoop):
        def create_future(self) -> asyncio.Future[Any]:
            created.append(self)
            return super().create_future()

    bad_calls: list[tuple[Callable[[], object], type, str | None]] = [
        (lambda: engine.verify_async("ReadFile", {"path": 5}), ValueError, FIELD_ERROR),
        # The module operation converts its fields before loading: a missing
        # file does not hide them, unlike with the synchronous verify.
        (lambda: ordel_py.verify_async("/nonexistent.odl", "ReadFile", {"path": 5}), ValueError, FIELD_ERROR),
        (
            lambda: engine.verify_async("ReadFile", {5: "x"}),
            ValueError,
            "Field key must be string: TypeError: 'int' object is not an instance of 'str'",
        ),
        (
            lambda: OrdelEngine.from_file_async(pathlib.Path("/tmp/x.odl")),  # type: ignore[arg-type]
            TypeError,
            "argument 'path': 'PosixPath' object is not an instance of 'str'",
        ),
        (
            lambda: OrdelEngine.from_source_async(b"module m {}"),  # type: ignore[arg-type]
            TypeError,
            "argument 'source': 'bytes' object is not an instance of 'str'",
        ),
        (
            lambda: engine.verify_async("ReadFile", [("path", "/tmp")]),  # type: ignore[arg-type]
            TypeError,
            "argument 'fields': 'list' object is not an instance of 'dict'",
        ),
        (
            lambda: ordel_py.verify_async(1, "ReadFile", {}),  # type: ignore[arg-type]
            TypeError,
            "argument 'policy_path': 'int' object is not an instance of 'str'",
        ),
        (lambda: engine.verify_async("ReadFile"), TypeError, None),  # type: ignore[call-arg]
        (lambda: OrdelEngine.from_source_async(), TypeError, None),  # type: ignore[call-arg]
        (lambda: engine.verify_async("Read\ud800", {}), UnicodeEncodeError, None),
    ]

    async def main() -> None:
        for call, error_type, message in bad_calls:
            with pytest.raises(error_type) as raised:
                call()
            if message is not None:
                assert str(raised.value) == message
        assert created == []

    with asyncio.Runner(loop_factory=CountingLoop) as runner:
        runner.run(main())
    assert reports.items == []


# ---- Cancellation and lifetime ---------------------------------------------------------------


def big_policy(intents: int) -> str:
    body = "".join(
        f"    intent Read{i} {{\n        takes: path: String;\n        effect: READ;\n"
        f'        pre: length(path) > {i % 7}, starts_with(path, "/tmp/");\n    }}\n'
        for i in range(intents)
    )
    return "module big {\n" + body + "}\n"


def test_cancelled_futures_get_nothing_and_nothing_is_reported(run: Runner, engine: OrdelEngine) -> None:
    source = big_policy(4000)

    async def main() -> None:
        slow = OrdelEngine.from_source_async(source)
        fast = [engine.verify_async("ReadFile", {"path": "/tmp/a"}) for _ in range(100)]
        assert slow.cancel() and all(f.cancel() for f in fast)
        for future in [slow, *fast]:
            with pytest.raises(asyncio.CancelledError):
                await future
        # Later work on the same loop completes; by then the cancelled jobs
        # have long finished and their results were dropped unseen.
        loaded = await OrdelEngine.from_source_async(source)
        assert len(loaded.intents()) == 4000
        assert (await engine.verify_async("ReadFile", {"path": "/tmp/a"})).allowed
        await asyncio.sleep(0.05)
        assert slow.cancelled() and all(f.cancelled() for f in fast)

    run(main)


def test_cancellation_is_checked_right_before_completion(
    run: Runner, engine: OrdelEngine, policy_file: str
) -> None:
    async def main() -> None:
        calls: list[Callable[[], asyncio.Future[Any]]] = [
            lambda: engine.verify_async("ReadFile", {"path": "/tmp/a"}),
            lambda: engine.verify_async("WriteFile", {}),
            lambda: ordel_py.verify_async(policy_file, "ReadFile", {"path": "/tmp/a"}),
            lambda: OrdelEngine.from_file_async(policy_file),
        ]
        futures = [call() for call in calls]
        # Blocks the loop (not the jobs): every job finishes and hands its
        # result to the loop, which cannot complete anything meanwhile.
        time.sleep(0.2)
        assert not any(f.done() for f in futures)
        for future in futures:
            assert future.cancel()
        for future in futures:
            with pytest.raises(asyncio.CancelledError):
                await future
        await asyncio.sleep(0.01)

    run(main)


def test_quick_jobs_do_not_wait_behind_long_ones(run: Runner, engine: OrdelEngine) -> None:
    source = big_policy(40_000)

    async def main() -> None:
        loads = [OrdelEngine.from_source_async(source) for _ in range(4)]
        await asyncio.sleep(0.01)  # the loads are running
        quick = engine.verify_async("ReadFile", {"path": "/tmp/a"})
        done, _ = await asyncio.wait([quick, *loads], return_when=asyncio.FIRST_COMPLETED)
        assert done == {quick}
        await asyncio.gather(*loads)

    run(main)


def test_dropping_the_engine_keeps_pending_verifications_intact(run: Runner) -> None:
    async def main() -> None:
        engine = OrdelEngine.from_source(POLICY)
        want = engine.verify("ReadFile", {"path": "/etc/passwd"})
        futures = [engine.verify_async("ReadFile", {"path": "/etc/passwd"}) for _ in range(200)]
        del engine
        gc.collect()
        for verdict in await asyncio.gather(*futures):
            assert same_verdict(verdict, want)

    run(main)


def test_loops_in_several_threads(loop_kind: str, engine: OrdelEngine) -> None:
    results: dict[int, list[bool]] = {}

    def worker(index: int) -> None:
        async def main() -> list[bool]:
            paths = ["/tmp/a", "/etc/passwd"] * 50
            verdicts = await asyncio.gather(*[engine.verify_async("ReadFile", {"path": p}) for p in paths])
            return [v.allowed for v in verdicts]

        with asyncio.Runner(loop_factory=lambda: new_loop(loop_kind)) as runner:
            results[index] = runner.run(main())

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {i: [True, False] * 50 for i in range(4)}
