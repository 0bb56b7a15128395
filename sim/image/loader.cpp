#include "sim/image/loader.h"

#include <strings.h>
#include <sys/mman.h>

#include <cstring>

#include "sim/image/boundary.h"
#include "sim/image/bug_check.h"
#include "sim/image/exports.h"
#include "sim/image/image.h"
#include "sim/kernel/code_names.h"
#include "sim/kernel/verifier.h"

namespace sim::image {
namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint16_t kRelocationAbsolute = 0;
constexpr uint16_t kRelocationDir64 = 10;
constexpr uint64_t kImportByOrdinal = 1ull << 63;
// What Windows' loader answers for an image it refuses.
constexpr NTSTATUS kStatusInvalidImageFormat = static_cast<NTSTATUS>(0xC000007B);
constexpr NTSTATUS kStatusProcedureNotFound = static_cast<NTSTATUS>(0xC000007A);

uint32_t PageRound(uint64_t value) {
  return static_cast<uint32_t>((value + kPage - 1) & ~uint64_t(kPage - 1));
}

std::string BaseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Memory for the image anywhere but at its preferred base.
uint8_t* Reserve(size_t size, uint64_t preferred) {
  void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED)
    return nullptr;
  if (reinterpret_cast<uint64_t>(at) == preferred) {
    void* other = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(at, size);
    at = other == MAP_FAILED ? nullptr : other;
  }
  return static_cast<uint8_t*>(at);
}

void CopySections(const PeFile& file, Image* image) {
  std::memcpy(image->base, file.bytes.data(), file.headersSize);
  for (const auto& s : file.sections) {
    uint32_t size = PageRound(s.virtualSize ? s.virtualSize : s.rawSize);
    uint32_t raw = std::min(s.rawSize, size);
    if (raw)
      std::memcpy(image->base + s.virtualAddress, &file.bytes[s.rawOffset], raw);
    image->sections.push_back({s.name, s.virtualAddress, size, s.characteristics});
  }
}

bool InImage(const Image& image, uint64_t rva, uint64_t length) {
  return rva <= image.size && image.size - rva >= length;
}

// Every DIR64 fix-up of the relocation directory, by the distance from the
// preferred base.
std::string Relocate(const PeFile& file, Image* image) {
  uint64_t delta = reinterpret_cast<uint64_t>(image->base) - file.preferredBase;
  uint32_t at = file.relocations.rva;
  uint32_t end = at + file.relocations.size;
  if (!file.relocations.size)
    return "no base relocations: the image can only run at its preferred base";
  if (!InImage(*image, at, file.relocations.size))
    return "relocation directory lies outside the image";
  while (at + 8 <= end) {
    uint32_t page, blockSize;
    std::memcpy(&page, image->base + at, 4);
    std::memcpy(&blockSize, image->base + at + 4, 4);
    if (blockSize < 8 || blockSize > end - at)
      return "relocation block at " + HexString(at) + " has a bad size";
    for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      uint16_t entry;
      std::memcpy(&entry, image->base + e, 2);
      uint16_t type = entry >> 12;
      uint64_t rva = uint64_t(page) + (entry & 0xFFF);
      if (type == kRelocationAbsolute)
        continue;
      if (type != kRelocationDir64)
        return "relocation of type " + std::to_string(type) + " at " + HexString(rva);
      if (!InImage(*image, rva, 8))
        return "relocation at " + HexString(rva) + " lies outside the image";
      uint64_t value;
      std::memcpy(&value, image->base + rva, 8);
      value += delta;
      std::memcpy(image->base + rva, &value, 8);
    }
    at += blockSize;
  }
  return "";
}

std::string CString(const Image& image, uint32_t rva) {
  if (rva >= image.size)
    return "";
  const char* text = reinterpret_cast<const char*>(image.base + rva);
  return std::string(text, strnlen(text, image.size - rva));
}

