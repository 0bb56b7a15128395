// A change request that is still on its way when the key is pulled out: it
// starts its notification thread after the surprise removal has taken the
// key down, and the removal that follows must still wait for that thread and
// close its handle.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

// Holds the first thread that reaches PsCreateSystemThread until released.
class ThreadCreationGate {
 public:
  ThreadCreationGate() {
    sim::faults::SetHook([this](const sim::faults::Point& point) {
      if (point.kind != sim::faults::Kind::CreateSystemThread)
        return;
      std::unique_lock<std::mutex> lock(mutex_);
      entered_ = true;
      cv_.notify_all();
      cv_.wait(lock, [this] { return released_; });
    });
  }
  ~ThreadCreationGate() {
    Release();
    sim::faults::SetHook(nullptr);
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool released_ = false;
};

using NotifyRaceTest = DriverTest;

TEST_F(NotifyRaceTest, AThreadStartedAfterTheTakeDownIsClosedAtRemoval) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), FILE_SHARE_READ);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  NTSTATUS notified = STATUS_PENDING;
  {
    ThreadCreationGate gate;
    std::thread notifying([&] {
      notified = client.DeviceIoControl(open.Handle, IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status;
    });
    // The request is past its state check and about to start the thread.
    ASSERT_TRUE(gate.WaitEntered());
    sim::usb::Unplug(key.pdo);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
    EXPECT_EQ(nullptr, key.ext->NotifyThread);  // the take-down found none to wait for
    gate.Release();
    notifying.join();
  }
  EXPECT_EQ(STATUS_SUCCESS, notified);
  EXPECT_NE(nullptr, key.ext->NotifyThread);  // started after the take-down
  client.Close(open.Handle);
  // The removal waits for the thread and closes its handle: the end of the
  // test finds no kernel handle and no thread object left over.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

}  // namespace
}  // namespace tarvik::test
