// The client document's status tables, held to the driver. The test reads
// both tables of docs/client-interface.md ("Statuses and the errors a client
// sees") and, for every row, runs each case below that names its status on a
// fresh key: the driver must give that status. The row's value must be the
// status's and its Win32 error the one Wine 8's RtlNtStatusToDosError gives
// (measured with Wine 8.0 on the numbers below). A row without a case, a case
// without a row, and a case whose request ends otherwise all fail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "sim/kernel/clock.h"
#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;
using Bytes = std::vector<UCHAR>;

// RtlNtStatusToDosError under Wine 8.0.
const std::map<std::string, std::pair<NTSTATUS, ULONG>> kStatuses = {
    {"STATUS_INVALID_DEVICE_STATE", {STATUS_INVALID_DEVICE_STATE, 22}},
    {"STATUS_INVALID_DEVICE_REQUEST", {STATUS_INVALID_DEVICE_REQUEST, 1}},
    {"STATUS_INVALID_PARAMETER", {STATUS_INVALID_PARAMETER, 87}},
    {"STATUS_BUFFER_TOO_SMALL", {STATUS_BUFFER_TOO_SMALL, 122}},
    {"STATUS_INVALID_HANDLE", {STATUS_INVALID_HANDLE, 6}},
    {"STATUS_UNSUCCESSFUL", {STATUS_UNSUCCESSFUL, 31}},
    {"STATUS_INSUFFICIENT_RESOURCES", {STATUS_INSUFFICIENT_RESOURCES, 1450}},
    {"STATUS_IO_TIMEOUT", {STATUS_IO_TIMEOUT, 121}},
    {"STATUS_ACCESS_DENIED", {STATUS_ACCESS_DENIED, 5}},
    {"STATUS_DEVICE_NOT_CONNECTED", {STATUS_DEVICE_NOT_CONNECTED, 1167}},
    {"STATUS_NO_SUCH_DEVICE", {STATUS_NO_SUCH_DEVICE, 433}},
    {"STATUS_CANCELLED", {STATUS_CANCELLED, 995}},
    {"STATUS_DEVICE_DATA_ERROR", {STATUS_DEVICE_DATA_ERROR, 23}},
};

struct Row {
  std::string status;
  std::string value;
  std::string win32;
};

// Every table row of the section whose first cell names a status.
std::vector<Row> DocumentRows() {
  std::ifstream file(TARVIK_CLIENT_DOCUMENT);
  EXPECT_TRUE(file.good()) << TARVIK_CLIENT_DOCUMENT;
  std::vector<Row> rows;
  std::string line;
  bool inSection = false;
  const std::regex row(R"(^\| `(STATUS_[A-Z_]+)` \| ([^|]+) \| ([^|]+) \|)");
  while (std::getline(file, line)) {
    if (line.rfind("## ", 0) == 0)
      inSection = line == "## Statuses and the errors a client sees";
    std::smatch m;
    if (inSection && std::regex_search(line, m, row))
      rows.push_back({m[1], m[2], m[3]});
  }
  return rows;
}

