#pragma once
// The records of the data folder: what the host writes and the extension reads.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/Result.h"
#include "shared/Uuid.h"

namespace tovrelle {

enum class CameraMode { off, camera, image };

const char* rawValue(CameraMode mode);
std::optional<CameraMode> cameraModeFromRaw(std::string_view raw);

struct CameraState {
  CameraMode mode = CameraMode::off;
  std::optional<Uuid> selectedImageId;
  std::optional<std::string> selectedCameraId;
  friend bool operator==(const CameraState&, const CameraState&) = default;
};

// One library entry. The host calls it SavedImage and the extension
// SavedImageData; both read and write the same record.
struct SavedImage {
  Uuid id;
  std::string name;
  std::string fileName;
  friend bool operator==(const SavedImage&, const SavedImage&) = default;
};
using SavedImageData = SavedImage;

// Compact JSON, keys in field order, optionals omitted, "/" escaped as "\/".
std::string encodeCameraState(const CameraState& state);
std::string encodeSavedImages(const std::vector<SavedImage>& images);

// An error when the bytes are not a valid record (see the decoding rules: a
// missing or unknown mode, a non-UUID image id, an element missing a key).
Result<CameraState> decodeCameraState(std::string_view bytes);
Result<std::vector<SavedImage>> decodeSavedImages(std::string_view bytes);

// Appends `text` as a JSON string literal the way the writer above does.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace tovrelle
