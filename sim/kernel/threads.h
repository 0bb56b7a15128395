// Processes and threads of the simulated kernel, as tests and the other
// simulated parts see them.
//
// Every OS thread that calls into the kernel is a kernel thread with its own
// IRQL (PASSIVE_LEVEL to start with). Threads created by PsCreateSystemThread
// belong to the system process. Any other OS thread (the test's own threads)
// acts for the system process unless an InProcess scope says otherwise: the
// bench's client calls run in a client process, its PnP and power calls in
// the system process. Handles made without OBJ_KERNEL_HANDLE belong to the
// process of the thread that made them.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "sim/kernel/wdm.h"

namespace sim {

class Process;

Process* SystemProcess();
// A user-mode process (for client software); it lives until the kernel is reset.
Process* CreateProcess(const std::string& name);
const std::string& ProcessName(Process* process);
Process* CurrentProcess();
// Closes every handle of a process, as Windows does when it exits.
void CloseProcessHandles(Process* process);

// For its lifetime the calling OS thread acts as a thread of `process`, at
// PASSIVE_LEVEL. Scopes nest.
class InProcess {
 public:
  explicit InProcess(Process* process);
  ~InProcess();
  InProcess(const InProcess&) = delete;
  InProcess& operator=(const InProcess&) = delete;

 private:
  Process* previous_;
  KIRQL previousIrql_;
};

// System threads created by PsCreateSystemThread that have not ended yet.
size_t LiveSystemThreads();
// Waits until every system thread has ended; false on timeout.
bool WaitForSystemThreads(std::chrono::milliseconds timeout);

// Runs `work` on the kernel's system worker thread (system process,
// PASSIVE_LEVEL), after the work queued before it.
void QueueSystemWork(std::function<void()> work);
// Waits until the worker queue is empty; false on timeout.
bool DrainSystemWork(std::chrono::milliseconds timeout);

}  // namespace sim
