#include "app/connection_check.h"

#include "alignment/orientation.h"

namespace vistarium {

std::vector<ConnectionCheck> CheckConnections(const RunState& rs) {
  std::vector<ConnectionCheck> checks;
  const int count = rs.PictureSet.Count;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !rs.PictureSet.Is360) break;
    const int j = i + 1 == count ? 0 : i + 1;
    const TConnectionSide& l = rs.Geometry.at(static_cast<std::size_t>(i)).RightConnection;
    const TConnectionSide& r = rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection;
    ConnectionCheck c;
    c.Left = i;
    c.Right = j;
    c.ResidualPixels = alignment::RotationResidual(rs.Projection, r.AnglePoints, l.AnglePoints);
    c.ResidualCells = c.ResidualPixels / rs.Projection.WorkingScale;
    checks.push_back(c);
  }
  return checks;
}

}  // namespace vistarium
