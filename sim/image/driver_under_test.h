// The driver that tests and tools run: the host build's own entry point, or
// the shipped image loaded through the image loader when the environment
// variable TARVIK_IMAGE names it (keysim's --image and the benchmark's
// --image set it too). One switch for every place that loads the driver.
#pragma once

#include <string>

#include "sim/kernel/harness.h"

namespace sim::image {

// The image under test ("" when the host build runs).
std::string ImageUnderTest();
// Runs the image at `path` from now on (as TARVIK_IMAGE=path would).
void UseImage(const std::string& path);
inline bool OnImage() {
  return !ImageUnderTest().empty();
}

// Loads the driver under test: `hostEntry` as DriverEntry of a driver named
// `name`, or the image (its driver named after its file).
PDRIVER_OBJECT LoadDriverUnderTest(const std::u16string& name, PDRIVER_INITIALIZE hostEntry,
                                   NTSTATUS* status = nullptr);

}  // namespace sim::image
