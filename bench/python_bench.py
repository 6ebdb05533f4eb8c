"""Cost of ordel_py's synchronous and awaitable calls, measured from Python.

Three loops run as interleaved rounds (one loop of each per round, their
order rotating), so drift on a shared machine hits all of them alike:

  verify allowed   engine.verify("ReadFile", {"path": "/tmp/data.txt"})
  verify denied    engine.verify("ReadFile", {"path": "/etc/passwd"})
  has_intent       engine.has_intent("ReadFile"), the baseline: a method call
                   with argument matching and one str conversion, no verify

Reported: the median ns per call of each loop and the median over rounds of
each verify/has_intent ratio. Then the same allowed verify in batches beside
a CPU-bound Python thread, alternating with batches alone (median of the
per-round ratios: synchronous calls keep the interpreter lock, so a verify
is not stretched by the other thread), and the resident memory over
1,000,000 verify calls.

The awaitable operations run on each available event loop (asyncio's own,
and uvloop's when it is installed):

  throughput       10,000 gathered engine.verify_async(...) against
                   asyncio.gather of 10,000 asyncio.to_thread(engine.verify,
                   ...), in interleaved rounds; the median of the per-round
                   ratios of their times
  latency          one awaited verify_async at a time against one awaited
                   to_thread at a time, in the same rounds; the ratio of the
                   medians of the single verifies' times
  loop gap         a task that sleeps 1 ms in a loop, while from_source_async
                   compiles a policy of several MiB: the largest gap between
                   two of its wake-ups, in three runs (and the same with
                   nothing compiling, for reference)

Run with an interpreter that has ordel_py installed, for example after
scripts/python-test.sh:  build/venv-3.12/bin/python bench/python_bench.py
"""

import argparse
import asyncio
import statistics
import sys
import threading
import time
from collections.abc import Awaitable, Callable

import ordel_py

POLICY = """
module security {
    intent ReadFile {
        takes: path: String;
        gives: content: String;
        effect: READ;
        conscience: path_safety;
    }
}
"""

# Targets: an allowed one-field verify costs at most this many ns per call,
# and a verify beside a busy thread at most this many times a verify alone.
TARGET_ALLOWED_NS = 400
TARGET_CONTENDED_RATIO = 1.5
# Targets of the awaitable operations: gathered verify_async at least this
# many times the throughput of gathered to_thread verifies, one awaited
# verify_async at most this fraction of the latency of one awaited to_thread,
# and no gap of the loop longer than this many ms during a big async load.
TARGET_THROUGHPUT_RATIO = 10.0
TARGET_LATENCY_RATIO = 0.6
TARGET_LOOP_GAP_MS = 10.0


def make_loops(engine: ordel_py.OrdelEngine) -> dict[str, Callable[[int], int]]:
    """Each loop runs n calls and returns the elapsed ns."""
    verify = engine.verify
    has_intent = engine.has_intent
    allowed = {"path": "/tmp/data.txt"}
    denied = {"path": "/etc/passwd"}
    clock = time.perf_counter_ns

    def verify_allowed(n: int) -> int:
        start = clock()
        for _ in range(n):
            verify("ReadFile", allowed)
        return clock() - start

    def verify_denied(n: int) -> int:
        start = clock()
        for _ in range(n):
            verify("ReadFile", denied)
        return clock() - start

    def baseline(n: int) -> int:
        start = clock()
        for _ in range(n):
            has_intent("ReadFile")
        return clock() - start

    return {"verify allowed": verify_allowed, "verify denied": verify_denied, "has_intent": baseline}


