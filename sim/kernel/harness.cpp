// The bench: PnP manager, power manager and the I/O manager of client
// software, and the end and reset of a test.
#include "sim/kernel/harness.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

#include "sim/kernel/clock.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"

namespace sim::interfaces {
PDEVICE_OBJECT EnabledPdo(const std::u16string& symbolicLink);
}

namespace sim::detail {
namespace {

// A device node: a PDO the PnP manager knows, with the stack built on it.
struct Node {
  std::mutex pnp;  // one PnP request per device at a time
  bool added = false;
  uint64_t order = 0;
};

std::mutex gNodesMutex;
std::map<PDEVICE_OBJECT, std::shared_ptr<Node>> gNodes;
uint64_t gNextOrder = 0;

std::mutex gClientsMutex;
std::set<Client*> gClients;

std::atomic<bool> gResetting{false};
std::mutex gOpenFilesMutex;
std::set<PFILE_OBJECT> gOpenFiles;  // file objects whose create succeeded

std::shared_ptr<Node> NodeOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(gNodesMutex);
  auto it = gNodes.find(pdo);
  return it == gNodes.end() ? nullptr : it->second;
}

bool IsError(NTSTATUS status) {
  return (static_cast<ULONG>(status) >> 30) == 3;
}

// Builds a request for the top of `device`'s stack, sends it and waits.
// `prepare` fills the request and the stack location the top driver sees;
// `collect` reads it after completion, before it is freed.
template <typename Prepare, typename Collect>
Result SendToStack(PDEVICE_OBJECT device, NTSTATUS preset, Prepare prepare, Collect collect) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Bench);
  irp->IoStatus.Status = preset;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  prepare(irp, IoGetNextIrpStackLocation(irp));
  BenchCompletion completion;
  NTSTATUS returned = STATUS_PENDING;
  IO_STATUS_BLOCK iosb = SendAndWait(top, irp, &completion, &returned);
  collect(irp, iosb);
  FreeIrpInternal(irp);
  ObfDereferenceObject(top);
  return Result{iosb.Status, iosb.Information, returned};
}

// What every request sent for a client's handle carries.
void FromClient(PIRP irp, PIO_STACK_LOCATION next, PFILE_OBJECT file, UCHAR major) {
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  next->MajorFunction = major;
  next->FileObject = file;
}

// A cleanup or close request for `file`, as the I/O manager sends it.
void SendFileRequest(PFILE_OBJECT file, UCHAR major) {
  SendToStack(
      file->DeviceObject, STATUS_SUCCESS,
      [&](PIRP irp, PIO_STACK_LOCATION next) { FromClient(irp, next, file, major); },
      [](PIRP, const IO_STATUS_BLOCK&) {});
}

void DestroyFile(void* body) {
  auto* file = static_cast<PFILE_OBJECT>(body);
  bool opened;
  {
    std::lock_guard<std::mutex> lock(gOpenFilesMutex);
    opened = gOpenFiles.erase(file) > 0;
  }
  if (gResetting)
    return;
  if (!opened) {
    ObfDereferenceObject(file->DeviceObject);
    return;
  }
  SendFileRequest(file, IRP_MJ_CLOSE);
  {
    std::lock_guard<std::mutex> lock(DeviceLock());
    if (file->DeviceObject->DeviceObjectExtension->OpenCount)
      --file->DeviceObject->DeviceObjectExtension->OpenCount;
  }
  ObfDereferenceObject(file->DeviceObject);
}

}  // namespace

void ResetBench() {
  std::lock_guard<std::mutex> lock(gNodesMutex);
  gNodes.clear();
  gNextOrder = 0;
  std::lock_guard<std::mutex> files(gOpenFilesMutex);
  gOpenFiles.clear();
}

}  // namespace sim::detail

using namespace sim::detail;

