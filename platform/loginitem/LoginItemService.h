#pragma once
// The login-item service of the host app: whether it starts at login, and the
// two operations that change that. Either operation succeeds or says why not;
// the caller always re-reads the status afterwards.
// Thread-bound (main thread).
#include <memory>
#include <string>

#include "shared/Result.h"

namespace tovrelle::loginitem {

enum class Status {
  notRegistered,     // no entry: the app does not start at login
  enabled,           // the app starts at login
  requiresApproval,  // an entry exists but the desktop has it switched off
  notFound,          // an entry exists but the program it starts is gone
};

const char* describe(Status status);

class LoginItemService {
 public:
  virtual ~LoginItemService() = default;
  virtual Status status() = 0;
  virtual Result<void> registerItem() = 0;
  virtual Result<void> unregisterItem() = 0;
};

}  // namespace tovrelle::loginitem
