#include "tests/support/driver/driver_test.h"

#include "driver/driver.h"
#include "sim/image/driver_under_test.h"

namespace tarvik::test {

void DriverTest::SetUp() {
  KernelTest::SetUp();
  bus_ = sim::usb::LoadBus();
  ASSERT_NE(nullptr, bus_);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = sim::image::LoadDriverUnderTest(u"Tarvik4v2", DriverEntry, &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  ASSERT_NE(nullptr, driver_);
}

Key DriverTest::Plug(const sim::usb::KeyConfig& config) {
  Key key;
  key.pdo = sim::usb::Plug(config);
  if (!key.pdo) {
    ADD_FAILURE() << "the bus could not create a PDO";
    return key;
  }
  NTSTATUS status = sim::pnp::AddDevice(driver_, key.pdo);
  EXPECT_EQ(STATUS_SUCCESS, status) << "AddDevice";
  if (!NT_SUCCESS(status))
    return key;
  key.fdo = sim::pnp::Top(key.pdo);
  // The image's device extension is not the host build's record: white-box
  // tests (TARVIK_WHITE_BOX) run on the host build only.
  if (!sim::image::OnImage())
    key.ext = static_cast<DeviceExtension*>(key.fdo->DeviceExtension);
  return key;
}

Key DriverTest::PlugAndStart(const sim::usb::KeyConfig& config) {
  Key key = Plug(config);
  if (key.fdo) {
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo)) << "start";
  }
  return key;
}

void DriverTest::Remove(Key& key) {
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  key.fdo = nullptr;
  key.ext = nullptr;
}

void DriverTest::Unplug(Key& key) {
  sim::usb::Unplug(key.pdo);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  key = Key{};
}

std::vector<sim::usb::WireRecord> DriverTest::Wire(const Key& key) const {
  return sim::usb::Trace(key.pdo);
}

void DriverTest::ClearWire(const Key& key) const {
  sim::usb::ClearTrace(key.pdo);
}

std::vector<sim::usb::Kind> DriverTest::WireKinds(const Key& key) const {
  std::vector<sim::usb::Kind> kinds;
  for (const auto& r : Wire(key))
    kinds.push_back(r.kind);
  return kinds;
}

std::u16string DriverTest::Link(const GUID& interfaceClass, size_t i) const {
  auto links = sim::interfaces::Enabled(interfaceClass);
  return i < links.size() ? links[i] : std::u16string();
}

const GUID& DriverTest::ClientInterfaceClass() const {
  return Link(GUID_KEY_INTERFACE_PRIMARY).empty() ? GUID_KEY_INTERFACE_SECONDARY
                                                  : GUID_KEY_INTERFACE_PRIMARY;
}

}  // namespace tarvik::test
