// Reads arbitrary bytes as a camera list. Every camera that reads must be
// written and read back to the same line, the list writer must be stable, and
// the dialog's reload and delete must stay consistent with the lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "params/camera_list.h"
#include "params/text_files.h"

using namespace vistarium::params;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = SplitLines(text);

  for (const std::string& line : lines) {
    const CameraLine read = ReadCameraLine(line);
    if (read.Name.find("***") != std::string::npos) std::abort();
    const auto camera = CameraFromLine(read);
    if (!camera) continue;
    // A written line reads back as the same camera: the name cut to its
    // width and trimmed, the numbers as written with their decimals.
    const std::string written = FormatCameraLine(camera->Name, camera->FocalLength, camera->Aberration);
    const CameraLine back = ReadCameraLine(written);
    const auto again = CameraFromLine(back);
    if (!again) std::abort();
    if (back.Name != TrimBlanks(std::string_view(camera->Name).substr(0, kCameraNameWidth))) std::abort();
    if (back.FocalText != TrimBlanks(FormatFixed(camera->FocalLength, 6, 2))) std::abort();
    if (back.AberrationText != TrimBlanks(FormatFixed(camera->Aberration, 7, 4))) std::abort();
    // From then on writing and reading change nothing.
    const std::string rewritten = FormatCameraLine(again->Name, again->FocalLength, again->Aberration);
    const auto third = CameraFromLine(ReadCameraLine(rewritten));
    if (!third || !(*third == *again)) std::abort();
    if (FormatCameraLine(third->Name, third->FocalLength, third->Aberration) != rewritten) std::abort();
  }

  // Writing the list is idempotent.
  const std::string list = FormatCameraList(lines);
  if (FormatCameraList(SplitLines(list)) != list) std::abort();

  // The reloaded view names every line; a current camera matches the name.
  const std::string current = lines.empty() ? std::string() : ReadCameraLine(lines.back()).Name;
  const CameraListView view = ReloadCameraList(lines, current);
  if (view.Names.size() != lines.size()) std::abort();
  if (view.SelectedIndex < 0 || (!lines.empty() && static_cast<std::size_t>(view.SelectedIndex) >= lines.size()))
    std::abort();
  if (view.Current && view.Current->Name != current) std::abort();

  // Deleting never keeps a line of the deleted name or of an empty name.
  const CameraDeletion deletion = DeleteCameraLines(lines, current);
  for (const std::string& kept : deletion.KeptLines) {
    const std::string keptName = ReadCameraLine(kept).Name;
    if (keptName.empty() || keptName == std::string(TrimBlanks(current))) std::abort();
  }
  if (deletion.First.has_value() != !deletion.KeptLines.empty()) std::abort();
  return 0;
}