// Fills the import address table; every import the kernel does not export
// is named in the refusal.
std::string Bind(const PeFile& file, Image* image) {
  std::string unknown;
  if (!file.imports.size)
    return "";
  for (uint32_t d = file.imports.rva;; d += 20) {
    if (!InImage(*image, d, 20))
      return "import directory lies outside the image";
    uint32_t lookup, nameRva, slots;
    std::memcpy(&lookup, image->base + d, 4);
    std::memcpy(&nameRva, image->base + d + 12, 4);
    std::memcpy(&slots, image->base + d + 16, 4);
    if (!nameRva && !slots)
      break;
    std::string module = CString(*image, nameRva);
    if (!lookup)
      lookup = slots;
    for (uint32_t i = 0;; ++i) {
      if (!InImage(*image, uint64_t(lookup) + 8 * i + 8, 0) ||
          !InImage(*image, uint64_t(slots) + 8 * i + 8, 0))
        return "import table of " + module + " lies outside the image";
      uint64_t thunk;
      std::memcpy(&thunk, image->base + lookup + 8 * i, 8);
      if (!thunk)
        break;
      std::string name = (thunk & kImportByOrdinal)
                             ? "#" + std::to_string(thunk & 0xFFFF)
                             : CString(*image, static_cast<uint32_t>(thunk & 0x7FFFFFFF) + 2);
      const Export* e = (thunk & kImportByOrdinal) ? nullptr : FindExport(module, name);
      if (!e) {
        unknown += (unknown.empty() ? "" : ", ") + module + "!" + name;
        continue;
      }
      uint64_t address = reinterpret_cast<uint64_t>(e->address);
      std::memcpy(image->base + slots + 8 * i, &address, 8);
    }
  }
  if (unknown.empty())
    return "";
  return "imports what the kernel does not export: " + unknown;
}

int Protection(uint32_t characteristics) {
  if (characteristics & kSectionExecute)
    return PROT_READ | PROT_EXEC;
  if (characteristics & kSectionWrite)
    return PROT_READ | PROT_WRITE;
  return PROT_READ;
}

void Protect(Image* image) {
  mprotect(image->base, kPage, PROT_READ);
  for (const auto& s : image->sections)
    mprotect(image->base + s.rva, s.size, Protection(s.characteristics));
}

// The driver is gone: its pages go back, its range stays reserved.
void Unmap(Image* image) {
  mmap(image->base, image->size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE,
       -1, 0);
  image->unloaded.store(true);
}

Image* Refuse(Image* image, std::string* refusal, const std::string& fault) {
  *refusal = image->fileName + ": " + fault;
  if (image->base)
    munmap(image->base, image->size);
  delete image;
  return nullptr;
}

}  // namespace

Image* MapImage(const std::string& path, std::string* refusal) {
  auto* image = new Image;
  image->fileName = BaseName(path);
  PeFile file;
  std::string fault = ReadPeFile(path, &file);
  if (fault.empty())
    fault = CheckKernelImage(file);
  if (!fault.empty())
    return Refuse(image, refusal, fault);
  image->size = file.imageSize;
  image->entryRva = file.entryRva;
  image->base = Reserve(image->size, file.preferredBase);
  if (!image->base)
    return Refuse(image, refusal, "no memory for " + HexString(image->size) + " bytes");
  CopySections(file, image);
  fault = Relocate(file, image);
  if (fault.empty())
    fault = Bind(file, image);
  if (!fault.empty())
    return Refuse(image, refusal, fault);
  Protect(image);
  image->symbols.Read(UnstrippedPath(path), file);
  InstallBugCheckHandler();
  SetCodeNamer(&Describe);
  WatchCallouts();
  Register(image);
  return image;
}

PDRIVER_OBJECT StartImage(Image* image, const std::u16string& name, NTSTATUS* status) {
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->base + image->entryRva);
  DriverImage code{image->base, static_cast<ULONG>(image->size), [image] { Unmap(image); }};
  PDRIVER_OBJECT driver = LoadDriver(name, entry, status, std::move(code));
  if (!driver)
    return nullptr;
  // Windows frees INIT once DriverEntry has returned.
  for (auto& s : image->sections) {
    if (s.name == "INIT" && (s.characteristics & kSectionDiscardable)) {
      mprotect(image->base + s.rva, s.size, PROT_NONE);
      s.discarded = true;
    }
  }
  return driver;
}

PDRIVER_OBJECT LoadImageDriver(const std::string& path, NTSTATUS* status) {
  std::string refusal;
  Image* image = MapImage(path, &refusal);
  if (!image) {
    verifier::Report(verifier::Check::ImageRefused, refusal);
    if (status)
      *status = refusal.find("does not export") != std::string::npos ? kStatusProcedureNotFound
                                                                     : kStatusInvalidImageFormat;
    return nullptr;
  }
  std::string file = image->fileName;
  auto dot = file.rfind('.');
  std::u16string name(file.begin(), dot == std::string::npos ? file.end() : file.begin() + dot);
  return StartImage(image, name, status);
}

void* RoutineAddress(const Image* image, const std::string& name) {
  uint32_t rva = image->symbols.Rva(name);
  return rva ? image->base + rva : nullptr;
}

std::string Describe(const void* address) {
  auto at = reinterpret_cast<uintptr_t>(address);
  Image* image = ImageAt(at);
  if (!image)
    return "";
  const uint32_t rva = image->Rva(at);
  const Routine* routine = image->symbols.Find(rva);
  if (!routine)
    return image->fileName + "+" + HexString(rva);
  return image->fileName + "!" + routine->name + "+" + HexString(rva - routine->rva);
}

}  // namespace sim::image
