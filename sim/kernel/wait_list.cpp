// Wait lists of dispatcher objects: first come, first served.
#include "sim/kernel/wait_list.h"

#include <cstddef>

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

// Objects that no KeInitializeXxx routine set up (a process) start with a
// zeroed list head.
PLIST_ENTRY ListOf(DISPATCHER_HEADER* header) {
  if (!header->WaitListHead.Flink)
    InitializeListHead(&header->WaitListHead);
  return &header->WaitListHead;
}

}  // namespace

void QueueWaiter(DISPATCHER_HEADER* header, WaitBlock* block) {
  InsertTailList(ListOf(header), &block->entry);
}

WaitBlock* FirstWaiter(DISPATCHER_HEADER* header) {
  PLIST_ENTRY list = ListOf(header);
  if (IsListEmpty(list))
    return nullptr;
  return reinterpret_cast<WaitBlock*>(list->Flink);  // the entry comes first
}

void RemoveWaiter(WaitBlock* block) {
  RemoveEntryList(&block->entry);
}

size_t CountWaiters(DISPATCHER_HEADER* header) {
  PLIST_ENTRY list = ListOf(header);
  size_t count = 0;
  for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink)
    ++count;
  return count;
}

}  // namespace sim::detail

namespace sim {

size_t WaitingThreads(const void* object) {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return detail::CountWaiters(static_cast<DISPATCHER_HEADER*>(const_cast<void*>(object)));
}

}  // namespace sim