namespace sim {

// ---------------------------------------------------------------- PnP

namespace pnp {

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  std::shared_ptr<Node> node;
  {
    std::lock_guard<std::mutex> lock(gNodesMutex);
    auto& slot = gNodes[pdo];
    if (!slot) {
      slot = std::make_shared<Node>();
      ObfReferenceObject(pdo);
    }
    node = slot;
  }
  {
    std::lock_guard<std::mutex> lock(DeviceLock());
    pdo->DeviceObjectExtension->Pdo = true;
  }
  std::lock_guard<std::mutex> pnpLock(node->pnp);
  InProcess system(SystemProcess());
  HeldState before = Held();
  NTSTATUS status =
      driver->DriverExtension->AddDevice
          ? Callout(EntryKind::AddDevice, 0, driver->DriverExtension->AddDevice, driver, pdo)
          : STATUS_INVALID_DEVICE_REQUEST;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Violation(Check::DispatchIrqlChanged,
              "AddDevice returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  AuditReturn("AddDevice", before);
  if (!NT_SUCCESS(status))
    return status;
  std::vector<PDEVICE_OBJECT> initializing;
  {
    std::lock_guard<std::mutex> lock(DeviceLock());
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice)
      if (d->Flags & DO_DEVICE_INITIALIZING)
        initializing.push_back(d);
  }
  for (PDEVICE_OBJECT d : initializing)
    Violation(Check::DeviceInitializing, "device object " + Hex(reinterpret_cast<uintptr_t>(d)) +
                                             " still has DO_DEVICE_INITIALIZING after AddDevice");
  std::lock_guard<std::mutex> lock(gNodesMutex);
  node->added = true;
  node->order = ++gNextOrder;
  return status;
}

PDEVICE_OBJECT Top(PDEVICE_OBJECT pdo) {
  return IoGetAttachedDevice(pdo);
}

Result Send(PDEVICE_OBJECT pdo, UCHAR minor, void (*fill)(PIO_STACK_LOCATION, void*),
            void* context) {
  std::shared_ptr<Node> node = NodeOf(pdo);
  std::unique_lock<std::mutex> pnpLock;
  if (node)
    pnpLock = std::unique_lock<std::mutex>(node->pnp);
  InProcess system(SystemProcess());
  return SendToStack(
      pdo, STATUS_NOT_SUPPORTED,
      [&](PIRP, PIO_STACK_LOCATION next) {
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = minor;
        if (fill)
          fill(next, context);
      },
      [](PIRP, const IO_STATUS_BLOCK&) {});
}

NTSTATUS Start(PDEVICE_OBJECT pdo) {
  return Send(pdo, IRP_MN_START_DEVICE).Status;
}
NTSTATUS QueryStop(PDEVICE_OBJECT pdo) {
  return Send(pdo, IRP_MN_QUERY_STOP_DEVICE).Status;
}
NTSTATUS CancelStop(PDEVICE_OBJECT pdo) {
  return Send(pdo, IRP_MN_CANCEL_STOP_DEVICE).Status;
}
NTSTATUS Stop(PDEVICE_OBJECT pdo) {
  return Send(pdo, IRP_MN_STOP_DEVICE).Status;
}
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) {
  return Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE).Status;
}
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) {
  return Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE).Status;
}

NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) {
  {
    std::lock_guard<std::mutex> lock(DeviceLock());
    pdo->DeviceObjectExtension->SurpriseRemoved = true;
  }
  return Send(pdo, IRP_MN_SURPRISE_REMOVAL).Status;
}

NTSTATUS Remove(PDEVICE_OBJECT pdo) {
  return RemoveWithResult(pdo).Status;
}

Result RemoveWithResult(PDEVICE_OBJECT pdo) {
  {
    std::lock_guard<std::mutex> lock(DeviceLock());
    pdo->DeviceObjectExtension->SurpriseRemoved = false;
  }
  const Result result = Send(pdo, IRP_MN_REMOVE_DEVICE);
  const NTSTATUS status = result.Status;
  if (!NT_SUCCESS(status))
    Violation(Check::RemoveFailed, "remove request failed with " + StatusName(status));
  DisableInterfacesOf(pdo);
  std::shared_ptr<Node> node;
  {
    std::lock_guard<std::mutex> lock(gNodesMutex);
    auto it = gNodes.find(pdo);
    if (it != gNodes.end()) {
      node = it->second;
      gNodes.erase(it);
    }
  }
  if (node)
    ObfDereferenceObject(pdo);
  return result;
}

Result QueryCapabilities(PDEVICE_OBJECT pdo, USHORT size, USHORT version,
                         DEVICE_CAPABILITIES* capabilities) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = size;
  caps.Version = version;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  Result result = Send(
      pdo, IRP_MN_QUERY_CAPABILITIES,
      [](PIO_STACK_LOCATION next, void* c) {
        next->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c);
      },
      &caps);
  if (capabilities)
    *capabilities = caps;
  return result;
}

}  // namespace pnp

// -------------------------------------------------------------- power

