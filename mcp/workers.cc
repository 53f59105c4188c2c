// A pool that grows on demand: a thread is started per job until maxWorkers
// run, and a finishing thread takes the next waiting job before it ends.
// Idle, the pool holds no thread at all.
#include "mcp/workers.h"

#include <pthread.h>

#include <memory>
#include <vector>

namespace tesselo {

InFlightGroup inFlight;

void InFlightGroup::enter() {
  std::lock_guard guard(lock_);
  ++count_;
}

void InFlightGroup::leave() {
  std::lock_guard guard(lock_);
  if (--count_ == 0) idle_.notify_all();
}

bool InFlightGroup::waitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock guard(lock_);
  return idle_.wait_until(guard, deadline, [this] { return count_ == 0; });
}

namespace {

using Job = std::function<void()>;

struct Pool {
  std::mutex lock;
  size_t running = 0;
  // Jobs beyond the cap, oldest first from `next`.
  std::vector<Job> waiting;
  size_t next = 0;
};

Pool pool;

// Under pool.lock: the oldest waiting job, or false when none waits.
bool takeWaiting(Job& job) {
  if (pool.next == pool.waiting.size()) return false;
  job = std::move(pool.waiting[pool.next++]);
  if (pool.next == pool.waiting.size()) {
    pool.waiting.clear();
    pool.next = 0;
  }
  return true;
}

void* workerMain(void* argument) {
  std::unique_ptr<Job> job(static_cast<Job*>(argument));
  for (;;) {
    (*job)();
    std::lock_guard guard(pool.lock);
    if (!takeWaiting(*job)) {
      --pool.running;
      return nullptr;
    }
  }
}

bool startThread(Job*& job) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, workerStackSize);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  bool started = pthread_create(&thread, &attributes, workerMain, job) == 0;
  pthread_attr_destroy(&attributes);
  if (started) job = nullptr;  // the thread owns it now
  return started;
}

}  // namespace

void runOnWorker(Job job) {
  {
    std::lock_guard guard(pool.lock);
    if (pool.running >= maxWorkers) {
      pool.waiting.push_back(std::move(job));
      return;
    }
    ++pool.running;
  }
  auto* owned = new Job(std::move(job));
  if (startThread(owned)) return;
  std::unique_ptr<Job> unstarted(owned);
  {
    std::lock_guard guard(pool.lock);
    --pool.running;
    // A running worker takes it when it finishes its own job.
    if (pool.running > 0) {
      pool.waiting.push_back(std::move(*unstarted));
      return;
    }
  }
  (*unstarted)();
}

}  // namespace tesselo
