#pragma once
// Which X key symbol stands for each stored key code. Registration looks the
// symbol up in the current keyboard mapping to find the X keycode to grab.
#include <cstdint>
#include <optional>

namespace tovrelle::hotkeys::x11 {

// The unshifted key symbol of a Carbon key code; none for keys X has no symbol for.
std::optional<uint32_t> keysymForCarbonKeyCode(uint32_t keyCode);

// The Carbon key code of a key symbol; accepts upper-case letters and the
// keypad's navigation symbols (the keypad keys' first level) as well.
std::optional<uint32_t> carbonKeyCodeForKeysym(uint32_t keysym);

}  // namespace tovrelle::hotkeys::x11
