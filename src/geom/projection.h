#pragma once
// Camera and sphere projection: how a picture pixel becomes a direction on the
// viewing sphere and back, the stereographic plane on which picture
// orientations are Moebius maps, and the equal-area height in which panoramas
// are stored. Directions are measured in panorama pixels, CircleLength of
// them to a full turn.

#include <cstdint>

#include "geom/point.h"

namespace vistarium {

// The projection parameters of one run. All pictures of a set share them.
struct TProjectionParameters {
  TPoint PictureSize;            // W, H in pixels
  TRealPoint PictureCentre;      // (W/2, H/2)
  double HalfSize = 0.0;         // R = max(W/2, H/2)
  double Aberration = 0.0;       // k
  bool AberrationOn = false;     // k != 0
  std::int32_t FilmWidth = 36;   // mm, along the longer side whatever the orientation
  std::int32_t CircleLength = 0; // N, panorama pixels per full turn
  double AngleStep = 0.0;        // 2*pi/N, radians per panorama pixel
  double HalfCircle = 0.0;       // N/2
  double QuarterCircle = 0.0;    // N/4
  double FullCircle = 0.0;       // N as a real
  std::int32_t FullCircleInt = 0;// Round(FullCircle)
  double PixelsPerRadian = 0.0;  // FullCircle / 2pi
  double FocalPixels = 0.0;      // f = F*R/18
  double WorkingScale = 1.0;     // reduction of the working grid
  bool WorkingScaled = false;
  TRealPoint Extent;             // largest own-angle coordinates of the picture border
  TPoint WorkingHalfSize;        // W', H': working pictures are (2W'+1) x (2H'+1)
};

namespace geom {

// Sets every value that follows from the picture size, the focal length F
// (mm on the 35 mm film standard) and the aberration coefficient k: the
// picture, circle and focal values. Extent, WorkingScale and WorkingHalfSize
// are left for the picture preparation. Throws std::invalid_argument when the
// size or focal length cannot define a projection.
void SetCameraProjection(TProjectionParameters& pp, TPoint pictureSize, double focalLength, double aberration);

// The same projection with another number of panorama pixels to a full
// turn: the circle values (CircleLength, AngleStep, HalfCircle,
// QuarterCircle, FullCircle, FullCircleInt, PixelsPerRadian) follow from
// `circleLength` as SetCameraProjection derives them; the picture and focal
// values stay. A panorama made at a smaller scale is laid out in it.
TProjectionParameters WithCircleLength(const TProjectionParameters& pp, std::int32_t circleLength);

TRealPoint CentreCoordinates(const TProjectionParameters& pp, TRealPoint p);
TRealPoint PictureCoordinates(const TProjectionParameters& pp, TRealPoint p);
// Centred (as taken) -> centred (ideal): radial polynomial r' = (1 + k s) r.
TRealPoint CorrectAberration(const TProjectionParameters& pp, TRealPoint p);
// Centred (ideal) -> centred (as taken): first-order inverse r' = (1 - k s) r.
TRealPoint RestoreAberration(const TProjectionParameters& pp, TRealPoint p);
TRealPoint PlaneToAngles(const TProjectionParameters& pp, TRealPoint p);
// (0, 0) outside the half-space in front of the camera.
TRealPoint AnglesToPlane(const TProjectionParameters& pp, TRealPoint a);
TRealPoint ToWorkingScale(const TProjectionParameters& pp, TRealPoint a);
TRealPoint ToFullScale(const TProjectionParameters& pp, TRealPoint w);
TRealPoint PictureToAngles(const TProjectionParameters& pp, TRealPoint pixel);
// (0, 0) unless -N/4 < lon < N/4 and -N/4 < lat < N/4.
TRealPoint AnglesToPicture(const TProjectionParameters& pp, TRealPoint a);
TRealPoint SphereToStereo(const TProjectionParameters& pp, TRealPoint a);
TRealPoint StereoToSphere(const TProjectionParameters& pp, TRealPoint z);
TRealPoint LatitudeToEqualArea(const TProjectionParameters& pp, TRealPoint a);
TRealPoint EqualAreaToLatitude(const TProjectionParameters& pp, TRealPoint a);
// One step each way: add N if negative, then subtract N if >= N.
double WrapToCircle(const TProjectionParameters& pp, double lon);

}  // namespace geom
}  // namespace vistarium
