#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovrelle {

// A 128-bit UUID, written in its 36-character upper-case form.
class Uuid {
 public:
  Uuid() = default;
  explicit Uuid(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

  // Accepts the 8-4-4-4-12 hex form in either case; anything else is none.
  static std::optional<Uuid> parse(std::string_view text);
  // A new random (version 4) UUID.
  static Uuid random();

  std::string toString() const;
  const std::array<uint8_t, 16>& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  std::array<uint8_t, 16> bytes_{};
};

inline std::string describe(const std::optional<Uuid>& id) { return id ? id->toString() : "nil"; }
inline std::string describe(const std::optional<std::string>& s) { return s ? *s : "nil"; }

}  // namespace tovrelle
