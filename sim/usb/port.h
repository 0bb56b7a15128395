// A key's USB port: carries URBs out on a key model as the USB stack does,
// filling the URB's output fields (transferred length, USBD status,
// configuration and pipe handles). Freestanding, like the key model: the
// simulated bus uses it on the host, a virtual bus driver in a real kernel.
// The caller serialises calls on one Port.
#pragma once
#if defined(_WIN32)
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
}
#else
#include "sim/usb/usb.h"
#endif
#include "sim/usb/key_model.h"

namespace keyport {

struct Outcome {
  NTSTATUS status;
  USBD_STATUS usbd;
};

// How the USB stack ends a transfer that was still waiting for the device:
// cancelled by its sender or by an abort-pipe or port reset, or the device left.
constexpr Outcome kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};
constexpr Outcome kDeviceGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
// A transfer the device NAKs: it stays with the bus until the device answers.
constexpr Outcome kWaiting{STATUS_PENDING, USBD_STATUS_PENDING};

class Port {
 public:
  // A key arrives: powered on, not configured.
  void Plug(const keymodel::KeyConfig& config);
  // The key leaves: every later request fails as for a device that is gone.
  void Unplug();
  bool Plugged() const { return plugged_; }
  keymodel::Key& Key() { return key_; }
  const keymodel::Key& Key() const { return key_; }

  // One URB of IOCTL_INTERNAL_USB_SUBMIT_URB, carried out to its end, or
  // kWaiting for an interrupt IN transfer that still waits for a packet of the
  // key: the caller keeps it and hands it to Continue once Key().ReportReady(),
  // or ends it with Fail.
  Outcome Submit(PURB urb);
  // A waiting transfer takes what the key now sends: it ends, or waits again
  // (kWaiting) when the packet was a full one and it asked for more.
  Outcome Continue(PURB urb);
  // The pipe an interrupt or bulk URB is for (null for other URBs).
  static USBD_PIPE_HANDLE PipeOf(PURB urb);
  // IOCTL_INTERNAL_USB_RESET_PORT.
  Outcome Reset();
  // A failure decided outside (a fault plan): the URB reports it with no
  // bytes moved; the key sees nothing.
  static Outcome Fail(PURB urb, Outcome outcome);

 private:
  const keymodel::Endpoint* PipeEndpoint(USBD_PIPE_HANDLE pipe) const;
  Outcome Select(PURB urb);
  Outcome Transfer(PURB urb);
  Outcome InterruptIn(_URB_BULK_OR_INTERRUPT_TRANSFER& t, uint32_t maxPacket);
  static ULONG Received(const _URB_BULK_OR_INTERRUPT_TRANSFER& t);
  static void SetReceived(_URB_BULK_OR_INTERRUPT_TRANSFER& t, ULONG received);

  keymodel::Key key_;
  bool plugged_ = false;
  bool configured_ = false;
  // Handles point into these arrays.
  UCHAR pipes_[keymodel::kMaxInterfaces * keymodel::kMaxEndpoints] = {};
  UCHAR interfaces_[keymodel::kMaxInterfaces] = {};
  UCHAR configuration_ = 0;
};

}  // namespace keyport
