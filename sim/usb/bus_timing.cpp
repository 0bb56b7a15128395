// The simulated bus's timing model (off by default).
#include <algorithm>

#include "sim/usb/bus_state.h"

namespace sim::usb::internal {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

// Full speed: 1 ms frames, 12 Mbit/s; high speed: 125 us microframes,
// 480 Mbit/s. A control transfer sends its setup, data and status packets
// (data in packets of the key's endpoint-0 size) at wire speed once the
// default pipe is free, waits for the key's answer if it reads one, and
// completes at the next frame boundary. An interrupt transfer completes at
// the first boundary of the endpoint's polling period once the key has
// something to report. Keys do not share bandwidth.

nanoseconds FrameLength(const Timing& t) {
  return t.highSpeed ? nanoseconds(125000) : nanoseconds(1000000);
}

nanoseconds PacketTime(const Timing& t, uint32_t bytes) {
  const uint64_t bits = (static_cast<uint64_t>(bytes) + 13) * 8;  // with token, CRC, handshake
  return nanoseconds(bits * 1000 / (t.highSpeed ? 480 : 12));
}

Clock::time_point NextBoundary(Clock::time_point t, nanoseconds period) {
  const auto& epoch = TheBus().epoch;
  const auto since = std::chrono::duration_cast<nanoseconds>(t - epoch);
  const auto periods = (since.count() + period.count() - 1) / period.count();
  return epoch + nanoseconds(periods * period.count());
}

// The endpoint's polling period: full speed rounds bInterval (ms) down to a
// power of two up to 32; high speed uses 2^(bInterval-1) microframes.
nanoseconds PollingPeriod(const Timing& t, uint8_t interval) {
  if (t.highSpeed) {
    const unsigned exponent = interval < 1 ? 0 : (interval > 16 ? 15 : interval - 1);
    return nanoseconds(125000) * (1u << exponent);
  }
  unsigned ms = 1;
  while (ms * 2 <= interval && ms < 32)
    ms *= 2;
  return nanoseconds(1000000) * ms;
}

}  // namespace

Clock::time_point Due(KeyState& s, const WireRecord& r) {
  const auto now = Clock::now();
  if (!s.timing.enabled)
    return now + kPendingDelay;
  const Timing& t = s.timing;
  const auto frame = FrameLength(t);
  if (r.kind == Kind::ResetPort)
    return now + kPortResetTime;
  if (r.kind == Kind::Interrupt) {
    const auto& c = s.port.Key().Config();
    const uint8_t interval = c.endpointCount ? c.endpoints[0].interval : 1;
    return NextBoundary(std::max(now, s.answerReady), PollingPeriod(t, interval));
  }
  const uint32_t mps = std::max<uint32_t>(s.port.Key().Config().maxPacketSize0, 8);
  const uint32_t dataPackets = (r.length + mps - 1) / mps;
  auto done = std::max(now, s.pipeFree) + PacketTime(t, 8) + PacketTime(t, 0) +
              PacketTime(t, mps) * dataPackets;
  if (r.kind == Kind::VendorIn)
    done = std::max(done, s.answerReady);
  const auto due = NextBoundary(done, frame);
  s.pipeFree = due;
  if (r.kind == Kind::VendorOut)
    s.answerReady = due + microseconds(t.answerTimeUs);
  return due;
}

}  // namespace sim::usb::internal