namespace power {

namespace {
// A power request from the system process, its status preset to
// STATUS_NOT_SUPPORTED; `typeAndState` writes the type and the state into
// the stack location the top driver sees.
template <typename TypeAndState>
Result SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_ACTION action, TypeAndState typeAndState) {
  InProcess system(SystemProcess());
  return SendToStack(
      pdo, STATUS_NOT_SUPPORTED,
      [&](PIRP irp, PIO_STACK_LOCATION next) {
        irp->RequestorMode = KernelMode;
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = minor;
        next->Parameters.Power.SystemContext = 0;
        typeAndState(next);
        next->Parameters.Power.ShutdownType = action;
      },
      [](PIRP, const IO_STATUS_BLOCK&) {});
}
}  // namespace

Result Send(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
            POWER_ACTION action) {
  return SendPower(pdo, minor, action, [&](PIO_STACK_LOCATION next) {
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
  });
}

Result SendRaw(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type, ULONG state) {
  return SendPower(pdo, minor, PowerActionNone, [&](PIO_STACK_LOCATION next) {
    std::memcpy(&next->Parameters.Power.Type, &type, sizeof(type));
    std::memcpy(&next->Parameters.Power.State, &state, sizeof(state));
  });
}

namespace {
POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
      return PowerActionSleep;
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdown;
    default:
      return PowerActionNone;
  }
}
}  // namespace

NTSTATUS SetSystem(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return Send(pdo, IRP_MN_SET_POWER, SystemPowerState, s, ActionFor(state)).Status;
}

NTSTATUS QuerySystem(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return Send(pdo, IRP_MN_QUERY_POWER, SystemPowerState, s, ActionFor(state)).Status;
}

NTSTATUS SetDevice(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return Send(pdo, IRP_MN_SET_POWER, DevicePowerState, s).Status;
}

NTSTATUS QueryDevice(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return Send(pdo, IRP_MN_QUERY_POWER, DevicePowerState, s).Status;
}

}  // namespace power

// ------------------------------------------------------------- client

Client::Client(const std::string& name) : process_(CreateProcess(name)) {
  std::lock_guard<std::mutex> lock(gClientsMutex);
  gClients.insert(this);
}

Client::~Client() {
  {
    std::lock_guard<std::mutex> lock(gClientsMutex);
    gClients.erase(this);
  }
  if (gResetting)
    return;
  std::vector<HANDLE> handles;
  {
    std::lock_guard<std::mutex> lock(ObjectLock());
    for (const auto& [value, entry] : process_->handles)
      handles.push_back(reinterpret_cast<HANDLE>(value));
  }
  for (HANDLE h : handles)
    if (FileObject(h))
      Close(h);
  CloseProcessHandles(process_);
}

PFILE_OBJECT Client::FileObject(HANDLE handle) {
  void* object;
  {
    std::lock_guard<std::mutex> lock(ObjectLock());
    auto it = process_->handles.find(reinterpret_cast<uint64_t>(handle));
    if (it == process_->handles.end())
      return nullptr;
    object = it->second.object;
  }
  ObjectKind kind;
  return IsLiveObject(object, &kind) && kind == ObjectKind::File ? static_cast<PFILE_OBJECT>(object)
                                                                 : nullptr;
}

namespace {

Client::Open OpenOn(Process* process, PDEVICE_OBJECT parse, USHORT share) {
  InProcess client(process);
  if (!IsLiveDevice(parse))
    return {STATUS_NO_SUCH_DEVICE, nullptr};
  {
    std::lock_guard<std::mutex> lock(DeviceLock());
    auto* ext = parse->DeviceObjectExtension;
    if (ext->Deleted)
      return {STATUS_DELETE_PENDING, nullptr};
    if ((parse->Flags & DO_EXCLUSIVE) && ext->OpenCount > 0)
      return {STATUS_ACCESS_DENIED, nullptr};
    ++ext->OpenCount;  // held while the create is in flight
  }
  auto* file =
      static_cast<PFILE_OBJECT>(CreateObject(ObjectKind::File, sizeof(FILE_OBJECT), DestroyFile));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = parse;
  ObfReferenceObject(parse);  // an open file keeps its device object in memory
  file->ReadAccess = file->WriteAccess = TRUE;
  file->SharedRead = (share & FILE_SHARE_READ) ? TRUE : FALSE;
  file->SharedWrite = (share & FILE_SHARE_WRITE) ? TRUE : FALSE;
  file->SharedDelete = (share & FILE_SHARE_DELETE) ? TRUE : FALSE;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  InitializeListHead(&file->IrpList);
  Result result = SendToStack(
      parse, STATUS_SUCCESS,
      [&](PIRP irp, PIO_STACK_LOCATION next) {
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = file;
        next->MajorFunction = IRP_MJ_CREATE;
        next->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
        next->Parameters.Create.ShareAccess = share;
        next->FileObject = file;
      },
      [](PIRP, const IO_STATUS_BLOCK&) {});
  if (!NT_SUCCESS(result.Status)) {
    {
      std::lock_guard<std::mutex> lock(DeviceLock());
      --parse->DeviceObjectExtension->OpenCount;
    }
    ObfDereferenceObject(file);  // a failed open is never closed
    return {result.Status, nullptr};
  }
  {
    std::lock_guard<std::mutex> lock(gOpenFilesMutex);
    gOpenFiles.insert(file);
  }
  HANDLE handle = InsertHandle(file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, false);
  ObfDereferenceObject(file);  // the handle holds it now
  return {result.Status, handle};
}

PFILE_OBJECT ReferenceFile(Process* process, HANDLE handle) {
  InProcess client(process);
  PVOID object = nullptr;
  if (!NT_SUCCESS(
          ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, nullptr)))
    return nullptr;
  return static_cast<PFILE_OBJECT>(object);
}