// The first "(number)" of a Win32 cell: the error Wine gives.
ULONG FirstError(const std::string& cell) {
  std::smatch m;
  const std::regex number(R"(\((\d+)\))");
  return std::regex_search(cell, m, number) ? std::stoul(m[1]) : 0;
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

class ClientDocument : public OpenKeyTest {
  enum class Sent { Nothing, Stop, SurpriseRemoval };
  Sent sent_ = Sent::Nothing;

 public:
  using DriverTest::Link;
  using DriverTest::PlugAndStart;
  using OpenKeyTest::client_;
  using OpenKeyTest::handle_;
  using OpenKeyTest::key_;
  void Open(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    key_ = PlugAndStart(config);
    OpenInterface(ClientInterfaceClass());
  }
  NTSTATUS Ioctl(ULONG code, const Bytes& in, ULONG out) { return Send(code, in, out).Status; }
  // The PnP manager stops the key, or takes it away by surprise; Finish
  // follows on from the last of them.
  void StopKey() {
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key_.pdo));
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key_.pdo));
    sent_ = Sent::Stop;
  }
  void SurpriseRemoveKey() {
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key_.pdo));
    sent_ = Sent::SurpriseRemoval;
  }
  // Ends the case: the handle closed and the key removed (or taken down).
  void Finish() {
    if (handle_ != nullptr)
      client_->Close(handle_);
    handle_ = nullptr;
    const Sent sent = sent_;
    sent_ = Sent::Nothing;
    if (key_.pdo == nullptr)
      return;
    if (!sim::usb::IsPlugged(key_.pdo) || sent == Sent::SurpriseRemoval) {
      if (sent != Sent::SurpriseRemoval) {
        EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key_.pdo));
      }
      EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key_.pdo));
      key_ = Key{};
      return;
    }
    if (sent == Sent::Stop) {
      EXPECT_TRUE(NT_SUCCESS(sim::pnp::Start(key_.pdo)));
    }
    Remove(key_);
  }
};

struct Case {
  const char* status;
  const char* what;
  std::function<NTSTATUS(ClientDocument&)> run;
};

sim::usb::KeyConfig WithoutPipe(sim::usb::KeyConfig c) {
  c.endpointCount = 0;
  return c;
}

sim::usb::KeyConfig Silent(sim::usb::KeyConfig c) {
  c.silent = true;
  return c;
}

sim::usb::KeyConfig AnnouncingMore(sim::usb::KeyConfig c) {
  c.announceExtra = 1;
  return c;
}

// An interrupt read waiting at the bus, ended by `end` from another request.
NTSTATUS WaitingReadEndedBy(ClientDocument& t, const std::function<void()>& end) {
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread read([&] { status = t.Ioctl(IOCTL_KEY_READ_INTERRUPT, {}, 8); });
  EXPECT_TRUE(sim::usb::WaitUntilWaiting(t.key_.pdo, 1));
  end();
  read.join();
  return status;
}

const Bytes kEcho = {0x01, 0x42};

