#include "platform/hotkeys/x11/X11KeySyms.h"

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>
#include <X11/XF86keysym.h>

#include <array>
#include <utility>

#include "platform/hotkeys/CarbonKeys.h"

namespace tovrelle::hotkeys::x11 {
namespace {

using namespace carbon;

struct Entry {
  uint32_t keyCode;
  uint32_t keysym;
};

// US-layout symbol of every key position that has one.
constexpr Entry kTable[] = {
    {a, XK_a}, {s, XK_s}, {d, XK_d}, {f, XK_f}, {h, XK_h}, {g, XK_g}, {z, XK_z}, {x, XK_x},
    {c, XK_c}, {v, XK_v}, {isoSection, XK_section}, {b, XK_b}, {q, XK_q}, {w, XK_w}, {e, XK_e},
    {r, XK_r}, {y, XK_y}, {t, XK_t}, {one, XK_1}, {two, XK_2}, {three, XK_3}, {four, XK_4},
    {six, XK_6}, {five, XK_5}, {equal, XK_equal}, {nine, XK_9}, {seven, XK_7}, {minus, XK_minus},
    {eight, XK_8}, {zero, XK_0}, {rightBracket, XK_bracketright}, {o, XK_o}, {u, XK_u},
    {leftBracket, XK_bracketleft}, {i, XK_i}, {p, XK_p}, {returnKey, XK_Return}, {l, XK_l},
    {j, XK_j}, {quote, XK_apostrophe}, {k, XK_k}, {semicolon, XK_semicolon},
    {backslash, XK_backslash}, {comma, XK_comma}, {slash, XK_slash}, {n, XK_n}, {m, XK_m},
    {period, XK_period}, {tab, XK_Tab}, {space, XK_space}, {grave, XK_grave},
    {deleteKey, XK_BackSpace}, {escape, XK_Escape}, {rightCommand, XK_Super_R},
    {command, XK_Super_L}, {shift, XK_Shift_L}, {capsLock, XK_Caps_Lock}, {option, XK_Alt_L},
    {control, XK_Control_L}, {rightShift, XK_Shift_R}, {rightOption, XK_Alt_R},
    {rightControl, XK_Control_R}, {keypadDecimal, XK_KP_Decimal},
    {keypadMultiply, XK_KP_Multiply}, {keypadPlus, XK_KP_Add}, {keypadClear, XK_Clear},
    {volumeUp, XF86XK_AudioRaiseVolume}, {volumeDown, XF86XK_AudioLowerVolume},
    {mute, XF86XK_AudioMute}, {keypadDivide, XK_KP_Divide}, {keypadEnter, XK_KP_Enter},
    {keypadMinus, XK_KP_Subtract}, {keypadEquals, XK_KP_Equal}, {keypad0, XK_KP_0},
    {keypad1, XK_KP_1}, {keypad2, XK_KP_2}, {keypad3, XK_KP_3}, {keypad4, XK_KP_4},
    {keypad5, XK_KP_5}, {keypad6, XK_KP_6}, {keypad7, XK_KP_7}, {keypad8, XK_KP_8},
    {keypad9, XK_KP_9}, {f1, XK_F1}, {f2, XK_F2}, {f3, XK_F3}, {f4, XK_F4}, {f5, XK_F5},
    {f6, XK_F6}, {f7, XK_F7}, {f8, XK_F8}, {f9, XK_F9}, {f10, XK_F10}, {f11, XK_F11},
    {f12, XK_F12}, {f13, XK_F13}, {f14, XK_F14}, {f15, XK_F15}, {f16, XK_F16}, {f17, XK_F17},
    {f18, XK_F18}, {f19, XK_F19}, {f20, XK_F20}, {contextualMenu, XK_Menu}, {help, XK_Help},
    {home, XK_Home}, {pageUp, XK_Prior}, {forwardDelete, XK_Delete}, {end, XK_End},
    {pageDown, XK_Next}, {leftArrow, XK_Left}, {rightArrow, XK_Right}, {downArrow, XK_Down},
    {upArrow, XK_Up},
};

// The keypad keys' first level while Num Lock is off.
constexpr Entry kKeypadAliases[] = {
    {keypad0, XK_KP_Insert}, {keypad1, XK_KP_End},   {keypad2, XK_KP_Down},
    {keypad3, XK_KP_Next},   {keypad4, XK_KP_Left},  {keypad5, XK_KP_Begin},
    {keypad6, XK_KP_Right},  {keypad7, XK_KP_Home},  {keypad8, XK_KP_Up},
    {keypad9, XK_KP_Prior},  {keypadDecimal, XK_KP_Delete},
};

}  // namespace

std::optional<uint32_t> keysymForCarbonKeyCode(uint32_t keyCode) {
  for (const Entry& entry : kTable) {
    if (entry.keyCode == keyCode) return entry.keysym;
  }
  return std::nullopt;
}

std::optional<uint32_t> carbonKeyCodeForKeysym(uint32_t keysym) {
  if (keysym >= XK_A && keysym <= XK_Z) keysym += XK_a - XK_A;
  for (const Entry& entry : kTable) {
    if (entry.keysym == keysym) return entry.keyCode;
  }
  for (const Entry& entry : kKeypadAliases) {
    if (entry.keysym == keysym) return entry.keyCode;
  }
  return std::nullopt;
}

}  // namespace tovrelle::hotkeys::x11
