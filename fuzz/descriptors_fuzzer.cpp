// The device and configuration descriptors a key returns, fed through start,
// a stop and a restart, and the configuration descriptor control code.
// Input: 18 bytes of device descriptor, then the configuration descriptor.
#include <cstdint>
#include <vector>

#include "driver/driver.h"
#include "driver/ioctl.h"
#include "fuzz/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 18)
    return 0;
  tarvik::fuzz::Machine machine;
  PDEVICE_OBJECT pdo = nullptr;
  if (!machine.Plug(sim::usb::PrimaryKey(), &pdo))
    return 0;
  sim::usb::SetDescriptors(pdo, std::vector<UCHAR>(data, data + 18),
                           std::vector<UCHAR>(data + 18, data + size));
  if (NT_SUCCESS(sim::pnp::Start(pdo))) {
    for (const GUID* cls : {&GUID_KEY_INTERFACE_PRIMARY, &GUID_KEY_INTERFACE_SECONDARY}) {
      auto links = sim::interfaces::Enabled(*cls);
      if (links.empty())
        continue;
      auto open = machine.client().OpenInterface(links[0], 0);
      if (NT_SUCCESS(open.Status)) {
        machine.client().DeviceIoControl(open.Handle, IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 4096);
        machine.client().Close(open.Handle);
      }
    }
  }
  if (NT_SUCCESS(sim::pnp::QueryStop(pdo))) {
    sim::pnp::Stop(pdo);
    sim::pnp::Start(pdo);
  }
  return 0;
}
