// Global shortcuts on a real X server (Xvfb), keys played with xdotool.
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "app/shortcuts/Names.h"
#include "platform/hotkeys/x11/X11HotKeyCenter.h"
#include "tests/shortcuts/ShortcutsFixture.h"
#include "tests/support/Services.h"

using namespace std::chrono_literals;

namespace {

constexpr uint16_t kXControlAltSuper = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

// Another X client: grabs keys of its own and reads the server's state.
class OtherClient {
 public:
  OtherClient() : connection_(xcb_connect(nullptr, nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    symbols_ = xcb_key_symbols_alloc(connection_);
  }
  ~OtherClient() {
    xcb_key_symbols_free(symbols_);
    xcb_disconnect(connection_);
  }
  int error() const { return xcb_connection_has_error(connection_); }

  xcb_keycode_t keycode(xcb_keysym_t keysym) const {
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols_, keysym);
    xcb_keycode_t first = codes ? codes[0] : 0;
    std::free(codes);
    return first;
  }

  // True when the server let us have the grab.
  bool grab(xcb_keysym_t keysym, uint16_t mods) {
    auto cookie =
        xcb_grab_key_checked(connection_, 0, root_, mods, keycode(keysym), XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
    std::free(error);
    return error == nullptr;
  }
  void ungrab(xcb_keysym_t keysym, uint16_t mods) {
    xcb_ungrab_key(connection_, keycode(keysym), root_, mods);
    xcb_flush(connection_);
  }

  uint16_t modifierState() {
    auto* reply = xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr);
    const uint16_t mask = reply ? reply->mask : 0;
    std::free(reply);
    return mask;
  }

  // The modifier bit the key with `keysym` sets, 0 if none.
  uint16_t modifierOf(xcb_keysym_t keysym) {
    const xcb_keycode_t wanted = keycode(keysym);
    auto* reply = xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
    uint16_t mask = 0;
    const int per = reply ? reply->keycodes_per_modifier : 0;
    for (int i = 0; i < 8 * per; ++i)
      if (xcb_get_modifier_mapping_keycodes(reply)[i] == wanted) mask = static_cast<uint16_t>(1u << (i / per));
    std::free(reply);
    return mask;
  }

  // Swaps what two keycodes type, as a layout change would.
  void swapKeys(xcb_keycode_t a, xcb_keycode_t b) {
    const xcb_keycode_t low = std::min(a, b);
    const uint8_t count = static_cast<uint8_t>(std::max(a, b) - low + 1);
    auto* reply =
        xcb_get_keyboard_mapping_reply(connection_, xcb_get_keyboard_mapping(connection_, low, count), nullptr);
    ASSERT_NE(reply, nullptr);
    const int per = reply->keysyms_per_keycode;
    std::vector<xcb_keysym_t> syms(xcb_get_keyboard_mapping_keysyms(reply),
                                   xcb_get_keyboard_mapping_keysyms(reply) + count * per);
    std::free(reply);
    for (int i = 0; i < per; ++i) std::swap(syms[(a - low) * per + i], syms[(b - low) * per + i]);
    xcb_generic_error_t* error = xcb_request_check(
        connection_,
        xcb_change_keyboard_mapping_checked(connection_, count, low, static_cast<uint8_t>(per), syms.data()));
    EXPECT_EQ(error, nullptr);
    std::free(error);
  }

  // A keycode that types nothing.
  xcb_keycode_t unusedKeycode() {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    for (int code = setup->max_keycode; code > setup->min_keycode; --code)
      if (xcb_key_symbols_get_keysym(symbols_, static_cast<xcb_keycode_t>(code), 0) == XCB_NO_SYMBOL &&
          xcb_key_symbols_get_keysym(symbols_, static_cast<xcb_keycode_t>(code), 1) == XCB_NO_SYMBOL)
        return static_cast<xcb_keycode_t>(code);
    return 0;
  }

