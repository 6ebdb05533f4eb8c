// The thread side of the asyncio bridge: launching a job from the loop's
// thread, the done callback that carries cancellation to it, handing a
// finished job back from a pool thread, and the gate that keeps pool threads
// out of the interpreter once it is finalizing.

#include <pthread.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "async_job.h"
#include "async_loop.h"
#include "objects.h"
#include "py_ref.h"

namespace ordel::py {

using namespace async_internal;

namespace {

// ---- Interpreter gate --------------------------------------------------------

// Pool threads enter the interpreter only through the gate. close() (the
// module's atexit hook, which runs before finalization starts) shuts it and
// waits for the threads inside to leave; afterwards enter() fails and
// finishing jobs drop their results without touching Python.
class PythonGate {
 public:
  [[nodiscard]] bool enter() noexcept {
    std::lock_guard lock(mutex_);
    if (!open_) {
      return false;
    }
    ++inside_;
    return true;
  }

  void leave() noexcept {
    std::lock_guard lock(mutex_);
    if (--inside_ == 0 && !open_) {
      left_.notify_all();
    }
  }

  // With the interpreter lock held; releases it while waiting, since the
  // threads inside may be waiting for it.
  void close() noexcept {
    {
      std::lock_guard lock(mutex_);
      open_ = false;
    }
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock lock(mutex_);
    left_.wait(lock, [this] { return inside_ == 0; });
    Py_END_ALLOW_THREADS
  }

  // In the child of a fork only the forking thread exists.
  void reset_after_fork() noexcept {
    new (&mutex_) std::mutex();
    new (&left_) std::condition_variable();
    inside_ = 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  bool open_ = true;
  std::size_t inside_ = 0;
};

// Never destroyed: pool threads may consult it while the process exits.
PythonGate& gate() {
  static PythonGate* const the_gate = new PythonGate();
  return *the_gate;
}

// A pool thread's Python thread state, created on its first delivery and
// kept, so later deliveries take the interpreter lock without creating one.
// Released when the thread exits, unless the interpreter is finalizing.
class WorkerThreadState {
 public:
  WorkerThreadState() = default;
  WorkerThreadState(const WorkerThreadState&) = delete;
  WorkerThreadState& operator=(const WorkerThreadState&) = delete;

  ~WorkerThreadState() {
    if (kept_ == nullptr || !gate().enter()) {
      return;
    }
    PyEval_RestoreThread(kept_);
    PyGILState_Release(base_);
    gate().leave();
  }

  // Inside the gate: takes the interpreter lock; release it with
  // PyGILState_Release.
  [[nodiscard]] PyGILState_STATE acquire() noexcept {
    if (kept_ == nullptr) {
      base_ = PyGILState_Ensure();
      kept_ = PyEval_SaveThread();
    }
    return PyGILState_Ensure();
  }

