// The error an action throws, for tests: Thrown gives the error (success when
// the action returns normally), ThrownCode its code (0 when none).
#pragma once

#include <cstdint>
#include <utility>

#include "core/common/error.h"

namespace HvTest {

template <class Action>
Common::Error Thrown(Action&& action) {
  try {
    std::forward<Action>(action)();
  } catch (const Common::Error& error) {
    return error;
  }
  return Common::Success();
}

template <class Action>
uint32_t ThrownCode(Action&& action) {
  return Thrown(std::forward<Action>(action)).Code();
}

}  // namespace HvTest
