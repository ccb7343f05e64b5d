#pragma once
// The desktop's light or dark preference, set by the test.
#include "platform/appearance/DesktopAppearance.h"

namespace tovrelle::test {

class FakeDesktopAppearance final : public appearance::DesktopAppearance {
 public:
  appearance::ColorScheme colorScheme() const override { return scheme_; }
  void setChangeHandler(ChangeHandler handler) override { handler_ = std::move(handler); }

  // The desktop switches, as the portal's SettingChanged would say.
  void set(appearance::ColorScheme scheme) {
    scheme_ = scheme;
    if (handler_) handler_(scheme_);
  }

 private:
  appearance::ColorScheme scheme_ = appearance::ColorScheme::noPreference;
  ChangeHandler handler_;
};

}  // namespace tovrelle::test