 private:
  PyThreadState* kept_ = nullptr;
  PyGILState_STATE base_{};
};

thread_local WorkerThreadState worker_thread_state;

// ---- Done callbacks ----------------------------------------------------------
// One per future: when the future has been cancelled, raises the job's
// cancellation flag, so a job that has not started is skipped and the
// module's verify_async does not start its second stage.

struct HookObject {
  PyObject_HEAD
  Job* job;
};

PyTypeObject* hook_type = nullptr;

PyObject* hook_call(PyObject* self, PyObject* args, PyObject*) {
  Job* job = reinterpret_cast<HookObject*>(self)->job;
  if (job->delivery.settled || PyTuple_Size(args) != 1) {
    Py_RETURN_NONE;
  }
  PyRef cancelled = call_method(names.cancelled, {PyTuple_GetItem(args, 0)});
  if (!cancelled) {
    return nullptr;
  }
  if (cancelled.get() == Py_True) {
    job->cancel();
  }
  Py_RETURN_NONE;
}

void hook_dealloc(PyObject* self) {
  reinterpret_cast<HookObject*>(self)->job->release();
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot hook_slots[] = {
    // hook(future): fires the job's cancellation flag if the future is cancelled.
    {Py_tp_call, reinterpret_cast<void*>(hook_call)},
    // Drops the hook's share of the job.
    {Py_tp_dealloc, reinterpret_cast<void*>(hook_dealloc)},
    // Created only by the bridge.
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};

PyType_Spec hook_spec = {
    .name = "ordel_py._CancelHook",
    .basicsize = sizeof(HookObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = hook_slots,
};

PyRef new_hook(Job* job) {
  PyRef hook = PyRef::steal(PyType_GenericAlloc(hook_type, 0));
  if (hook) {
    job->add_ref();
    reinterpret_cast<HookObject*>(hook.get())->job = job;
  }
  return hook;
}

// ---- Call phase --------------------------------------------------------------

PyObject* get_running_loop = nullptr;  // asyncio.get_running_loop, on first use

PyRef running_loop() {
  if (get_running_loop == nullptr) {
    PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) {
      return {};
    }
    get_running_loop = PyObject_GetAttr(asyncio.get(), names.get_running_loop);
    if (get_running_loop == nullptr) {
      return {};
    }
  }
  return PyRef::steal(PyObject_CallNoArgs(get_running_loop));
}

// No pool thread could be started for the job: its future fails at once.
PyObject* fail_unstarted(PyRef future, LoopChannel* channel, Job* job, int error) {
  abandon(channel, job);
  retire_if_idle(channel);
  std::string message = "Task join error: no worker thread could be started: ";
  message += std::strerror(error);
  PyRef exception = new_exception(PyExc_RuntimeError, message);
  if (!exception || !call_method(names.set_exception, {future.get(), exception.get()})) {
    return nullptr;
  }
  return future.release();
}

// ---- Lifecycle ---------------------------------------------------------------

PyObject* close_gate(PyObject*, PyObject*) {
  gate().close();
  Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_ordel_py_async_shutdown", close_gate, METH_NOARGS, nullptr};

void reset_after_fork() noexcept {
  gate().reset_after_fork();
  forget_channels();
}

}  // namespace

// ---- Bridge ------------------------------------------------------------------

PyObject* launch(JobPtr job) {
  PyRef loop = running_loop();
  if (!loop) {
    return nullptr;
  }
  PyRef future = call_method(names.create_future, {loop.get()});
  if (!future) {
    return nullptr;
  }
  PyRef hook = new_hook(job.get());
  if (!hook || !call_method(names.add_done_callback, {future.get(), hook.get()})) {
    return nullptr;
  }
  LoopChannel* channel = channel_for(loop.get());
  // The first job of a turn of the loop is covered at once; the jobs launched
  // after it in the same turn are queued and covered together by one flush at
  // the end of the turn, so a burst of launches costs the loop's thread one
  // wake-up per pool thread rather than one per job.
  const bool deferred = channel->turn_open;
  if (deferred && !channel->flush_pending && !schedule_flush(channel)) {
    return nullptr;
  }
  job->delivery.future = Py_NewRef(future.get());
  job->delivery.hook = hook.release();
  job->delivery.channel = channel;
  ++channel->in_flight;
  WorkerPool& pool = WorkerPool::instance();
  if (deferred) {
    pool.enqueue(job.release());
    return future.release();
  }
  int error = 0;
  if (!pool.submit(job.get(), error)) {
    return fail_unstarted(std::move(future), channel, job.release(), error);
  }
  job.release();
  channel->turn_open = true;
  return future.release();
}

void deliver(Job* job) noexcept {
  if (!gate().enter()) {
    job->release();
    return;
  }
  LoopChannel* channel = job->delivery.channel;
  // Only the job that finds the queue empty asks the loop to drain; the
  // others are taken along by that drain.
  if (push_finished(channel, job)) {
    const PyGILState_STATE state = worker_thread_state.acquire();
    try {
      schedule_drain(channel);
    } catch (...) {
      raise_internal_fault();
      PyErr_WriteUnraisable(nullptr);
    }
    PyGILState_Release(state);
  }
  gate().leave();
}

int init_async_bridge(PyObject*) {
  if (!init_loop_side()) {
    return -1;
  }
  PyRef type = PyRef::steal(PyType_FromSpec(&hook_spec));
  if (!type) {
    return -1;
  }
  hold_type(hook_type, type.get());
  // Pool threads stop entering the interpreter before it finalizes.
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  PyRef hook = PyRef::steal(PyCFunction_New(&close_gate_def, nullptr));
  if (!atexit || !hook ||
      !PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()))) {
    return -1;
  }
  static std::once_flag fork_handler;
  std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, &reset_after_fork); });
  return 0;
}

}  // namespace ordel::py
