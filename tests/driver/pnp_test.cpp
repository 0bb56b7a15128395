// Plug and Play as the lower drivers see it: which requests reach the bus,
// what a failure down there does to the key, and what removal leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/usb/pdo_pnp_power.h"
#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/built_request.h"
#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/held_requests.h"
#include "tests/support/driver/record_view.h"
#include "tests/support/usb/bus_answers.h"

namespace tarvik::test {
namespace {

using sim::test::BusAnswer;
using sim::usb::Kind;

// The requests that reached the bus on a key's PDO, as text.
std::vector<std::string> AtBus(const Key& key) {
  std::vector<std::string> texts;
  for (const auto& r : sim::usb::BusRequests(key.pdo))
    texts.push_back(r.Text());
  return texts;
}

// The bus's answer to the last request that reached it.
NTSTATUS LastAnswer(const Key& key) {
  auto requests = sim::usb::BusRequests(key.pdo);
  return requests.empty() ? STATUS_PENDING : requests.back().status;
}

class LowerDrivers : public DriverTest {};

TEST_F(LowerDrivers, RequestsWhileRemovedFailWithDeletePending) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  PDEVICE_OBJECT fdo = key.fdo;
  {
    HeldRemoval removal(key, client, open.Handle);
    ASSERT_TRUE(removal.held());
    sim::usb::ClearBusRequests(key.pdo);
    // Built by some other component: the Plug and Play manager would not send
    // one during a removal.
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                        IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_RELATIONS})
      EXPECT_EQ(STATUS_DELETE_PENDING, SendBuilt(fdo, IRP_MJ_PNP, minor)) << int(minor);
    EXPECT_EQ(std::vector<std::string>{}, AtBus(key));
    EXPECT_EQ(Removed, CurrentPnpState(key.ext));
    EXPECT_EQ(1, Record(key).OutstandingIo());  // the held reset's reference
  }
  client.Close(open.Handle);
}

struct StartCase {
  const char* name;
  sim::usb::Completion completion;
  bool pending;  // the bus answers the start later, from another thread
};

class FailedLowerStart : public DriverTest, public ::testing::WithParamInterface<StartCase> {};

// A start the lower drivers failed is theirs to report (CompleteRequestStatusCheck),
// and the key is never addressed on a port that was not started (UrbBeforeStart).
TEST_P(FailedLowerStart, ReportsTheirFailureAndLeavesTheKeyAlone) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  sim::usb::SetCompletion(key.pdo, GetParam().completion);
  sim::usb::AddBusFault(key.pdo, BusAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE,
                                           STATUS_DEVICE_POWER_FAILURE, GetParam().pending));
  EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, sim::pnp::Start(key.pdo));
  EXPECT_EQ((std::vector<std::string>{"pnp start"}), AtBus(key));
  EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, LastAnswer(key));
  EXPECT_EQ(NotStarted, Record(key).DevicePnpState());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_AUX).empty());
  EXPECT_EQ(std::vector<Kind>{}, WireKinds(key));
  EXPECT_EQ(1, Record(key).OutstandingIo());
  // The next start that the lower drivers let through starts the key.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  EXPECT_EQ((std::vector<Kind>{Kind::GetDescriptor, Kind::GetDescriptor, Kind::SelectConfiguration,
                               Kind::VendorOut, Kind::Interrupt, Kind::VendorIn}),
            WireKinds(key));
}

INSTANTIATE_TEST_SUITE_P(Answers, FailedLowerStart,
                         ::testing::Values(StartCase{"AtOnce", sim::usb::Completion::Synchronous,
                                                     false},
                                           StartCase{"Later", sim::usb::Completion::Pending, true}),
                         [](const auto& info) { return info.param.name; });

// Cancels go down with success whatever the state: a driver above may have
// failed the query, and the drivers below must hear of its end all the same.
class CancelWithoutQuery : public DriverTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(CancelWithoutQuery, GoesDownWithSuccess) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  sim::usb::SetCompletion(key.pdo, GetParam().completion);
  sim::usb::ClearBusRequests(key.pdo);
  if (GetParam().pending) {
    for (UCHAR minor : {IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE})
      sim::usb::AddBusFault(key.pdo, BusAnswer(IRP_MJ_PNP, minor, STATUS_SUCCESS, true));
  }
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  EXPECT_EQ((std::vector<std::string>{"pnp cancel-stop", "pnp cancel-remove"}), AtBus(key));
  EXPECT_EQ(STATUS_SUCCESS, LastAnswer(key));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

