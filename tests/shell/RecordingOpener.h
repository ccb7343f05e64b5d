#pragma once
// An address opener that notes every address it is asked to open; the
// addresses in `refused` report a failure.
#include <set>
#include <string>
#include <vector>

#include "platform/urls/UrlOpener.h"

namespace tovrelle::test {

class RecordingOpener final : public urls::UrlOpener {
 public:
  std::vector<std::string> opened;
  std::set<std::string> refused;
  bool open(const std::string& url) override {
    opened.push_back(url);
    return !refused.count(url);
  }
};

}  // namespace tovrelle::test
