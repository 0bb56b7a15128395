// Object manager: object headers with pointer counts, handle tables per
// process and the kernel handle table.
#include <cstdlib>
#include <unordered_map>

#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

constexpr uint32_t kObjectMagic = 0x4F626A31;  // "1jbO"
constexpr uint64_t kKernelHandleBit = 0xFFFFFFFF80000000ull;

struct alignas(16) ObjectHeader {
  uint32_t magic;
  ObjectKind kind;
  std::atomic<LONG_PTR> pointerCount;
  void (*destroy)(void* body);
};

std::mutex gObjectLock;
std::unordered_map<const void*, ObjectHeader*> gLive;

ObjectHeader* FindLive(const void* body) {
  auto it = gLive.find(body);
  return it == gLive.end() ? nullptr : it->second;
}

void DestroyObject(ObjectHeader* header) {
  void* body = header + 1;
  if (header->destroy)
    header->destroy(body);
  header->magic = 0;
  std::free(header);
}

Process* TableOwner(HANDLE handle) {
  return (reinterpret_cast<uint64_t>(handle) & kKernelHandleBit) == kKernelHandleBit
             ? SystemProcess()
             : CurrentProcess();
}

}  // namespace

const char* KindName(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::Thread:
      return "thread";
    case ObjectKind::Device:
      return "device object";
    case ObjectKind::Driver:
      return "driver object";
    case ObjectKind::File:
      return "file object";
  }
  return "object";
}

std::mutex& ObjectLock() {
  return gObjectLock;
}

void* CreateObject(ObjectKind kind, size_t bodySize, void (*destroy)(void* body)) {
  auto* header = static_cast<ObjectHeader*>(std::calloc(1, sizeof(ObjectHeader) + bodySize));
  header->magic = kObjectMagic;
  header->kind = kind;
  header->pointerCount = 1;
  header->destroy = destroy;
  void* body = header + 1;
  std::lock_guard<std::mutex> lock(gObjectLock);
  gLive[body] = header;
  return body;
}

bool IsLiveObject(const void* body, ObjectKind* kind) {
  std::lock_guard<std::mutex> lock(gObjectLock);
  ObjectHeader* header = FindLive(body);
  if (header && kind)
    *kind = header->kind;
  return header != nullptr;
}

HANDLE InsertHandle(void* object, ACCESS_MASK access, bool kernel) {
  Process* process = kernel ? SystemProcess() : CurrentProcess();
  std::lock_guard<std::mutex> lock(gObjectLock);
  ObjectHeader* header = FindLive(object);
  if (header)
    ++header->pointerCount;
  uint64_t value;
  if (kernel) {
    value = kKernelHandleBit | process->nextKernelHandle;
    process->nextKernelHandle += 4;
  } else {
    value = process->nextHandle;
    process->nextHandle += 4;
  }
  process->handles[value] = Process::Entry{object, access, kernel};
  return reinterpret_cast<HANDLE>(value);
}

std::vector<void*> ReferenceLiveObjects(ObjectKind kind) {
  std::vector<void*> out;
  std::lock_guard<std::mutex> lock(gObjectLock);
  for (const auto& [body, header] : gLive) {
    if (header->kind == kind && header->pointerCount.load() > 0) {
      ++header->pointerCount;
      out.push_back(const_cast<void*>(body));
    }
  }
  return out;
}

std::vector<std::string> LiveObjectReport(bool includeDevicesAndDrivers) {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lock(gObjectLock);
  for (const auto& [value, entry] : SystemProcess()->handles) {
    ObjectHeader* header = FindLive(entry.object);
    out.push_back(std::string("handle ") + Hex(value) + (entry.kernel ? " (kernel)" : "") +
                  " of the system process to a " +
                  (header ? KindName(header->kind) : "dead object") + " still open");
  }
  for (const auto& [body, header] : gLive) {
    if (!includeDevicesAndDrivers &&
        (header->kind == ObjectKind::Device || header->kind == ObjectKind::Driver))
      continue;
    out.push_back(std::string(KindName(header->kind)) + " " +
                  Hex(reinterpret_cast<uintptr_t>(body)) + " still referenced (" +
                  std::to_string(header->pointerCount.load()) + " reference(s))");
  }
  return out;
}