INSTANTIATE_TEST_SUITE_P(Answers, CancelWithoutQuery,
                         ::testing::Values(StartCase{"AtOnce", sim::usb::Completion::Synchronous,
                                                     false},
                                           StartCase{"Later", sim::usb::Completion::Pending, true}),
                         [](const auto& info) { return info.param.name; });

struct CancelCase {
  const char* name;
  NTSTATUS (*query)(PDEVICE_OBJECT);
  NTSTATUS (*cancel)(PDEVICE_OBJECT);
  UCHAR minor;
  PnpState pending;
  const char* text;
};

class FailedCancel : public DriverTest,
                     public ::testing::WithParamInterface<std::tuple<CancelCase, AnswerTiming>> {};

TEST_P(FailedCancel, KeepsThePendingState) {
  TARVIK_WHITE_BOX();
  const auto& p = std::get<0>(GetParam());
  const AnswerTiming& timing = std::get<1>(GetParam());
  Key key = PlugAndStart();
  AnswerAsSaid(key.pdo, timing);
  ASSERT_EQ(STATUS_SUCCESS, p.query(key.pdo));
  sim::usb::ClearBusRequests(key.pdo);
  sim::usb::AddBusFault(key.pdo,
                        BusAnswer(IRP_MJ_PNP, p.minor, STATUS_INVALID_DEVICE_STATE, timing.late));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, p.cancel(key.pdo));
  EXPECT_EQ(p.pending, Record(key).DevicePnpState());
  EXPECT_EQ(Started, Record(key).PreviousPnpState());
  // The next cancel that the bus lets through restores the state.
  EXPECT_EQ(STATUS_SUCCESS, p.cancel(key.pdo));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  EXPECT_EQ((std::vector<std::string>{p.text, p.text}), AtBus(key));
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

INSTANTIATE_TEST_SUITE_P(
    Cancels, FailedCancel,
    ::testing::Combine(
        ::testing::Values(CancelCase{"Stop", sim::pnp::QueryStop, sim::pnp::CancelStop,
                                     IRP_MN_CANCEL_STOP_DEVICE, PendingStop, "pnp cancel-stop"},
                          CancelCase{"Remove", sim::pnp::QueryRemove, sim::pnp::CancelRemove,
                                     IRP_MN_CANCEL_REMOVE_DEVICE, PendingRemove,
                                     "pnp cancel-remove"}),
        ::testing::ValuesIn(kAnswerTimings)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

TEST_F(LowerDrivers, QueryStopBeforeTheFirstStart) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  EXPECT_EQ(PendingStop, Record(key).DevicePnpState());
  EXPECT_EQ(NotStarted, Record(key).PreviousPnpState());
  EXPECT_EQ(1, Record(key).OutstandingIo());
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(NotStarted, Record(key).DevicePnpState());
  EXPECT_EQ((std::vector<std::string>{"pnp query-stop", "pnp cancel-stop"}), AtBus(key));
}

// Capabilities answered by the lower drivers at once and later.
class Capabilities : public DriverTest, public ::testing::WithParamInterface<AnswerTiming> {};

TEST_P(Capabilities, AFailureLeavesTheCopyAlone) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  AnswerAsSaid(key.pdo, GetParam());
  DEVICE_CAPABILITIES caps{};
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  DEVICE_CAPABILITIES kept;
  std::memcpy(&kept, &Record(key).DeviceCapabilities(), sizeof(kept));
  ASSERT_EQ(PowerDeviceD2, kept.DeviceState[PowerSystemSleeping3]);
  sim::usb::AddBusFault(key.pdo, BusAnswer(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                                           STATUS_IO_DEVICE_ERROR, GetParam().late));
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  EXPECT_EQ(0, std::memcmp(&kept, &Record(key).DeviceCapabilities(), sizeof(kept)));
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

TEST_P(Capabilities, SurpriseRemovalOKIsSetAgainAfterTheBusClearedIt) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  AnswerAsSaid(key.pdo, GetParam());
  sim::usb::SetClearsSurpriseRemovalOK(key.pdo, true);
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_TRUE(Record(key).DeviceCapabilities().SurpriseRemovalOK);
}

INSTANTIATE_TEST_SUITE_P(Answers, Capabilities, ::testing::ValuesIn(kAnswerTimings),
                         AnswerTimingName);

struct RemovalCase {
  const char* name;
  sim::usb::KeyConfig (*config)();
  const GUID* open;
  std::vector<const GUID*> disabled;
  uint64_t interfaceCalls;  // IoSetDeviceInterfaceState calls made by the removal
};

