// Driver tests that talk to a started key as client software does: one
// client process with a handle on one of the key's interfaces, sending
// control codes through it. The end of the test closes the handle and the
// client before the driver fixture takes the kernel down.
#pragma once
#include <memory>
#include <vector>

#include "sim/kernel/harness.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {

class OpenKeyTest : public DriverTest {
 protected:
  // A fresh client opens the enabled interface of class `interfaceClass`
  // for reading and writing (the open must succeed); the wire is cleared
  // afterwards, so that a test sees only its own traffic.
  void OpenInterface(const GUID& interfaceClass);
  // A control request on the handle.
  sim::Client::Io Send(ULONG code, const std::vector<UCHAR>& in, ULONG out);
  void TearDown() override;

  Key key_;
  std::unique_ptr<sim::Client> client_;
  HANDLE handle_ = nullptr;
};

}  // namespace tarvik::test
