// The common fixture of setup tests: a fresh simulated Windows system, the
// tool's entry routine run in-process, its record decoded.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "setup/drv_pnp.h"
#include "sim/win32/system.h"

namespace setup::test {

struct Outcome {
  int exit;
  std::vector<uint8_t> bytes;      // what reached standard output
  std::vector<std::string> audit;  // what the run left open or misused
  DWORD Word(size_t offset) const;
  DWORD Code() const { return Word(0); }
  DWORD Reboot() const { return Word(4); }
  DWORD PayloadLength() const { return Word(8); }
  DWORD Count() const { return Word(12); }
  // Entry i of the version list in the payload, up to its NUL (or 16 units).
  std::string Entry(size_t i) const;
};

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override { system_ = std::make_unique<sim::win32::System>(); }
  void TearDown() override { system_.reset(); }
  // Runs setup with these arguments (after the program name). Every run
  // ends with the system's audit, which must find nothing, unless a test
  // turns that off to look at the audit itself.
  Outcome Tool(const std::vector<std::string>& args);
  void ExpectCleanRuns(bool on) { audit_ = on; }
  sim::win32::System& sys() { return *system_; }
  static std::string InfFolder() { return std::string(sim::win32::System::kWindows) + "\\inf\\"; }
  static std::string DriversFolder() {
    return std::string(sim::win32::System::kWindows) + "\\system32\\drivers\\";
  }

 private:
  std::unique_ptr<sim::win32::System> system_;
  bool audit_ = true;
};

}  // namespace setup::test
