// Reading setup's 524-byte result record as text, for people and scripts
// that run setup.exe and want to see what it reported.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace setuprec {

constexpr size_t kRecordSize = 524;

// "RESULT_..." for a code the tool can store, "unknown 0x..." otherwise.
std::string ResultName(uint32_t code);

// One line: "<name> reboot=<0|1> payload=<length>", followed for a version
// list by " versions=<count>" and each entry as " [<i>]=<text>". Ok is false
// (and the line says why) when the record is not exactly 524 bytes or its
// payload length is neither 0 nor 516.
std::string Describe(const uint8_t* record, size_t size, bool* ok);

}  // namespace setuprec
