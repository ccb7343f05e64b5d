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

enum class ReadProblem { none, missingFolder, unreadable };

std::optional<nlohmann::json> readInfo(const fs::path& copy, ReadProblem& problem, std::string& detail) {
  std::error_code ec;
  if (!fs::is_directory(copy, ec)) {
    problem = ReadProblem::missingFolder;
    detail = "no camera service at " + copy.string();
    return std::nullopt;
  }
  problem = ReadProblem::unreadable;
  const fs::path file = copy / kInfoFileName;
  auto size = fs::file_size(file, ec);
  if (ec) {
    detail = "cannot read " + file.string() + ": " + ec.message();
    return std::nullopt;
  }
  if (size > kMaxInfoSize) {
    detail = file.string() + " is too large (" + std::to_string(size) + " bytes)";
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  std::string text(static_cast<size_t>(size), '\0');
  if (!in || !in.read(text.data(), static_cast<std::streamsize>(text.size()))) {
    detail = "cannot read " + file.string();
    return std::nullopt;
  }
  auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object()) {
    detail = file.string() + " is not a JSON object";
    return std::nullopt;
  }
  problem = ReadProblem::none;
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
  ReadProblem problem;
  std::string detail;
  auto info = readInfo(copy, problem, detail);
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

std::optional<ServiceCopy> validateServiceCopy(const fs::path& copy, int& code, std::string& problem) {
  const std::string identifier = kServiceIdentifier;
  ReadProblem readProblem;
  auto info = readInfo(copy, readProblem, problem);
  if (!info) {
    code = readProblem == ReadProblem::missingFolder ? kErrorServiceNotFound : kErrorValidationFailed;
    return std::nullopt;
  }
  ServiceCopy result;
  auto id = textValue(*info, kInfoIdentifierKey);
  if (!id || id->empty()) {
    code = kErrorServiceMissingIdentifier;
    problem = std::string("the ") + kInfoFileName + " of " + copy.string() + " has no " + kInfoIdentifierKey;
    return std::nullopt;
  }
  if (*id != identifier) {
    code = kErrorServiceNotFound;
    problem = "the copy at " + copy.string() + " is \"" + *id + "\", not \"" + identifier + "\"";
    return std::nullopt;
  }
  code = kErrorValidationFailed;
  for (auto [key, target] : {std::pair{kInfoShortVersionKey, &result.version.shortVersion},
                             std::pair{kInfoVersionKey, &result.version.buildNumber}}) {
    auto value = textValue(*info, key);
    if (!value) {
      problem = std::string("the ") + kInfoFileName + " has no text " + key;
      return std::nullopt;
    }
    if (!isPlainVersionText(*value)) {
      problem = std::string(key) + " holds characters a version may not contain";
      return std::nullopt;
    }
    *target = *value;
  }
  auto executable = textValue(*info, kInfoExecutableKey);
  if (!executable || executable->empty() || executable->find('/') != std::string::npos || *executable == "." ||
      *executable == "..") {
    problem = std::string("the ") + kInfoFileName + " has no usable " + kInfoExecutableKey;
    return std::nullopt;
  }
  const fs::path binary = copy / *executable;
  struct stat st {};
  if (::stat(binary.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(binary.c_str(), X_OK) != 0) {
    problem = "the camera service program " + binary.string() + " is missing or not executable";
    return std::nullopt;
  }
  result.executable = *executable;
  code = 0;
  problem.clear();
  return result;
}

}  // namespace tovrelle::userservice
