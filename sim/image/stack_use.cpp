#include "sim/image/stack_use.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

#include "sim/image/loader.h"
#include "sim/kernel/kernel_stack.h"
#include "sim/kernel/verifier.h"

namespace sim::image {
namespace {

struct Entry {
  size_t deepest = 0;
  bool reported = false;
};

std::mutex gMutex;
std::map<std::pair<std::string, std::string>, Entry> gTable;
std::once_flag gAtExit;

void AppendReport() {
  const char* path = std::getenv("TARVIK_STACK_REPORT");
  if (!path || !*path)
    return;
  std::string text;
  for (const auto& use : StackUses())
    text += std::to_string(use.deepest) + "\t" + use.entry + "\t" + use.routine + "\n";
  if (size_t deepest = DeepestSystemThreadStack())
    text += std::to_string(deepest) + "\tsystem thread stack\t(simulation and image)\n";
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0)
    return;
  // One write: the processes of a parallel ctest run append to the same file.
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

}  // namespace

void NoteStackUse(CalloutFrame& frame, size_t bytes) {
  if (bytes <= frame.deepest)
    return;
  frame.deepest = bytes;
  char entry[64];
  DescribeEntry(frame, entry, sizeof entry);
  std::string routine = Describe(frame.routine);
  std::call_once(gAtExit, [] { std::atexit(AppendReport); });
  std::string finding;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    Entry& e = gTable[{entry, routine}];
    e.deepest = std::max(e.deepest, bytes);
    if (bytes > kStackBudget && !e.reported) {
      e.reported = true;
      finding = std::string(entry) + " " + routine + " used " + std::to_string(bytes) +
                " bytes of kernel stack, over the budget of " + std::to_string(kStackBudget);
    }
  }
  if (!finding.empty())
    verifier::Report(verifier::Check::KernelStackUse, finding);
}

std::vector<StackUse> StackUses() {
  std::vector<StackUse> uses;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    for (const auto& [key, e] : gTable)
      uses.push_back({key.first, key.second, e.deepest});
  }
  std::stable_sort(uses.begin(), uses.end(),
                   [](const StackUse& a, const StackUse& b) { return a.deepest > b.deepest; });
  return uses;
}

void ClearStackUses() {
  std::lock_guard<std::mutex> lock(gMutex);
  gTable.clear();
}

}  // namespace sim::image
