#pragma once
// A desktop portal in memory: keeps what was bound, answers as the test says,
// and plays presses and releases.
#include <vector>

#include "platform/hotkeys/ShortcutPortal.h"

namespace tovrelle::test {

class FakeShortcutPortal final : public hotkeys::ShortcutPortal {
 public:
  void bind(std::vector<hotkeys::PortalShortcut> shortcuts) override {
    binds.push_back(std::move(shortcuts));
    state_ = refuseWith.empty() ? State::bound : State::unavailable;
    if (callbacks_.stateChanged) callbacks_.stateChanged(state_, refuseWith);
  }
  State state() const override { return state_; }

  void press(const std::string& id) { callbacks_.activated(id); }
  void release(const std::string& id) { callbacks_.deactivated(id); }

  std::vector<std::vector<hotkeys::PortalShortcut>> binds;
  std::string refuseWith;  // non-empty: every bind is refused with this reason

 private:
  State state_ = State::idle;
};

}  // namespace tovrelle::test
