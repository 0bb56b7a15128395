// The kernel-mode image loader: loads a PE32+ driver image into the simulated
// kernel as Windows' loader does. It checks the headers (x64, native
// subsystem, header checksum, page-sized sections, nothing writable and
// executable), maps each section with the protection its characteristics
// give, always away from the preferred base so that every base relocation is
// applied, and binds every import by module and name to the simulated
// kernel's exports; anything it cannot do refuses the load, named. The entry
// point runs as DriverEntry through sim::LoadDriver; INIT is discarded once
// it returns, and the image is unmapped once the driver has been unloaded
// (its range stays reserved: a routine called there afterwards is reported).
// A crash inside an image ends the process with the bug check Windows would
// raise, naming the routine (see bug_check.h).
#pragma once

#include <string>

#include "sim/kernel/harness.h"

namespace sim::image {

struct Image;

// Reads, checks, maps, relocates and binds the image at `path`. Null on
// refusal, with the reason in *refusal ("Tarvik4v2.sys: <fault>").
Image* MapImage(const std::string& path, std::string* refusal);

// Calls the entry point of a mapped image as DriverEntry of a driver named
// `name`; discards INIT afterwards. Null when DriverEntry fails (the image is
// unmapped then).
PDRIVER_OBJECT StartImage(Image* image, const std::u16string& name, NTSTATUS* status = nullptr);

// Both steps, the driver named after the file (Tarvik4v2.sys -> Tarvik4v2). A
// refused image is a verifier finding (ImageRefused) and returns null with
// *status STATUS_INVALID_IMAGE_FORMAT or, for a missing import,
// STATUS_PROCEDURE_NOT_FOUND, as Windows' loader answers.
PDRIVER_OBJECT LoadImageDriver(const std::string& path, NTSTATUS* status = nullptr);

// The address of a routine of a mapped image by its name (demangled, without
// parameters), from the image's symbols; null if unknown.
void* RoutineAddress(const Image* image, const std::string& name);

// "Tarvik4v2.sys!Routine+0x1a" for an address inside a registered image
// (loaded or unloaded), "" for any other address.
std::string Describe(const void* address);

}  // namespace sim::image
