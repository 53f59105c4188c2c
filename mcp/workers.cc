// A pool that grows on demand: a thread is started per job until maxWorkers
// run, unless an idle one can take it. A finished worker takes the next
// waiting job, or waits for one for a moment (a burst of calls then costs no
// thread starts) and ends. Idle for longer, the pool holds no thread at all. Worker stacks are our
// own mappings, unmapped once their thread has ended: the C library would keep the stacks of ended
// threads cached, and their touched pages resident, after a burst.
#include "mcp/workers.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

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

struct Worker {
  Job job;
  pthread_t thread{};
  void* mapping = nullptr;  // guard page, then the stack
  size_t mappingSize = 0;
};

// How long a worker with nothing to do waits for a job before it ends.
constexpr auto idleLinger = std::chrono::seconds(2);

struct Pool {
  std::mutex lock;
  size_t running = 0;    // workers alive, busy or idle
  size_t idle = 0;       // of those, the ones waiting for a job
  bool closing = false;  // end of input: finishing workers end, not wait
  std::condition_variable jobWaiting;
  // Jobs for idle workers or beyond the cap, oldest first from `next`.
  std::vector<Job> waiting;
  size_t next = 0;
  // Workers that have ended or are ending, not yet joined.
  std::vector<Worker*> finished;
  std::condition_variable allEnded;  // every worker left is idle (or none is left)
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

// Under pool.lock: jobs queued and not yet taken.
size_t pending() {
  return pool.waiting.size() - pool.next;
}

void freeStack(Worker* worker) {
  if (worker->mapping) munmap(worker->mapping, worker->mappingSize);
  delete worker;
}

// Once joined, nothing runs on the worker's stack any more.
void reap(const std::vector<Worker*>& workers) {
  for (Worker* worker : workers) {
    pthread_join(worker->thread, nullptr);
    freeStack(worker);
  }
}

void* workerMain(void* argument) {
  Worker* self = static_cast<Worker*>(argument);
  std::vector<Worker*> ended;
  for (;;) {
    self->job();
    self->job = nullptr;  // what the call captured goes now, not after the wait
    std::unique_lock guard(pool.lock);
    if (takeWaiting(self->job)) continue;
    if (!pool.closing) {
      ++pool.idle;
      if (pool.running == pool.idle) pool.allEnded.notify_all();
      pool.jobWaiting.wait_for(guard, idleLinger, [] { return pending() > 0; });
      --pool.idle;
      if (takeWaiting(self->job)) continue;
    }
    --pool.running;
    // Those that ended before us are joined by us; we are joined by the next.
    ended.swap(pool.finished);
    pool.finished.push_back(self);
    if (pool.running == pool.idle) pool.allEnded.notify_all();
    break;
  }
  self->job = nullptr;
  reap(ended);
  return nullptr;
}

bool mapStack(Worker& worker) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  worker.mappingSize = workerStackSize + page;
  void* mapping = mmap(nullptr, worker.mappingSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) return false;
  worker.mapping = mapping;
  // Stacks grow down: an overflow hits the inaccessible lowest page.
  mprotect(mapping, page, PROT_NONE);
  return true;
}

bool startThread(Worker* worker) {
  if (!mapStack(*worker)) return false;
  size_t page = worker->mappingSize - workerStackSize;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool started = pthread_attr_setstack(&attributes, static_cast<char*>(worker->mapping) + page,
                                       workerStackSize) == 0 &&
                 pthread_create(&worker->thread, &attributes, workerMain, worker) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace

void joinEndedWorkers(std::chrono::steady_clock::time_point deadline) {
  std::vector<Worker*> ended;
  {
    std::unique_lock guard(pool.lock);
    // Idle workers are left waiting: they hold nothing, and the process ends
    // right after this. Waking hundreds of them to end would cost more than
    // the whole drain.
    pool.closing = true;
    pool.allEnded.wait_until(guard, deadline, [] { return pool.running == pool.idle; });
    ended.swap(pool.finished);
  }
  reap(ended);
}

void runOnWorker(Job job) {
  {
    std::lock_guard guard(pool.lock);
    // Every queued job has an idle worker promised to it: a job beyond those
    // needs a new thread, unless the cap is reached.
    if (pool.idle > pending() || pool.running >= maxWorkers) {
      pool.waiting.push_back(std::move(job));
      pool.jobWaiting.notify_one();
      return;
    }
    ++pool.running;
  }
  auto* worker = new Worker{std::move(job)};
  if (startThread(worker)) return;
  Job unstarted = std::move(worker->job);
  freeStack(worker);
  {
    std::lock_guard guard(pool.lock);
    --pool.running;
    // A running worker takes it when it finishes its own job.
    if (pool.running > 0) {
      pool.waiting.push_back(std::move(unstarted));
      pool.jobWaiting.notify_one();
      return;
    }
  }
  unstarted();
}

}  // namespace tesselo
