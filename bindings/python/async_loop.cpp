#include "async_loop.h"

#include <memory>
#include <new>
#include <unordered_map>
#include <utility>
#include <variant>

#include "convert.h"
#include "objects.h"
#include "parser/ast.h"

namespace ordel::py::async_internal {

BridgeNames names{};

namespace {

PyTypeObject* ticket_type = nullptr;

// ---- Channels ----------------------------------------------------------------
// The registry is touched only under the interpreter lock; never destroyed.

std::unordered_map<PyObject*, LoopChannel*>& channels() {
  static auto* const the_channels = new std::unordered_map<PyObject*, LoopChannel*>();
  return *the_channels;
}
LoopChannel* last_channel = nullptr;

Job* take_all(LoopChannel* channel) noexcept {
  std::lock_guard lock(channel->mutex);
  Job* jobs = std::exchange(channel->head, nullptr);
  channel->tail = nullptr;
  channel->drain_pending = false;
  return jobs;
}

// ---- Completion --------------------------------------------------------------

// The future's value from a job's outcome; `failed` tells whether it is an
// exception. Null with an exception set when the value cannot be built.
PyRef outcome_to_python(Outcome& outcome, bool& failed) {
  failed = false;
  return std::visit(
      overloaded{
          [](std::shared_ptr<const Engine>& engine) {
            return PyRef::steal(new_engine_object(std::move(engine)));
          },
          [](Verdict& verdict) { return PyRef::steal(new_verdict_object(std::move(verdict))); },
          [&](JobError& error) {
            failed = true;
            switch (error.type) {
              case JobErrorType::kValueError:
                return new_exception(PyExc_ValueError, error.message);
              case JobErrorType::kRuntimeError:
                return new_exception(PyExc_RuntimeError, error.message);
              case JobErrorType::kMemoryError:
                return PyRef::steal(PyObject_CallNoArgs(PyExc_MemoryError));
            }
            return PyRef();
          },
          [](std::monostate) {
            PyErr_SetString(PyExc_SystemError, "the job ended without a result");
            return PyRef();
          },
      },
      outcome);
}

// On the loop's thread: completes a still pending future with the job's
// outcome. Failures that cannot reach the future are reported as unraisable.
//
// The done callback is taken off the future first, which doubles as the
// check that the future is still pending: a future that is done (cancelled)
// has already handed its callbacks to the loop, so nothing is removed. The
// bridge's own completion then schedules no call of the done callback.
void complete(PyObject* future, PyObject* hook, Job& job) {
  PyRef removed = call_method(names.remove_done_callback, {future, hook});
  // Anything but a positive count (an error too: then the future does not
  // follow the asyncio protocol) is settled by asking the future itself.
  const int was_pending = removed ? PyObject_IsTrue(removed.get()) : -1;
  if (was_pending < 0) {
    PyErr_Clear();
  }
  if (was_pending != 1) {
    PyRef done = call_method(names.done, {future});
    const int is_done = done ? PyObject_IsTrue(done.get()) : -1;
    if (is_done != 0) {
      if (is_done < 0) {
        PyErr_WriteUnraisable(future);
      }
      return;
    }
  }
  bool failed = false;
  PyRef value;
  try {
    value = outcome_to_python(job.outcome(), failed);
  } catch (...) {
    raise_internal_fault();
  }
  if (!value) {
    value = PyRef::steal(PyErr_GetRaisedException());
    failed = true;
  }
  PyRef called =
      call_method(failed ? names.set_exception : names.set_result, {future, value.get()});
  if (!called) {
    PyErr_WriteUnraisable(future);
  }
}

// Finishes the bridge's part in one job: completes the future when
// `complete_future`, then lets go of it, of the done callback and of the
// pipeline's reference.
void settle(LoopChannel* channel, Job* job, bool complete_future) {
  PyRef future = PyRef::steal(std::exchange(job->delivery.future, nullptr));
  PyRef hook = PyRef::steal(std::exchange(job->delivery.hook, nullptr));
  job->delivery.settled = true;
  if (complete_future) {
    complete(future.get(), hook.get(), *job);
  }
  future = PyRef();
  hook = PyRef();
  --channel->in_flight;
  job->release();
}

// Settles every queued job, completing their futures or, for a loop that
// can no longer run callbacks, leaving them pending.
void settle_all(LoopChannel* channel, bool complete_futures) {
  Job* job = take_all(channel);
  while (job != nullptr) {
    Job* next = job->delivery.next;
    settle(channel, job, complete_futures);
    job = next;
  }
  retire_if_idle(channel);
}

// ---- Tickets -----------------------------------------------------------------
// A ticket is a callback the bridge schedules on a loop: a drain (through
// call_soon_threadsafe, from a pool thread) completes the futures of the
// channel's finished jobs; a flush (through call_soon, from the loop's own
// thread) covers the jobs launched during one turn of the loop. A ticket
// destroyed without having been called stands for a callback that never ran
// (the loop refused it, or was closed with it still queued): a drain's jobs
// are then settled without completing their futures, which stay pending,
// and a flush's jobs are covered all the same.

enum class TicketKind { kDrain, kFlush };

struct TicketObject {
  PyObject_HEAD
  LoopChannel* channel;
  TicketKind kind;
  bool called;
};

// Covers the jobs queued during the turn that scheduled the flush.
void flush(LoopChannel* channel) {
  channel->flush_pending = false;
  WorkerPool::instance().cover();
  retire_if_idle(channel);
}

// A ticket that runs (or is dropped) ends the turn: the next launch is
// covered at once again.
void run_ticket(TicketObject* ticket, bool called) {
  ticket->channel->turn_open = false;
  switch (ticket->kind) {
    case TicketKind::kDrain:
      settle_all(ticket->channel, called);
      return;
    case TicketKind::kFlush:
      flush(ticket->channel);
      return;
  }
}

PyObject* ticket_call(PyObject* self, PyObject*, PyObject*) {
  auto* ticket = reinterpret_cast<TicketObject*>(self);
  if (!std::exchange(ticket->called, true)) {
    run_ticket(ticket, true);
  }
  Py_RETURN_NONE;
}

void ticket_dealloc(PyObject* self) {
  auto* ticket = reinterpret_cast<TicketObject*>(self);
  if (!ticket->called) {
    PyObject* raised = PyErr_GetRaisedException();
    run_ticket(ticket, false);
    PyErr_SetRaisedException(raised);
  }
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot ticket_slots[] = {
    // Drains or flushes the channel, once.
    {Py_tp_call, reinterpret_cast<void*>(ticket_call)},
    // Does what an uncalled ticket stands for (see above).
    {Py_tp_dealloc, reinterpret_cast<void*>(ticket_dealloc)},
    // Created only by the bridge.
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};

PyType_Spec ticket_spec = {
    .name = "ordel_py._LoopTicket",
    .basicsize = sizeof(TicketObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = ticket_slots,
};

PyRef new_ticket(LoopChannel* channel, TicketKind kind) {
  PyRef ticket = PyRef::steal(PyType_GenericAlloc(ticket_type, 0));
  if (ticket) {
    auto* fields = reinterpret_cast<TicketObject*>(ticket.get());
    fields->channel = channel;
    fields->kind = kind;
    fields->called = false;
  }
  return ticket;
}

bool intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

}  // namespace

// ---- Interface -----------------------------------------------------------------

bool init_loop_side() {
  const bool interned =
      intern(names.create_future, "create_future") && intern(names.call_soon, "call_soon") &&
      intern(names.call_soon_threadsafe, "call_soon_threadsafe") &&
      intern(names.add_done_callback, "add_done_callback") &&
      intern(names.remove_done_callback, "remove_done_callback") &&
      intern(names.set_result, "set_result") && intern(names.set_exception, "set_exception") &&
      intern(names.cancelled, "cancelled") && intern(names.done, "done") &&
      intern(names.get_running_loop, "get_running_loop");
  if (!interned) {
    return false;
  }
  PyRef type = PyRef::steal(PyType_FromSpec(&ticket_spec));
  if (!type) {
    return false;
  }
  hold_type(ticket_type, type.get());
  return true;
}

PyRef new_exception(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(to_python(message));
  if (!text) {
    return {};
  }
  return PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
}

LoopChannel* channel_for(PyObject* loop) {
  if (last_channel != nullptr && last_channel->loop == loop) {
    return last_channel;
  }
  auto [entry, inserted] = channels().try_emplace(loop, nullptr);
  if (inserted) {
    try {
      entry->second = new LoopChannel();
    } catch (...) {
      channels().erase(entry);
      throw;
    }
    entry->second->loop = Py_NewRef(loop);
  }
  last_channel = entry->second;
  return last_channel;
}

void retire_if_idle(LoopChannel* channel) {
  if (channel->in_flight != 0 || channel->flush_pending) {
    return;
  }
  channels().erase(channel->loop);
  if (last_channel == channel) {
    last_channel = nullptr;
  }
  PyObject* loop = channel->loop;
  delete channel;
  Py_DECREF(loop);
}

void abandon(LoopChannel* channel, Job* job) { settle(channel, job, false); }

bool schedule_flush(LoopChannel* channel) {
  PyRef ticket = new_ticket(channel, TicketKind::kFlush);
  if (!ticket) {
    return false;
  }
  channel->flush_pending = true;
  // A ticket the loop did not take flushes when it is released.
  return bool(call_method(names.call_soon, {channel->loop, ticket.get()}));
}

bool push_finished(LoopChannel* channel, Job* job) noexcept {
  std::lock_guard lock(channel->mutex);
  job->delivery.next = nullptr;
  (channel->tail != nullptr ? channel->tail->delivery.next : channel->head) = job;
  channel->tail = job;
  return !std::exchange(channel->drain_pending, true);
}

void schedule_drain(LoopChannel* channel) {
  PyRef ticket = new_ticket(channel, TicketKind::kDrain);
  if (!ticket) {
    print_error(channel->loop);
    settle_all(channel, false);
    return;
  }
  PyRef handle = call_method(names.call_soon_threadsafe, {channel->loop, ticket.get()});
  if (!handle) {
    print_error(channel->loop);
  }
  // A ticket the loop did not take settles its jobs when it is released.
}

void print_error(PyObject* context) {
  if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
    PyErr_WriteUnraisable(context);
  } else {
    PyErr_PrintEx(0);
  }
}

void forget_channels() noexcept {
  channels().clear();
  last_channel = nullptr;
}

}  // namespace ordel::py::async_internal