// Sends one data request on a file and returns what the caller would see.
Client::Io Transfer(Process* process, HANDLE handle, UCHAR major, ULONG code,
                    const std::vector<UCHAR>& input, ULONG outputLength) {
  PFILE_OBJECT file = ReferenceFile(process, handle);
  if (!file)
    return {STATUS_INVALID_HANDLE, 0, {}};
  InProcess client(process);
  Client::Io io{STATUS_SUCCESS, 0, {}};
  std::vector<UCHAR> user(outputLength);  // the caller's output buffer
  std::vector<UCHAR> userInput(input);
  ULONG inputLength = static_cast<ULONG>(input.size());
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
  bool control = major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  ULONG method = control                         ? METHOD_FROM_CTL_CODE(code)
                 : (top->Flags & DO_BUFFERED_IO) ? METHOD_BUFFERED
                 : (top->Flags & DO_DIRECT_IO)   ? METHOD_OUT_DIRECT
                                                 : METHOD_NEITHER;
  Result result = SendToStack(
      file->DeviceObject, STATUS_SUCCESS,
      [&](PIRP irp, PIO_STACK_LOCATION next) {
        FromClient(irp, next, file, major);
        ULONG length = 0;
        if (control) {
          next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
          next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
          next->Parameters.DeviceIoControl.IoControlCode = code;
        } else if (major == IRP_MJ_READ) {
          next->Parameters.Read.Length = length = outputLength;
        } else {
          next->Parameters.Write.Length = length = inputLength;
        }
        if (method == METHOD_BUFFERED) {
          ULONG size = control ? std::max(inputLength, outputLength) : length;
          if (size) {
            irp->AssociatedIrp.SystemBuffer = std::malloc(size);
            std::memset(irp->AssociatedIrp.SystemBuffer, 0, size);
            if (inputLength)
              std::memcpy(irp->AssociatedIrp.SystemBuffer, userInput.data(), inputLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
          }
          if (control)
            SetBufferedOutput(irp, nullptr, outputLength, false);
        } else if (method == METHOD_NEITHER) {
          if (control)
            next->Parameters.DeviceIoControl.Type3InputBuffer = userInput.data();
          irp->UserBuffer = major == IRP_MJ_WRITE ? userInput.data() : user.data();
        } else {
          if (control && inputLength) {
            irp->AssociatedIrp.SystemBuffer = std::malloc(inputLength);
            std::memcpy(irp->AssociatedIrp.SystemBuffer, userInput.data(), inputLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
          }
          std::vector<UCHAR>& data = major == IRP_MJ_WRITE ? userInput : user;
          if (!data.empty()) {
            irp->MdlAddress = new MDL{};
            irp->MdlAddress->MappedSystemVa = irp->MdlAddress->StartVa = data.data();
            irp->MdlAddress->ByteCount = static_cast<ULONG>(data.size());
          }
        }
      },
      [&](PIRP irp, const IO_STATUS_BLOCK& iosb) {
        size_t n = std::min<size_t>(iosb.Information, outputLength);
        bool returnsData = major != IRP_MJ_WRITE && !IsError(iosb.Status);
        if (returnsData) {
          if (method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer && n > 0)
            std::memcpy(user.data(), irp->AssociatedIrp.SystemBuffer, n);
          io.Output.assign(user.begin(), user.begin() + n);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER)
          std::free(irp->AssociatedIrp.SystemBuffer);
      });
  ObfDereferenceObject(file);
  io.Status = result.Status;
  io.Information = result.Information;
  return io;
}

}  // namespace

Client::Open Client::OpenInterface(const std::u16string& symbolicLink, USHORT shareAccess) {
  PDEVICE_OBJECT pdo = interfaces::EnabledPdo(symbolicLink);
  if (!pdo)
    return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr};
  return OpenOn(process_, pdo, shareAccess);
}

