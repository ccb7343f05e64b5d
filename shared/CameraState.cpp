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

Result<json> parse(std::string_view bytes) {
  json value = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return Unexpected{"not valid JSON"};
  return value;
}

// A key that is absent or null is none; any other non-string makes the record invalid.
Result<std::optional<std::string>> optionalString(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return Unexpected{"member is not a string"};
  return std::optional<std::string>(it->get<std::string>());
}

Result<std::string> requiredString(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return Unexpected{"required member missing"};
  if (!it->is_string()) return Unexpected{"member is not a string"};
  return it->get<std::string>();
}

}  // namespace

Result<CameraState> decodeCameraState(std::string_view bytes) {
  auto value = parse(bytes);
  if (!value) return Unexpected{value.error()};
  if (!value->is_object()) return Unexpected{"not an object"};
  CameraState state;
  auto mode = requiredString(*value, "mode");
  if (!mode) return Unexpected{mode.error()};
  auto parsedMode = cameraModeFromRaw(*mode);
  if (!parsedMode) return Unexpected{"unknown mode"};
  state.mode = *parsedMode;
  auto imageText = optionalString(*value, "selectedImageId");
  if (!imageText) return Unexpected{imageText.error()};
  if (*imageText) {
    state.selectedImageId = Uuid::parse(**imageText);
    if (!state.selectedImageId) return Unexpected{"selectedImageId is not a UUID"};
  }
  auto cameraId = optionalString(*value, "selectedCameraId");
  if (!cameraId) return Unexpected{cameraId.error()};
  state.selectedCameraId = std::move(*cameraId);
  return state;
}

Result<std::vector<SavedImage>> decodeSavedImages(std::string_view bytes) {
  auto value = parse(bytes);
  if (!value) return Unexpected{value.error()};
  if (!value->is_array()) return Unexpected{"not an array"};
  std::vector<SavedImage> images;
  images.reserve(value->size());
  for (const auto& element : *value) {
    if (!element.is_object()) return Unexpected{"element is not an object"};
    SavedImage image;
    auto idText = requiredString(element, "id");
    if (!idText) return Unexpected{idText.error()};
    auto id = Uuid::parse(*idText);
    if (!id) return Unexpected{"id is not a UUID"};
    image.id = *id;
    auto name = requiredString(element, "name");
    if (!name) return Unexpected{name.error()};
    auto fileName = requiredString(element, "fileName");
    if (!fileName) return Unexpected{fileName.error()};
    image.name = std::move(*name);
    image.fileName = std::move(*fileName);
    images.push_back(std::move(image));
  }
  return images;
}

}  // namespace tovrelle
