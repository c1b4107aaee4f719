#include "params/parameter_file.h"

#include <cstdint>

#include "params/options_folder.h"
#include "params/text_files.h"

namespace vistarium::params {

namespace {

// Sequential reader over the file's text with the semantics of a classic
// line-oriented text file: every read consumes the rest of its line.
class LineReader {
public:
  explicit LineReader(std::string_view text) : text_(text) {}

  // Moves past the current line (nothing happens at the end of the text).
  void SkipLine() {
    const std::size_t lf = text_.find('\n', pos_);
    pos_ = lf == std::string_view::npos ? text_.size() : lf + 1;
  }

  // The current line without its line end; nullopt at the end of the text.
  std::optional<std::string> ReadTextLine() {
    if (pos_ >= text_.size()) return std::nullopt;
    const std::size_t lf = text_.find('\n', pos_);
    std::size_t end = lf == std::string_view::npos ? text_.size() : lf;
    if (lf != std::string_view::npos && end > pos_ && text_[end - 1] == '\r') --end;
    std::string line(text_.substr(pos_, end - pos_));
    pos_ = lf == std::string_view::npos ? text_.size() : lf + 1;
    return line;
  }

  // Skips blanks and line ends, reads one integer token, then the rest of
  // the token's line. nullopt when no valid 32-bit integer token is there.
  std::optional<std::int32_t> ReadIntegerLine() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) ++pos_;
    const std::string_view token = text_.substr(start, pos_ - start);
    if (token.empty()) return std::nullopt;
    const auto value = ParseInteger(token);
    if (value) SkipLine();
    return value;
  }

private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

bool ReadMethod(LineReader& reader, TParametersMethod& method) {
  const auto halfSize = reader.ReadIntegerLine();
  if (!halfSize) return false;
  const auto quality = reader.ReadIntegerLine();
  if (!quality) return false;
  const auto smoothing = reader.ReadIntegerLine();
  if (!smoothing) return false;
  method = {*halfSize, *quality, *smoothing};
  return true;
}

bool ReadTwoPic(LineReader& reader, TParametersTwoPic& twoPic) {
  std::int32_t values[5];
  for (std::int32_t& value : values) {
    const auto read = reader.ReadIntegerLine();
    if (!read) return false;
    value = *read;
  }
  twoPic = {values[0], values[1], values[2], values[3], values[4]};
  return true;
}

// Why a text that was read is not a parameter file.
constexpr std::string_view kNotParameterFile = "a line is missing or does not hold a number where one belongs";

ParameterFileError DialogReadError(const std::filesystem::path& path, std::string_view reason) {
  return ParameterFileError(std::string(kDialogReadError) + path.string() + ": " + std::string(reason));
}

std::string ReadForDialog(const std::filesystem::path& path) {
  std::string reason;
  auto text = ReadWholeFile(path, &reason);
  if (!text) throw DialogReadError(path, reason);
  return std::move(*text);
}

}  // namespace

std::filesystem::path OptionsFolder(const std::filesystem::path& programFolder) {
  // The folder the program chose at its start (the user's settings), else
  // the one beside the program.
  if (auto chosen = ChosenOptionsFolder()) return *chosen;
  return programFolder / "Options";
}

std::filesystem::path CurrentParameterFilePath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "CurrentParameters.spr";
}

std::string FormatParameterFile(const ParameterSets& sets) {
  const TParametersMethod& m = sets.Method;
  const TParametersTwoPic& t = sets.TwoPic;
  std::string text;
  const auto line = [&text](std::string_view content) {
    text += content;
    text += "\r\n";
  };
  line(kCameraTitle);
  line(sets.Camera.Name);
  line(kMethodTitle);
  line(FormatInteger(m.MinReducedHalfSize, 4));
  line(FormatInteger(m.QualityCoefficient, 3));
  line(FormatInteger(m.PreliminarySmoothing, 1));
  line(kTwoPicTitle);
  line(FormatInteger(t.OverlapWidthPercent, 2));
  line(FormatInteger(t.VerticalShiftPercent, 2));
  line(FormatInteger(t.VerticalLinesAngle, 2));
  line(FormatInteger(t.VerticalLengthDifferencePercent, 2));
  line(FormatInteger(t.HorizontalLengthDifferencePercent, 2));
  return text;
}

void SaveParameterFile(const std::filesystem::path& path, const ParameterSets& sets) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  try {
    ReplaceFileContents(path, temporary, FormatParameterFile(sets));
  } catch (const FileWriteError& e) {
    throw ParameterFileError(FileMessage(kSaveParametersError, path.string(), e.Reason()));
  }
}

std::optional<ParameterSets> ParseParameterFile(std::string_view text, const ParameterSets& current) {
  LineReader reader(text);
  ParameterSets sets = current;
  reader.SkipLine();
  auto name = reader.ReadTextLine();
  if (!name) return std::nullopt;
  sets.Camera.Name = std::move(*name);
  reader.SkipLine();
  if (!ReadMethod(reader, sets.Method)) return std::nullopt;
  reader.SkipLine();
  if (!ReadTwoPic(reader, sets.TwoPic)) return std::nullopt;
  return sets;
}

ParameterSets LoadParameterFile(const std::filesystem::path& path, const ParameterSets& current) {
  std::string reason;
  const auto text = ReadWholeFile(path, &reason);
  if (!text) throw ParameterFileError(FileMessage(kReadParametersError, path.string(), reason));
  auto sets = ParseParameterFile(*text, current);
  if (!sets) throw ParameterFileError(FileMessage(kReadParametersError, path.string(), kNotParameterFile));
  return std::move(*sets);
}

std::optional<std::string> ParseCameraName(std::string_view text) {
  LineReader reader(text);
  reader.SkipLine();
  return reader.ReadTextLine();
}

std::optional<TParametersMethod> ParseMethodParameters(std::string_view text) {
  LineReader reader(text);
  for (int i = 0; i < 3; ++i) reader.SkipLine();
  TParametersMethod method;
  if (!ReadMethod(reader, method)) return std::nullopt;
  return method;
}

std::optional<TParametersTwoPic> ParseTwoPicParameters(std::string_view text) {
  LineReader reader(text);
  for (int i = 0; i < 7; ++i) reader.SkipLine();
  TParametersTwoPic twoPic;
  if (!ReadTwoPic(reader, twoPic)) return std::nullopt;
  return twoPic;
}

std::string ReadCameraName(const std::filesystem::path& path) {
  auto name = ParseCameraName(ReadForDialog(path));
  if (!name) throw DialogReadError(path, kNotParameterFile);
  return std::move(*name);
}

TParametersMethod ReadMethodParameters(const std::filesystem::path& path) {
  const auto method = ParseMethodParameters(ReadForDialog(path));
  if (!method) throw DialogReadError(path, kNotParameterFile);
  return *method;
}

TParametersTwoPic ReadTwoPicParameters(const std::filesystem::path& path) {
  const auto twoPic = ParseTwoPicParameters(ReadForDialog(path));
  if (!twoPic) throw DialogReadError(path, kNotParameterFile);
  return *twoPic;
}

std::string ParameterFileNameFor(std::string_view chosenName) {
  std::string name(chosenName);
  if (name.size() >= kParameterFileExtension.size() &&
      std::string_view(name).substr(name.size() - kParameterFileExtension.size()) == kParameterFileExtension)
    name.resize(name.size() - kParameterFileExtension.size());
  name += kParameterFileExtension;
  return name;
}

}  // namespace vistarium::params
