#include "platform/drawing/TangentArc.h"

#include <cmath>

namespace tovrelle::drawing {
namespace {

// Below this the points count as coincident or collinear; the picture's
// coordinates are a few hundred pixels, so this is far beneath a pixel.
constexpr double kEpsilon = 1e-9;

}  // namespace

TangentArc arcToPoint(Point current, Point p1, Point p2, double radius) {
  TangentArc result;
  result.lineTo = p1;
  result.arcEnd = p1;

  const double ax = current.x - p1.x, ay = current.y - p1.y;
  const double bx = p2.x - p1.x, by = p2.y - p1.y;
  const double la = std::hypot(ax, ay), lb = std::hypot(bx, by);
  if (!(radius > 0) || la < kEpsilon || lb < kEpsilon) return result;

  const double ux = ax / la, uy = ay / la;  // from p1 back toward the current point
  const double vx = bx / lb, vy = by / lb;  // from p1 on toward p2
  const double cross = ux * vy - uy * vx;
  if (std::fabs(cross) < kEpsilon) return result;  // collinear: a straight line to p1

  // Angle at p1 between the two tangent lines; the circle touches both at a
  // distance r / tan(theta/2) from p1 and its centre lies on the bisector.
  const double cosTheta = std::fmax(-1.0, std::fmin(1.0, ux * vx + uy * vy));
  const double theta = std::acos(cosTheta);
  const double tangentDistance = radius / std::tan(theta / 2);
  const double centreDistance = radius / std::sin(theta / 2);
  double bisx = ux + vx, bisy = uy + vy;
  const double lbis = std::hypot(bisx, bisy);
  bisx /= lbis;
  bisy /= lbis;

  const Point t1{p1.x + ux * tangentDistance, p1.y + uy * tangentDistance};
  const Point t2{p1.x + vx * tangentDistance, p1.y + vy * tangentDistance};
  const Point c{p1.x + bisx * centreDistance, p1.y + bisy * centreDistance};

  result.isArc = true;
  result.lineTo = t1;
  result.arcEnd = t2;
  result.center = c;
  result.radius = radius;
  result.startAngle = std::atan2(t1.y - c.y, t1.x - c.x);
  result.endAngle = std::atan2(t2.y - c.y, t2.x - c.x);
  // The arc takes the short way round, which turns the same way as the path
  // turns at p1 (the sign of the cross product of incoming and outgoing).
  const double inx = -ux, iny = -uy;
  result.increasingAngles = (inx * vy - iny * vx) > 0;
  return result;
}

}  // namespace tovrelle::drawing