class OrderlyRemoval : public DriverTest, public ::testing::WithParamInterface<RemovalCase> {};

// A removal without a surprise removal before it takes the key down before
// it waits for the requests still inside: the family's interfaces are
// disabled, the notification thread is gone and the open pipe is aborted.
TEST_P(OrderlyRemoval, TakesTheKeyDownBeforeTheDrain) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  auto config = p.config();
  config.pipeFlags = 1;
  Key key = PlugAndStart(config);
  sim::Client client;
  auto open = client.OpenInterface(Link(*p.open), 0);
  ASSERT_EQ(STATUS_SUCCESS,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status);
  ASSERT_NE(nullptr, Record(key).NotifyThread());
  ClearWire(key);
  const uint64_t before = sim::faults::CallCount(sim::faults::Kind::SetInterfaceState);
  {
    HeldRemoval removal(key, client, open.Handle);
    ASSERT_TRUE(removal.held());
    for (const GUID* cls : p.disabled)
      EXPECT_TRUE(sim::interfaces::Enabled(*cls).empty());
    EXPECT_EQ(p.interfaceCalls,
              sim::faults::CallCount(sim::faults::Kind::SetInterfaceState) - before);
    EXPECT_EQ(nullptr, Record(key).NotifyThread());
    auto wire = Wire(key);
    ASSERT_EQ(1u, wire.size());  // the held reset is not carried out yet
    EXPECT_EQ(Kind::AbortPipe, wire[0].kind);
    EXPECT_EQ(STATUS_SUCCESS, wire[0].status);
    EXPECT_EQ(0u, Record(key).InterfaceInfo()->Pipes[0].PipeFlags);
    EXPECT_EQ(0xFFFFFFFFu, Record(key).OpenPipeCount());  // 0, less the one pipe aborted
  }
  client.Close(open.Handle);
  EXPECT_EQ(nullptr, driver_->DeviceObject);
}

INSTANTIATE_TEST_SUITE_P(Families, OrderlyRemoval,
                         ::testing::Values(RemovalCase{"Primary",
                                                       sim::usb::PrimaryKey,
                                                       &GUID_KEY_INTERFACE_PRIMARY,
                                                       {&GUID_KEY_INTERFACE_PRIMARY,
                                                        &GUID_KEY_INTERFACE_AUX},
                                                       2},
                                           RemovalCase{"Secondary",
                                                       sim::usb::SecondaryKey,
                                                       &GUID_KEY_INTERFACE_SECONDARY,
                                                       {&GUID_KEY_INTERFACE_SECONDARY},
                                                       1}),
                         [](const auto& info) { return info.param.name; });

// An abort that fails keeps the pipe's open mark and the count.
TEST_F(LowerDrivers, AFailedAbortKeepsThePipeOpen) {
  TARVIK_WHITE_BOX();
  auto config = sim::usb::SecondaryKey();
  config.pipeFlags = 1;
  Key key = PlugAndStart(config);
  sim::usb::AddFault(key.pdo,
                     {Kind::AbortPipe, {0, 1}, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID});
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  EXPECT_NE(0u, Record(key).InterfaceInfo()->Pipes[0].PipeFlags);
  EXPECT_EQ(0u, Record(key).OpenPipeCount());
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

struct RegistrationCase {
  const char* name;
  uint32_t skip;  // registrations that succeed before the one that answers `status`
  NTSTATUS status;
};

class AddDeviceStatus : public DriverTest,
                        public ::testing::WithParamInterface<RegistrationCase> {};

TEST_P(AddDeviceStatus, IsTheFailedRegistrationsOwn) {
  PDEVICE_OBJECT pdo = sim::usb::Plug(sim::usb::PrimaryKey());
  sim::faults::FailWith(sim::faults::Kind::RegisterInterface, {GetParam().skip}, GetParam().status);
  EXPECT_EQ(GetParam().status, sim::pnp::AddDevice(driver_, pdo));
  EXPECT_EQ(nullptr, driver_->DeviceObject);
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::pool::kInterfaceNameTag));
}

INSTANTIATE_TEST_SUITE_P(
    Registrations, AddDeviceStatus,
    ::testing::Values(RegistrationCase{"First", 0, STATUS_INVALID_PARAMETER},
                      RegistrationCase{"Second", 1, STATUS_OBJECT_NAME_NOT_FOUND},
                      RegistrationCase{"Third", 2, STATUS_INVALID_DEVICE_REQUEST}),
    [](const auto& info) { return info.param.name; });

