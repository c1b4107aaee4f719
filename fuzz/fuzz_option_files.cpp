// Reads arbitrary bytes as the option files kept beside the parameter file
// (Options/Refinement.txt): a reader must give the default or the value
// written, never fail, and what it reads must survive a write and a read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "params/refinement_option.h"
#include "params/text_files.h"
#include "scratch_file.h"

using namespace vistarium::params;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = vistarium::fuzz::ScratchFile("Refinement.txt", data, size);
  const bool refine = ReadRefinementOption(file);
  // Only a second line reading exactly as the integer 0 switches it off.
  const std::vector<std::string> lines = SplitLines(std::string(reinterpret_cast<const char*>(data), size));
  const bool off = lines.size() >= 2 && ParseInteger(lines[1]) == 0;
  if (refine == off) std::abort();

  SaveRefinementOption(file, refine);
  if (ReadRefinementOption(file) != refine) std::abort();
  const auto written = ReadWholeFile(file);
  if (!written || *written != FormatRefinementOption(refine)) std::abort();
  return 0;
}
