#pragma once
// Text helpers shared by the parameter file and the camera list: blanks,
// line splitting, locale-independent number reading and writing, and a file
// replacement that never leaves the old file half-written or missing.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "params/file_access.h"

namespace vistarium::params {

// A blank is a space or any control character (code 0 to 32), as the classic
// text-file readers treat them.
inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// The text without leading and trailing blanks.
std::string_view TrimBlanks(std::string_view text);

// The lines of a text. A line ends with LF or CR LF; the line end is not part
// of the line. A final line end does not start another line; a last line
// without a line end is still a line.
std::vector<std::string> SplitLines(std::string_view text);

// An optionally signed decimal integer that fits 32 bits, surrounded by
// nothing but blanks; nullopt for anything else.
std::optional<std::int32_t> ParseInteger(std::string_view text);

// An optionally signed decimal real number with a point as decimal separator
// and an optional exponent, surrounded by nothing but blanks; nullopt for
// anything else, for infinities, NaN and values out of the double range.
// Independent of the C locale.
std::optional<double> ParseReal(std::string_view text);

// The integer right-aligned in `width` characters, padded on the left with
// blanks; a longer number is written in full.
std::string FormatInteger(std::int64_t value, int width);

// The value in fixed-point notation with `decimals` digits after the point,
// right-aligned in `width` characters (printf "%W.Df", but independent of the
// C locale).
std::string FormatFixed(double value, int width, int decimals);

// The whole content of a regular file, byte for byte; nullopt when it cannot
// be opened or read, or is not a regular file (a named pipe is refused at
// once). `reason`, when given, receives the system's reason.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::string* reason = nullptr);

// Replaces the content of `target` by `contents` (AtomicFileWriter): the
// bytes go to a temporary file, which has the name `temporary` (in the same
// folder) while it has a name, are flushed to the disk and renamed over
// `target` in one step. On any failure the temporary file is removed,
// `target` is left as it was and FileWriteError naming `target` and the
// reason is thrown.
void ReplaceFileContents(const std::filesystem::path& target, const std::filesystem::path& temporary,
                         std::string_view contents);

}  // namespace vistarium::params
