// When the lower drivers answer the Plug and Play and power requests that
// reach them: at once, or later from another thread after returning
// STATUS_PENDING. Tests of those requests run both ways.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "sim/usb/bus.h"

namespace tarvik::test {

struct AnswerTiming {
  const char* name;
  bool late;
};

inline constexpr AnswerTiming kAnswerTimings[] = {{"AtOnce", false}, {"Later", true}};

inline std::string AnswerTimingName(const ::testing::TestParamInfo<AnswerTiming>& info) {
  return info.param.name;
}

// From now on the lower drivers of the key answer as `timing` says.
inline void AnswerAsSaid(PDEVICE_OBJECT pdo, const AnswerTiming& timing) {
  sim::usb::SetAnswersLate(pdo, timing.late);
}

}  // namespace tarvik::test
