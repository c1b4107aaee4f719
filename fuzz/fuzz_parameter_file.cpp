// Parses arbitrary bytes as a parameter file. Whatever parses must survive a
// write and a second read unchanged. The dialogs' readers of the camera name
// and of the method set start at the same lines as the full reader and must
// agree with it; the adjacent-pictures reader counts lines from the top, while
// the full reader's integers may pass over empty lines, so it is compared on
// the written file only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "params/parameter_file.h"

using namespace vistarium::params;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The partial readers run on every input; they must only fail cleanly.
  const auto name = ParseCameraName(text);
  const auto method = ParseMethodParameters(text);
  (void)ParseTwoPicParameters(text);

  const auto sets = ParseParameterFile(text);
  if (!sets) return 0;
  if (!name || *name != sets->Camera.Name) std::abort();
  if (!method || !(*method == sets->Method)) std::abort();

  const std::string written = FormatParameterFile(*sets);
  const auto reread = ParseParameterFile(written);
  if (!reread || !(*reread == *sets)) std::abort();
  if (FormatParameterFile(*reread) != written) std::abort();
  const auto writtenTwoPic = ParseTwoPicParameters(written);
  if (!writtenTwoPic || !(*writtenTwoPic == sets->TwoPic)) std::abort();
  return 0;
}
