#include "sim/image/driver_under_test.h"

#include <cstdlib>
#include <mutex>

#include "sim/image/loader.h"

namespace sim::image {
namespace {

std::mutex gMutex;
bool gChosen = false;
std::string gImage;

}  // namespace

std::string ImageUnderTest() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gChosen) {
    const char* path = std::getenv("TARVIK_IMAGE");
    gImage = path ? path : "";
    gChosen = true;
  }
  return gImage;
}

void UseImage(const std::string& path) {
  std::lock_guard<std::mutex> lock(gMutex);
  gImage = path;
  gChosen = true;
}

PDRIVER_OBJECT LoadDriverUnderTest(const std::u16string& name, PDRIVER_INITIALIZE hostEntry,
                                   NTSTATUS* status) {
  std::string image = ImageUnderTest();
  if (image.empty())
    return LoadDriver(name, hostEntry, status);
  return LoadImageDriver(image, status);
}

}  // namespace sim::image