Client::Open Client::OpenDevice(PDEVICE_OBJECT deviceObject, USHORT shareAccess) {
  return OpenOn(process_, deviceObject, shareAccess);
}

NTSTATUS Client::Close(HANDLE handle) {
  PFILE_OBJECT file = FileObject(handle);
  if (!file)
    return STATUS_INVALID_HANDLE;
  {
    std::lock_guard<std::mutex> lock(ObjectLock());
    process_->handles.erase(reinterpret_cast<uint64_t>(handle));
  }
  InProcess client(process_);
  // The last handle is gone: cleanup now, close when the last reference goes.
  SendFileRequest(file, IRP_MJ_CLEANUP);
  ObfDereferenceObject(file);
  return STATUS_SUCCESS;
}

Client::Io Client::Read(HANDLE handle, ULONG length) {
  return Transfer(process_, handle, IRP_MJ_READ, 0, {}, length);
}

Client::Io Client::Write(HANDLE handle, const std::vector<UCHAR>& data) {
  return Transfer(process_, handle, IRP_MJ_WRITE, 0, data, 0);
}

Client::Io Client::DeviceIoControl(HANDLE handle, ULONG code, const std::vector<UCHAR>& input,
                                   ULONG outputLength) {
  return Transfer(process_, handle, IRP_MJ_DEVICE_CONTROL, code, input, outputLength);
}

Client::Io Client::InternalDeviceIoControl(HANDLE handle, ULONG code,
                                           const std::vector<UCHAR>& input, ULONG outputLength) {
  return Transfer(process_, handle, IRP_MJ_INTERNAL_DEVICE_CONTROL, code, input, outputLength);
}

// -------------------------------------------------------- end and reset

void Shutdown() {
  std::vector<Client*> clients;
  {
    std::lock_guard<std::mutex> lock(gClientsMutex);
    clients.assign(gClients.begin(), gClients.end());
  }
  for (Client* client : clients) {
    std::vector<HANDLE> handles;
    {
      std::lock_guard<std::mutex> lock(ObjectLock());
      for (const auto& [value, entry] : client->process()->handles)
        handles.push_back(reinterpret_cast<HANDLE>(value));
    }
    for (HANDLE h : handles)
      if (client->FileObject(h))
        client->Close(h);
    CloseProcessHandles(client->process());
  }
  std::vector<std::pair<uint64_t, PDEVICE_OBJECT>> stacks;
  {
    std::lock_guard<std::mutex> lock(gNodesMutex);
    for (const auto& [pdo, node] : gNodes)
      if (node->added)
        stacks.emplace_back(node->order, pdo);
  }
  std::sort(stacks.rbegin(), stacks.rend());
  for (const auto& [order, pdo] : stacks)
    pnp::Remove(pdo);
  {
    // PDOs that never got a stack: the PnP manager lets go of them.
    std::map<PDEVICE_OBJECT, std::shared_ptr<Node>> rest;
    {
      std::lock_guard<std::mutex> lock(gNodesMutex);
      rest.swap(gNodes);
    }
    for (auto& [pdo, node] : rest)
      ObfDereferenceObject(pdo);
  }
  auto drivers = LoadedDrivers();
  for (auto it = drivers.rbegin(); it != drivers.rend(); ++it)
    UnloadDriver(*it);
  DrainSystemWork(std::chrono::seconds(10));
}

void ResetKernel() {
  clock::Reset();
  gResetting = true;
  ResetTimers();
  ResetThreads();
  ResetIrps();
  ResetApcs();
  ResetPool();
  ResetErrorLog();
  ForgetObjects();
  ResetDrivers();
  ResetInterfaces();
  ResetPower();
  ResetBench();
  ResetVersion();
  faults::Reset();
  verifier::Clear();
  {
    std::lock_guard<std::mutex> lock(gClientsMutex);
    gClients.clear();
  }
  auto& state = Current();
  state.irql = PASSIVE_LEVEL;
  state.spinLocks.clear();
  state.mutexes.clear();
  state.frames.clear();
  state.process = SystemProcess();
  gResetting = false;
}

}  // namespace sim