 private:
  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
  xcb_key_symbols_t* symbols_ = nullptr;
};

class X11HotKeysTest : public tovrelle::test::ShortcutsTest {
 protected:
  static void SetUpTestSuite() {
    session_ = new tovrelle::test::PrivateSession({.pipewire = false, .wireplumber = false, .xvfb = true});
    // Xvfb resets itself whenever its last client leaves, and refuses
    // connections meanwhile; one client for the whole suite keeps it up.
    keepAlive_ = xcb_connect(nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    xcb_disconnect(keepAlive_);
    delete session_;
  }

  void SetUp() override {
    ShortcutsTest::SetUp();
    auto center = tovrelle::hotkeys::makeX11HotKeyCenter();
    ASSERT_TRUE(center) << center.error();
    center_ = center->get();
    useBackend({std::move(*center), nullptr, {}});
    ASSERT_EQ(other_.error(), 0) << "cannot connect to " << std::getenv("DISPLAY");
    // The grabs assume Super on Mod4, Alt on Mod1, as desktops set them up.
    ASSERT_EQ(other_.modifierOf(XK_Super_L), XCB_MOD_MASK_4);
    ASSERT_EQ(other_.modifierOf(XK_Alt_L), XCB_MOD_MASK_1);
  }

  void xdotool(const std::string& command, const std::string& keys) {
    auto process = session_->spawn({"xdotool", command, keys});
    ASSERT_EQ(process->wait(10s), 0) << process->log();
  }

  // Lets the Qt event loop read whatever the server sent meanwhile.
  void settle() { QTest::qWait(150); }

  static inline tovrelle::test::PrivateSession* session_ = nullptr;
  static inline xcb_connection_t* keepAlive_ = nullptr;
  tovrelle::hotkeys::HotKeyCenter* center_ = nullptr;
  OtherClient other_;
};

}  // namespace

TEST_F(X11HotKeysTest, HoldingCtrlAltSuper1DownThenReleasingRunsEachActionOnce) {
  int turnedOn = 0;
  int pressedDown = 0;
  shortcuts().onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  shortcuts().onKeyDown(Names::cameraOn, [&] { ++pressedDown; });
  // Held past the server's auto-repeat delay: repeats must not look like
  // releases, or the key-up action would run many times.
  xdotool("keydown", "ctrl+alt+super+1");
  ASSERT_TRUE(QTest::qWaitFor([&] { return pressedDown == 1; }, 5000));
  QTest::qWait(1500);
  EXPECT_EQ(turnedOn, 0);
  xdotool("keyup", "ctrl+alt+super+1");
  ASSERT_TRUE(QTest::qWaitFor([&] { return turnedOn >= 1; }, 5000));
  // The same digit without Super is not ours.
  xdotool("key", "ctrl+alt+1");
  settle();
  EXPECT_EQ(turnedOn, 1);
  EXPECT_EQ(pressedDown, 1);
}

TEST_F(X11HotKeysTest, WorksWithNumLockAndCapsLockLit) {
  int turnedOff = 0;
  shortcuts().onKeyUp(Names::cameraOff, [&] { ++turnedOff; });
  const uint16_t numLock = other_.modifierOf(XK_Num_Lock);
  ASSERT_NE(numLock, 0);

  xdotool("key", "Num_Lock");
  ASSERT_TRUE(QTest::qWaitFor([&] { return (other_.modifierState() & numLock) != 0; }, 3000));
  xdotool("key", "ctrl+alt+super+0");
  EXPECT_TRUE(QTest::qWaitFor([&] { return turnedOff == 1; }, 5000));

  xdotool("key", "Caps_Lock");
  ASSERT_TRUE(QTest::qWaitFor([&] { return (other_.modifierState() & XCB_MOD_MASK_LOCK) != 0; }, 3000));
  xdotool("key", "ctrl+alt+super+0");
  EXPECT_TRUE(QTest::qWaitFor([&] { return turnedOff == 2; }, 5000));

  xdotool("key", "Caps_Lock");
  xdotool("key", "Num_Lock");
}

TEST_F(X11HotKeysTest, ACombinationAnotherClientHoldsIsRefused) {
  ASSERT_TRUE(other_.grab(XK_2, kXControlAltSuper));
  int shown = 0;
  int turnedOn = 0;
  shortcuts().onKeyUp(Names::showLastImage, [&] { ++shown; });
  shortcuts().onKeyUp(Names::cameraOn, [&] { ++turnedOn; });

  for (const auto& [id, hotKey] : shortcuts().hotKeys()) EXPECT_NE(hotKey->shortcut, Shortcut(key::two, kCOC));
  EXPECT_EQ(shortcuts().hotKeys().size(), 1u);
  // What the settings window shows beside the shortcut.
  ASSERT_EQ(shortcuts().refusedShortcuts().count(Shortcut(key::two, kCOC)), 1u);
  EXPECT_EQ(shortcuts().refusedShortcuts().at(Shortcut(key::two, kCOC)), "another program or the desktop holds it");
  xdotool("key", "ctrl+alt+super+2");
  settle();
  EXPECT_EQ(shown, 0);

  // The shortcut field's check: held by another client, free, or ours.
  EXPECT_TRUE(shortcuts().isTakenBySystem(Shortcut(key::two, kCOC)));
  EXPECT_FALSE(shortcuts().isTakenBySystem(Shortcut(key::three, kCOC)));
  EXPECT_FALSE(shortcuts().isTakenBySystem(Shortcut(key::one, kCOC)));
  EXPECT_TRUE(shortcuts().isTakenBySystem(Shortcut(key::backspace, modifier::control | modifier::alt)));
  // Probing left no grab behind, and did not drop ours.
  EXPECT_TRUE(other_.grab(XK_3, kXControlAltSuper));
  other_.ungrab(XK_3, kXControlAltSuper);
  EXPECT_FALSE(other_.grab(XK_1, kXControlAltSuper));
  xdotool("key", "ctrl+alt+super+1");
  EXPECT_TRUE(QTest::qWaitFor([&] { return turnedOn == 1; }, 5000));

  // Clearing gives the combination back to everyone.
  shortcuts().storeShortcut(std::nullopt, Names::cameraOn);
  EXPECT_TRUE(other_.grab(XK_1, kXControlAltSuper));
  other_.ungrab(XK_1, kXControlAltSuper);
  other_.ungrab(XK_2, kXControlAltSuper);
}

TEST_F(X11HotKeysTest, AKeyboardMappingChangeMovesTheGrab) {
  int shown = 0;
  shortcuts().storeShortcut(Shortcut(key::three, kCOC), Names::showLastImage);
  shortcuts().onKeyUp(Names::showLastImage, [&] { ++shown; });
  const xcb_keycode_t original = other_.keycode(XK_3);
  const xcb_keycode_t spare = other_.unusedKeycode();
  ASSERT_NE(original, 0);
  ASSERT_NE(spare, 0);

  other_.swapKeys(original, spare);  // "3" now sits on another key
  settle();
  xdotool("key", "ctrl+alt+super+3");
  EXPECT_TRUE(QTest::qWaitFor([&] { return shown == 1; }, 5000));

  other_.swapKeys(original, spare);
  settle();
  xdotool("key", "ctrl+alt+super+3");
  EXPECT_TRUE(QTest::qWaitFor([&] { return shown == 2; }, 5000));
}

TEST_F(X11HotKeysTest, ScanCodesAndCharactersComeFromTheServersKeyboardMapping) {
  EXPECT_EQ(center_->keyCodeForScanCode(other_.keycode(XK_q)), uint32_t(key::q));
  EXPECT_EQ(center_->keyCodeForScanCode(other_.keycode(XK_F12)), uint32_t(key::f12));
  EXPECT_EQ(center_->characterForKeyCode(key::slash), char32_t(U'/'));
}

TEST_F(X11HotKeysTest, WithoutAnXServerThereTheReasonNamesTheDisplay) {
  // Not a display name xcb can parse: no server is asked.
  auto none = tovrelle::hotkeys::makeX11HotKeyCenter("no-display-here");
  ASSERT_FALSE(none);
  EXPECT_NE(none.error().find("no-display-here"), std::string::npos) << none.error();
}
