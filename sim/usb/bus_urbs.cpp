// The URB interface of the simulated bus: what a request is, carrying it out
// on the key, what moved, and the wire trace's text.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/usb/bus_state.h"

namespace sim::usb {
namespace internal {

bool IsIoctl(PIO_STACK_LOCATION stack, ULONG code) {
  return stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
         stack->Parameters.DeviceIoControl.IoControlCode == code;
}

WireRecord Describe(PIRP irp) {
  WireRecord r;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (IsIoctl(stack, IOCTL_INTERNAL_USB_RESET_PORT)) {
    r.kind = Kind::ResetPort;
    r.function = 0xFFFF;
    return r;
  }
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (!IsIoctl(stack, IOCTL_INTERNAL_USB_SUBMIT_URB) || !urb)
    return r;
  r.function = urb->UrbHeader.Function;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      r.kind = Kind::GetDescriptor;
      r.descriptorType = d.DescriptorType;
      r.index = d.Index;
      r.value = d.LanguageId;
      r.length = d.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      r.kind = urb->UrbSelectConfiguration.ConfigurationDescriptor ? Kind::SelectConfiguration
                                                                   : Kind::Unconfigure;
      r.length = urb->UrbHeader.Length;
      break;
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& v = urb->UrbControlVendorClassRequest;
      r.kind = USBD_TRANSFER_DIRECTION_FLAG(v.TransferFlags) ? Kind::VendorIn : Kind::VendorOut;
      r.requestTypeBits = v.RequestTypeReservedBits;
      r.request = v.Request;
      r.value = v.Value;
      r.index = v.Index;
      r.flags = v.TransferFlags;
      r.length = v.TransferBufferLength;
      if (r.kind == Kind::VendorOut && v.TransferBuffer)
        r.data.assign(static_cast<PUCHAR>(v.TransferBuffer),
                      static_cast<PUCHAR>(v.TransferBuffer) + v.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& t = urb->UrbBulkOrInterruptTransfer;
      r.kind = Kind::Interrupt;
      r.pipe = t.PipeHandle;
      r.flags = t.TransferFlags;
      r.length = t.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_ABORT_PIPE:
      r.kind = Kind::AbortPipe;
      r.pipe = urb->UrbPipeRequest.PipeHandle;
      break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
      r.kind = Kind::ResetPipe;
      r.pipe = urb->UrbPipeRequest.PipeHandle;
      break;
    default:
      break;
  }
  return r;
}

keyport::Outcome Execute(KeyState& s, PIRP irp, WireRecord& r) {
  if (r.kind == Kind::ResetPort)
    return s.port.Reset();
  PURB urb = UrbOf(irp);
  if (r.kind == Kind::GetDescriptor && s.overrideDescriptors && s.port.Plugged() &&
      r.descriptorType <= USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    auto& d = urb->UrbControlDescriptorRequest;
    const auto& bytes = r.descriptorType == USB_DEVICE_DESCRIPTOR_TYPE ? s.deviceDescriptor
                                                                       : s.configurationDescriptor;
    d.TransferBufferLength = std::min<ULONG>(d.TransferBufferLength, bytes.size());
    if (d.TransferBufferLength > 0)
      std::memcpy(d.TransferBuffer, bytes.data(), d.TransferBufferLength);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
  }
  if (r.kind == Kind::Other)
    return keyport::Port::Fail(urb, {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION});
  return s.port.Submit(urb);
}

void RecordTransfer(PIRP irp, WireRecord& r) {
  PURB urb = UrbOf(irp);
  PUCHAR buffer = nullptr;
  switch (r.kind) {
    case Kind::GetDescriptor:
      r.transferred = urb->UrbControlDescriptorRequest.TransferBufferLength;
      break;
    case Kind::VendorOut:
      r.transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
      break;
    case Kind::VendorIn:
      r.transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
      buffer = static_cast<PUCHAR>(urb->UrbControlVendorClassRequest.TransferBuffer);
      break;
    case Kind::Interrupt:
      r.transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      buffer = static_cast<PUCHAR>(urb->UrbBulkOrInterruptTransfer.TransferBuffer);
      break;
    default:
      return;
  }
  if (buffer)
    r.data.assign(buffer, buffer + r.transferred);
}

const WireRecord& RecordEnd(KeyState& s, PIRP irp, WireRecord r, keyport::Outcome o) {
  RecordTransfer(irp, r);
  r.status = o.status;
  r.usbdStatus = o.usbd;
  s.trace.push_back(std::move(r));
  return s.trace.back();
}

}  // namespace internal

const char* KindName(Kind kind) {
  static const char* const names[] = {
      "get-descriptor", "select-configuration", "unconfigure", "vendor-out", "vendor-in",
      "interrupt",      "abort-pipe",           "reset-pipe",  "reset-port", "other"};
  return names[static_cast<int>(kind)];
}

std::string WireRecord::Text() const {
  char head[160];
  switch (kind) {
    case Kind::VendorOut:
    case Kind::VendorIn:
      std::snprintf(head, sizeof(head), "%s %02X %02X %04X %04X len=%u got=%u", KindName(kind),
                    requestTypeBits, request, value, index, length, transferred);
      break;
    case Kind::GetDescriptor:
      std::snprintf(head, sizeof(head), "%s type=%u len=%u got=%u", KindName(kind), descriptorType,
                    length, transferred);
      break;
    case Kind::Interrupt:
      std::snprintf(head, sizeof(head), "%s len=%u got=%u", KindName(kind), length, transferred);
      break;
    default:
      std::snprintf(head, sizeof(head), "%s", KindName(kind));
      break;
  }
  std::string text = head;
  if (status != STATUS_SUCCESS) {
    char failure[48];
    std::snprintf(failure, sizeof(failure), " status=%08X usbd=%08X", static_cast<unsigned>(status),
                  static_cast<unsigned>(usbdStatus));
    text += failure;
  }
  if (!data.empty() && kind != Kind::GetDescriptor) {
    text += " data=";
    char byte[4];
    for (size_t i = 0; i < data.size() && i < 32; ++i) {
      std::snprintf(byte, sizeof(byte), "%02X", data[i]);
      text += byte;
    }
    if (data.size() > 32)
      text += "...";
  }
  return text;
}

}  // namespace sim::usb
