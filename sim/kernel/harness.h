// The bench: the world around a driver under test. It plays the Plug and
// Play manager, the power manager and the I/O manager of client software,
// and records what the driver reports to the system. Usable from many
// threads at once.
//
// A test's life: LoadDriver (the simulated USB bus driver is loaded the same
// way and creates PDOs), pnp::AddDevice, then requests; at the end
// sim::Shutdown() closes client handles, removes every stack still present
// and unloads the drivers in reverse order (a driver's Unload must delete the
// device objects it still owns, as a bus driver does with its PDOs), and
// sim::verifier::CheckEndOfTest() audits what is left.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/threads.h"
#include "sim/kernel/wdm.h"

namespace sim {

// Loads a driver: a fresh DRIVER_OBJECT named \Driver\<name>, every dispatch
// slot at the I/O manager's default handler, DriverEntry called in the system
// process at PASSIVE_LEVEL. Returns null (with *status) when DriverEntry fails.
PDRIVER_OBJECT LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry,
                          NTSTATUS* status = nullptr);
// A driver whose code was loaded from an image: where the code lies (the
// object's DriverStart and DriverSize, set before DriverEntry runs), and what
// to do once the code is no longer used: after DriverUnload and the release
// of the driver object, after a failed DriverEntry, or when the kernel is
// reset with the driver still loaded (the image loader unmaps it then).
struct DriverImage {
  PVOID Start;
  ULONG Size;
  std::function<void()> Unloaded;
};
PDRIVER_OBJECT LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status,
                          DriverImage image);
// Calls DriverUnload (if any) and frees the driver object. Device objects the
// driver still owns are reported as leaked objects.
void UnloadDriver(PDRIVER_OBJECT driver);

// End of a test: closes the handles of every client process, sends a remove
// request to every stack still present, unloads every loaded driver (last
// loaded first) and drains the system worker.
void Shutdown();

// Forgets everything: pool, objects, handles, drivers, devices, interfaces,
// records, fault plan and violations. Only between tests, with no thread
// inside the kernel.
void ResetKernel();

// One counter orders what different parts of the system record (the power
// manager's calls, the requests that reach a bus driver): every call returns
// a number greater than all before it, in any thread.
uint64_t NextSequence();

// The result of a request the bench sent.
struct Result {
  NTSTATUS Status;
  ULONG_PTR Information;
  // What the top driver's dispatch routine returned: the final status, or
  // STATUS_PENDING from a routine that let the request finish later.
  NTSTATUS Returned = STATUS_SUCCESS;
};

namespace pnp {

// The PnP manager takes `pdo` as a device node (from then on it is a PDO for
// interface registration and change reports) and calls the driver's AddDevice.
// After success every device object in the stack above the PDO must have
// DO_DEVICE_INITIALIZING clear.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// The top of the stack built on `pdo` (no reference taken).
PDEVICE_OBJECT Top(PDEVICE_OBJECT pdo);

// Sends IRP_MJ_PNP with `minor` to the top of the stack, with IoStatus.Status
// preset to STATUS_NOT_SUPPORTED, from the system process at PASSIVE_LEVEL,
// one request per device at a time; waits for completion. `fill` may set the
// parameters of the stack location the top driver sees.
Result Send(PDEVICE_OBJECT pdo, UCHAR minor, void (*fill)(PIO_STACK_LOCATION, void*) = nullptr,
            void* context = nullptr);

NTSTATUS Start(PDEVICE_OBJECT pdo);
NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
NTSTATUS Stop(PDEVICE_OBJECT pdo);
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
// The stack stays marked as surprise-removed until Remove: detaching or
// deleting one of its device objects before then is a verifier finding.
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
// A failed remove request is a verifier finding. Afterwards the stack is
// forgotten, interfaces its driver left enabled are disabled, and the PDO is
// its bus driver's business.
NTSTATUS Remove(PDEVICE_OBJECT pdo);
// The same, with what the dispatch routine returned.
Result RemoveWithResult(PDEVICE_OBJECT pdo);

// IRP_MN_QUERY_CAPABILITIES with a structure prepared as Windows does
// (Address and UINumber 0xFFFFFFFF, the rest 0) but with the Size and Version
// the test chooses. The structure as the stack left it goes to *capabilities.
Result QueryCapabilities(PDEVICE_OBJECT pdo, USHORT size, USHORT version,
                         DEVICE_CAPABILITIES* capabilities);

}  // namespace pnp

