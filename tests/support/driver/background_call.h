// A client request running in a thread of its own, so that a test can move
// the kernel's clock or unplug the key while the request waits.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "sim/kernel/harness.h"

namespace tarvik::test {

struct Call {
  std::thread thread;
  std::atomic<bool> done{false};
  sim::Client::Io io;
  ~Call() {
    if (thread.joinable())
      thread.join();
  }
};

inline std::unique_ptr<Call> Begin(std::function<sim::Client::Io()> request) {
  auto call = std::make_unique<Call>();
  Call* c = call.get();
  c->thread = std::thread([c, request] {
    c->io = request();
    c->done = true;
  });
  return call;
}

inline void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// True once the call has returned; false after `realMs` of real time.
inline bool WaitUntilDone(const Call& call, int realMs) {
  for (int i = 0; i < realMs && !call.done; ++i)
    SleepMs(1);
  return call.done;
}

}  // namespace tarvik::test
