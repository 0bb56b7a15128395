#include "sim/kernel/callout.h"

#include <atomic>
#include <cstdio>

namespace sim {
namespace {

thread_local CalloutFrame* tInnermost = nullptr;
std::atomic<const CalloutWatcher*> gWatcher{nullptr};

const char* MajorName(UCHAR major) {
  static const char* const kNames[] = {
      "IRP_MJ_CREATE",
      "IRP_MJ_CREATE_NAMED_PIPE",
      "IRP_MJ_CLOSE",
      "IRP_MJ_READ",
      "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION",
      "IRP_MJ_SET_INFORMATION",
      "IRP_MJ_QUERY_EA",
      "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS",
      "IRP_MJ_QUERY_VOLUME_INFORMATION",
      "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL",
      "IRP_MJ_FILE_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL",
      "IRP_MJ_SHUTDOWN",
      "IRP_MJ_LOCK_CONTROL",
      "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT",
      "IRP_MJ_QUERY_SECURITY",
      "IRP_MJ_SET_SECURITY",
      "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CHANGE",
      "IRP_MJ_QUERY_QUOTA",
      "IRP_MJ_SET_QUOTA",
      "IRP_MJ_PNP",
  };
  return major < sizeof kNames / sizeof kNames[0] ? kNames[major] : "IRP_MJ_?";
}

}  // namespace

const char* EntryName(EntryKind kind) {
  switch (kind) {
    case EntryKind::DriverEntry:
      return "DriverEntry";
    case EntryKind::AddDevice:
      return "AddDevice";
    case EntryKind::Dispatch:
      return "dispatch";
    case EntryKind::Completion:
      return "completion";
    case EntryKind::Cancel:
      return "cancel";
    case EntryKind::ThreadStart:
      return "thread start";
    case EntryKind::PowerCompletion:
      return "power completion";
    case EntryKind::Unload:
      return "unload";
    case EntryKind::Callback:
      return "callback";
    case EntryKind::Dpc:
      return "DPC";
  }
  return "entry";
}

void DescribeEntry(const CalloutFrame& frame, char* out, size_t size) {
  if (frame.kind == EntryKind::Dispatch)
    snprintf(out, size, "dispatch %s", MajorName(frame.major));
  else
    snprintf(out, size, "%s", EntryName(frame.kind));
}

void SetCalloutWatcher(const CalloutWatcher* watcher) {
  gWatcher.store(watcher);
}

const CalloutWatcher* Watcher() {
  return gWatcher.load(std::memory_order_relaxed);
}

uintptr_t& ImageReturnAddress() {
  static thread_local uintptr_t address = 0;
  return address;
}

CalloutFrame* InnermostCallout() {
  return tInnermost;
}

void ForgetCallouts() {
  tInnermost = nullptr;
}

namespace detail {

void PushCallout(CalloutFrame* frame) {
  frame->outer = tInnermost;
  tInnermost = frame;
}

void PopCallout(CalloutFrame* frame) {
  tInnermost = frame->outer;
}

}  // namespace detail
}  // namespace sim
