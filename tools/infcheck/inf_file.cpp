#include "tools/infcheck/inf_file.h"

#include <cctype>

namespace infcheck {
namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  const size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The line up to its comment; false when a quote is left open.
bool StripComment(const std::string& line, std::string* out) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"')
      quoted = !quoted;
    else if (line[i] == ';' && !quoted) {
      *out = line.substr(0, i);
      return true;
    }
  }
  *out = line;
  return !quoted;
}

// One field: trimmed, quotes removed, "" inside quotes kept as one quote.
std::string Unquote(const std::string& raw) {
  const std::string field = Trim(raw);
  std::string out;
  bool quoted = false;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '"') {
      out.push_back(field[i]);
    } else if (quoted && i + 1 < field.size() && field[i + 1] == '"') {
      out.push_back('"');
      ++i;
    } else {
      quoted = !quoted;
    }
  }
  return out;
}

// Splits at a character outside quotes: the first one (key) or every one (fields).
std::vector<std::string> Split(const std::string& text, char at, bool once) {
  std::vector<std::string> parts;
  std::string current;
  bool quoted = false;
  for (char c : text) {
    if (c == '"')
      quoted = !quoted;
    if (c == at && !quoted && !(once && !parts.empty())) {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  parts.push_back(current);
  return parts;
}

InfLine Entry(int number, const std::string& text) {
  InfLine line;
  line.number = number;
  line.text = text;
  const auto halves = Split(text, '=', true);
  std::string values = text;
  if (halves.size() == 2) {
    line.hasKey = true;
    line.key = Unquote(halves[0]);
    values = halves[1];
  }
  for (const auto& field : Split(values, ',', false))
    line.fields.push_back(Unquote(field));
  return line;
}

}  // namespace

std::string Lower(const std::string& text) {
  std::string out = text;
  for (auto& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool SameName(const std::string& a, const std::string& b) {
  return Lower(a) == Lower(b);
}

InfFile InfFile::Parse(const std::string& text) {
  InfFile inf;
  std::string pending;
  int pendingNumber = 0;
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line;
    ++number;
    if (!StripComment(text.substr(start, end - start), &line))
      inf.faults_.push_back({number, "a quote is not closed"});
    start = end + 1;
    line = Trim(line);
    if (pending.empty())
      pendingNumber = number;
    if (!line.empty() && line.back() == '\\') {
      pending += line.substr(0, line.size() - 1);
      continue;
    }
    line = Trim(pending + line);
    pending.clear();
    if (line.empty())
      continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) {
        inf.faults_.push_back({pendingNumber, "a section header is not closed"});
        continue;
      }
      inf.sections_.push_back({Trim(line.substr(1, line.size() - 2)), pendingNumber, {}});
      continue;
    }
    if (inf.sections_.empty()) {
      inf.faults_.push_back({pendingNumber, "a line before the first section"});
      continue;
    }
    inf.sections_.back().lines.push_back(Entry(pendingNumber, line));
  }
  return inf;
}

const InfSection* InfFile::Find(const std::string& name) const {
  for (const auto& section : sections_)
    if (SameName(section.name, name))
      return &section;
  return nullptr;
}

std::vector<const InfLine*> InfFile::Lines(const std::string& name) const {
  std::vector<const InfLine*> lines;
  for (const auto& s : sections_)
    if (SameName(s.name, name))
      for (const auto& line : s.lines)
        lines.push_back(&line);
  return lines;
}

const InfLine* InfFile::Key(const std::string& section, const std::string& key) const {
  for (const auto& s : sections_) {
    if (!SameName(s.name, section))
      continue;
    for (const auto& line : s.lines)
      if (line.hasKey && SameName(line.key, key))
        return &line;
  }
  return nullptr;
}

}  // namespace infcheck
