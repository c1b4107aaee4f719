#include "params/parameter_sets.h"

#include "geom/numbers.h"
#include "params/text_files.h"

namespace vistarium::params {

bool IsAcceptedMinimalSizeEntry(std::int32_t entry) { return entry >= 3 && entry <= 998; }

std::int32_t HalfSizeFromEntry(std::int32_t entry) { return Round(entry / 2.0); }

bool IsAcceptedQualityCoefficient(std::int32_t value) { return value >= 21 && value <= 199; }

MethodEntries MethodEntriesFor(const TParametersMethod& method) {
  return {FormatInteger(CheckedMul(2, method.MinReducedHalfSize), 3), FormatInteger(method.QualityCoefficient, 3),
          method.PreliminarySmoothing > 0};
}

TParametersMethod ApplyMethodEntries(TParametersMethod method, const MethodEntries& entries) {
  if (const auto size = ParseInteger(entries.MinimalSize); size && IsAcceptedMinimalSizeEntry(*size))
    method.MinReducedHalfSize = HalfSizeFromEntry(*size);
  if (const auto quality = ParseInteger(entries.Quality); quality && IsAcceptedQualityCoefficient(*quality))
    method.QualityCoefficient = *quality;
  method.PreliminarySmoothing = entries.Smoothing ? 1 : 0;
  return method;
}

bool IsAcceptedPercent(std::int32_t value) { return value >= 1 && value <= 99; }

bool IsAcceptedLinesAngle(std::int32_t value) { return value >= 0 && value <= 99; }

TwoPicEntries TwoPicEntriesFor(const TParametersTwoPic& twoPic) {
  return {FormatInteger(twoPic.OverlapWidthPercent, 2), FormatInteger(twoPic.VerticalShiftPercent, 2),
          FormatInteger(twoPic.VerticalLinesAngle, 2), FormatInteger(twoPic.VerticalLengthDifferencePercent, 2),
          FormatInteger(twoPic.HorizontalLengthDifferencePercent, 2)};
}

TParametersTwoPic ApplyTwoPicEntries(TParametersTwoPic twoPic, const TwoPicEntries& entries) {
  std::int32_t* const fields[5] = {&twoPic.OverlapWidthPercent, &twoPic.VerticalShiftPercent,
                                   &twoPic.VerticalLinesAngle, &twoPic.VerticalLengthDifferencePercent,
                                   &twoPic.HorizontalLengthDifferencePercent};
  for (std::size_t i = 0; i < 5; ++i) {
    const auto value = ParseInteger(entries[i]);
    if (!value) continue;
    const bool accepted = (fields[i] == &twoPic.VerticalLinesAngle) ? IsAcceptedLinesAngle(*value)
                                                                    : IsAcceptedPercent(*value);
    if (accepted) *fields[i] = *value;
  }
  return twoPic;
}

bool IsAcceptedCamera(double focalLength, double aberration) {
  return focalLength > 0.0 && focalLength < 999.0 && aberration > -1.0 && aberration < 1.0;
}

std::optional<TParametersCamera> AcceptCameraEntries(std::string_view name, std::string_view focalText,
                                                     std::string_view aberrationText) {
  const auto focal = ParseReal(focalText);
  const auto aberration = ParseReal(aberrationText);
  if (!focal || !aberration || !IsAcceptedCamera(*focal, *aberration)) return std::nullopt;
  return TParametersCamera{std::string(name), *focal, *aberration};
}

}  // namespace vistarium::params
