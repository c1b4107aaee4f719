#include "geom/rays.h"

#include <algorithm>
#include <cmath>

namespace vistarium::geom {

Rotation Transposed(const Rotation& r) { return {r[0], r[3], r[6], r[1], r[4], r[7], r[2], r[5], r[8]}; }

Rotation Multiplied(const Rotation& a, const Rotation& b) {
  Rotation c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
  return c;
}

double RotationDistance(const Rotation& a, const Rotation& b) {
  const Rotation d = Multiplied(Transposed(a), b);
  const double c = std::clamp((d[0] + d[4] + d[8] - 1.0) / 2.0, -1.0, 1.0);
  return std::acos(c);
}

}  // namespace vistarium::geom
