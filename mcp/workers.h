// Tool calls run off the main thread, each on a thread of its own up to a
// generous cap (then they wait their turn), threads being reused within a
// burst, and are counted while in flight so that the end of input can wait
// for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace tesselo {

inline constexpr size_t maxWorkers = 1024;
// Tool calls need little stack; a small one keeps hundreds of waiting calls
// cheap. The deepest use, writing JSON nested to the parser's depth limit,
// takes under 96 KiB; sanitizers inflate every frame several times over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TESSELO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TESSELO_SANITIZED 1
#endif
#endif
#ifdef TESSELO_SANITIZED
inline constexpr size_t workerStackSize = 4 * 1024 * 1024;
#else
inline constexpr size_t workerStackSize = 256 * 1024;
#endif

// Counts tool calls accepted and not yet answered.
class InFlightGroup {
 public:
  void enter();
  void leave();
  // True when the count reached zero before the deadline.
  bool waitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  std::mutex lock_;
  std::condition_variable idle_;
  size_t count_ = 0;
};

extern InFlightGroup inFlight;

// Waits until no worker is busy (or the deadline passed), then joins those
// that ended and frees their stacks. Idle workers are left waiting for the
// process to end. The last worker of a burst is otherwise joined only when
// the next one ends.
void joinEndedWorkers(std::chrono::steady_clock::time_point deadline);

// Runs the job on a worker thread and returns at once. When no thread can be
// started and none is running to take the job later, it runs here.
void runOnWorker(std::function<void()> job);

}  // namespace tesselo