def interleaved(loops: dict[str, Callable[[int], int]], rounds: int, calls: int) -> dict[str, list[float]]:
    names = list(loops)
    per_call: dict[str, list[float]] = {name: [] for name in names}
    for name in names:
        loops[name](calls // 10)  # warm-up
    for r in range(rounds):
        for i in range(len(names)):
            name = names[(r + i) % len(names)]
            per_call[name].append(loops[name](calls) / calls)
    return per_call


def contended(engine: ordel_py.OrdelEngine, rounds: int, batch: int) -> tuple[list[float], list[float]]:
    """Per-call ns of verify batches alone and beside a busy thread."""
    busy = threading.Event()
    stop = threading.Event()

    def spin() -> None:
        while not stop.is_set():
            busy.wait()
            x = 0
            for i in range(20_000):
                x += i * i

    thread = threading.Thread(target=spin, daemon=True)
    thread.start()
    verify = make_loops(engine)["verify allowed"]
    alone: list[float] = []
    beside: list[float] = []
    try:
        for _ in range(rounds):
            busy.clear()
            time.sleep(0.005)  # the spinner finishes its chunk and blocks
            alone.append(verify(batch) / batch)
            busy.set()
            time.sleep(0.002)  # the spinner is running
            beside.append(verify(batch) / batch)
    finally:
        stop.set()
        busy.set()
        thread.join()
    return alone, beside


def rss_kib() -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def memory_run(engine: ordel_py.OrdelEngine, total: int, step: int) -> list[tuple[int, int]]:
    verify = engine.verify
    requests = [("ReadFile", {"path": "/tmp/data.txt"}), ("ReadFile", {"path": "/etc/passwd"})]
    samples = [(0, rss_kib())]
    for done in range(step, total + 1, step):
        for i in range(step // 2):
            verify(*requests[0])
            verify(*requests[1])
        samples.append((done, rss_kib()))
    return samples


def sync_benchmarks(engine: ordel_py.OrdelEngine, args: argparse.Namespace) -> None:
    print(f"{args.rounds} interleaved rounds of {args.calls} calls per loop")

    per_call = interleaved(make_loops(engine), args.rounds, args.calls)
    base = per_call["has_intent"]
    print(f"{'case':<16} {'median ns/call':>15} {'min':>8} {'max':>8} {'ratio to has_intent':>20}")
    for name, values in per_call.items():
        ratio = statistics.median(v / b for v, b in zip(values, base))
        print(
            f"{name:<16} {statistics.median(values):>15.1f} {min(values):>8.1f} "
            f"{max(values):>8.1f} {ratio:>20.2f}"
        )
    allowed_ns = statistics.median(per_call["verify allowed"])
    overhead = statistics.median(a - b for a, b in zip(per_call["verify allowed"], base))
    print(f"verify allowed minus has_intent (median per round): {overhead:.1f} ns")

    alone, beside = contended(engine, args.rounds, batch=2_000)
    contended_ratio = statistics.median(b / a for a, b in zip(alone, beside))
    print(
        f"beside a CPU-bound thread: alone {statistics.median(alone):.1f} ns/call, "
        f"beside {statistics.median(beside):.1f} ns/call, median ratio {contended_ratio:.2f}"
    )

    samples = memory_run(engine, args.memory_calls, args.memory_calls // 5)
    print("resident memory over verify calls (allowed and denied alternating):")
    for done, kib in samples:
        print(f"  {done:>9} calls  {kib:>8} KiB")
    growth = samples[-1][1] - samples[1][1]
    print(f"  growth after the first {samples[1][0]} calls: {growth} KiB")

    ok = allowed_ns <= TARGET_ALLOWED_NS and contended_ratio <= TARGET_CONTENDED_RATIO
    print(
        f"targets: allowed verify <= {TARGET_ALLOWED_NS} ns ({allowed_ns:.1f}), "
        f"contended ratio <= {TARGET_CONTENDED_RATIO} ({contended_ratio:.2f}): "
        f"{'met' if ok else 'NOT met'}"
    )


# ---- Awaitable operations ---------------------------------------------------------


def generate_policy(target_bytes: int) -> str:
    """A policy of about target_bytes: intents with pre-conditions and functions."""
    parts = ["module bench_policy {\n"]
    size = len(parts[0])
    i = 0
    while size < target_bytes:
        unit = (
            f"  intent ReadFile{i} {{\n"
            "    takes: path: String, limit: i64;\n"
            "    gives: data: Bytes;\n"
            "    effect: READ;\n"
            "    conscience: path_safety, no_exfiltrate;\n"
            '    pre: length(path) > 3, starts_with(path, "/tmp/");\n'
            "  }\n\n"
            f"  fn score{i}(a: i64, b: f64, name: String) -> f64 {{\n"
            "    let total: f64 = (a * 3 + b / 2.5) - (a % 7);\n"
            "    if total > 10.0 && len(name) < 40 {\n"
            "      return total * 2.0;\n"
            "    }\n"
            "    return abs(total - (1.0 + b) * (2.0 - b / (a + 1)));\n"
            "  }\n\n"
        )
        parts.append(unit)
        size += len(unit)
        i += 1
    parts.append("}\n")
    return "".join(parts)


def loop_factories() -> dict[str, Callable[[], asyncio.AbstractEventLoop]]:
    factories: dict[str, Callable[[], asyncio.AbstractEventLoop]] = {"asyncio": asyncio.new_event_loop}
    try:
        import uvloop
    except ImportError:
        return factories
    factories["uvloop"] = uvloop.new_event_loop
    return factories


async def gathered(engine: ordel_py.OrdelEngine, n: int, to_thread: bool) -> float:
    """Seconds for n verifies gathered together."""
    fields = {"path": "/tmp/data.txt"}
    start = time.perf_counter()
    if to_thread:
        await asyncio.gather(*[asyncio.to_thread(engine.verify, "ReadFile", fields) for _ in range(n)])
    else:
        await asyncio.gather(*[engine.verify_async("ReadFile", fields) for _ in range(n)])
    return time.perf_counter() - start


async def one_at_a_time(engine: ordel_py.OrdelEngine, n: int, to_thread: bool) -> list[float]:
    """Seconds of each of n verifies, each awaited before the next starts."""
    fields = {"path": "/tmp/data.txt"}
    verify = engine.verify
    verify_async = engine.verify_async
    clock = time.perf_counter
    samples = []
    for _ in range(n):
        start = clock()
        if to_thread:
            await asyncio.to_thread(verify, "ReadFile", fields)
        else:
            await verify_async("ReadFile", fields)
        samples.append(clock() - start)
    return samples


async def largest_gap(work: Callable[[], Awaitable[object]] | None, idle_seconds: float) -> tuple[float, float]:
    """The largest gap between wake-ups of a task sleeping 1 ms in a loop, in
    ms, while `work` is awaited (or for idle_seconds without work), and the
    seconds the work took. The work's result is dropped after the ticker has
    stopped: freeing a big engine is the caller's own work on the loop."""
    stop = asyncio.Event()
    largest = 0.0

    async def ticker() -> None:
        nonlocal largest
        last = time.perf_counter()
        while not stop.is_set():
            await asyncio.sleep(0.001)
            now = time.perf_counter()
            largest = max(largest, now - last)
            last = now

    task = asyncio.create_task(ticker())
    await asyncio.sleep(0.02)  # the ticker is running
    largest = 0.0
    start = time.perf_counter()
    result = await (asyncio.sleep(idle_seconds) if work is None else work())
    elapsed = time.perf_counter() - start
    stop.set()
    await task
    del result
    return largest * 1e3, elapsed


async def async_suite(engine: ordel_py.OrdelEngine, big_policy: str, rounds: int, gathered_n: int,
                      sequential_n: int) -> tuple[float, float, float]:
    """Prints the figures of one loop; returns the throughput ratio, the
    latency ratio and the largest loop gap during the big load (ms)."""
    await gathered(engine, gathered_n // 10, False)  # warm-up: worker threads exist
    await gathered(engine, gathered_n // 10, True)
    through_async: list[float] = []
    through_thread: list[float] = []
    latency_async: list[float] = []  # per verify, all rounds
    latency_thread: list[float] = []
    for r in range(rounds):
        for to_thread in ((False, True) if r % 2 == 0 else (True, False)):
            (through_thread if to_thread else through_async).append(
                await gathered(engine, gathered_n, to_thread))
        for to_thread in ((False, True) if r % 2 == 0 else (True, False)):
            (latency_thread if to_thread else latency_async).extend(
                await one_at_a_time(engine, sequential_n, to_thread))
    throughput_ratio = statistics.median(t / a for a, t in zip(through_async, through_thread))
    latency_ratio = statistics.median(latency_async) / statistics.median(latency_thread)
    per_item = lambda values: statistics.median(values) / gathered_n * 1e6  # noqa: E731
    print(
        f"  throughput, {gathered_n} gathered: verify_async {per_item(through_async):.2f} us/verify, "
        f"to_thread {per_item(through_thread):.2f} us/verify, median ratio {throughput_ratio:.1f}"
    )
    print(
        f"  latency, one at a time: verify_async {statistics.median(latency_async) * 1e6:.1f} us, "
        f"to_thread {statistics.median(latency_thread) * 1e6:.1f} us (medians over all verifies), "
        f"ratio {latency_ratio:.2f}"
    )
    gaps: list[float] = []
    idle_gaps: list[float] = []
    for _ in range(3):
        gap, seconds = await largest_gap(lambda: ordel_py.OrdelEngine.from_source_async(big_policy), 0)
        gaps.append(gap)
        idle_gaps.append((await largest_gap(None, seconds))[0])
    gap = statistics.median(gaps)
    print(
        f"  loop gap while from_source_async compiles {len(big_policy) / 2**20:.1f} MiB "
        f"({seconds * 1e3:.0f} ms), 3 runs: largest {', '.join(f'{g:.2f}' for g in gaps)} ms, "
        f"median {gap:.2f} ms (idle loop: {', '.join(f'{g:.2f}' for g in idle_gaps)} ms)"
    )
    return throughput_ratio, latency_ratio, gap


def async_benchmarks(engine: ordel_py.OrdelEngine, args: argparse.Namespace) -> bool:
    big_policy = generate_policy(args.big_policy_mib << 20)
    start = time.perf_counter()
    ordel_py.OrdelEngine.from_source(big_policy)
    print(f"awaitable operations ({args.async_rounds} interleaved rounds; the big policy compiles "
          f"synchronously in {(time.perf_counter() - start) * 1e3:.0f} ms):")
    met = True
    for name, factory in loop_factories().items():
        print(f" {name}:")
        with asyncio.Runner(loop_factory=factory) as runner:
            throughput, latency, gap = runner.run(
                async_suite(engine, big_policy, args.async_rounds, args.gathered, args.sequential))
        ok = throughput >= TARGET_THROUGHPUT_RATIO and latency <= TARGET_LATENCY_RATIO and gap < TARGET_LOOP_GAP_MS
        print(
            f"  targets: throughput ratio >= {TARGET_THROUGHPUT_RATIO:g} ({throughput:.1f}), latency ratio <= "
            f"{TARGET_LATENCY_RATIO:g} ({latency:.2f}), loop gap < {TARGET_LOOP_GAP_MS:g} ms ({gap:.2f}): "
            f"{'met' if ok else 'NOT met'}"
        )
        met = met and ok
    return met


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--calls", type=int, default=20_000, help="calls per loop per round")
    parser.add_argument("--memory-calls", type=int, default=1_000_000)
    parser.add_argument("--async-rounds", type=int, default=9)
    parser.add_argument("--gathered", type=int, default=10_000, help="verifies gathered per round")
    parser.add_argument("--sequential", type=int, default=500, help="verifies awaited one by one per round")
    parser.add_argument("--big-policy-mib", type=int, default=4)
    parser.add_argument("--only", choices=["sync", "async"], help="run only these benchmarks")
    args = parser.parse_args()

    engine = ordel_py.OrdelEngine.from_source(POLICY)
    print(f"ordel_py {ordel_py.__version__} on Python {sys.version.split()[0]}")
    if args.only != "async":
        sync_benchmarks(engine, args)
    if args.only != "sync":
        async_benchmarks(engine, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
