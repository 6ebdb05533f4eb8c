#include "worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <new>

namespace ordel::py {

namespace {

// Never destroyed: threads may still use it while the process exits.
WorkerPool* the_pool = nullptr;
std::once_flag pool_created;

}  // namespace

WorkerPool& WorkerPool::instance() {
  std::call_once(pool_created, [] {
    the_pool = new WorkerPool();
    pthread_atfork(nullptr, nullptr, &WorkerPool::reset_after_fork);
  });
  return *the_pool;
}

// The child of a fork has only the forking thread: none of the pool's threads
// exist there, and the mutex may have been held by one of them.
void WorkerPool::reset_after_fork() noexcept {
  WorkerPool& pool = *the_pool;
  new (&pool.mutex_) std::mutex();
  new (&pool.wake_) std::condition_variable();
  pool.head_ = nullptr;
  pool.tail_ = nullptr;
  pool.queued_ = 0;
  pool.threads_ = 0;
  pool.idle_ = 0;
  pool.wakes_ = 0;
  pool.starting_ = 0;
  pool.spinning_ = 0;
}

// ---- Queue and cover ---------------------------------------------------------

void WorkerPool::append(PoolJob* job) noexcept {
  job->next_in_pool_ = nullptr;
  (tail_ != nullptr ? tail_->next_in_pool_ : head_) = job;
  tail_ = job;
  queued_.fetch_add(1, std::memory_order_relaxed);
}

bool WorkerPool::submit(PoolJob* job, int& error) noexcept {
  std::unique_lock lock(mutex_);
  append(job);
  const Cover plan = plan_cover();
  lock.unlock();
  error = carry_out(plan);
  if (error == 0) {
    return true;
  }
  lock.lock();
  // A busy thread takes the job when it is done with its own.
  return threads_ > 0 || !unlink(job);
}

void WorkerPool::enqueue(PoolJob* job) noexcept {
  std::lock_guard lock(mutex_);
  append(job);
}

void WorkerPool::cover() noexcept {
  for (;;) {
    std::unique_lock lock(mutex_);
    const Cover plan = plan_cover();
    lock.unlock();
    // When no thread can be started, the existing ones take the jobs in turn.
    if (plan == Cover::kCovered || carry_out(plan) != 0) {
      return;
    }
  }
}

WorkerPool::Cover WorkerPool::plan_cover() noexcept {
  if (queued_.load(std::memory_order_relaxed) <= spinning_ + wakes_ + starting_) {
    return Cover::kCovered;
  }
  if (idle_ > 0) {
    --idle_;
    ++wakes_;
    return Cover::kWake;
  }
  if (threads_ < kMaxThreads) {
    ++threads_;
    ++starting_;
    return Cover::kStart;
  }
  return Cover::kCovered;
}

int WorkerPool::carry_out(Cover plan) noexcept {
  switch (plan) {
    case Cover::kCovered:
      return 0;
    case Cover::kWake:
      wake_.notify_one();
      return 0;
    case Cover::kStart:
      break;
  }
  const int error = start_thread();
  if (error != 0) {
    std::lock_guard lock(mutex_);
    --threads_;
    --starting_;
  }
  return error;
}

bool WorkerPool::unlink(PoolJob* job) noexcept {
  PoolJob* previous = nullptr;
  for (PoolJob* at = head_; at != nullptr; previous = at, at = at->next_in_pool_) {
    if (at != job) {
      continue;
    }
    (previous != nullptr ? previous->next_in_pool_ : head_) = at->next_in_pool_;
    if (tail_ == at) {
      tail_ = previous;
    }
    queued_.fetch_sub(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

// ---- Threads -----------------------------------------------------------------

int WorkerPool::start_thread() noexcept {
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) {
    return error;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, kStackSize);
  // The new thread inherits the signal mask of this one: block everything
  // for the creation only.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  error = pthread_create(&thread, &attributes, &WorkerPool::thread_main, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  if (error == 0) {
    pthread_setname_np(thread, "ordel-worker");
  }
  return error;
}

void* WorkerPool::thread_main(void* pool) noexcept {
  static_cast<WorkerPool*>(pool)->work();
  return nullptr;
}

bool WorkerPool::spin(std::unique_lock<std::mutex>& lock) noexcept {
  ++spinning_;
  lock.unlock();
  const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
  while (queued_.load(std::memory_order_relaxed) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 32 && queued_.load(std::memory_order_relaxed) == 0; ++i) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    sched_yield();
  }
  lock.lock();
  --spinning_;
  return head_ != nullptr;
}

void WorkerPool::work() noexcept {
  std::unique_lock lock(mutex_);
  --starting_;
  for (;;) {
    if (head_ == nullptr && !(spinning_ < kMaxSpinning && spin(lock))) {
      ++idle_;
      const bool woken = wake_.wait_for(lock, kIdleTimeout, [this] { return wakes_ > 0; });
      if (!woken) {
        --idle_;
        --threads_;
        return;
      }
      --wakes_;
      if (head_ == nullptr) {
        continue;
      }
    }
    PoolJob* job = head_;
    head_ = job->next_in_pool_;
    if (head_ == nullptr) {
      tail_ = nullptr;
    }
    queued_.fetch_sub(1, std::memory_order_relaxed);
    // Jobs left behind uncovered get a thread of their own before this one
    // starts on its job, which may take long.
    const Cover plan = plan_cover();
    lock.unlock();
    carry_out(plan);
    job->run();
    lock.lock();
  }
}

}  // namespace ordel::py
