#pragma once
// The three parameter sets that steer the stitching, and the rules by which
// the parameter dialogs (and the command-line tool) accept entered values.
//
// No value is built into the program: a default-constructed set has every
// number 0 and an empty camera name; the values in force come from the
// current parameter file.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vistarium::params {

// The selected camera. Only Name is stored in the parameter file; the two
// numbers come from the camera list.
struct TParametersCamera {
  std::string Name;
  double FocalLength = 0.0;  // mm, reduced to the 35 mm film standard
  double Aberration = 0.0;   // aberration coefficient, 0 for a high-quality camera
  friend bool operator==(const TParametersCamera&, const TParametersCamera&) = default;
};

// The stitching method.
struct TParametersMethod {
  std::int32_t MinReducedHalfSize = 0;    // half of the minimal size of a scaled-down working picture
  std::int32_t QualityCoefficient = 0;    // samples per compared line
  std::int32_t PreliminarySmoothing = 0;  // 1 = smooth the working pictures before matching
  friend bool operator==(const TParametersMethod&, const TParametersMethod&) = default;
};

// The expected relation of two adjacent pictures.
struct TParametersTwoPic {
  std::int32_t OverlapWidthPercent = 0;
  std::int32_t VerticalShiftPercent = 0;
  std::int32_t VerticalLinesAngle = 0;
  std::int32_t VerticalLengthDifferencePercent = 0;
  std::int32_t HorizontalLengthDifferencePercent = 0;
  friend bool operator==(const TParametersTwoPic&, const TParametersTwoPic&) = default;
};

// All three sets, as the parameter file holds them.
struct ParameterSets {
  TParametersCamera Camera;
  TParametersMethod Method;
  TParametersTwoPic TwoPic;
  friend bool operator==(const ParameterSets&, const ParameterSets&) = default;
};

// --- Stitching method -------------------------------------------------------

// The minimal reduced size is entered in full (3 to 998 pixels) and stored
// halved, rounded half to even: 301 -> 150, 303 -> 152.
bool IsAcceptedMinimalSizeEntry(std::int32_t entry);
std::int32_t HalfSizeFromEntry(std::int32_t entry);
bool IsAcceptedQualityCoefficient(std::int32_t value);  // 21 to 199

// What the method dialog shows: 2 x MinReducedHalfSize and QualityCoefficient,
// each right-aligned in 3 characters, and the smoothing check box.
struct MethodEntries {
  std::string MinimalSize;
  std::string Quality;
  bool Smoothing = false;
};
MethodEntries MethodEntriesFor(const TParametersMethod& method);

// "Save and exit" of the method dialog: each entry that is an integer in its
// range replaces its value, any other entry leaves the value unchanged; the
// check box sets PreliminarySmoothing to 1 or 0.
TParametersMethod ApplyMethodEntries(TParametersMethod method, const MethodEntries& entries);

// --- Adjacent pictures -------------------------------------------------------

bool IsAcceptedPercent(std::int32_t value);     // 1 to 99
bool IsAcceptedLinesAngle(std::int32_t value);  // 0 to 99

// The five entries of the adjacent-pictures dialog in field order, each
// right-aligned in 2 characters.
using TwoPicEntries = std::array<std::string, 5>;
TwoPicEntries TwoPicEntriesFor(const TParametersTwoPic& twoPic);

// "Save and exit" of the adjacent-pictures dialog: a valid entry replaces its
// value, an invalid one leaves it unchanged.
TParametersTwoPic ApplyTwoPicEntries(TParametersTwoPic twoPic, const TwoPicEntries& entries);

// --- Camera ------------------------------------------------------------------

// "Save and Exit" of the camera dialog accepts 0 < focal length < 999 and
// -1 < aberration < 1.
bool IsAcceptedCamera(double focalLength, double aberration);

// The selected camera name and the two number texts as a new camera set, or
// nullopt when a number does not read or is outside the accepted range.
std::optional<TParametersCamera> AcceptCameraEntries(std::string_view name, std::string_view focalText,
                                                     std::string_view aberrationText);

}  // namespace vistarium::params
