#include "platform/drawing/TangentArc.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tovrelle::drawing {
namespace {

constexpr double kTol = 1e-9;

void expectPoint(Point actual, double x, double y) {
  EXPECT_NEAR(actual.x, x, kTol);
  EXPECT_NEAR(actual.y, y, kTol);
}

double angleBetween(double from, double to, bool increasing) {
  double sweep = increasing ? to - from : from - to;
  while (sweep < 0) sweep += 2 * M_PI;
  while (sweep >= 2 * M_PI) sweep -= 2 * M_PI;
  return sweep;
}

TEST(TangentArc, RightAngleCornerTurningTheOtherWay) {
  TangentArc arc = arcToPoint({0, 0}, {10, 0}, {10, -10}, 2);
  ASSERT_TRUE(arc.isArc);
  expectPoint(arc.lineTo, 8, 0);
  expectPoint(arc.center, 8, -2);
  expectPoint(arc.arcEnd, 10, -2);
  EXPECT_NEAR(arc.startAngle, M_PI / 2, kTol);
  EXPECT_NEAR(arc.endAngle, 0, kTol);
  EXPECT_FALSE(arc.increasingAngles);
  EXPECT_NEAR(angleBetween(arc.startAngle, arc.endAngle, arc.increasingAngles), M_PI / 2, kTol);
}

TEST(TangentArc, SixtyDegreeCornerMatchesTheHandWorkedCircle) {
  // Lines meet at 60 degrees: tangent points r*sqrt(3) from the corner,
  // centre 2r from it along the bisector.
  const double r = 1;
  const Point p2{10 - 5, 5 * std::sqrt(3.0)};
  TangentArc arc = arcToPoint({0, 0}, {10, 0}, p2, r);
  ASSERT_TRUE(arc.isArc);
  expectPoint(arc.lineTo, 10 - std::sqrt(3.0), 0);
  expectPoint(arc.arcEnd, 10 - std::sqrt(3.0) / 2, 1.5);
  expectPoint(arc.center, 10 - std::sqrt(3.0), 1);
  EXPECT_NEAR(std::hypot(arc.arcEnd.x - arc.center.x, arc.arcEnd.y - arc.center.y), r, kTol);
  // The turn is 120 degrees, so is the arc.
  EXPECT_NEAR(angleBetween(arc.startAngle, arc.endAngle, arc.increasingAngles), 2 * M_PI / 3, kTol);
}

TEST(TangentArc, DegenerateCasesDrawAStraightLineToTheFirstTangentEnd) {
  struct Case {
    const char* name;
    Point current, p1, p2;
    double radius;
  };
  const Case cases[] = {
      {"collinear onwards", {0, 0}, {5, 0}, {10, 0}, 2},
      {"collinear doubling back", {0, 0}, {5, 5}, {-3, -3}, 2},
      {"zero radius", {0, 0}, {10, 0}, {10, 10}, 0},
      {"negative radius", {0, 0}, {10, 0}, {10, 10}, -1},
      {"current point on p1", {10, 0}, {10, 0}, {10, 10}, 2},
      {"p2 on p1", {0, 0}, {10, 0}, {10, 0}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TangentArc arc = arcToPoint(c.current, c.p1, c.p2, c.radius);
    EXPECT_FALSE(arc.isArc);
    expectPoint(arc.lineTo, c.p1.x, c.p1.y);
    expectPoint(arc.arcEnd, c.p1.x, c.p1.y);
  }
}

}  // namespace
}  // namespace tovrelle::drawing
