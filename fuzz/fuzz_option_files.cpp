// Reads arbitrary bytes as each of the option files kept beside the
// parameter file (Refinement.txt, GainCompensation.txt, Crop.txt,
// CameraFromPictures.txt): a reader
// must give the default or the value written, never fail, and what it reads
// must survive a write and a read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "params/option_file.h"
#include "params/output_options.h"
#include "params/refinement_option.h"
#include "params/text_files.h"
#include "scratch_file.h"

using namespace vistarium::params;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = SplitLines(text);
  const std::string file = vistarium::fuzz::ScratchFile("Option.txt", data, size);

  // The value line, trimmed, whatever the option.
  const auto value = ReadOptionValue(file);
  if (value.has_value() != (lines.size() >= 2)) std::abort();
  if (value && *value != TrimBlanks(lines[1])) std::abort();

  // Switches are off only for a value reading as the integer 0.
  const bool off = value && ParseInteger(*value) == 0;
  const bool refine = ReadRefinementOption(file);
  const bool compensate = ReadGainCompensationOption(file);
  const bool fromPictures = ReadCameraFromPicturesOption(file);
  if (refine == off || compensate == off || fromPictures == off) std::abort();

  // The crop choice is common unless the value names another one exactly.
  const CropChoice crop = ReadCropOption(file);
  const auto named = value ? ParseCropChoice(*value) : std::nullopt;
  if (crop != named.value_or(CropChoice::Common)) std::abort();

  // What was read survives a write and a read, and the file is as written.
  SaveRefinementOption(file, refine);
  if (ReadRefinementOption(file) != refine) std::abort();
  const auto written = ReadWholeFile(file);
  if (!written || *written != FormatRefinementOption(refine)) std::abort();
  SaveGainCompensationOption(file, compensate);
  if (ReadGainCompensationOption(file) != compensate) std::abort();
  SaveCropOption(file, crop);
  if (ReadCropOption(file) != crop) std::abort();
  SaveCameraFromPicturesOption(file, fromPictures);
  if (ReadCameraFromPicturesOption(file) != fromPictures) std::abort();
  return 0;
}