void ForgetObjects() {
  std::lock_guard<std::mutex> lock(gObjectLock);
  for (auto& [body, header] : gLive)
    DestroyObject(header);
  gLive.clear();
  SystemProcess()->handles.clear();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  std::unique_lock<std::mutex> lock(gObjectLock);
  ObjectHeader* header = FindLive(Object);
  if (!header) {
    lock.unlock();
    Violation(Check::ObjectBadReference, "ObfReferenceObject on " +
                                             Hex(reinterpret_cast<uintptr_t>(Object)) +
                                             ", which is not a live object");
    return 0;
  }
  return ++header->pointerCount;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  RequireIrql(Check::IrqlDocumented, "ObDereferenceObject", DISPATCH_LEVEL);
  std::unique_lock<std::mutex> lock(gObjectLock);
  ObjectHeader* header = FindLive(Object);
  if (!header) {
    lock.unlock();
    Violation(Check::ObjectBadReference,
              "ObfDereferenceObject on " + Hex(reinterpret_cast<uintptr_t>(Object)) +
                  ", which is not a live object (dereferenced once too often?)");
    return 0;
  }
  const LONG_PTR count = --header->pointerCount;
  if (count == 0)
    gLive.erase(Object);
  lock.unlock();
  if (count == 0)
    DestroyObject(header);
  return count;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  RequireIrql(Check::IrqlObPassive, "ObReferenceObjectByHandle", PASSIVE_LEVEL);
  *Object = nullptr;
  uint64_t value = reinterpret_cast<uint64_t>(Handle);
  bool kernelHandle = (value & kKernelHandleBit) == kKernelHandleBit;
  if (kernelHandle && AccessMode != KernelMode)
    return STATUS_INVALID_HANDLE;
  Process* process = TableOwner(Handle);
  std::lock_guard<std::mutex> lock(gObjectLock);
  auto it = process->handles.find(value);
  if (it == process->handles.end())
    return STATUS_INVALID_HANDLE;
  ObjectHeader* header = FindLive(it->second.object);
  if (!header)
    return STATUS_INVALID_HANDLE;
  if (ObjectType) {
    ObjectKind wanted = ObjectType == *PsThreadType       ? ObjectKind::Thread
                        : ObjectType == *IoFileObjectType ? ObjectKind::File
                                                          : header->kind;
    if (ObjectType == *PsProcessType || ObjectType == *ExEventObjectType || wanted != header->kind)
      return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (AccessMode != KernelMode && (DesiredAccess & ~it->second.access) != 0)
    return STATUS_ACCESS_DENIED;
  ++header->pointerCount;
  *Object = it->second.object;
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = it->second.access;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  RequireIrql(Check::IrqlZwPassive, "ZwClose", PASSIVE_LEVEL);
  uint64_t value = reinterpret_cast<uint64_t>(Handle);
  Process* process = TableOwner(Handle);
  void* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(gObjectLock);
    auto it = process->handles.find(value);
    if (it != process->handles.end()) {
      object = it->second.object;
      process->handles.erase(it);
    }
  }
  if (!object) {
    // Windows stops with INVALID_KERNEL_HANDLE when kernel code closes a
    // handle that its process does not have.
    Violation(Check::HandleInvalid, "ZwClose(" + Hex(value) + "): no such handle in process \"" +
                                        ProcessName(process) + "\"");
    return STATUS_INVALID_HANDLE;
  }
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

namespace sim {

void CloseProcessHandles(Process* process) {
  std::vector<void*> objects;
  {
    std::lock_guard<std::mutex> lock(gObjectLock);
    for (auto& [value, entry] : process->handles)
      objects.push_back(entry.object);
    process->handles.clear();
  }
  for (void* object : objects) {
    if (IsLiveObject(object))
      ObfDereferenceObject(object);
  }
}

}  // namespace sim
