#include "tools/setuprec/record_text.h"

#include <cstdio>

namespace setuprec {
namespace {

struct Named {
  uint32_t code;
  const char* name;
};

constexpr Named kResults[] = {
    {0x000, "RESULT_SUCCESS"},
    {0x002, "RESULT_MODULE_NOT_FOUND"},
    {0x003, "RESULT_ENTRY_NOT_FOUND"},
    {0x004, "RESULT_INVALID_PARAMETER"},
    {0x102, "RESULT_WINDOWS_DIR_FAILED"},
    {0x104, "RESULT_DELETE_FILE_FAILED"},
    {0x201, "RESULT_REG_OPEN_FAILED"},
    {0x203, "RESULT_REG_ENUM_FAILED"},
    {0x204, "RESULT_REG_QUERY_FAILED"},
    {0x205, "RESULT_REG_SET_FAILED"},
    {0x301, "RESULT_GET_HARDWARE_ID_FAILED"},
    {0x302, "RESULT_SET_HARDWARE_ID_FAILED"},
    {0x303, "RESULT_ENUM_DEVICE_FAILED"},
    {0x304, "RESULT_CREATE_DEVICE_FAILED"},
    {0x305, "RESULT_REGISTER_DEVICE_FAILED"},
    {0x306, "RESULT_CREATE_DEVICE_LIST_FAILED"},
    {0x307, "RESULT_GET_CLASS_DEVS_FAILED"},
    {0x308, "RESULT_GET_INF_CLASS_FAILED"},
    {0x309, "RESULT_UPDATE_DRIVER_FAILED"},
    {0x30A, "RESULT_COPY_OEM_INF_FAILED"},
    {0x30B, "RESULT_REMOVE_DEVICE_FAILED"},
    {0x30C, "RESULT_LOCATE_DEVNODE_FAILED"},
    {0x30D, "RESULT_REENUMERATE_FAILED"},
};

constexpr size_t kHeader = 12;
constexpr uint32_t kVersionListSize = 516;
constexpr size_t kEntryUnits = 16;
constexpr size_t kEntries = 16;

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Entry i of the version list in the payload; the record carries only the
// first 512 bytes of the list, so the last entry may be cut short.
std::string Entry(const uint8_t* payload, size_t payloadBytes, size_t i) {
  std::string text;
  for (size_t unit = 0; unit < kEntryUnits; ++unit) {
    const size_t at = 4 + (i * kEntryUnits + unit) * 2;
    if (at + 2 > payloadBytes)
      break;
    const unsigned value = payload[at] | payload[at + 1] << 8;
    if (value == 0)
      break;
    text.push_back(value < 0x80 ? static_cast<char>(value) : '?');
  }
  return text;
}

}  // namespace

std::string ResultName(uint32_t code) {
  for (const Named& r : kResults)
    if (r.code == code)
      return r.name;
  char text[32];
  std::snprintf(text, sizeof(text), "unknown 0x%X", code);
  return text;
}

std::string Describe(const uint8_t* record, size_t size, bool* ok) {
  *ok = false;
  if (size != kRecordSize)
    return "bad record: " + std::to_string(size) + " bytes, not " + std::to_string(kRecordSize);
  const uint32_t length = Le32(record + 8);
  std::string line = ResultName(Le32(record)) + " reboot=" + std::to_string(Le32(record + 4)) +
                     " payload=" + std::to_string(length);
  if (length != 0 && length != kVersionListSize)
    return line + " (bad payload length)";
  *ok = true;
  if (length == kVersionListSize) {
    const uint8_t* payload = record + kHeader;
    const uint32_t count = Le32(payload);
    line += " versions=" + std::to_string(count);
    for (size_t i = 0; i < count && i < kEntries; ++i)
      line += " [" + std::to_string(i) + "]=" + Entry(payload, kRecordSize - kHeader, i);
  }
  return line;
}

}  // namespace setuprec
