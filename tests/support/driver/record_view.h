// The driver's record of a key (its device extension) as the white-box tests
// read it. Every such read goes through this view, so the fields a test can
// see only here are listed in one place. The layout is the host build's: a
// test that reads the record starts with TARVIK_WHITE_BOX().
#pragma once
#include "driver/device_extension.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {

class Record {
 public:
  explicit Record(const Key& key) : e_(*key.ext) {}
  // The record of one of our device objects, for a fixture of its own.
  explicit Record(PDEVICE_OBJECT fdo)
      : e_(*static_cast<const DeviceExtension*>(fdo->DeviceExtension)) {}

  // Plug and Play and power.
  PnpState DevicePnpState() const { return e_.DevicePnpState; }
  PnpState PreviousPnpState() const { return e_.PreviousPnpState; }
  ULONG DevicePower() const { return e_.DevicePower; }
  const DEVICE_CAPABILITIES& DeviceCapabilities() const { return e_.DeviceCapabilities; }
  PDEVICE_OBJECT PhysicalDeviceObject() const { return e_.PhysicalDeviceObject; }
  PDEVICE_OBJECT LowerDeviceObject() const { return e_.LowerDeviceObject; }

  // Requests inside the driver and what waits for them.
  LONG OutstandingIo() const { return e_.OutstandingIo; }
  LONG StopEventState() const { return KeReadStateEvent(const_cast<KEVENT*>(&e_.StopEvent)); }
  LONG RemoveEventState() const { return KeReadStateEvent(const_cast<KEVENT*>(&e_.RemoveEvent)); }
  LONG TransferMutexState() const {
    return KeReadStateMutex(const_cast<KMUTEX*>(&e_.TransferMutex));
  }
  ULONG InterruptReadsPending() const { return e_.InterruptReadsPending; }
  HANDLE NotifyThread() const { return e_.NotifyThread; }

  // Identity and configuration.
  DeviceFamily Family() const { return e_.Family; }
  ULONG DeviceRevision() const { return e_.DeviceRevision; }
  const UNICODE_STRING& InterfaceNamePrimary() const { return e_.InterfaceNamePrimary; }
  const USB_DEVICE_DESCRIPTOR* DeviceDescriptor() const { return e_.DeviceDescriptor; }
  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return e_.ConfigurationHandle; }
  const USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor() const {
    return e_.ConfigurationDescriptor;
  }
  const USBD_INTERFACE_INFORMATION* InterfaceInfo() const { return e_.InterfaceInfo; }
  USBD_PIPE_HANDLE InterruptPipe() const { return e_.InterruptPipe; }
  ULONG OpenPipeCount() const { return e_.OpenPipeCount; }
  const UCHAR* InfoBlock() const { return e_.InfoBlock; }
  ULONG InfoBlockLength() const { return e_.InfoBlockLength; }

  // Handles.
  ULONG OpenHandleCount() const { return e_.OpenHandleCount; }
  ULONG ShareAccessMask() const { return e_.ShareAccessMask; }

 private:
  const DeviceExtension& e_;
};

}  // namespace tarvik::test
