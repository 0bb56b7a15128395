#include "tests/support/win32/setup_test.h"

namespace setup::test {

DWORD Outcome::Word(size_t offset) const {
  if (bytes.size() < offset + 4)
    return 0xDEADBEEF;
  return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
         static_cast<DWORD>(bytes[offset + 3]) << 24;
}

std::string Outcome::Entry(size_t i) const {
  std::string text;
  for (size_t u = 0; u < 16; ++u) {
    const size_t at = 16 + 32 * i + 2 * u;
    if (at + 1 >= bytes.size())
      break;
    const uint16_t unit = bytes[at] | bytes[at + 1] << 8;
    if (unit == 0)
      break;
    text.push_back(static_cast<char>(unit));
  }
  return text;
}

Outcome SetupTest::Tool(const std::vector<std::string>& args) {
  std::vector<std::u16string> storage = {u"setup.exe"};
  for (const auto& a : args)
    storage.push_back(sim::win32::U(a));
  std::vector<WCHAR*> argv;
  for (auto& s : storage)
    argv.push_back(reinterpret_cast<WCHAR*>(s.data()));
  argv.push_back(nullptr);
  const size_t before = sys().Stdout().size();
  Outcome run;
  run.exit = SetupMain(static_cast<int>(storage.size()), argv.data());
  run.bytes.assign(sys().Stdout().begin() + static_cast<long>(before), sys().Stdout().end());
  run.audit = sys().Audit();
  if (audit_) {
    EXPECT_EQ(std::vector<std::string>(), run.audit) << "the run left the system unclean";
  }
  return run;
}

}  // namespace setup::test