const Case kCases[] = {
    {"STATUS_INVALID_DEVICE_STATE", "a request on a stopped key",
     [](ClientDocument& t) {
       t.Open();
       t.StopKey();
       return t.Ioctl(IOCTL_KEY_PROBE, {0x01}, 0);
     }},
    {"STATUS_INVALID_DEVICE_STATE", "an unknown code on a stopped key",
     [](ClientDocument& t) {
       t.Open();
       t.StopKey();
       return t.Ioctl(TARVIK_KEY_CTL_CODE(5), {}, 0);
     }},
    {"STATUS_INVALID_DEVICE_STATE", "an open of a stopped key, whose interface stays",
     [](ClientDocument& t) {
       t.Open();
       t.StopKey();
       return t.client_->OpenInterface(t.Link(GUID_KEY_INTERFACE_PRIMARY), FILE_SHARE_READ).Status;
     }},
    {"STATUS_INVALID_DEVICE_STATE", "a request after the surprise removal",
     [](ClientDocument& t) {
       t.Open();
       sim::usb::Unplug(t.key_.pdo);
       t.SurpriseRemoveKey();
       return t.Ioctl(IOCTL_KEY_GET_INFO_BLOCK, {}, 64);
     }},
    {"STATUS_INVALID_DEVICE_REQUEST", "function 0x013",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(TARVIK_KEY_CTL_CODE(0x13), {1}, 8);
     }},
    {"STATUS_INVALID_PARAMETER", "an empty TRANSACT_RAW",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_TRANSACT_RAW, {}, 16);
     }},
    {"STATUS_INVALID_PARAMETER", "a 65536-byte TRANSACT_RAW",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_TRANSACT_RAW, Bytes(65536, 0x01), 16);
     }},
    {"STATUS_INVALID_PARAMETER", "READ_INTERRUPT into 7 bytes",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_READ_INTERRUPT, {}, 7);
     }},
    {"STATUS_INVALID_PARAMETER", "GET_CONFIG_DESCRIPTOR without a buffer",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 0);
     }},
    {"STATUS_INVALID_PARAMETER", "query selector 3",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_QUERY_INFO, {3}, 64);
     }},
    {"STATUS_INVALID_PARAMETER", "probe byte 0x10",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_PROBE, {0x10}, 0);
     }},
    {"STATUS_INVALID_PARAMETER", "RESET_PIPE",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_RESET_PIPE, {}, 0);
     }},
    {"STATUS_BUFFER_TOO_SMALL", "the configuration descriptor into 24 bytes",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 24);
     }},
    {"STATUS_BUFFER_TOO_SMALL", "a vendor read of 3 answer bytes into 2",
     [](ClientDocument& t) {
       t.Open();
       EXPECT_EQ(STATUS_SUCCESS,
                 t.Ioctl(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x42}, 0));
       return t.Ioctl(IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 64, 0}, 2);
     }},
    {"STATUS_BUFFER_TOO_SMALL", "the identification block into 10 bytes",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_GET_INFO_BLOCK, {}, 10);
     }},
    {"STATUS_BUFFER_TOO_SMALL", "a query answer into 10 bytes",
     [](ClientDocument& t) {
       t.Open();
       return t.Ioctl(IOCTL_KEY_QUERY_INFO, {0}, 10);
     }},
    {"STATUS_INVALID_HANDLE", "READ_INTERRUPT without a pipe, no buffers",
     [](ClientDocument& t) {
       t.Open(WithoutPipe(sim::usb::SecondaryKey()));
       return t.Ioctl(IOCTL_KEY_READ_INTERRUPT, {}, 0);
     }},
    {"STATUS_INSUFFICIENT_RESOURCES", "no pool for a vendor read's answer",
     [](ClientDocument& t) {
       t.Open();
       sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv71"));
       return t.Ioctl(IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 8, 0}, 8);
     }},
    {"STATUS_IO_TIMEOUT", "an interrupt read of an idle key",
     [](ClientDocument& t) {
       t.Open();
       sim::clock::SetRate(10000);
       return t.Ioctl(IOCTL_KEY_READ_INTERRUPT, {}, 8);
     }},
    {"STATUS_IO_TIMEOUT", "an exchange with a key that never reports",
     [](ClientDocument& t) {
       t.Open(Silent(sim::usb::SecondaryKey()));
       sim::clock::SetRate(10000);
       return t.Ioctl(IOCTL_KEY_TRANSACT_RAW, kEcho, 16);
     }},
    {"STATUS_IO_TIMEOUT", "an answer announced longer than delivered",
     [](ClientDocument& t) {
       t.Open(AnnouncingMore(sim::usb::SecondaryKey()));
       return t.Ioctl(IOCTL_KEY_TRANSACT_RAW, kEcho, 16);
     }},
    {"STATUS_ACCESS_DENIED", "a second open after one with share mode 0",
     [](ClientDocument& t) {
       t.key_ = t.PlugAndStart();
       t.client_ = std::make_unique<sim::Client>();
       auto first = t.client_->OpenInterface(t.Link(GUID_KEY_INTERFACE_PRIMARY), 0);
       EXPECT_EQ(STATUS_SUCCESS, first.Status);
       t.handle_ = first.Handle;
       return t.client_->OpenInterface(t.Link(GUID_KEY_INTERFACE_PRIMARY), FILE_SHARE_READ).Status;
     }},
    {"STATUS_UNSUCCESSFUL", "a stalled vendor read",
     [](ClientDocument& t) {
       t.Open();
       sim::usb::AddFault(t.key_.pdo, {Kind::VendorIn, {0, 1}});
       return t.Ioctl(IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 8, 0}, 8);
     }},
    {"STATUS_UNSUCCESSFUL", "three stalled command writes, a key without announcements",
     [](ClientDocument& t) {
       t.Open(sim::usb::LegacyPrimaryKey());
       sim::usb::AddFault(t.key_.pdo, {Kind::VendorOut, {0, 3}});
       return t.Ioctl(IOCTL_KEY_TRANSACT_RAW, kEcho, 16);
     }},
    {"STATUS_DEVICE_NOT_CONNECTED", "an exchange between unplug and surprise removal",
     [](ClientDocument& t) {
       t.Open();
       sim::usb::Unplug(t.key_.pdo);
       EXPECT_EQ(STATUS_SUCCESS, t.Ioctl(IOCTL_KEY_PROBE, {0x01}, 0));
       EXPECT_EQ(STATUS_SUCCESS, t.Ioctl(IOCTL_KEY_GET_INFO_BLOCK, {}, 64));
       EXPECT_EQ(STATUS_SUCCESS, t.Ioctl(IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 64));
       EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, t.Ioctl(IOCTL_KEY_READ_INTERRUPT, {}, 8));
       return t.Ioctl(IOCTL_KEY_TRANSACT_RAW, kEcho, 16);
     }},
    {"STATUS_DEVICE_NOT_CONNECTED", "a waiting interrupt read when the key is pulled out",
     [](ClientDocument& t) {
       t.Open();
       return WaitingReadEndedBy(t, [&t] { sim::usb::Unplug(t.key_.pdo); });
     }},
    {"STATUS_NO_SUCH_DEVICE", "a vendor read failed so by the USB stack",
     [](ClientDocument& t) {
       t.Open();
       sim::usb::AddFault(t.key_.pdo, {Kind::VendorIn, {0, 1}, STATUS_NO_SUCH_DEVICE});
       return t.Ioctl(IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 8, 0}, 8);
     }},
    {"STATUS_CANCELLED", "a waiting interrupt read ended by a port reset",
     [](ClientDocument& t) {
       t.Open();
       return WaitingReadEndedBy(
           t, [&t] { EXPECT_EQ(STATUS_SUCCESS, t.Ioctl(IOCTL_KEY_RESET_PORT, {}, 0)); });
     }},
    {"STATUS_DEVICE_DATA_ERROR", "an exchange's answer read with a data error",
     [](ClientDocument& t) {
       t.Open();
       sim::usb::AddFault(t.key_.pdo, {Kind::VendorIn, {0, 1}, STATUS_DEVICE_DATA_ERROR});
       return t.Ioctl(IOCTL_KEY_TRANSACT_RAW, kEcho, 16);
     }},
};

TEST_F(ClientDocument, EveryStatusRowIsWhatTheDriverGives) {
  const std::vector<Row> rows = DocumentRows();
  ASSERT_FALSE(rows.empty()) << "no status table found";
  std::map<std::string, int> documented;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    ++documented[row.status];
    auto known = kStatuses.find(row.status);
    ASSERT_NE(kStatuses.end(), known) << "a status the test does not know";
    EXPECT_EQ(Hex(known->second.first), row.value);
    EXPECT_EQ(known->second.second, FirstError(row.win32)) << row.win32;
    int cases = 0;
    for (const Case& c : kCases) {
      if (row.status != c.status)
        continue;
      SCOPED_TRACE(c.what);
      ++cases;
      sim::clock::SetRate(1);
      const NTSTATUS status = c.run(*this);
      EXPECT_EQ(Hex(known->second.first), Hex(status));
      sim::faults::ClearRules();
      Finish();
    }
    EXPECT_LT(0, cases) << "a documented status that no case produces";
  }
  for (const Case& c : kCases)
    EXPECT_EQ(1u, documented.count(c.status))
        << c.status << " (" << c.what << ") is not documented";
}

}  // namespace
}  // namespace tarvik::test
