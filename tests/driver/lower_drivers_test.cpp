// Plug and Play as the lower drivers see it: which requests reach the bus,
// what a failure down there does to the key, and what removal leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/built_request.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

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

sim::usb::BusFault PnpFault(UCHAR minor, NTSTATUS status, bool pending = false) {
  sim::usb::BusFault f;
  f.major = IRP_MJ_PNP;
  f.minor = minor;
  f.status = status;
  f.pending = pending;
  return f;
}

// Keeps a removal waiting in Removed: a port reset held at the bus is a
// request still inside the driver.
class HeldRemoval {
 public:
  HeldRemoval(const Key& key, sim::Client& client, HANDLE handle) : key_(key) {
    sim::usb::HoldNext(key.pdo, Kind::ResetPort);
    reset_ = std::thread(
        [&client, handle] { client.DeviceIoControl(handle, IOCTL_KEY_RESET_PORT, {}, 0); });
    held_ = sim::usb::WaitUntilHeld(key.pdo);
    if (held_) {
      removal_ = std::thread([this] { EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key_.pdo)); });
      while (CurrentPnpState(key_.ext) != Removed)
        std::this_thread::yield();
    }
  }
  ~HeldRemoval() {
    sim::usb::ReleaseHeld(key_.pdo);
    reset_.join();
    if (removal_.joinable())
      removal_.join();
  }
  bool held() const { return held_; }

 private:
  Key key_;
  std::thread reset_;
  std::thread removal_;
  bool held_ = false;
};

class LowerDrivers : public DriverTest {};

TEST_F(LowerDrivers, RequestsWhileRemovedFailWithDeletePending) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  PDEVICE_OBJECT fdo = key.fdo;
  DeviceExtension* ext = key.ext;
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
    EXPECT_EQ(Removed, CurrentPnpState(ext));
    EXPECT_EQ(1, ext->OutstandingIo);  // the held reset's reference
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
  sim::usb::AddBusFault(
      key.pdo, PnpFault(IRP_MN_START_DEVICE, STATUS_DEVICE_POWER_FAILURE, GetParam().pending));
  EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, sim::pnp::Start(key.pdo));
  EXPECT_EQ((std::vector<std::string>{"pnp start"}), AtBus(key));
  EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, LastAnswer(key));
  EXPECT_EQ(NotStarted, key.ext->DevicePnpState);
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_AUX).empty());
  EXPECT_EQ(std::vector<Kind>{}, WireKinds(key));
  EXPECT_EQ(1, key.ext->OutstandingIo);
  // The next start that the lower drivers let through starts the key.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
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
      sim::usb::AddBusFault(key.pdo, PnpFault(minor, STATUS_SUCCESS, true));
  }
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  EXPECT_EQ((std::vector<std::string>{"pnp cancel-stop", "pnp cancel-remove"}), AtBus(key));
  EXPECT_EQ(STATUS_SUCCESS, LastAnswer(key));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
  EXPECT_EQ(1, key.ext->OutstandingIo);
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
  sim::usb::AddBusFault(key.pdo, PnpFault(p.minor, STATUS_INVALID_DEVICE_STATE, timing.late));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, p.cancel(key.pdo));
  EXPECT_EQ(p.pending, key.ext->DevicePnpState);
  EXPECT_EQ(Started, key.ext->PreviousPnpState);
  // The next cancel that the bus lets through restores the state.
  EXPECT_EQ(STATUS_SUCCESS, p.cancel(key.pdo));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
  EXPECT_EQ((std::vector<std::string>{p.text, p.text}), AtBus(key));
  EXPECT_EQ(1, key.ext->OutstandingIo);
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
  EXPECT_EQ(PendingStop, key.ext->DevicePnpState);
  EXPECT_EQ(NotStarted, key.ext->PreviousPnpState);
  EXPECT_EQ(1, key.ext->OutstandingIo);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(NotStarted, key.ext->DevicePnpState);
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
  std::memcpy(&kept, &key.ext->DeviceCapabilities, sizeof(kept));
  ASSERT_EQ(PowerDeviceD2, kept.DeviceState[PowerSystemSleeping3]);
  sim::usb::AddBusFault(
      key.pdo, PnpFault(IRP_MN_QUERY_CAPABILITIES, STATUS_IO_DEVICE_ERROR, GetParam().late));
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  EXPECT_EQ(0, std::memcmp(&kept, &key.ext->DeviceCapabilities, sizeof(kept)));
  EXPECT_EQ(1, key.ext->OutstandingIo);
}

TEST_P(Capabilities, SurpriseRemovalOKIsSetAgainAfterTheBusClearedIt) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  AnswerAsSaid(key.pdo, GetParam());
  sim::usb::SetClearsSurpriseRemovalOK(key.pdo, true);
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_TRUE(key.ext->DeviceCapabilities.SurpriseRemovalOK);
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
  ASSERT_NE(nullptr, key.ext->NotifyThread);
  ClearWire(key);
  const uint64_t before = sim::faults::CallCount(sim::faults::Kind::SetInterfaceState);
  DeviceExtension* ext = key.ext;
  {
    HeldRemoval removal(key, client, open.Handle);
    ASSERT_TRUE(removal.held());
    for (const GUID* cls : p.disabled)
      EXPECT_TRUE(sim::interfaces::Enabled(*cls).empty());
    EXPECT_EQ(p.interfaceCalls,
              sim::faults::CallCount(sim::faults::Kind::SetInterfaceState) - before);
    EXPECT_EQ(nullptr, ext->NotifyThread);
    auto wire = Wire(key);
    ASSERT_EQ(1u, wire.size());  // the held reset is not carried out yet
    EXPECT_EQ(Kind::AbortPipe, wire[0].kind);
    EXPECT_EQ(STATUS_SUCCESS, wire[0].status);
    EXPECT_EQ(0u, ext->InterfaceInfo->Pipes[0].PipeFlags);
    EXPECT_EQ(0xFFFFFFFFu, ext->OpenPipeCount);  // 0, less the one pipe aborted
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
  EXPECT_NE(0u, key.ext->InterfaceInfo->Pipes[0].PipeFlags);
  EXPECT_EQ(0u, key.ext->OpenPipeCount);
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

}  // namespace
}  // namespace tarvik::test