namespace power {

// IRP_MJ_POWER to the top of the stack built on `pdo`, from the system
// process at PASSIVE_LEVEL, IoStatus.Status preset to STATUS_NOT_SUPPORTED;
// waits for completion.
Result Send(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
            POWER_ACTION action = PowerActionNone);
// The same with the type and the state as raw 32-bit numbers, for values
// outside their enumerations.
Result SendRaw(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type, ULONG state);
NTSTATUS SetSystem(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
NTSTATUS QuerySystem(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
NTSTATUS SetDevice(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
NTSTATUS QueryDevice(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);

// PoSetPowerState calls for a device object, in order.
struct Report {
  POWER_STATE_TYPE Type;
  POWER_STATE State;
  uint64_t Sequence;  // place among everything that takes a sequence number
};
std::vector<Report> Reports(PDEVICE_OBJECT deviceObject);

// Device power requests made with PoRequestPowerIrp, in order.
struct PowerRequest {
  PDEVICE_OBJECT DeviceObject;
  UCHAR MinorFunction;
  POWER_STATE State;
  uint64_t Sequence;
};
std::vector<PowerRequest> Requests();

}  // namespace power

namespace interfaces {

struct Interface {
  std::u16string SymbolicLink;
  GUID Class;
  PDEVICE_OBJECT Pdo;
  bool Enabled;
};
std::vector<Interface> All();
// Symbolic links of the enabled interfaces of a class, in registration order.
std::vector<std::u16string> Enabled(const GUID& interfaceClass);
bool IsEnabled(const std::u16string& symbolicLink);
std::u16string ToString(const UNICODE_STRING& string);

}  // namespace interfaces

// Target-device-change reports made with IoReportTargetDeviceChangeAsynchronous.
namespace changes {

struct Report {
  PDEVICE_OBJECT Pdo;
  GUID Event;
  USHORT Version;
  USHORT Size;
  LONG NameBufferOffset;
  std::vector<UCHAR> Data;  // the bytes from CustomDataBuffer up to Size
};
std::vector<Report> Reports();

}  // namespace changes

// Client software: a user-mode process whose threads open handles and send
// requests through the I/O manager. Any number of OS threads may use one
// client at once; each call runs in the calling thread, in the client's
// process, at PASSIVE_LEVEL, and waits for the request to complete.
class Client {
 public:
  explicit Client(const std::string& name = "client");
  ~Client();  // closes the handles still open, as process exit does
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Process* process() const { return process_; }

  struct Open {
    NTSTATUS Status;
    HANDLE Handle;  // null on failure
  };
  // IRP_MJ_CREATE with Parameters.Create.ShareAccess = share on the stack of
  // an enabled device interface (STATUS_OBJECT_NAME_NOT_FOUND otherwise) ...
  Open OpenInterface(const std::u16string& symbolicLink, USHORT shareAccess);
  // ... or on a device object's stack.
  Open OpenDevice(PDEVICE_OBJECT deviceObject, USHORT shareAccess);
  // IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once the file object is unreferenced.
  NTSTATUS Close(HANDLE handle);

  struct Io {
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<UCHAR> Output;  // the bytes returned to the caller
  };
  Io Read(HANDLE handle, ULONG length);
  Io Write(HANDLE handle, const std::vector<UCHAR>& data);
  // Device I/O control as DeviceIoControl sends it: IRP_MJ_DEVICE_CONTROL;
  // for METHOD_BUFFERED one system buffer of max(input, output) bytes (null
  // when both are 0), input copied in, Information bytes copied back.
  Io DeviceIoControl(HANDLE handle, ULONG code, const std::vector<UCHAR>& input,
                     ULONG outputLength);
  // The same request with IRP_MJ_INTERNAL_DEVICE_CONTROL, from user mode.
  Io InternalDeviceIoControl(HANDLE handle, ULONG code, const std::vector<UCHAR>& input,
                             ULONG outputLength);

  // The file object behind a handle of this client (null if not valid).
  PFILE_OBJECT FileObject(HANDLE handle);

 private:
  Process* process_;
};

}  // namespace sim
