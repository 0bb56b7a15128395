#include "tools/keysim/bus_requests.h"

#include "tools/keysim/names.h"
#include "tools/keysim/options.h"

namespace keysim {
namespace {

struct BusRequestName {
  const char* name;
  UCHAR major;
  UCHAR minor;
};

constexpr BusRequestName BusRequestNames[] = {
    {"start", IRP_MJ_PNP, IRP_MN_START_DEVICE},
    {"query-stop", IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE},
    {"cancel-stop", IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE},
    {"stop", IRP_MJ_PNP, IRP_MN_STOP_DEVICE},
    {"query-remove", IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE},
    {"cancel-remove", IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE},
    {"surprise-remove", IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL},
    {"remove", IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE},
    {"capabilities", IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES},
    {"set-power", IRP_MJ_POWER, IRP_MN_SET_POWER},
    {"query-power", IRP_MJ_POWER, IRP_MN_QUERY_POWER},
    {"wait-wake", IRP_MJ_POWER, IRP_MN_WAIT_WAKE},
    {"system-control", IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA},
};

}  // namespace

std::optional<sim::usb::BusFault> ParseBusFault(const std::string& request,
                                                const std::map<std::string, std::string>& options,
                                                std::string* error) {
  if (!OnlyKnown(options, {"type", "state", "count", "skip", "status", "pending"}, error))
    return std::nullopt;
  sim::usb::BusFault fault;
  const BusRequestName* named = nullptr;
  for (const BusRequestName& entry : BusRequestNames)
    if (request == entry.name)
      named = &entry;
  if (!named) {
    *error = "unknown bus request '" + request + "'";
    return std::nullopt;
  }
  fault.major = named->major;
  fault.minor = named->minor;
  auto type = options.find("type");
  auto state = options.find("state");
  const bool power = named->major == IRP_MJ_POWER && named->minor != IRP_MN_WAIT_WAKE;
  if ((type != options.end() || state != options.end()) && !power) {
    *error = "type= and state= belong to set-power and query-power";
    return std::nullopt;
  }
  if (type != options.end()) {
    if (type->second != "system" && type->second != "device") {
      *error = "type must be system or device";
      return std::nullopt;
    }
    fault.powerType = type->second == "system" ? ::SystemPowerState : ::DevicePowerState;
  }
  if (state != options.end()) {
    if (!fault.powerType) {
      *error = "state= needs type=";
      return std::nullopt;
    }
    std::optional<uint32_t> value = *fault.powerType == ::SystemPowerState
                                        ? SystemPowerState(state->second)
                                        : DevicePowerState(state->second);
    if (!value) {
      *error = "bad power state '" + state->second + "'";
      return std::nullopt;
    }
    fault.powerState = *value;
  }
  // All three are read before any is judged: the message names the last bad one.
  ULONG count = 1;
  ULONG skip = 0;
  ULONG pending = 0;
  const bool countRead = NumberOption(options, "count", 0xFFFFFFFF, &count, error);
  const bool skipRead = NumberOption(options, "skip", 0xFFFFFFFF, &skip, error);
  const bool pendingRead = NumberOption(options, "pending", 1, &pending, error);
  if (!countRead || !skipRead || !pendingRead)
    return std::nullopt;
  if (count == 0) {
    *error = "count is a number from 1";
    return std::nullopt;
  }
  fault.rule = {skip, count};
  fault.pending = pending != 0;
  if (!StatusOption(options, &fault.status, error))
    return std::nullopt;
  return fault;
}

NTSTATUS SendSystemControl(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0, top, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp != nullptr) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    next->MinorFunction = IRP_MN_QUERY_ALL_DATA;
    status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
  }
  ObfDereferenceObject(top);
  return status;
}

std::vector<std::string> BusLines(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, uint64_t* mark) {
  std::vector<std::string> lines;
  for (const sim::usb::LogEntry& e : sim::usb::RequestLog(pdo, fdo, *mark)) {
    std::string line = e.text;
    if (e.answer)
      line += " -> " + StatusName(static_cast<uint32_t>(e.status));
    lines.push_back(line);
    *mark = e.sequence;
  }
  if (lines.empty())
    lines.push_back("(nothing reached the bus)");
  return lines;
}

}  // namespace keysim
