// The keysim scenario language: one step per line, '#' starts a comment.
//
//   <verb> [<word> ...] [<name>=<value> ...]
//
// Words and values are separated by white space; a value may not contain
// spaces. The whole scenario is read before anything runs, so a malformed
// line stops it without side effects.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace keysim {

struct Step {
  int line = 0;
  std::string text;  // the line as written, comment stripped
  std::string verb;
  std::vector<std::string> words;              // positional arguments
  std::map<std::string, std::string> options;  // name=value arguments
};

// A parse failure: the line and what is wrong with it.
struct ScriptError {
  int line;
  std::string message;
};

// Splits a scenario into steps; blank and comment lines are dropped.
std::vector<Step> SplitScript(const std::string& text);

// Number and byte helpers shared by the step parsers. Each returns nullopt
// when the text is not what it should be.
std::optional<uint64_t> ParseNumber(const std::string& text);           // decimal or 0x-hex
std::optional<std::vector<uint8_t>> ParseHex(const std::string& text);  // "0a1b..", "-" = none
std::string ToHex(const uint8_t* data, size_t length);

}  // namespace keysim
