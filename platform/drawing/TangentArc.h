#pragma once
// The arc-to-point construction of path drawing: from the current point, a
// straight line to where a circle of the given radius touches the two tangent
// lines (current -> p1 and p1 -> p2), then the short arc to the second
// tangent point. Cairo draws arcs by centre and angles only, so the geometry
// is worked out here.
#include <optional>

namespace tovrelle::drawing {

struct Point {
  double x = 0;
  double y = 0;
};

struct TangentArc {
  // When there is no arc (a zero radius, coincident or collinear points) the
  // segment is a straight line to p1 and the fields below are unset.
  bool isArc = false;
  Point lineTo;  // end of the straight part: the first tangent point, or p1
  Point center;
  double radius = 0;
  double startAngle = 0;  // radians, atan2 convention of the drawing space
  double endAngle = 0;
  bool increasingAngles = true;  // sweep direction from startAngle to endAngle
  Point arcEnd;                  // the second tangent point, the new current point
};

TangentArc arcToPoint(Point current, Point p1, Point p2, double radius);

}  // namespace tovrelle::drawing
