#include <gtest/gtest.h>

#include "shared/CameraState.h"

using namespace tovrelle;

namespace {
const Uuid kId = *Uuid::parse("3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5");
}

// (Plain states' bytes are checked where the camera manager writes them.)
TEST(StateCoding, WritesTheExactBytesWithEscapes) {
  EXPECT_EQ(encodeCameraState({CameraMode::camera, std::nullopt, "v4l2/usb-0000:00:14.0-1"}),
            R"({"mode":"camera","selectedCameraId":"v4l2\/usb-0000:00:14.0-1"})");
  EXPECT_EQ(
      encodeCameraState({CameraMode::camera, kId, "a\"b\\c\n"}),
      R"({"mode":"camera","selectedImageId":"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5","selectedCameraId":"a\"b\\c\n"})");
  EXPECT_EQ(encodeSavedImages({}), "[]");
  EXPECT_EQ(encodeSavedImages({{kId, "Beach", "X_Beach/1.png"}, {kId, "Café\x01", "f"}}),
            "[{\"id\":\"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5\",\"name\":\"Beach\",\"fileName\":\"X_Beach\\/1.png\"},"
            "{\"id\":\"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5\",\"name\":\"Café\\u0001\",\"fileName\":\"f\"}]");
}

TEST(StateCoding, DecodingRules) {
  // Optional members may be absent or null; unknown keys are ignored; key order is free.
  auto s = decodeCameraState(R"({"selectedImageId":null,"extra":[1,2],"mode":"camera"})");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->mode, CameraMode::camera);
  EXPECT_FALSE(s->selectedImageId);

  // Whole-record failures.
  for (const char* bad : {R"({"mode":"video"})", R"({})", R"({"mode":5})", R"({"mode":null})",
                          R"({"mode":"image","selectedImageId":"nope"})", R"({"mode":"image","selectedImageId":7})",
                          R"({"mode":"camera","selectedCameraId":12})", R"(["mode","off"])", R"({"mode":"off")", "",
                          "\xff\xfe{\"mode\":\"off\"}", "{\"mode\":\"of\xc3\"}", "null"}) {
    EXPECT_FALSE(decodeCameraState(bad)) << bad;
  }
  // The reason goes to the log.
  EXPECT_EQ(decodeCameraState(R"({"mode":"video"})").error(), "unknown mode");
  EXPECT_EQ(decodeCameraState(R"({"mode":"off")").error(), "not valid JSON");
  EXPECT_EQ(decodeCameraState(R"({"mode":"image","selectedImageId":"nope"})").error(), "selectedImageId is not a UUID");
}

TEST(StateCoding, LibraryDecodingFailsAsAWhole) {
  const std::string good = R"({"id":"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5","name":"n","fileName":"f"})";
  EXPECT_EQ(decodeSavedImages("[" + good + "," + good + "]")->size(), 2u);
  for (const std::string& bad :
       {"[" + good + R"(,{"id":"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5","name":"n"}])",
        std::string(R"([{"id":"x","name":"n","fileName":"f"}])"),
        std::string(R"([{"id":"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5","name":1,"fileName":"f"}])"),
        std::string(R"({"id":"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5"})"), std::string("[1]"),
        "[" + good.substr(0, 20)}) {
    EXPECT_FALSE(decodeSavedImages(bad)) << bad;
  }
  EXPECT_EQ(decodeSavedImages("[" + good + R"(,{"id":"3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5","name":"n"}])").error(),
            "required member missing");
  EXPECT_EQ(decodeSavedImages("[1]").error(), "element is not an object");
}

TEST(Uuid, ParsesOnlyTheCanonicalShape) {
  EXPECT_EQ(kId.toString(), "3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5");
  EXPECT_FALSE(Uuid::parse("3E1B7A906C2D4F588A13D47C0B92E6A5"));
  EXPECT_FALSE(Uuid::parse("3E1B7A90-6C2D-4F58-8A13-D47C0B92E6AG"));
  EXPECT_FALSE(Uuid::parse("{3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A}"));
  Uuid a = Uuid::random(), b = Uuid::random();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.toString()[14], '4');
  EXPECT_EQ(Uuid::parse(a.toString()), a);
}
