// setuprec: reads one setup.exe result record from standard input and prints
// it as a line of text. Exit 0 for a well-formed record, 1 otherwise. After
// -g the record says payload=516 while it carries 512 payload bytes; the
// entries shown come from those 512 (record_text.h).
//   wine setup.exe -g Tarvik4v2.inf | setuprec
#include <cstdio>
#include <vector>

#include "tools/setuprec/record_text.h"

int main() {
  std::vector<uint8_t> record;
  uint8_t chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof(chunk), stdin)) > 0)
    record.insert(record.end(), chunk, chunk + n);
  bool ok = false;
  std::printf("%s\n", setuprec::Describe(record.data(), record.size(), &ok).c_str());
  return ok ? 0 : 1;
}
