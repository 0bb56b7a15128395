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
//
// "payload=516" is the record's PayloadLength as setup writes it after -g:
// the size of the whole version list, although the record carries only its
// first 512 bytes. The entries are read from those 512 bytes alone, so the
// sixteenth shows at most its first 14 units, cut there without a terminator.
std::string Describe(const uint8_t* record, size_t size, bool* ok);

}  // namespace setuprec
