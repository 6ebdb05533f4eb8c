// The asyncio bridge of ordel_py: jobs, and how they reach a Python future.
//
// Call phase (the caller's thread, interpreter lock held): an awaitable
// operation converts its arguments, packs them into a Job that owns copies
// of them and calls launch(), which takes the running loop, creates the
// future with the loop's create_future, attaches a done callback that raises
// the job's cancellation flag once the future is cancelled, and queues the
// job on the worker pool. The first job launched in a turn of the loop gets
// a pool thread at once; later ones in the same turn are covered together
// by one flush callback at the end of the turn (async_loop.h).
//
// Task (a pool thread, no interpreter lock): the job computes its outcome,
// unless it was cancelled before it started, and joins its loop's queue of
// finished jobs. The job that finds that queue empty schedules one drain
// with the loop's call_soon_threadsafe; the drain runs on the loop's thread
// and, for each finished job, checks that the future is still pending (not
// cancelled) right before completing it with the result or the exception.
// If the loop refuses the drain because it is closed, the error is printed
// and those futures stay pending.
//
// Lifetime: a job is shared, with an atomic count, by its pipeline (pool,
// queue, drain) and by its done callback; it never touches Python itself, so
// it may be destroyed on any thread. Once the interpreter starts finalizing
// (the module's atexit hook), finishing jobs drop their results without
// entering the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>
#include <string>
#include <variant>

#include "conscience/verdict.h"
#include "engine/engine.h"
#include "worker_pool.h"

namespace ordel::py {

// ---- Outcomes ----------------------------------------------------------------

// The Python exception a failed job completes its future with.
enum class JobErrorType { kValueError, kRuntimeError, kMemoryError };

struct JobError {
  JobErrorType type;
  std::string message;  // the whole text; unused for kMemoryError
};

// What a job produced: nothing yet (or skipped after cancellation), a loaded
// engine, a verdict, or an error.
using Outcome = std::variant<std::monostate, std::shared_ptr<const Engine>, Verdict, JobError>;

// ---- Jobs --------------------------------------------------------------------

class Job;

namespace async_internal {
// The channel of a job's loop (async_loop.h).
struct LoopChannel;
}  // namespace async_internal

// The parts of a job that the delivery side owns. `future`, `hook` (its done
// callback) and `channel` are set at launch and read under the interpreter
// lock; `next` links the job into its channel's queue under the channel's
// mutex; `settled` (interpreter lock) marks a job whose future the bridge has
// finished with.
struct JobDelivery {
  PyObject* future = nullptr;  // owned reference
  PyObject* hook = nullptr;    // owned reference
  async_internal::LoopChannel* channel = nullptr;
  Job* next = nullptr;
  bool settled = false;
};

class Job : public PoolJob {
 public:
  // Runs compute() unless the operation was cancelled before the job
  // started, then hands the job to its loop.
  void run() noexcept final;

  // Fired by the future's done callback once the future is cancelled.
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  [[nodiscard]] bool cancelled() const noexcept {
    return cancelled_.load(std::memory_order_relaxed);
  }

  void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
    }
  }

  [[nodiscard]] Outcome& outcome() noexcept { return outcome_; }

  JobDelivery delivery;

 protected:
  Job() = default;

  // The blocking work, on a pool thread without the interpreter lock; it may
  // check cancelled() between stages. An exception escaping it makes the
  // outcome RuntimeError "Task join error: {description}" (MemoryError for
  // std::bad_alloc).
  [[nodiscard]] virtual Outcome compute() = 0;

 private:
  std::atomic<int> refs_{1};
  std::atomic<bool> cancelled_{false};
  Outcome outcome_;
};

struct JobRelease {
  void operator()(Job* job) const noexcept { job->release(); }
};
using JobPtr = std::unique_ptr<Job, JobRelease>;

// ---- Bridge ------------------------------------------------------------------

// Call phase, with the interpreter lock: takes the running loop (asyncio's
// RuntimeError when there is none, and nothing is scheduled), creates the
// future, attaches the done callback and submits the job. Returns the future,
// or null with an exception set.
[[nodiscard]] PyObject* launch(JobPtr job);

// Pool thread, without the interpreter lock: queues a finished job for its
// loop, scheduling a drain when the queue was empty. Takes the pipeline's
// reference.
void deliver(Job* job) noexcept;

}  // namespace ordel::py
