#include "fuzz/kept_key.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "driver/driver.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"

namespace tarvik::fuzz {
namespace {

KeptKey* atExit_ = nullptr;

bool SameEndpoint(const keymodel::Endpoint& a, const keymodel::Endpoint& b) {
  return a.address == b.address && a.attributes == b.attributes &&
         a.maxPacketSize == b.maxPacketSize && a.interval == b.interval;
}

// Field by field: the structure has padding.
bool SameKey(const sim::usb::KeyConfig& a, const sim::usb::KeyConfig& b) {
  for (uint32_t i = 0; i < keymodel::kMaxEndpoints; ++i)
    if (!SameEndpoint(a.endpoints[i], b.endpoints[i]))
      return false;
  return a.vendorId == b.vendorId && a.productId == b.productId && a.bcdDevice == b.bcdDevice &&
         a.maxPacketSize0 == b.maxPacketSize0 && a.interfaceCount == b.interfaceCount &&
         a.endpointCount == b.endpointCount && a.interfaceClass == b.interfaceClass &&
         a.vendorPadding == b.vendorPadding && a.infoBlockLength == b.infoBlockLength &&
         std::memcmp(a.infoBlock, b.infoBlock, sizeof a.infoBlock) == 0 && a.serial == b.serial &&
         a.secret == b.secret && a.pipeFlags == b.pipeFlags && a.shortReads == b.shortReads &&
         a.announceExtra == b.announceExtra && a.silent == b.silent;
}

// Whether a pool block allocated after `mark` is still live.
bool AllocatedSince(uint64_t mark) {
  for (const auto& allocation : sim::pool::LiveAllocations())
    if (allocation.sequence > mark)
      return true;
  return false;
}

}  // namespace

void KeptKey::Finish() {
  TearDown();
  if (counts_.inputs == 0)
    return;
  std::fprintf(stderr,
               "kept keys: %llu inputs, %llu on a kept key, %llu keys plugged beside others, "
               "%llu machines built; rebuilt with %zu keys kept %llu, periodically %llu, after "
               "an input that changed the machine %llu (its key alone removed after %llu)\n",
               static_cast<unsigned long long>(counts_.inputs),
               static_cast<unsigned long long>(counts_.reused),
               static_cast<unsigned long long>(counts_.plugged),
               static_cast<unsigned long long>(counts_.builds), kMaxKeys,
               static_cast<unsigned long long>(counts_.full),
               static_cast<unsigned long long>(counts_.periodic),
               static_cast<unsigned long long>(counts_.leftState),
               static_cast<unsigned long long>(counts_.retired));
  counts_ = Counts();
}

HANDLE KeptKey::Acquire(const sim::usb::KeyConfig& config, const GUID& interfaceClass) {
  ++counts_.inputs;
  current_ = keys_.size();
  for (size_t i = 0; i < keys_.size(); ++i)
    if (SameKey(config, keys_[i].config))
      current_ = i;
  if (current_ < keys_.size()) {
    ++counts_.reused;
  } else {
    if (machine_ && keys_.size() >= kMaxKeys) {
      ++counts_.full;
      TearDown();
    }
    if (machine_)
      ++counts_.plugged;
    else
      Build();
    current_ = keys_.size();
    if (!AddKey(config, interfaceClass))
      return nullptr;
  }
  ++inputsOnMachine_;
  poolMark_ = sim::pool::TotalAllocations();
  return keys_[current_].handle;
}

void KeptKey::Build() {
  ++counts_.builds;
  machine_ = std::make_unique<Machine>();
  if (!atExit_) {
    atExit_ = this;
    // At exit the main thread's own kernel state (thread-local) is already
    // gone: the teardown runs in a thread of its own.
    std::atexit([] { std::thread([] { atExit_->Finish(); }).join(); });
  }
  inputsOnMachine_ = 0;
  // A finding on a kept machine may stem from the inputs that ran on it
  // before: say how many, so that the input is also run alone.
  sim::verifier::SetHook([this](const sim::verifier::Violation& v) {
    std::fprintf(stderr, "verifier: %s\n", v.message.c_str());
    if (inputsOnMachine_ > 1)
      std::fprintf(stderr,
                   "(on a machine kept for %zu inputs: run the input alone to see whether it "
                   "is the input's own)\n",
                   inputsOnMachine_);
    std::abort();
  });
}

bool KeptKey::AddKey(const sim::usb::KeyConfig& config, const GUID& interfaceClass) {
  keys_.push_back(Key{config, nullptr, nullptr, false, sim::pool::TotalAllocations()});
  Key& key = keys_.back();
  key.stack = machine_->Plug(config, &key.pdo) != nullptr;
  if (!key.stack || !NT_SUCCESS(sim::pnp::Start(key.pdo)))
    return false;
  for (const auto& i : sim::interfaces::All()) {
    if (i.Pdo != key.pdo || !i.Enabled || !(i.Class == interfaceClass))
      continue;
    auto open = machine_->client().OpenInterface(i.SymbolicLink, 0);
    if (NT_SUCCESS(open.Status))
      key.handle = open.Handle;
    break;
  }
  return key.handle != nullptr;
}

bool KeptKey::LeftAsFound() const {
  const Key& key = keys_[current_];
  return key.handle && machine_->client().FileObject(key.handle) && sim::usb::IsPlugged(key.pdo) &&
         !sim::usb::KeyOf(key.pdo).Halted() && sim::usb::Waiting(key.pdo) == 0 &&
         sim::verifier::LiveRequests().empty() && sim::LiveSystemThreads() == 0 &&
         !AllocatedSince(poolMark_);
}

void KeptKey::Release() {
  if (!machine_)
    return;
  if (!LeftAsFound()) {
    if (current_ + 1 == keys_.size() && RetireNewest()) {
      ++counts_.retired;
    } else {
      ++counts_.leftState;
      TearDown();
    }
    return;
  }
  // A fault the input planned and its requests did not meet.
  sim::usb::ClearFaults(keys_[current_].pdo);
  if (inputsOnMachine_ >= kRebuildEvery) {
    ++counts_.periodic;
    TearDown();
  }
}

// The newest key leaves as the Plug and Play manager removes a device; then
// nothing allocated since it was plugged may be left, nor any request.
bool KeptKey::RetireNewest() {
  const Key key = keys_.back();
  keys_.pop_back();
  if (key.handle)
    machine_->client().Close(key.handle);
  if (key.stack)
    sim::pnp::Remove(key.pdo);
  return sim::verifier::LiveRequests().empty() && sim::LiveSystemThreads() == 0 &&
         !AllocatedSince(key.poolMark);
}

void KeptKey::TearDown() {
  if (machine_)
    for (const Key& key : keys_)
      if (key.handle)
        machine_->client().Close(key.handle);
  keys_.clear();
  machine_.reset();  // removes the stacks, unloads, audits what is left
}

}  // namespace tarvik::fuzz
