"""Cost of ordel_py's synchronous calls, measured from Python.

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

Run with an interpreter that has ordel_py installed, for example after
scripts/python-test.sh:  build/venv-3.12/bin/python bench/python_bench.py
"""

import argparse
import statistics
import sys
import threading
import time
from collections.abc import Callable

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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--calls", type=int, default=20_000, help="calls per loop per round")
    parser.add_argument("--memory-calls", type=int, default=1_000_000)
    args = parser.parse_args()

    engine = ordel_py.OrdelEngine.from_source(POLICY)
    print(f"ordel_py {ordel_py.__version__} on Python {sys.version.split()[0]}")
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
