#pragma once
// Orientation of every picture on the viewing sphere from the matched
// points, levelling of the horizon, and the two mappings that every later
// step uses: picture pixel to panorama angles and back.

#include <array>

#include "run/run_state.h"

namespace vistarium::alignment {

// Own angles of picture i to panorama angles (never below its LongitudeFloor).
TRealPoint OwnToPanorama(const RunState& rs, int i, TRealPoint p);
// Panorama angles to own angles of picture i.
TRealPoint PanoramaToOwn(const RunState& rs, int i, TRealPoint q);
// Picture pixel to panorama angles, with the circle closure for a full circle.
TRealPoint PictureToPanorama(const RunState& rs, int i, TRealPoint pixel);
// Panorama angles to picture pixel; (0, 0) for a direction behind the picture.
TRealPoint PanoramaToPicture(const RunState& rs, int i, TRealPoint q);

// The map of the stereographic plane sending own[k] onto target[k].
TOrientationMap BuildOrientationMap(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                                    const std::array<TRealPoint, 3>& target);

// The targets replaced by the images of the own points under the rotation of
// the sphere that fits them best (least squares on unit direction vectors),
// each target's longitude kept within half a turn of the original. A map
// built through these is exactly that rotation.
std::array<TRealPoint, 3> RotationFittedTargets(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                                                const std::array<TRealPoint, 3>& target);

// Misfit of the three point pairs around their best rotation: the root mean
// square angle between each rotated own direction and its target, in
// panorama pixels. Near zero for a sound connection.
double RotationResidual(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                        const std::array<TRealPoint, 3>& target);

// Chains the pictures from picture 0 through their left connections. A
// connection with a refinement that applies to its present points is built
// from the refined rotation instead of its three points.
void OrientPictures(RunState& rs);
// The normal of the least-squares plane through the picture centres, as
// (azimuth opposite the normal, elevation) in panorama pixels.
TRealPoint FindHorizon(const RunState& rs);
// Turns the whole frame so that the fitted plane becomes the equator.
void LevelPanorama(RunState& rs, TRealPoint h);

}  // namespace vistarium::alignment
