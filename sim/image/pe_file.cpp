#include "sim/image/pe_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace sim::image {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryBaseRelocation = 5;

template <typename T>
bool ReadLittle(const std::vector<uint8_t>& bytes, size_t offset, T* value) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
    return false;
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i)
    v |= static_cast<T>(bytes[offset + i]) << (8 * i);
  *value = v;
  return true;
}

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case 0x14C:
      return "x86 (0x14c)";
    case 0xAA64:
      return "ARM64 (0xaa64)";
    case 0x1C4:
      return "ARM (0x1c4)";
    default:
      return HexString(machine);
  }
}

std::string ReadSections(const std::vector<uint8_t>& bytes, size_t offset, uint16_t count,
                         std::vector<SectionHeader>* sections) {
  for (uint16_t i = 0; i < count; ++i, offset += kSectionHeaderSize) {
    if (offset + kSectionHeaderSize > bytes.size())
      return "section table runs past the end of the file";
    SectionHeader s;
    const char* name = reinterpret_cast<const char*>(&bytes[offset]);
    s.name.assign(name, strnlen(name, 8));
    Read32(bytes, offset + 8, &s.virtualSize);
    Read32(bytes, offset + 12, &s.virtualAddress);
    Read32(bytes, offset + 16, &s.rawSize);
    Read32(bytes, offset + 20, &s.rawOffset);
    Read32(bytes, offset + 36, &s.characteristics);
    if (s.rawSize && (s.rawOffset > bytes.size() || bytes.size() - s.rawOffset < s.rawSize))
      return "section " + s.name + " lies outside the file";
    sections->push_back(s);
  }
  return "";
}

}  // namespace

bool Read16(const std::vector<uint8_t>& bytes, size_t offset, uint16_t* value) {
  return ReadLittle(bytes, offset, value);
}
bool Read32(const std::vector<uint8_t>& bytes, size_t offset, uint32_t* value) {
  return ReadLittle(bytes, offset, value);
}
bool Read64(const std::vector<uint8_t>& bytes, size_t offset, uint64_t* value) {
  return ReadLittle(bytes, offset, value);
}

std::string HexString(uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value);
  return "0x" + digits;
}

std::string ReadPeFile(const std::string& path, PeFile* file) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "cannot open " + path;
  file->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const auto& b = file->bytes;
  uint16_t mz = 0;
  uint32_t peOffset = 0, signature = 0;
  if (!Read16(b, 0, &mz) || mz != 0x5A4D || !Read32(b, 0x3C, &peOffset) ||
      !Read32(b, peOffset, &signature) || signature != 0x00004550)
    return "not a PE file (no MZ header or PE signature)";
  size_t fileHeader = peOffset + 4;
  uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
  if (!Read16(b, fileHeader, &file->machine) || !Read16(b, fileHeader + 2, &sectionCount) ||
      !Read32(b, fileHeader + 8, &file->symbolTableOffset) ||
      !Read32(b, fileHeader + 12, &file->symbolCount) || !Read16(b, fileHeader + 16, &optionalSize))
    return "truncated file header";
  size_t optional = fileHeader + kFileHeaderSize;
  if (!Read16(b, optional, &magic) || magic != kMagicPe32Plus)
    return "not a PE32+ image (optional header magic " + HexString(magic) + ")";
  uint32_t directoryCount = 0;
  file->checksumOffset = static_cast<uint32_t>(optional + 64);
  if (optionalSize < 112 || !Read32(b, optional + 16, &file->entryRva) ||
      !Read64(b, optional + 24, &file->preferredBase) ||
      !Read32(b, optional + 32, &file->sectionAlignment) ||
      !Read32(b, optional + 56, &file->imageSize) ||
      !Read32(b, optional + 60, &file->headersSize) || !Read32(b, optional + 64, &file->checksum) ||
      !Read16(b, optional + 68, &file->subsystem) || !Read32(b, optional + 108, &directoryCount))
    return "truncated optional header";
  auto directory = [&](uint32_t index, DataDirectory* d) {
    if (index < directoryCount && 112 + 8 * (index + 1) <= optionalSize) {
      Read32(b, optional + 112 + 8 * index, &d->rva);
      Read32(b, optional + 116 + 8 * index, &d->size);
    }
  };
  directory(kDirectoryImport, &file->imports);
  directory(kDirectoryBaseRelocation, &file->relocations);
  return ReadSections(b, optional + optionalSize, sectionCount, &file->sections);
}

uint32_t ComputeChecksum(const std::vector<uint8_t>& bytes, uint32_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    if (i >= checksumOffset && i < checksumOffset + 4)
      continue;
    uint32_t word = bytes[i];
    if (i + 1 < bytes.size())
      word |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + bytes.size());
}

std::string CheckKernelImage(const PeFile& file) {
  if (file.machine != kMachineAmd64)
    return "machine " + MachineName(file.machine) + " is not x64 (0x8664)";
  if (file.subsystem != kSubsystemNative)
    return "subsystem " + std::to_string(file.subsystem) + " is not native (1)";
  uint32_t want = ComputeChecksum(file.bytes, file.checksumOffset);
  if (file.checksum != want)
    return "header checksum " + HexString(file.checksum) + " does not match the file's " +
           HexString(want);
  if (file.sectionAlignment != kPageSize)
    return "section alignment " + HexString(file.sectionAlignment) + " is not the page size";
  if (file.imageSize % kPageSize || file.headersSize > kPageSize)
    return "image size " + HexString(file.imageSize) + " or header size " +
           HexString(file.headersSize) + " does not fit the page layout";
  for (const auto& s : file.sections) {
    if (s.virtualAddress % kPageSize || s.virtualAddress < kPageSize ||
        s.virtualAddress > file.imageSize || file.imageSize - s.virtualAddress < s.virtualSize ||
        file.imageSize - s.virtualAddress < s.rawSize)
      return "section " + s.name + " at " + HexString(s.virtualAddress) +
             " is not page-aligned inside the image";
    if ((s.characteristics & kSectionWrite) && (s.characteristics & kSectionExecute))
      return "section " + s.name + " is both writable and executable";
  }
  if (file.entryRva == 0 || file.entryRva >= file.imageSize)
    return "entry point " + HexString(file.entryRva) + " lies outside the image";
  return "";
}

}  // namespace sim::image
