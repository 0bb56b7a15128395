#include "sim/usb/port.h"

namespace keyport {
namespace {

constexpr Outcome kOk{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr Outcome kStall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
constexpr Outcome kBadPipe{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr Outcome kBadFunction{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION};
constexpr Outcome kShort{STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER};

Outcome FromKey(keymodel::Outcome o) {
  switch (o) {
    case keymodel::Outcome::Ok:
      return kOk;
    case keymodel::Outcome::Nak:
      return kWaiting;
    default:
      return kStall;
  }
}

// A device-to-host transfer that brought fewer bytes than asked fails unless
// the caller allowed short transfers.
Outcome Shortened(Outcome o, uint32_t returned, ULONG asked, ULONG flags) {
  if (o.status == STATUS_SUCCESS && returned < asked && !(flags & USBD_SHORT_TRANSFER_OK))
    return kShort;
  return o;
}

// The bytes-moved field of the URBs that move data; null for the others.
PULONG TransferLength(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    case URB_FUNCTION_VENDOR_DEVICE:
      return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    default:
      return nullptr;
  }
}

}  // namespace

void Port::Plug(const keymodel::KeyConfig& config) {
  key_.PowerOn(config);
  plugged_ = true;
  configured_ = false;
}

void Port::Unplug() {
  plugged_ = false;
  configured_ = false;
}

Outcome Port::Fail(PURB urb, Outcome outcome) {
  if (PULONG length = TransferLength(urb))
    *length = 0;
  urb->UrbHeader.Status = outcome.usbd;
  return outcome;
}

Outcome Port::Reset() {
  if (!plugged_)
    return kDeviceGone;
  key_.PortReset();
  return kOk;
}

const keymodel::Endpoint* Port::PipeEndpoint(USBD_PIPE_HANDLE pipe) const {
  if (!configured_)
    return nullptr;
  const auto& c = key_.Config();
  for (uint32_t i = 0; i < c.Interfaces(); ++i)
    for (uint32_t e = 0; e < c.Endpoints(); ++e)
      if (pipe == &pipes_[i * keymodel::kMaxEndpoints + e])
        return &c.endpoints[e];
  return nullptr;
}

Outcome Port::Select(PURB urb) {
  auto& sc = urb->UrbSelectConfiguration;
  if (!sc.ConfigurationDescriptor) {
    configured_ = false;  // unconfigure
    return kOk;
  }
  const auto& c = key_.Config();
  const uint32_t endpoints = c.Endpoints();
  PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  auto* info = &sc.Interface;
  for (ULONG n = 0; n < sc.ConfigurationDescriptor->bNumInterfaces; ++n) {
    if (reinterpret_cast<PUCHAR>(info) + sizeof(USBD_INTERFACE_INFORMATION) -
                sizeof(USBD_PIPE_INFORMATION) >
            end ||
        info->Length == 0)
      break;
    if (info->InterfaceNumber >= c.Interfaces())
      return {STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND};
    info->InterfaceHandle = &interfaces_[info->InterfaceNumber];
    info->Class = c.interfaceClass;
    info->SubClass = 0;
    info->Protocol = 0;
    if (info->NumberOfPipes > endpoints)
      info->NumberOfPipes = endpoints;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
      auto& pipe = info->Pipes[p];
      const auto& e = c.endpoints[p];
      pipe.MaximumPacketSize = e.maxPacketSize;
      pipe.EndpointAddress = e.address;
      pipe.Interval = e.interval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e.attributes & USB_ENDPOINT_TYPE_MASK);
      pipe.PipeHandle = &pipes_[info->InterfaceNumber * keymodel::kMaxEndpoints + p];
      pipe.PipeFlags = c.pipeFlags;
    }
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                         info->Length);
  }
  sc.ConfigurationHandle = &configuration_;
  configured_ = true;
  return kOk;
}