// Plug and Play around requests in progress: drains at query-stop and
// removal, cancels, capabilities, surprise removal then removal.

// Runs a PnP request in another thread while an exchange is held at the bus:
// the request must not return before the exchange has left the driver. The
// request reports how many requests other than itself were still inside the
// driver when it returned (the client's call itself may return a little
// later: the driver has finished with it once it completed it).
// A removal that follows a surprise removal has had no query-remove to drain
// the key: the remove request itself waits until the last request has left
// the driver before it frees the record and deletes the device object.
struct DrainCase {
  const char* name;
  NTSTATUS (*request)(const Key& key, PDRIVER_OBJECT driver, LONG* inside);
  sim::usb::Completion completion;
  bool readsRecord;  // counts what is inside from the device record
};

class Drain : public DriverTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(Drain, WaitsForTheRequestInProgress) {
  const auto& p = GetParam();
  if (p.readsRecord) {
    TARVIK_WHITE_BOX();
  }
  Key key = PlugAndStart();
  sim::usb::SetCompletion(key.pdo, p.completion);
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  sim::usb::HoldNext(key.pdo, Kind::VendorIn);
  std::atomic<bool> exchangeDone{false};
  std::thread exchange([&] {
    auto io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x33}, 8);
    EXPECT_EQ(STATUS_SUCCESS, io.Status);
    exchangeDone = true;
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  std::atomic<bool> pnpDone{false};
  std::atomic<bool> released{false};
  std::thread pnp([&] {
    LONG inside = -1;
    EXPECT_EQ(STATUS_SUCCESS, p.request(key, driver_, &inside));
    EXPECT_EQ(0, inside);          // the exchange left the driver first
    EXPECT_TRUE(released.load());  // and it was let go before this returned
    pnpDone = true;
  });
  // The Plug and Play request is waiting for the drain.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(pnpDone.load());
  // Meanwhile new client requests are shut out.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_PROBE, {0x01}, 0).Status);
  released = true;
  sim::usb::ReleaseHeld(key.pdo);
  exchange.join();
  pnp.join();
  EXPECT_TRUE(exchangeDone.load());
  EXPECT_TRUE(pnpDone.load());
  client.Close(open.Handle);
}

NTSTATUS QueryStopThenCancel(const Key& key, PDRIVER_OBJECT, LONG* inside) {
  NTSTATUS status = sim::pnp::QueryStop(key.pdo);
  *inside = Record(key).OutstandingIo() - 1;  // less the device's own reference
  sim::pnp::CancelStop(key.pdo);
  return status;
}

NTSTATUS QueryRemoveThenRemove(const Key& key, PDRIVER_OBJECT driver, LONG* inside) {
  NTSTATUS status = sim::pnp::QueryRemove(key.pdo);
  if (NT_SUCCESS(status))
    status = sim::pnp::Remove(key.pdo);
  // The device object goes only once its last request has left.
  *inside = driver->DeviceObject == nullptr ? 0 : 1;
  return status;
}

