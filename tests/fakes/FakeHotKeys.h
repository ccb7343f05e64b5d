#pragma once
// A hot-key service in memory: registrations are kept in a table, other
// programs' grabs and desktop reservations are whatever the test says, and
// key presses are played by the test.
#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/hotkeys/HotKeys.h"

namespace tovrelle::test {

class FakeHotKeys final : public hotkeys::HotKeyCenter {
 public:
  struct Registration {
    uint32_t keyCode = 0;
    uint32_t modifiers = 0;
    uint32_t id = 0;
    hotkeys::HotKeyRef ref = 0;
  };

  Result<hotkeys::HotKeyRef> registerHotKey(uint32_t keyCode, uint32_t modifiers, uint32_t id) override {
    if (heldByOthers.count({keyCode, modifiers})) return Unexpected{"another program holds it"};
    Registration registration{keyCode, modifiers, id, nextRef_++};
    live[registration.ref] = registration;
    history.push_back(registration);
    return registration.ref;
  }

  void unregisterHotKey(hotkeys::HotKeyRef ref) override {
    if (live.erase(ref)) unregistered.push_back(ref);
  }

  bool isTakenBySystem(uint32_t keyCode, uint32_t modifiers) override {
    return heldByOthers.count({keyCode, modifiers}) || reservedByDesktop.count({keyCode, modifiers});
  }

  std::optional<uint32_t> keyCodeForScanCode(uint32_t scanCode) const override {
    auto it = scanCodes.find(scanCode);
    if (it == scanCodes.end()) return std::nullopt;
    return it->second;
  }

  std::optional<char32_t> characterForKeyCode(uint32_t keyCode) const override {
    auto it = layoutCharacters.find(keyCode);
    if (it == layoutCharacters.end()) return std::nullopt;
    return it->second;
  }

  // The user presses or releases a combination: it reaches us only through
  // a live registration, as a grab would. True when the listener took it.
  bool press(uint32_t keyCode, uint32_t modifiers) { return play(true, keyCode, modifiers); }
  bool release(uint32_t keyCode, uint32_t modifiers) { return play(false, keyCode, modifiers); }
  // Reports any identifier, as a report already queued would arrive.
  bool send(uint32_t id, bool pressed) { return report(id, pressed); }

  size_t liveCount(uint32_t keyCode, uint32_t modifiers) const {
    return size_t(std::ranges::count_if(
        live, [&](auto& entry) { return entry.second.keyCode == keyCode && entry.second.modifiers == modifiers; }));
  }
  std::optional<Registration> liveRegistration(uint32_t keyCode, uint32_t modifiers) const {
    for (const auto& [ref, registration] : live) {
      if (registration.keyCode == keyCode && registration.modifiers == modifiers) return registration;
    }
    return std::nullopt;
  }

  std::map<hotkeys::HotKeyRef, Registration> live;
  std::vector<Registration> history;  // every successful registration, in order
  std::vector<hotkeys::HotKeyRef> unregistered;
  std::set<std::pair<uint32_t, uint32_t>> heldByOthers;
  std::set<std::pair<uint32_t, uint32_t>> reservedByDesktop;
  std::map<uint32_t, uint32_t> scanCodes;
  std::map<uint32_t, char32_t> layoutCharacters;

 private:
  bool play(bool pressed, uint32_t keyCode, uint32_t modifiers) {
    auto registration = liveRegistration(keyCode, modifiers);
    if (!registration) return false;
    return send(registration->id, pressed);
  }

  hotkeys::HotKeyRef nextRef_ = 1;
};

}  // namespace tovrelle::test
