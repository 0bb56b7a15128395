// Control codes that do no USB work, or none under TransferMutex, are served
// while an exchange holds the mutex: a key busy with one client's command
// still answers these at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;
using Bytes = std::vector<UCHAR>;

struct FreeCode {
  const char* name;
  ULONG code;
  Bytes in;
  ULONG out;
  NTSTATUS status;
  ULONG_PTR information;
};

class CodesOutsideTheMutex : public OpenKeyTest {};

TEST_F(CodesOutsideTheMutex, AreServedWhileAnExchangeHoldsIt) {
  TARVIK_WHITE_BOX();
  const FreeCode codes[] = {
      {"Probe", IOCTL_KEY_PROBE, {0x01}, 0, STATUS_SUCCESS, 0},
      {"ConfigDescriptor", IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 1024, STATUS_SUCCESS, 25},
      {"ResetPipe", IOCTL_KEY_RESET_PIPE, {}, 0, STATUS_INVALID_PARAMETER, 0},
      {"QueryInfoNothing", IOCTL_KEY_QUERY_INFO, {0x02}, 64, STATUS_SUCCESS, 0},
  };
  key_ = PlugAndStart();
  OpenInterface(GUID_KEY_INTERFACE_PRIMARY);
  for (const FreeCode& c : codes) {
    SCOPED_TRACE(c.name);
    // The exchange's command write waits at the bus with the mutex held.
    sim::usb::HoldNext(key_.pdo, Kind::VendorOut);
    std::thread exchange([&] { Send(IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 16); });
    ASSERT_TRUE(sim::usb::WaitUntilHeld(key_.pdo));
    EXPECT_EQ(0, KeReadStateMutex(&key_.ext->TransferMutex));
    std::atomic<bool> done{false};
    sim::Client::Io io{};
    std::thread request([&] {
      io = Send(c.code, c.in, c.out);
      done = true;
    });
    for (int ms = 0; ms < 2000 && !done; ++ms)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(done.load()) << "it waited for the exchange";
    sim::usb::ReleaseHeld(key_.pdo);
    exchange.join();
    request.join();
    EXPECT_EQ(c.status, io.Status);
    EXPECT_EQ(c.information, io.Information);
    EXPECT_EQ(1, KeReadStateMutex(&key_.ext->TransferMutex));
  }
}

}  // namespace
}  // namespace tarvik::test