NTSTATUS SurpriseRemovalThenRemoval(const Key& key, PDRIVER_OBJECT driver, LONG* inside) {
  NTSTATUS status = sim::pnp::SurpriseRemove(key.pdo);
  if (NT_SUCCESS(status))
    status = sim::pnp::Remove(key.pdo);
  *inside = driver->DeviceObject == nullptr ? 0 : 1;
  return status;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Drain,
    ::testing::Values(
        DrainCase{"QueryStop", QueryStopThenCancel, sim::usb::Completion::Synchronous, true},
        DrainCase{"QueryStopPending", QueryStopThenCancel, sim::usb::Completion::Pending, true},
        DrainCase{"Removal", QueryRemoveThenRemove, sim::usb::Completion::Synchronous, false},
        DrainCase{"RemovalPending", QueryRemoveThenRemove, sim::usb::Completion::Pending, false},
        DrainCase{"SurpriseRemoval", SurpriseRemovalThenRemoval, sim::usb::Completion::Synchronous,
                  false},
        DrainCase{"SurpriseRemovalPending", SurpriseRemovalThenRemoval,
                  sim::usb::Completion::Pending, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(DriverTest, SurpriseRemovalWithAnExchangeInFlight) {
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  sim::usb::HoldNext(key.pdo, Kind::Interrupt);
  std::thread exchange([&] {
    auto io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01}, 8);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, io.Status);  // the key left under it
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  sim::usb::Unplug(key.pdo);  // fails the held request
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  exchange.join();
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_EQ(STATUS_SUCCESS, client.Close(open.Handle));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

// The Plug and Play tests below run with the lower drivers answering at once
// and later.
class PnpAnswers : public DriverTest, public ::testing::WithParamInterface<AnswerTiming> {
 protected:
  Key PlugKey(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    Key key = Plug(config);
    AnswerAsSaid(key.pdo, GetParam());
    return key;
  }
  Key PlugAndStartKey(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    Key key = PlugKey(config);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
    return key;
  }
};

TEST_P(PnpAnswers, CancelsRestoreTheStateBeforeTheQuery) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStartKey();
  // A cancel without its query (a driver above refused it) changes nothing.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  EXPECT_EQ(PendingRemove, Record(key).DevicePnpState());
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

// The driver refuses a structure too small or too old itself: the request
// never reaches the bus, and nothing is copied.
TEST_P(PnpAnswers, CapabilitiesNeedAWholeStructure) {
  TARVIK_WHITE_BOX();
  Key key = PlugKey();
  sim::usb::ClearBusRequests(key.pdo);
  const struct {
    USHORT size;
    USHORT version;
  } refused[] = {{63, 1}, {64, 0}, {0, 0}};
  for (const auto& r : refused) {
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              sim::pnp::QueryCapabilities(key.pdo, r.size, r.version, &caps).Status)
        << r.size << " " << r.version;
    EXPECT_FALSE(caps.SurpriseRemovalOK);
  }
  EXPECT_TRUE(sim::usb::BusRequests(key.pdo).empty());
  const DEVICE_CAPABILITIES zero{};
  EXPECT_EQ(0,
            std::memcmp(&zero, &Record(key).DeviceCapabilities(), sizeof(zero)));  // nothing copied
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  ASSERT_EQ(1u, sim::usb::BusRequests(key.pdo).size());
  EXPECT_EQ("pnp capabilities", sim::usb::BusRequests(key.pdo)[0].Text());
  EXPECT_EQ(64u, Record(key).DeviceCapabilities().Size);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_TRUE(Record(key).DeviceCapabilities().SurpriseRemovalOK);
  EXPECT_EQ(PowerDeviceD2, Record(key).DeviceCapabilities().DeviceState[PowerSystemSleeping3]);
}

// The removal after a surprise removal does not take the key down again: no
// interface is touched and the pipe whose abort failed (the key was gone) is
// not aborted a second time.
TEST_P(PnpAnswers, SurpriseRemovalThenRemovalTakesTheKeyDownOnce) {
  TARVIK_WHITE_BOX();
  auto config = sim::usb::PrimaryKey();
  config.pipeFlags = 1;
  Key key = PlugAndStartKey(config);
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  ASSERT_EQ(STATUS_SUCCESS,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status);
  ASSERT_NE(nullptr, Record(key).NotifyThread());
  sim::usb::Unplug(key.pdo);
  ClearWire(key);
  const auto interfaceCalls = [] {
    return sim::faults::CallCount(sim::faults::Kind::SetInterfaceState);
  };
  uint64_t before = interfaceCalls();
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  EXPECT_EQ(2u, interfaceCalls() - before);  // primary and aux
  EXPECT_EQ(std::vector<Kind>{Kind::AbortPipe}, WireKinds(key));
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Wire(key)[0].status);
  EXPECT_EQ(nullptr, Record(key).NotifyThread());  // waited for and closed
  EXPECT_EQ(SurpriseRemoved, Record(key).DevicePnpState());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_AUX).empty());
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_PROBE, {0x01}, 0).Status);
  client.Close(open.Handle);
  ClearWire(key);
  before = interfaceCalls();
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  EXPECT_EQ(0u, interfaceCalls() - before);
  EXPECT_TRUE(sim::usb::TraceOfPlug(0).empty());  // the PDO went with the removal
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

