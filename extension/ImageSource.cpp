#include "extension/ImageSource.h"

// Placeholder until the imaging layer lands: every image is unreadable.
namespace tovrelle::extension {

std::shared_ptr<AnimatedImage> loadAnimatedImage(const std::filesystem::path&) { return nullptr; }

std::optional<StillImage> loadStillImage(const std::filesystem::path&) { return std::nullopt; }

}  // namespace tovrelle::extension
