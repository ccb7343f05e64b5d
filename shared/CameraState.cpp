#include "shared/CameraState.h"

#include <nlohmann/json.hpp>

namespace tovrelle {

const char* rawValue(CameraMode mode) {
  switch (mode) {
    case CameraMode::off: return "off";
    case CameraMode::camera: return "camera";
    case CameraMode::image: return "image";
  }
  return "off";
}

std::optional<CameraMode> cameraModeFromRaw(std::string_view raw) {
  if (raw == "off") return CameraMode::off;
  if (raw == "camera") return CameraMode::camera;
  if (raw == "image") return CameraMode::image;
  return std::nullopt;
}

void appendJsonString(std::string& out, std::string_view text) {
  static const char* hex = "0123456789abcdef";
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0x0F]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

std::string encodeCameraState(const CameraState& state) {
  std::string out = "{\"mode\":";
  appendJsonString(out, rawValue(state.mode));
  if (state.selectedImageId) {
    out += ",\"selectedImageId\":";
    appendJsonString(out, state.selectedImageId->toString());
  }
  if (state.selectedCameraId) {
    out += ",\"selectedCameraId\":";
    appendJsonString(out, *state.selectedCameraId);
  }
  out += "}";
  return out;
}

std::string encodeSavedImages(const std::vector<SavedImage>& images) {
  std::string out = "[";
  bool first = true;
  for (const auto& image : images) {
    if (!first) out.push_back(',');
    first = false;
    out += "{\"id\":";
    appendJsonString(out, image.id.toString());
    out += ",\"name\":";
    appendJsonString(out, image.name);
    out += ",\"fileName\":";
    appendJsonString(out, image.fileName);
    out += "}";
  }
  out += "]";
  return out;
}

namespace {

using nlohmann::json;

std::optional<json> parse(std::string_view bytes, std::string* error) {
  json value = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    if (error) *error = "not valid JSON";
    return std::nullopt;
  }
  return value;
}

bool fail(std::string* error, const char* what) {
  if (error) *error = what;
  return false;
}

// A key that is absent or null is none; any other non-string makes the record invalid.
bool optionalString(const json& object, const char* key, std::optional<std::string>& out, std::string* error) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return fail(error, "member is not a string");
  out = it->get<std::string>();
  return true;
}

bool requiredString(const json& object, const char* key, std::string& out, std::string* error) {
  auto it = object.find(key);
  if (it == object.end()) return fail(error, "required member missing");
  if (!it->is_string()) return fail(error, "member is not a string");
  out = it->get<std::string>();
  return true;
}

}  // namespace

std::optional<CameraState> decodeCameraState(std::string_view bytes, std::string* error) {
  auto value = parse(bytes, error);
  if (!value) return std::nullopt;
  if (!value->is_object()) {
    fail(error, "not an object");
    return std::nullopt;
  }
  CameraState state;
  std::string mode;
  if (!requiredString(*value, "mode", mode, error)) return std::nullopt;
  auto parsedMode = cameraModeFromRaw(mode);
  if (!parsedMode) {
    fail(error, "unknown mode");
    return std::nullopt;
  }
  state.mode = *parsedMode;
  std::optional<std::string> imageText;
  if (!optionalString(*value, "selectedImageId", imageText, error)) return std::nullopt;
  if (imageText) {
    state.selectedImageId = Uuid::parse(*imageText);
    if (!state.selectedImageId) {
      fail(error, "selectedImageId is not a UUID");
      return std::nullopt;
    }
  }
  if (!optionalString(*value, "selectedCameraId", state.selectedCameraId, error)) return std::nullopt;
  return state;
}

std::optional<std::vector<SavedImage>> decodeSavedImages(std::string_view bytes, std::string* error) {
  auto value = parse(bytes, error);
  if (!value) return std::nullopt;
  if (!value->is_array()) {
    fail(error, "not an array");
    return std::nullopt;
  }
  std::vector<SavedImage> images;
  images.reserve(value->size());
  for (const auto& element : *value) {
    if (!element.is_object()) {
      fail(error, "element is not an object");
      return std::nullopt;
    }
    SavedImage image;
    std::string idText;
    if (!requiredString(element, "id", idText, error)) return std::nullopt;
    auto id = Uuid::parse(idText);
    if (!id) {
      fail(error, "id is not a UUID");
      return std::nullopt;
    }
    image.id = *id;
    if (!requiredString(element, "name", image.name, error)) return std::nullopt;
    if (!requiredString(element, "fileName", image.fileName, error)) return std::nullopt;
    images.push_back(std::move(image));
  }
  return images;
}

}  // namespace tovrelle