TEST_P(PnpAnswers, RemovalOfAKeyThatNeverStarted) {
  Key key = PlugKey(sim::usb::UnrecognisedKey());
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sim::pnp::Start(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  EXPECT_EQ(nullptr, driver_->DeviceObject);
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

INSTANTIATE_TEST_SUITE_P(Answers, PnpAnswers, ::testing::ValuesIn(kAnswerTimings),
                         AnswerTimingName);

// What Plug and Play hears back from the driver where the answer is not a
// plain success or failure: AddDevice's status when the last registration
// succeeds with an informational one, a restart whose interfaces are still
// enabled, and the capabilities structure when the lower drivers fail it.

class PnpResults : public DriverTest {};

// The third registration's status is AddDevice's, also when it is a success
// other than STATUS_SUCCESS.
TEST_F(PnpResults, AddDeviceReturnsTheThirdRegistrationsSuccess) {
  PDEVICE_OBJECT pdo = sim::usb::Plug(sim::usb::PrimaryKey());
  sim::faults::FailWith(sim::faults::Kind::RegisterInterface, {2}, STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, sim::pnp::AddDevice(driver_, pdo));
  ASSERT_NE(nullptr, sim::pnp::Top(pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(pdo));
  EXPECT_FALSE(Link(GUID_KEY_INTERFACE_AUX).empty());
}

// The tests below run with the lower drivers answering at once and later.
class PnpAnswered : public DriverTest, public ::testing::WithParamInterface<AnswerTiming> {};

// A stop leaves the interfaces enabled, so the restart's enabling of the
// auxiliary interface answers that it already is: the start reports that
// informational status, the key is started and its interfaces stay enabled.
TEST_P(PnpAnswered, ARestartReportsTheAuxInterfaceAsAlreadyEnabled) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  AnswerAsSaid(key.pdo, GetParam());
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  EXPECT_EQ(static_cast<NTSTATUS>(0x40000000), sim::pnp::Start(key.pdo));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  EXPECT_FALSE(Link(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_FALSE(Link(GUID_KEY_INTERFACE_AUX).empty());
}

// The bit is set before the request goes down, so the caller's structure
// carries it also when the lower drivers fail the request; the kept copy is
// not written.
TEST_P(PnpAnswered, SurpriseRemovalOKIsSetOnTheWayDown) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  sim::usb::AddBusFault(key.pdo, BusAnswer(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                                           STATUS_IO_DEVICE_ERROR, GetParam().late));
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_FALSE(Record(key).DeviceCapabilities().SurpriseRemovalOK);
  EXPECT_EQ(0, Record(key).DeviceCapabilities().Size);
}

INSTANTIATE_TEST_SUITE_P(Answers, PnpAnswered, ::testing::ValuesIn(kAnswerTimings),
                         AnswerTimingName);

// Plug and Play requests the driver has nothing to add to go to the bus
// driver as the Plug and Play manager sent them (status and information
// untouched), and the bus driver's answer comes back unchanged, whether the
// bus answers at once or later. Those it has handled go down with success.

struct Minor {
  const char* name;
  UCHAR minor;
  ULONG parameter;  // the relation, ID or text type where the request has one
};

const Minor kMinors[] = {
    {"BusRelations", IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations},
    {"RemovalRelations", IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations},
    {"EjectionRelations", IRP_MN_QUERY_DEVICE_RELATIONS, EjectionRelations},
    {"TargetDeviceRelation", IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation},
    {"QueryInterface", IRP_MN_QUERY_INTERFACE, 0},
    {"QueryResources", IRP_MN_QUERY_RESOURCES, 0},
    {"QueryResourceRequirements", IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0},
    {"QueryDeviceTextDescription", IRP_MN_QUERY_DEVICE_TEXT, 0},
    {"QueryDeviceTextLocation", IRP_MN_QUERY_DEVICE_TEXT, 1},
    {"FilterResourceRequirements", IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0},
    {"ReadConfig", IRP_MN_READ_CONFIG, 0},
    {"WriteConfig", IRP_MN_WRITE_CONFIG, 0},
    {"Eject", IRP_MN_EJECT, 0},
    {"SetLock", IRP_MN_SET_LOCK, 0},
    {"DeviceId", IRP_MN_QUERY_ID, 0},
    {"HardwareIds", IRP_MN_QUERY_ID, 1},
    {"InstanceId", IRP_MN_QUERY_ID, 3},
    {"QueryPnpDeviceState", IRP_MN_QUERY_PNP_DEVICE_STATE, 0},
    {"QueryBusInformation", IRP_MN_QUERY_BUS_INFORMATION, 0},
    {"DeviceUsageNotification", IRP_MN_DEVICE_USAGE_NOTIFICATION, 0},
    {"QueryLegacyBusInformation", 0x18, 0},
    {"DeviceEnumerated", IRP_MN_DEVICE_ENUMERATED, 0},
    {"UnknownMinor", 0x7F, 0},
};

// The first parameter of every one of these requests is a 32-bit type.
void FillType(PIO_STACK_LOCATION stack, void* context) {
  stack->Parameters.QueryDeviceRelations.Type =
      static_cast<DEVICE_RELATION_TYPE>(*static_cast<ULONG*>(context));
}

class UnhandledPnp : public DriverTest,
                     public ::testing::WithParamInterface<std::tuple<Minor, bool>> {};

TEST_P(UnhandledPnp, ReachesTheBusUntouchedAndComesBackAsTheBusAnswered) {
  const Minor m = std::get<0>(GetParam());
  const bool late = std::get<1>(GetParam());
  Key key = PlugAndStart();
  sim::usb::ClearBusRequests(key.pdo);
  // The bus's answer: its own (completed as it came) at once, or a planned
  // one later from another thread.
  const NTSTATUS busAnswer = late ? STATUS_INVALID_DEVICE_REQUEST : STATUS_NOT_SUPPORTED;
  if (late) {
    sim::usb::AddBusFault(key.pdo, BusAnswer(IRP_MJ_PNP, m.minor, busAnswer, true));
  }
  ULONG parameter = m.parameter;
  const sim::Result result = sim::pnp::Send(key.pdo, m.minor, FillType, &parameter);
  EXPECT_EQ(busAnswer, result.Status);
  EXPECT_EQ(0u, result.Information);
  const auto seen = sim::usb::BusRequests(key.pdo);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(IRP_MJ_PNP, seen[0].major);
  EXPECT_EQ(m.minor, seen[0].minor);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, seen[0].arrivedStatus);
  EXPECT_EQ(0u, seen[0].arrivedInformation);
  EXPECT_EQ(busAnswer, seen[0].status);
  EXPECT_EQ(late, seen[0].pended);
}

INSTANTIATE_TEST_SUITE_P(Minors, UnhandledPnp,
                         ::testing::Combine(::testing::ValuesIn(kMinors), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Minor, bool>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Late" : "AtOnce");
                         });

// A change request that is still on its way when the key is pulled out: it
// starts its notification thread after the surprise removal has taken the
// key down, and the removal that follows must still wait for that thread and
// close its handle.

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
    EXPECT_EQ(nullptr, Record(key).NotifyThread());  // the take-down found none to wait for
    gate.Release();
    notifying.join();
  }
  EXPECT_EQ(STATUS_SUCCESS, notified);
  EXPECT_NE(nullptr, Record(key).NotifyThread());  // started after the take-down
  client.Close(open.Handle);
  // The removal waits for the thread and closes its handle: the end of the
  // test finds no kernel handle and no thread object left over.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

// Every Plug and Play and power request the driver passes to the lower
// drivers, answered by them at once and later (pending, from another
// thread): the request ends the same, and a routine that waited for the
// answer returns that answer to the system, never the STATUS_PENDING its
// call to the lower driver returned.

POWER_STATE Device(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return s;
}

POWER_STATE System(SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return s;
}

struct LateCase {
  const char* name;
  bool started;                        // the key is started first
  void (*before)(PDEVICE_OBJECT pdo);  // answered at once, before the request
  sim::Result (*send)(PDEVICE_OBJECT pdo);
  bool waits;             // the driver waits for the lower drivers' answer
  const char* lastAtBus;  // the request as the bus saw it, last
};

void Nothing(PDEVICE_OBJECT) {}
void QueryStop(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(pdo));
}
void QueryRemove(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(pdo));
}
void ToD3(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetDevice(pdo, PowerDeviceD3));
}
void ToS3(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetSystem(pdo, PowerSystemSleeping3));
}