Outcome Port::Transfer(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      auto* buffer = static_cast<uint8_t*>(d.TransferBuffer);
      if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
        d.TransferBufferLength = key_.ReadDeviceDescriptor(buffer, d.TransferBufferLength);
      else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
        d.TransferBufferLength = key_.ReadConfigurationDescriptor(buffer, d.TransferBufferLength);
      else
        return kStall;
      return kOk;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return Select(urb);
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& v = urb->UrbControlVendorClassRequest;
      if (USBD_TRANSFER_DIRECTION_FLAG(v.TransferFlags) == USBD_TRANSFER_DIRECTION_OUT)
        return FromKey(key_.VendorOut(v.Request, v.Value,
                                      static_cast<const uint8_t*>(v.TransferBuffer),
                                      v.TransferBufferLength));
      uint32_t returned = 0;
      Outcome o = FromKey(key_.VendorIn(v.Request, static_cast<uint8_t*>(v.TransferBuffer),
                                        v.TransferBufferLength, &returned));
      o = Shortened(o, returned, v.TransferBufferLength, v.TransferFlags);
      v.TransferBufferLength = returned;
      return o;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& t = urb->UrbBulkOrInterruptTransfer;
      const keymodel::Endpoint* e = PipeEndpoint(t.PipeHandle);
      if (!e)
        return kBadPipe;
      if (!(e->address & USB_ENDPOINT_DIRECTION_MASK))
        return kOk;  // an OUT pipe takes what it is given
      return InterruptIn(t, e->maxPacketSize);
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
      return PipeEndpoint(urb->UrbPipeRequest.PipeHandle) ? kOk : kBadPipe;
    default:
      return kBadFunction;
  }
}

// The bytes an interrupt IN transfer has received so far, kept where the host
// controller keeps its own state of a transfer while it is under way.
ULONG Port::Received(const _URB_BULK_OR_INTERRUPT_TRANSFER& t) {
  return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(t.hca.Reserved8[0]));
}

void Port::SetReceived(_URB_BULK_OR_INTERRUPT_TRANSFER& t, ULONG received) {
  t.hca.Reserved8[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(received));
}

// The key sends one packet per report. A full packet (the endpoint's maximum
// size) does not end the transfer: it waits for the next packet until it has
// all the bytes it asked for. Only a shorter packet ends it early, which fails
// it unless the sender allowed short transfers. While it waits the URB keeps
// the asked length; the bytes received so far are in its buffer.
Outcome Port::InterruptIn(_URB_BULK_OR_INTERRUPT_TRANSFER& t, uint32_t maxPacket) {
  auto* buffer = static_cast<uint8_t*>(t.TransferBuffer);
  for (;;) {
    const ULONG received = Received(t);
    uint32_t packet = 0;
    Outcome o =
        FromKey(key_.InterruptIn(buffer + received, t.TransferBufferLength - received, &packet));
    if (o.status != STATUS_SUCCESS)
      return o;  // kWaiting when the key NAKs: the URB stays as it is
    SetReceived(t, received + packet);
    if (packet < maxPacket || received + packet >= t.TransferBufferLength) {
      o = Shortened(o, received + packet, t.TransferBufferLength, t.TransferFlags);
      t.TransferBufferLength = received + packet;
      return o;
    }
  }
}

USBD_PIPE_HANDLE Port::PipeOf(PURB urb) {
  return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
             ? urb->UrbBulkOrInterruptTransfer.PipeHandle
             : nullptr;
}

Outcome Port::Submit(PURB urb) {
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    SetReceived(urb->UrbBulkOrInterruptTransfer, 0);
  return Continue(urb);
}

Outcome Port::Continue(PURB urb) {
  Outcome o = plugged_ ? Transfer(urb) : kDeviceGone;
  if (o.status != STATUS_SUCCESS && o.status != STATUS_PENDING)
    return Fail(urb, o);
  urb->UrbHeader.Status = o.usbd;
  return o;
}

}  // namespace keyport
