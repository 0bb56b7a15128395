#include "tools/keysim/script.h"

#include <cctype>
#include <sstream>

namespace keysim {

std::vector<Step> SplitScript(const std::string& text) {
  std::vector<Step> steps;
  std::istringstream in(text);
  std::string raw;
  int line = 0;
  while (std::getline(in, raw)) {
    ++line;
    std::string content = raw.substr(0, raw.find('#'));
    std::istringstream words(content);
    std::string word;
    Step step;
    step.line = line;
    while (words >> word) {
      if (step.verb.empty()) {
        step.verb = word;
        continue;
      }
      size_t eq = word.find('=');
      if (eq != std::string::npos && eq > 0) {
        step.options[word.substr(0, eq)] = word.substr(eq + 1);
      } else {
        step.words.push_back(word);
      }
    }
    if (step.verb.empty()) {
      continue;
    }
    size_t first = content.find_first_not_of(" \t\r");
    size_t last = content.find_last_not_of(" \t\r");
    step.text = content.substr(first, last - first + 1);
    steps.push_back(std::move(step));
  }
  return steps;
}

std::optional<uint64_t> ParseNumber(const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  int base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  uint64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    int digit;
    char c = text[i];
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
      return std::nullopt;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
  std::vector<uint8_t> bytes;
  if (text == "-") {
    return bytes;
  }
  std::string digits;
  for (char c : text) {
    if (c == ':' || c == '.' || c == '_') {
      continue;  // optional separators for readability
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0) {
    return std::nullopt;
  }
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const uint8_t* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0xF]);
  }
  return out;
}

}  // namespace keysim
