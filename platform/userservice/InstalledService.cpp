#include "platform/userservice/InstalledService.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/userservice/CameraService.h"

namespace tovrelle::userservice {
namespace fs = std::filesystem;

namespace {

// An info dictionary is a few hundred bytes; anything larger is not ours.
constexpr std::uintmax_t kMaxInfoSize = 64 * 1024;

Result<nlohmann::json, CopyProblem> readInfo(const fs::path& copy) {
  std::error_code ec;
  if (!fs::is_directory(copy, ec)) return CopyProblem{kErrorServiceNotFound, "no camera service at " + copy.string()};
  auto unreadable = [](std::string why) { return CopyProblem{kErrorValidationFailed, std::move(why)}; };
  const fs::path file = copy / kInfoFileName;
  auto size = fs::file_size(file, ec);
  if (ec) return unreadable("cannot read " + file.string() + ": " + ec.message());
  if (size > kMaxInfoSize) return unreadable(file.string() + " is too large (" + std::to_string(size) + " bytes)");
  std::ifstream in(file, std::ios::binary);
  std::string text(static_cast<size_t>(size), '\0');
  if (!in || !in.read(text.data(), static_cast<std::streamsize>(text.size())))
    return unreadable("cannot read " + file.string());
  auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object()) return unreadable(file.string() + " is not a JSON object");
  return json;
}

std::optional<std::string> textValue(const nlohmann::json& info, const char* key) {
  auto it = info.find(key);
  if (it == info.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

std::string serviceUnitName() { return std::string(kServiceIdentifier) + ".service"; }
std::string autostartEntryName() { return std::string(kServiceIdentifier) + ".desktop"; }

fs::path shippedServicePath(const fs::path& prefix) {
  return prefix / kShippedFolder / (std::string(kServiceIdentifier) + kCopySuffix);
}

std::string copyFolderName(const ServiceVersion& version) {
  return version.shortVersion + "_" + version.buildNumber + kCopySuffix;
}

std::optional<ServiceVersion> readServiceVersion(const fs::path& copy) {
  auto info = readInfo(copy);
  if (!info) return std::nullopt;
  auto shortVersion = textValue(*info, kInfoShortVersionKey);
  auto version = textValue(*info, kInfoVersionKey);
  if (!shortVersion || !version) return std::nullopt;
  return ServiceVersion{*shortVersion, *version};
}

bool isPlainVersionText(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  if (!std::isalnum(static_cast<unsigned char>(text.front()))) return false;
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != '+' && c != '~') return false;
  }
  return true;
}

Result<ServiceCopy, CopyProblem> validateServiceCopy(const fs::path& copy) {
  const std::string identifier = kServiceIdentifier;
  auto info = readInfo(copy);
  if (!info) return info.failure();
  ServiceCopy result;
  auto id = textValue(*info, kInfoIdentifierKey);
  if (!id || id->empty())
    return CopyProblem{kErrorServiceMissingIdentifier,
                       std::string("the ") + kInfoFileName + " of " + copy.string() + " has no " + kInfoIdentifierKey};
  if (*id != identifier)
    return CopyProblem{kErrorServiceNotFound,
                       "the copy at " + copy.string() + " is \"" + *id + "\", not \"" + identifier + "\""};
  auto damaged = [](std::string why) { return CopyProblem{kErrorValidationFailed, std::move(why)}; };
  for (auto [key, target] : {std::pair{kInfoShortVersionKey, &result.version.shortVersion},
                             std::pair{kInfoVersionKey, &result.version.buildNumber}}) {
    auto value = textValue(*info, key);
    if (!value) return damaged(std::string("the ") + kInfoFileName + " has no text " + key);
    if (!isPlainVersionText(*value)) return damaged(std::string(key) + " holds characters a version may not contain");
    *target = *value;
  }
  auto executable = textValue(*info, kInfoExecutableKey);
  if (!executable || executable->empty() || executable->find('/') != std::string::npos || *executable == "." ||
      *executable == "..")
    return damaged(std::string("the ") + kInfoFileName + " has no usable " + kInfoExecutableKey);
  const fs::path binary = copy / *executable;
  struct stat st {};
  if (::stat(binary.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(binary.c_str(), X_OK) != 0)
    return damaged("the camera service program " + binary.string() + " is missing or not executable");
  result.executable = *executable;
  return result;
}

}  // namespace tovrelle::userservice