sim::Result Pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
  return sim::pnp::Send(pdo, minor);
}

const LateCase kCases[] = {
    {"Start", false, Nothing, [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_START_DEVICE); }, true,
     "pnp start"},
    {"Capabilities", false, Nothing,
     [](PDEVICE_OBJECT p) {
       DEVICE_CAPABILITIES caps{};
       return sim::pnp::QueryCapabilities(p, sizeof caps, 1, &caps);
     },
     true, "pnp capabilities"},
    {"QueryStop", true, Nothing, [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_QUERY_STOP_DEVICE); },
     false, "pnp query-stop"},
    {"CancelStop", true, QueryStop,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_STOP_DEVICE); }, true, "pnp cancel-stop"},
    {"CancelStopWithoutQuery", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_STOP_DEVICE); }, false, "pnp cancel-stop"},
    {"Stop", true, QueryStop, [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_STOP_DEVICE); }, false,
     "pnp stop"},
    {"QueryRemove", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_QUERY_REMOVE_DEVICE); }, false,
     "pnp query-remove"},
    {"CancelRemove", true, QueryRemove,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_REMOVE_DEVICE); }, true,
     "pnp cancel-remove"},
    {"CancelRemoveWithoutQuery", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_REMOVE_DEVICE); }, false,
     "pnp cancel-remove"},
    {"SurpriseRemoval", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_SURPRISE_REMOVAL); }, false,
     "pnp surprise-remove"},
    {"Remove", true, QueryRemove, sim::pnp::RemoveWithResult, false, "pnp remove"},
    {"DeviceD3", true, Nothing,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3));
     },
     false, "power set device D3"},
    {"DeviceD0", true, ToD3,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0));
     },
     true, "power set device D0"},
    {"SystemS3", true, Nothing,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3));
     },
     false, "power set system S3"},
    {"SystemS0", true, ToS3,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemWorking));
     },
     false, "power set system S0"},
};

