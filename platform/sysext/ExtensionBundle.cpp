#include "platform/sysext/ExtensionBundle.h"

#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sysext/SystemExtensions.h"

namespace tovrelle::sysext {
namespace fs = std::filesystem;

namespace {

// An info dictionary is a few hundred bytes; anything larger is not ours.
constexpr std::uintmax_t kMaxInfoSize = 64 * 1024;

enum class ReadProblem { none, missingFolder, unreadable };

std::optional<nlohmann::json> readInfo(const fs::path& bundle, ReadProblem& problem, std::string& detail) {
  std::error_code ec;
  if (!fs::is_directory(bundle, ec)) {
    problem = ReadProblem::missingFolder;
    detail = "no extension bundle at " + bundle.string();
    return std::nullopt;
  }
  problem = ReadProblem::unreadable;
  const fs::path file = bundle / kInfoFileName;
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

fs::path embeddedExtensionPath(const fs::path& appBundle, const std::string& identifier) {
  return appBundle / kEmbeddedExtensionsFolder / (identifier + kBundleExtension);
}

std::optional<ExtensionVersion> readExtensionVersion(const fs::path& bundle) {
  ReadProblem problem;
  std::string detail;
  auto info = readInfo(bundle, problem, detail);
  if (!info) return std::nullopt;
  auto shortVersion = textValue(*info, kInfoShortVersionKey);
  auto version = textValue(*info, kInfoVersionKey);
  if (!shortVersion || !version) return std::nullopt;
  return ExtensionVersion{*shortVersion, *version};
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

std::optional<ExtensionInfo> validateExtensionBundle(const fs::path& bundle, const std::string& identifier, int& code,
                                                     std::string& problem) {
  ReadProblem readProblem;
  auto info = readInfo(bundle, readProblem, problem);
  if (!info) {
    code = readProblem == ReadProblem::missingFolder ? kErrorExtensionNotFound : kErrorValidationFailed;
    return std::nullopt;
  }
  ExtensionInfo result;
  auto id = textValue(*info, kInfoIdentifierKey);
  if (!id || id->empty()) {
    code = kErrorExtensionMissingIdentifier;
    problem = "the info dictionary of " + bundle.string() + " has no " + kInfoIdentifierKey;
    return std::nullopt;
  }
  if (*id != identifier) {
    code = kErrorExtensionNotFound;
    problem = "the bundle at " + bundle.string() + " is \"" + *id + "\", not \"" + identifier + "\"";
    return std::nullopt;
  }
  result.identifier = *id;
  code = kErrorValidationFailed;
  for (auto [key, target] : {std::pair{kInfoShortVersionKey, &result.version.shortVersion},
                             std::pair{kInfoVersionKey, &result.version.bundleVersion}}) {
    auto value = textValue(*info, key);
    if (!value) {
      problem = std::string("the info dictionary has no text ") + key;
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
    problem = std::string("the info dictionary has no usable ") + kInfoExecutableKey;
    return std::nullopt;
  }
  const fs::path binary = bundle / *executable;
  struct stat st {};
  if (::stat(binary.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(binary.c_str(), X_OK) != 0) {
    problem = "the extension executable " + binary.string() + " is missing or not executable";
    return std::nullopt;
  }
  result.executable = *executable;
  code = 0;
  problem.clear();
  return result;
}

}  // namespace tovrelle::sysext
