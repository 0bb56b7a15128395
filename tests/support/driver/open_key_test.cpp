#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {

void OpenKeyTest::OpenInterface(const GUID& interfaceClass) {
  client_ = std::make_unique<sim::Client>();
  auto open = client_->OpenInterface(Link(interfaceClass), FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  handle_ = open.Handle;
  ClearWire(key_);
}

sim::Client::Io OpenKeyTest::Send(ULONG code, const std::vector<UCHAR>& in, ULONG out) {
  return client_->DeviceIoControl(handle_, code, in, out);
}

void OpenKeyTest::TearDown() {
  if (handle_)
    client_->Close(handle_);
  client_.reset();
  DriverTest::TearDown();
}

}  // namespace tarvik::test