class LateAnswers : public DriverTest,
                    public ::testing::WithParamInterface<std::tuple<LateCase, AnswerTiming>> {};

TEST_P(LateAnswers, EndTheSameAndNeverComeBackPending) {
  const LateCase& c = std::get<0>(GetParam());
  const bool late = std::get<1>(GetParam()).late;
  Key key = c.started ? PlugAndStart() : Plug();
  c.before(key.pdo);
  sim::usb::ClearBusRequests(key.pdo);
  AnswerAsSaid(key.pdo, std::get<1>(GetParam()));
  const sim::Result r = c.send(key.pdo);
  sim::usb::SetAnswersLate(key.pdo, false);
  EXPECT_EQ(STATUS_SUCCESS, r.Status);
  if (c.waits) {
    EXPECT_EQ(r.Status, r.Returned)
        << "a routine that waited for the lower drivers returned " << std::hex << r.Returned;
  } else {
    // Passed on as it was: the lower drivers' own return.
    EXPECT_EQ(late ? STATUS_PENDING : r.Status, r.Returned);
  }
  const auto atBus = sim::usb::BusRequests(key.pdo);
  ASSERT_FALSE(atBus.empty());
  EXPECT_EQ(c.lastAtBus, atBus.back().Text());
  EXPECT_EQ(late, atBus.back().pended);
  EXPECT_EQ(STATUS_SUCCESS, atBus.back().status);
}

INSTANTIATE_TEST_SUITE_P(Requests, LateAnswers,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::ValuesIn(kAnswerTimings)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  std::get<1>(info.param).name;
                         });

// Requests the driver has done its part of go to the bus driver with
// success in place of the Plug and Play manager's STATUS_NOT_SUPPORTED: the
// IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_STOP_DEVICE and IRP_MN_SURPRISE_REMOVAL
// pages have each driver that handles the request set Irp->IoStatus.Status
// to STATUS_SUCCESS before it passes it down.
struct Handled {
  const char* name;
  std::vector<UCHAR> before;  // sent first, each answered with success
  UCHAR minor;
};

const Handled kHandled[] = {
    {"QueryStop", {}, IRP_MN_QUERY_STOP_DEVICE},
    {"QueryRemove", {}, IRP_MN_QUERY_REMOVE_DEVICE},
    {"Stop", {IRP_MN_QUERY_STOP_DEVICE}, IRP_MN_STOP_DEVICE},
    {"CancelStopWithoutAQuery", {}, IRP_MN_CANCEL_STOP_DEVICE},
    {"CancelRemoveWithoutAQuery", {}, IRP_MN_CANCEL_REMOVE_DEVICE},
    {"SurpriseRemoval", {}, IRP_MN_SURPRISE_REMOVAL},
};

class HandledPnp : public DriverTest, public ::testing::WithParamInterface<Handled> {};

TEST_P(HandledPnp, ReachesTheBusWithSuccess) {
  const Handled& h = GetParam();
  Key key = PlugAndStart();
  for (UCHAR minor : h.before) {
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Send(key.pdo, minor).Status);
  }
  sim::usb::ClearBusRequests(key.pdo);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Send(key.pdo, h.minor).Status);
  const auto seen = sim::usb::BusRequests(key.pdo);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(h.minor, seen[0].minor);
  EXPECT_EQ(STATUS_SUCCESS, seen[0].arrivedStatus);
  EXPECT_EQ(0u, seen[0].arrivedInformation);
  if (h.minor == IRP_MN_SURPRISE_REMOVAL) {
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  }
}

INSTANTIATE_TEST_SUITE_P(Minors, HandledPnp, ::testing::ValuesIn(kHandled),
                         [](const ::testing::TestParamInfo<Handled>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvik::test
