#include "params/camera_list.h"

#include <algorithm>

#include "geom/numbers.h"
#include "params/parameter_file.h"
#include "params/text_files.h"

namespace vistarium::params {

namespace {

unsigned char AsciiLower(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Case-insensitive order; lines equal but for case fall back to byte order so
// that the written order never depends on the order of the input.
bool CaseInsensitiveLess(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char ca = AsciiLower(a[i]);
    const unsigned char cb = AsciiLower(b[i]);
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

std::string JoinWithLineEnds(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

void WriteList(const std::filesystem::path& listPath, const std::filesystem::path& temporaryPath,
               std::string_view contents) {
  try {
    ReplaceFileContents(listPath, temporaryPath, contents);
  } catch (const FileWriteError& e) {
    throw CameraListError(FileMessage("Error writing the camera list", e.File(), e.Reason()));
  }
}

}  // namespace

std::filesystem::path CameraListPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "Lenses.txt";
}

std::filesystem::path TemporaryCameraListPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "tmpLenses.txt";
}

std::string FormatCameraLine(std::string_view name, double focalLength, double aberration) {
  std::string line(name.substr(0, kCameraNameWidth));
  line.resize(kCameraNameWidth, ' ');
  line += ' ';
  line += kCameraSeparator;
  line += ' ';
  line += FormatFixed(focalLength, 6, 2);
  line += "  ";
  line += FormatFixed(aberration, 7, 4);
  return line;
}

CameraLine ReadCameraLine(std::string_view line) {
  CameraLine result;
  const std::size_t p = line.find(kCameraSeparator);
  if (p == std::string_view::npos) return result;
  result.Name = std::string(TrimBlanks(line.substr(0, p)));
  const std::string_view rest = TrimBlanks(line.substr(p + kCameraSeparator.size()));
  const std::size_t blank = rest.find(' ');
  if (blank == std::string_view::npos) {
    result.FocalText = std::string(rest);
  } else {
    result.FocalText = std::string(rest.substr(0, blank));
    result.AberrationText = std::string(TrimBlanks(rest.substr(blank)));
  }
  result.FocalLength = ParseReal(result.FocalText);
  result.Aberration = ParseReal(result.AberrationText);
  return result;
}

std::optional<TParametersCamera> CameraFromLine(const CameraLine& line) {
  if (!line.FocalLength || !line.Aberration) return std::nullopt;
  return TParametersCamera{line.Name, *line.FocalLength, *line.Aberration};
}

std::string FormatCameraList(std::vector<std::string> lines) {
  std::vector<std::string> kept;
  kept.reserve(lines.size());
  for (std::string& line : lines) {
    const std::string_view trimmed = TrimBlanks(line);
    if (!trimmed.empty()) kept.emplace_back(trimmed);
  }
  std::sort(kept.begin(), kept.end(), CaseInsensitiveLess);
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  return JoinWithLineEnds(kept);
}

std::vector<std::string> ReadCameraListLines(const std::filesystem::path& listPath) {
  std::string reason;
  const auto text = ReadWholeFile(listPath, &reason);
  if (!text) throw CameraListError(FileMessage("Error reading the camera list", listPath.string(), reason));
  return SplitLines(*text);
}

CameraListView ReloadCameraList(const std::vector<std::string>& lines, std::string_view currentName) {
  CameraListView view;
  view.Names.reserve(lines.size());
  std::optional<CameraLine> matched;
  for (const std::string& text : lines) {
    CameraLine line = ReadCameraLine(text);
    if (!currentName.empty() && !matched && line.Name == currentName) {
      view.SelectedIndex = CheckedInt32(view.Names.size());
      matched = line;
    }
    view.Names.push_back(std::move(line.Name));
  }
  if (matched && matched->FocalLength && matched->Aberration) view.Current = std::move(matched);
  return view;
}

CameraListView ReloadCameraList(const std::filesystem::path& listPath, std::string_view currentName) {
  return ReloadCameraList(ReadCameraListLines(listPath), currentName);
}

bool ApplyReloadedCamera(const CameraListView& view, TParametersCamera& camera) {
  if (!view.Current) return false;
  camera.FocalLength = *view.Current->FocalLength;
  camera.Aberration = *view.Current->Aberration;
  return true;
}

std::optional<CameraLine> FindCameraLine(const std::vector<std::string>& lines, std::string_view name) {
  for (const std::string& text : lines) {
    CameraLine line = ReadCameraLine(text);
    if (line.Name == name) return line;
  }
  return std::nullopt;
}

NewCameraCheck CheckNewCamera(std::string_view name, std::string_view focalText, std::string_view aberrationText) {
  NewCameraCheck check;
  if (name.empty()) {
    check.Problem = CameraEntryProblem{std::string(kEnterNameMessage), CameraField::Name};
    return check;
  }
  const auto focal = ParseReal(focalText);
  if (!focal) {
    check.Problem = CameraEntryProblem{std::string(kFocalNotNumberMessage), CameraField::FocalLength};
    return check;
  }
  if (*focal < 1.0 || *focal > 999.0) {
    check.Problem = CameraEntryProblem{std::string(kImpossibleFocalMessage), CameraField::FocalLength};
    return check;
  }
  const auto aberration = ParseReal(aberrationText);
  if (!aberration) {
    check.Problem = CameraEntryProblem{std::string(kAberrationNotNumberMessage), CameraField::Aberration};
    return check;
  }
  if (*aberration < -1.5 || *aberration > 1.5) {
    check.Problem = CameraEntryProblem{std::string(kImpossibleAberrationMessage), CameraField::Aberration};
    return check;
  }
  check.Camera = TParametersCamera{std::string(name), *focal, *aberration};
  return check;
}

void AddCamera(const std::filesystem::path& listPath, const std::filesystem::path& temporaryPath,
               const TParametersCamera& camera) {
  std::vector<std::string> lines = ReadCameraListLines(listPath);
  lines.push_back(FormatCameraLine(camera.Name, camera.FocalLength, camera.Aberration));
  WriteList(listPath, temporaryPath, FormatCameraList(std::move(lines)));
}

std::optional<std::string_view> DeleteCameraRefusal(std::size_t entryCount) {
  if (entryCount == 1) return kLastCameraMessage;
  return std::nullopt;
}

CameraDeletion DeleteCameraLines(const std::vector<std::string>& lines, std::string_view nameEntry) {
  const std::string_view deleted = TrimBlanks(nameEntry);
  CameraDeletion deletion;
  for (const std::string& text : lines) {
    CameraLine line = ReadCameraLine(text);
    if (line.Name.empty() || line.Name == deleted) continue;
    if (!deletion.First) deletion.First = std::move(line);
    deletion.KeptLines.push_back(text);
  }
  return deletion;
}

CameraDeletion DeleteCamera(const std::filesystem::path& listPath, const std::filesystem::path& temporaryPath,
                            std::string_view nameEntry) {
  CameraDeletion deletion = DeleteCameraLines(ReadCameraListLines(listPath), nameEntry);
  WriteList(listPath, temporaryPath, JoinWithLineEnds(deletion.KeptLines));
  return deletion;
}

std::string DuplicateCameraMessage(std::string_view name) {
  return "The list already holds a camera named \"" + std::string(name) + "\".\nPlease enter another name.";
}

std::optional<CameraEntryProblem> DuplicateCameraProblem(const std::vector<std::string>& lines,
                                                         std::string_view name) {
  const std::string stored(TrimBlanks(name.substr(0, kCameraNameWidth)));
  for (const std::string& text : lines)
    if (ReadCameraLine(text).Name == stored) return CameraEntryProblem{DuplicateCameraMessage(stored), CameraField::Name};
  return std::nullopt;
}

std::vector<std::string> LinesWithCamera(const std::vector<std::string>& lines, const TParametersCamera& camera) {
  std::vector<std::string> all = lines;
  all.push_back(FormatCameraLine(camera.Name, camera.FocalLength, camera.Aberration));
  return SplitLines(FormatCameraList(std::move(all)));
}

std::vector<std::string> LinesWithout(const std::vector<std::string>& lines, std::size_t index) {
  if (index >= lines.size()) throw std::out_of_range("no camera at that place in the list");
  std::vector<std::string> kept = lines;
  kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(index));
  return kept;
}

std::vector<std::string> LinesWithChangedCamera(const std::vector<std::string>& lines, std::size_t index,
                                                const TParametersCamera& camera) {
  if (index >= lines.size()) throw std::out_of_range("no camera at that place in the list");
  std::vector<std::string> changed = lines;
  changed[index] = FormatCameraLine(camera.Name, camera.FocalLength, camera.Aberration);
  return changed;
}

void SaveCameraList(const std::filesystem::path& listPath, const std::filesystem::path& temporaryPath,
                    const std::vector<std::string>& lines) {
  WriteList(listPath, temporaryPath, FormatCameraList(lines));
}

std::string UnusableCameraMessage(std::string_view name, std::string_view inForce) {
  return "The camera \"" + std::string(name) +
         "\" cannot be used: its focal length must lie between 0 and 999 mm and its aberration coefficient "
         "between -1 and 1.\nThe camera in force stays \"" + std::string(inForce) + "\".";
}

std::string UnknownCameraMessage(std::string_view name, std::string_view inForce) {
  return "The camera \"" + std::string(name) + "\" of the parameter set is not in the camera list.\n"
         "The camera in force stays \"" + std::string(inForce) + "\".";
}

}  // namespace vistarium::params
