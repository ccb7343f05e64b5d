#include "app/model/LoginItemManager.h"

#include "platform/log/Log.h"

namespace tovrelle {

LoginItemManager::LoginItemManager(std::shared_ptr<loginitem::LoginItemService> service, QObject* parent)
    : QObject(parent), service_(std::move(service)) {
  isEnabled_ = service_->status() == loginitem::Status::enabled;
}

bool LoginItemManager::setEnabled(bool enabled) {
  const bool isOn = service_->status() == loginitem::Status::enabled;
  if (enabled != isOn) {
    const Result<void> result = enabled ? service_->registerItem() : service_->unregisterItem();
    if (!result) {
      log::processLog("LoginItemManager: failed to set login item to %s: %s", enabled ? "enabled" : "disabled",
                      result.error().c_str());
      publish(service_->status() == loginitem::Status::enabled);
      return false;
    }
  }
  publish(service_->status() == loginitem::Status::enabled);
  return isEnabled_ == enabled;
}

void LoginItemManager::reload() { publish(service_->status() == loginitem::Status::enabled); }

void LoginItemManager::publish(bool value) {
  emit objectWillChange();
  emit isEnabledWillChange();
  isEnabled_ = value;
  emit isEnabledChanged();
}

}  // namespace tovrelle
