// The loop side of the asyncio bridge: one channel per event loop with jobs
// in flight, its queue of finished jobs, and the callbacks ("tickets") the
// bridge schedules on the loop: drains, which complete futures, and flushes,
// which cover the jobs launched during one turn of the loop.
//
// Everything here needs the interpreter lock, except push_finished(), which
// a pool thread calls without it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <mutex>
#include <string_view>

#include "async_job.h"
#include "py_ref.h"

namespace ordel::py::async_internal {

// Method names, interned once; read under the interpreter lock.
struct BridgeNames {
  PyObject* create_future;
  PyObject* call_soon;
  PyObject* call_soon_threadsafe;
  PyObject* add_done_callback;
  PyObject* remove_done_callback;
  PyObject* set_result;
  PyObject* set_exception;
  PyObject* cancelled;
  PyObject* done;
  PyObject* get_running_loop;
};
extern BridgeNames names;

// Calls the method `name` of args[0] with the remaining arguments.
template <std::size_t N>
[[nodiscard]] PyRef call_method(PyObject* name, PyObject* const (&args)[N]) {
  return PyRef::steal(PyObject_VectorcallMethod(name, args, N, nullptr));
}

// A new `type` exception with `message`; null with an exception set.
[[nodiscard]] PyRef new_exception(PyObject* type, std::string_view message);

// A loop's channel. Registered while jobs launched on the loop are in flight
// (not yet settled) or a flush is pending, so the channel, its reference to
// the loop and so the loop's identity stay valid for everything that points
// here.
struct LoopChannel {
  // Interpreter lock.
  PyObject* loop = nullptr;  // owned reference
  std::size_t in_flight = 0;
  // A job was covered at once since the loop last ran one of this channel's
  // tickets: the loop is still in the turn that launched it, and jobs
  // launched now are queued, to be covered by a flush at the end of the turn.
  bool turn_open = false;
  bool flush_pending = false;

  // Finished jobs, oldest first, linked through JobDelivery::next.
  std::mutex mutex;
  Job* head = nullptr;
  Job* tail = nullptr;
  bool drain_pending = false;  // a drain is scheduled, or being scheduled
};

// Interns the names and creates the ticket class. False with an exception
// set on failure.
[[nodiscard]] bool init_loop_side();

// The channel of `loop`, registered on first use.
[[nodiscard]] LoopChannel* channel_for(PyObject* loop);

// Unregisters and frees the channel once nothing is in flight on it.
void retire_if_idle(LoopChannel* channel);

// Finishes the bridge's part in a job whose future it will not complete: lets
// go of the future, the done callback and the pipeline's reference.
void abandon(LoopChannel* channel, Job* job);

// Schedules the flush of the current turn, from the loop's thread. False
// with an exception set on failure; the channel may then be gone.
[[nodiscard]] bool schedule_flush(LoopChannel* channel);

// Pool thread, without the interpreter lock: queues a finished job. True
// when the queue was empty, in which case the caller schedules a drain.
[[nodiscard]] bool push_finished(LoopChannel* channel, Job* job) noexcept;

// Pool thread, with the interpreter lock: asks the loop to drain the channel
// through call_soon_threadsafe. If the loop refuses (it is closed), the error
// is printed and the queued jobs are settled with their futures left pending.
void schedule_drain(LoopChannel* channel);

// Prints the exception set as the host prints uncaught errors; SystemExit
// is printed too, without exiting.
void print_error(PyObject* context);

// In the child of a fork: forgets every channel (the jobs they wait for never
// finish there).
void forget_channels() noexcept;

}  // namespace ordel::py::async_internal
