// An INF file read as Windows' setup reader sees it: sections of lines, each
// line an optional key and comma-separated fields. Comments (';' outside
// quotes) are dropped, a trailing '\' joins the next line, quotes are removed
// from fields ("" inside quotes is one quote). Section names and keys compare
// without regard to case.
#pragma once
#include <string>
#include <vector>

namespace infcheck {

struct InfLine {
  int number = 0;       // of the line's first physical line, from 1
  bool hasKey = false;  // "key = fields"; otherwise the fields alone
  std::string key;      // unquoted, trimmed
  std::vector<std::string> fields;
  std::string text;  // the line without its comment, continuations joined
};

struct InfSection {
  std::string name;  // as written between the brackets
  int number = 0;    // line of the header
  std::vector<InfLine> lines;
};

struct SyntaxFault {
  int number;
  std::string message;
};

class InfFile {
 public:
  static InfFile Parse(const std::string& text);

  // The section of that name (case ignored), nullptr when there is none.
  const InfSection* Find(const std::string& name) const;
  // Every line of the sections of that name: Windows reads sections of one
  // name as one.
  std::vector<const InfLine*> Lines(const std::string& name) const;
  // The first line of the section with that key (case ignored), or nullptr.
  const InfLine* Key(const std::string& section, const std::string& key) const;
  const std::vector<InfSection>& Sections() const { return sections_; }
  const std::vector<SyntaxFault>& Faults() const { return faults_; }

 private:
  std::vector<InfSection> sections_;
  std::vector<SyntaxFault> faults_;
};

// ASCII lower case, for the comparisons INF names call for.
std::string Lower(const std::string& text);
bool SameName(const std::string& a, const std::string& b);

}  // namespace infcheck
