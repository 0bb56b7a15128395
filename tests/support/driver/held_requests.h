// Requests kept inside the driver by the bus. A port reset held at the bus is
// a request in progress until it is released; a removal that comes meanwhile
// waits for it in Removed, and what reaches the driver then meets a key on
// its way out.
#pragma once
#include <thread>

#include "driver/device_extension.h"
#include "driver/ioctl.h"
#include "sim/kernel/harness.h"
#include "sim/usb/bus.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {

class HeldReset {
 public:
  HeldReset(const Key& key, sim::Client& client, HANDLE handle) : pdo_(key.pdo) {
    sim::usb::HoldNext(pdo_, sim::usb::Kind::ResetPort);
    reset_ = std::thread([&client, handle, this] {
      status_ = client.DeviceIoControl(handle, IOCTL_KEY_RESET_PORT, {}, 0).Status;
    });
    held_ = sim::usb::WaitUntilHeld(pdo_);
  }
  // Lets the reset go on and waits for its end; its status is then known.
  NTSTATUS Release() {
    if (reset_.joinable()) {
      sim::usb::ReleaseHeld(pdo_);
      reset_.join();
    }
    return status_;
  }
  ~HeldReset() { Release(); }
  bool held() const { return held_; }

 private:
  PDEVICE_OBJECT pdo_;
  std::thread reset_;
  NTSTATUS status_ = STATUS_PENDING;
  bool held_ = false;
};

class HeldRemoval {
 public:
  HeldRemoval(const Key& key, sim::Client& client, HANDLE handle)
      : key_(key), reset_(key, client, handle) {
    if (reset_.held()) {
      removal_ = std::thread([this] { EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key_.pdo)); });
      while (CurrentPnpState(key_.ext) != Removed)
        std::this_thread::yield();
    }
  }
  ~HeldRemoval() {
    reset_.Release();
    if (removal_.joinable())
      removal_.join();
  }
  bool held() const { return reset_.held(); }

 private:
  Key key_;
  HeldReset reset_;
  std::thread removal_;
};

}  // namespace tarvik::test
