// A PE32+ kernel-mode image as the loader reads it from disk: the headers,
// the sections, the data directories, checked before anything is mapped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::image {

// Section characteristics (IMAGE_SCN_*).
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct SectionHeader {
  std::string name;
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t rawSize;
  uint32_t rawOffset;
  uint32_t characteristics;
};

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct PeFile {
  std::vector<uint8_t> bytes;
  uint16_t machine = 0;
  uint32_t symbolTableOffset = 0;  // COFF symbol table (unstripped images only)
  uint32_t symbolCount = 0;
  uint32_t entryRva = 0;
  uint64_t preferredBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t imageSize = 0;
  uint32_t headersSize = 0;
  uint32_t checksumOffset = 0;  // file offset of OptionalHeader.CheckSum
  uint32_t checksum = 0;
  uint16_t subsystem = 0;
  DataDirectory imports;
  DataDirectory relocations;
  std::vector<SectionHeader> sections;
};

// Reads the file and its headers. Returns "" on success, otherwise what is
// wrong with the file's structure (not a PE32+ file, truncated headers, a
// section outside the file).
std::string ReadPeFile(const std::string& path, PeFile* file);

// The header checksum the file should carry: the 16-bit one's-complement sum
// of the file with the checksum field taken as zero, plus its length.
uint32_t ComputeChecksum(const std::vector<uint8_t>& bytes, uint32_t checksumOffset);

// What the kernel's loader checks before it maps a driver: x64 machine,
// native subsystem, the header checksum, page-sized section alignment with
// every section on a page boundary inside the image, no section both
// writable and executable. Returns "" or the first fault, named.
std::string CheckKernelImage(const PeFile& file);

// Little-endian reads with bounds checks (false when outside `bytes`).
bool Read16(const std::vector<uint8_t>& bytes, size_t offset, uint16_t* value);
bool Read32(const std::vector<uint8_t>& bytes, size_t offset, uint32_t* value);
bool Read64(const std::vector<uint8_t>& bytes, size_t offset, uint64_t* value);

std::string HexString(uint64_t value);

}  // namespace sim::image
