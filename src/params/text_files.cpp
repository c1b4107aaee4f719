#include "params/text_files.h"

#include <charconv>
#include <cmath>

namespace vistarium::params {

std::string_view TrimBlanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) {
      lines.emplace_back(text.substr(pos));
      break;
    }
    std::size_t end = lf;
    if (end > pos && text[end - 1] == '\r') --end;
    lines.emplace_back(text.substr(pos, end - pos));
    pos = lf + 1;
  }
  return lines;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > 2147483648LL) return std::nullopt;  // stops growth long before int64 overflows
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::optional<double> ParseReal(std::string_view text) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Only digits or a point may start the number: this keeps out "inf", "nan"
  // and a second sign, which from_chars would otherwise read.
  if (text.empty() || !((text.front() >= '0' && text.front() <= '9') || text.front() == '.'))
    return std::nullopt;
  double value = 0.0;
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

std::string FormatInteger(std::int64_t value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), ' ');
  return digits;
}

std::string FormatFixed(double value, int width, int decimals) {
  // The largest double has 309 integer digits; sign, point and decimals fit the rest.
  char buffer[400];
  const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  std::string text = ec == std::errc() ? std::string(buffer, ptr) : std::string();
  if (static_cast<int>(text.size()) < width) text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  return text;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::string* reason) {
  try {
    return ReadRegularFile(path.string());
  } catch (const FileReadError& e) {
    if (reason != nullptr) *reason = e.Reason();
    return std::nullopt;
  }
}

void ReplaceFileContents(const std::filesystem::path& target, const std::filesystem::path& temporary,
                         std::string_view contents) {
  AtomicFileWriter::Options options;
  options.TemporaryName = temporary.string();
  WriteWholeFile(target.string(), contents, options);
}

}  // namespace vistarium::params
