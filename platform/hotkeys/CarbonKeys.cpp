#include "platform/hotkeys/CarbonKeys.h"

#include <array>

namespace tovrelle::hotkeys::carbon {
namespace {

constexpr std::array<uint32_t, 20> kFunctionKeys = {f1,  f2,  f3,  f4,  f5,  f6,  f7,  f8,  f9,  f10,
                                                    f11, f12, f13, f14, f15, f16, f17, f18, f19, f20};

}  // namespace

std::optional<int> functionKeyNumber(uint32_t keyCode) {
  for (size_t i = 0; i < kFunctionKeys.size(); ++i) {
    if (kFunctionKeys[i] == keyCode) return static_cast<int>(i) + 1;
  }
  return std::nullopt;
}

std::optional<uint32_t> functionKeyCode(int number) {
  if (number < 1 || number > static_cast<int>(kFunctionKeys.size())) return std::nullopt;
  return kFunctionKeys[static_cast<size_t>(number - 1)];
}

}  // namespace tovrelle::hotkeys::carbon
