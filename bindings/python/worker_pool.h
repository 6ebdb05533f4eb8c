// WorkerPool: the process-wide pool of threads that runs blocking jobs
// (policy loading and verification) for the awaitable operations.
//
// Created on first use and never destroyed, shut down or joined: its threads
// may still be running a job while the process exits, and they never touch
// anything a static destructor tears down.
//
// Growth: a queued job is covered by a thread that is about to look at the
// queue: one that is spinning after its last job, one that was woken, or one
// being started. Covering a job wakes an idle thread, or starts a new one
// while fewer than kMaxThreads exist; at the limit jobs queue in arrival
// order. A thread that takes a job and leaves uncovered jobs behind covers
// the next one before it runs its own, so jobs below the limit never wait
// for one another. A thread that stays idle for kIdleTimeout exits.
//
// Spinning: a thread that finds the queue empty after a job keeps looking
// for up to kSpinTime before it sleeps, yielding the processor to any other
// runnable thread between looks, so the next job of a caller that awaits
// one job at a time finds it awake, without a wake-up call. At most
// kMaxSpinning threads spin at once.
//
// A submitter that queues many jobs at once may queue them with enqueue()
// and cover them later with one cover() call: busy threads and the threads
// woken for earlier jobs take them meanwhile, and the submitting thread pays
// for at most one wake-up per thread instead of one per job.
//
// Threads run with every signal blocked (signals go to the host's own
// threads) and with a stack of kStackSize bytes, since compilation recurses
// as deep as a policy nests.
//
// Knows nothing of Python. Every member may be called from any thread. The
// pool is usable again in the child of a fork: it starts with no threads
// there, and jobs queued in the parent are abandoned.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace ordel::py {

// One job. The pool takes it when it is queued and calls run() once on one
// of its threads; from then on run() owns the job (it may delete it or hand
// it on).
class PoolJob {
 public:
  PoolJob() = default;
  PoolJob(const PoolJob&) = delete;
  PoolJob& operator=(const PoolJob&) = delete;
  virtual ~PoolJob() = default;

  virtual void run() noexcept = 0;

 private:
  friend class WorkerPool;
  PoolJob* next_in_pool_ = nullptr;
};

class WorkerPool {
 public:
  static constexpr std::size_t kMaxThreads = 64;
  static constexpr std::chrono::seconds kIdleTimeout{10};
  static constexpr std::chrono::microseconds kSpinTime{100};
  static constexpr std::size_t kMaxSpinning = 1;
  // Well above what the deepest policy the parser admits needs.
  static constexpr std::size_t kStackSize = std::size_t{8} << 20;

  // The process's pool, created on the first call.
  [[nodiscard]] static WorkerPool& instance();

  // Queues `job` and covers it. Returns false, leaving the job with the
  // caller, only when the pool has no thread and cannot start one; `error`
  // then holds the system's reason.
  [[nodiscard]] bool submit(PoolJob* job, int& error) noexcept;

  // Queues `job` without covering it. Only valid while the pool has a
  // thread, that is after a successful submit() whose job has not finished
  // yet; the caller calls cover() soon after.
  void enqueue(PoolJob* job) noexcept;

  // Covers every queued job, as far as the thread limit allows.
  void cover() noexcept;

 private:
  WorkerPool() = default;

  enum class Cover { kCovered, kWake, kStart };

  static void* thread_main(void* pool) noexcept;
  static void reset_after_fork() noexcept;

  void work() noexcept;
  // With mutex_ held: spins without it until a job is queued or kSpinTime
  // has passed; true when a job is queued.
  bool spin(std::unique_lock<std::mutex>& lock) noexcept;
  // With mutex_ held: appends `job` to the queue.
  void append(PoolJob* job) noexcept;
  // With mutex_ held: what covers the queued jobs. Counts the thread it
  // plans to wake or start as covering one of them.
  [[nodiscard]] Cover plan_cover() noexcept;
  // Without mutex_: wakes or starts that thread. Returns the system's error
  // when a thread could not be started, else 0.
  int carry_out(Cover plan) noexcept;
  [[nodiscard]] int start_thread() noexcept;
  // With mutex_ held: unlinks `job` from the queue if it is still there.
  bool unlink(PoolJob* job) noexcept;

  std::mutex mutex_;
  std::condition_variable wake_;
  PoolJob* head_ = nullptr;  // queued jobs, oldest first
  PoolJob* tail_ = nullptr;
  // Changed with mutex_ held; spinning threads read it without.
  std::atomic<std::size_t> queued_ = 0;
  std::size_t threads_ = 0;   // all, started or being started
  std::size_t idle_ = 0;      // sleeping and not yet woken
  std::size_t wakes_ = 0;     // woken, not yet awake
  std::size_t starting_ = 0;  // being started
  std::size_t spinning_ = 0;  // looking for a job after finishing one
};

}  // namespace ordel::py
