// The common fixture of driver tests: a fresh kernel with the simulated USB
// bus and Tarvik4v2 loaded. Keys are plugged into the bus and taken by the
// driver's AddDevice; the end of every test removes what is left, unloads
// both drivers and audits the kernel (verifier, pool, requests, handles).
#pragma once
#include <string>
#include <vector>

#include "driver/device_extension.h"
#include "driver/ioctl.h"
#include "sim/image/driver_under_test.h"
#include "sim/usb/bus.h"
#include "tests/support/kernel/kernel_test.h"

// A white-box test reads the device extension or calls the driver's routines
// directly: both belong to the host build, so on the image (TARVIK_IMAGE) the
// test is skipped.
#define TARVIK_WHITE_BOX()     \
  if (::sim::image::OnImage()) \
  GTEST_SKIP() << "white-box: reads the host build's device extension or calls its routines"

namespace tarvik::test {

struct Key {
  PDEVICE_OBJECT pdo = nullptr;  // the bus's
  PDEVICE_OBJECT fdo = nullptr;  // ours, on top of it
  DeviceExtension* ext = nullptr;
};

class DriverTest : public sim::test::KernelTest {
 protected:
  void SetUp() override;

  // A key on the bus with our device object attached (AddDevice done).
  Key Plug(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey());
  // The same, started; the start must succeed.
  Key PlugAndStart(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey());
  // Orderly removal: query-remove, then remove. The key stays on the bus.
  void Remove(Key& key);
  // The key is pulled out: surprise removal, then remove.
  void Unplug(Key& key);

  std::vector<sim::usb::WireRecord> Wire(const Key& key) const;
  void ClearWire(const Key& key) const;
  // The kinds of the requests on the wire, in order.
  std::vector<sim::usb::Kind> WireKinds(const Key& key) const;

  // The symbolic link of the i-th enabled interface of a class ("" if none).
  std::u16string Link(const GUID& interfaceClass, size_t i = 0) const;
  // The class a client opens the key by: primary when enabled, else secondary
  // (what the key's family made the driver enable).
  const GUID& ClientInterfaceClass() const;

  PDRIVER_OBJECT driver_ = nullptr;
  PDRIVER_OBJECT bus_ = nullptr;
};

}  // namespace tarvik::test
