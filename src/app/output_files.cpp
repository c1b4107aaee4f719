#include "app/output_files.h"

#include <algorithm>
#include <filesystem>
#include <optional>

#include <sys/stat.h>

#include "params/file_access.h"

namespace vistarium::app {

namespace {

namespace fs = std::filesystem;

struct Identity {
  dev_t Device;
  ino_t Inode;
  bool operator==(const Identity&) const = default;
};

std::optional<Identity> IdentityOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return Identity{status.st_dev, status.st_ino};
}

// The extension of the name's last component, with its point, in lower case;
// empty without one (a leading point starts a hidden name, not an extension).
std::string LowerExtension(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  const std::size_t point = name.find_last_of('.');
  if (point == std::string::npos || point == 0) return {};
  std::string extension = name.substr(point);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return extension;
}

// Two outputs are the same file when they exist as one, or would be created
// under one path.
bool SameFile(const std::string& a, const std::string& b) {
  const auto ia = IdentityOf(a), ib = IdentityOf(b);
  if (ia && ib) return *ia == *ib;
  std::error_code ec1, ec2;
  const fs::path ca = fs::weakly_canonical(a, ec1), cb = fs::weakly_canonical(b, ec2);
  return !ec1 && !ec2 && ca == cb;
}

}  // namespace

OutputRefused::OutputRefused(const NamedFile& output, std::string reason)
    : std::runtime_error("Cannot write " + output.Role + " " + params::QuotedPath(output.Path) + ": " + reason),
      file_(output.Path),
      reason_(std::move(reason)) {}

std::string OutputProblem(const std::string& output, const std::vector<NamedFile>& inputs) {
  if (const auto identity = IdentityOf(output)) {
    for (const NamedFile& input : inputs)
      if (IdentityOf(input.Path) == identity) return "it is " + input.Role + "; choose another name";
  }
  return params::WriteRefusal(output).value_or(std::string());
}

void CheckOutputs(const std::vector<NamedFile>& outputs, const std::vector<NamedFile>& inputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const std::string problem = OutputProblem(outputs[i].Path, inputs);
    if (!problem.empty()) throw OutputRefused(outputs[i], problem);
    for (std::size_t j = 0; j < i; ++j)
      if (SameFile(outputs[i].Path, outputs[j].Path))
        throw OutputRefused(outputs[i], "it is the same file as " + outputs[j].Role);
  }
}

std::string OutputNameWithExtension(const NamedFile& given, std::string_view added,
                                    std::initializer_list<std::string_view> accepted, std::string_view kind) {
  const std::string extension = LowerExtension(given.Path);
  if (extension.empty()) {
    // "out/" names a folder, not a file without extension.
    if (given.Path.empty() || given.Path.back() == '/') throw OutputRefused(given, "it is not a file name");
    return given.Path + std::string(added);
  }
  if (std::find(accepted.begin(), accepted.end(), extension) != accepted.end()) return given.Path;
  std::string fitting;
  for (std::string_view a : accepted) fitting += (fitting.empty() ? "" : " or ") + std::string(a);
  throw OutputRefused(given, "it is written as " + std::string(kind) + ", so its name must end in " + fitting +
                                 " (a name without extension gets " + std::string(added) + ")");
}

std::string PanoramaOutputName(const std::string& given) {
  return OutputNameWithExtension({given, "the panorama"}, ".jpg", {".jpg", ".jpeg"}, "JPEG");
}

std::string ViewOutputName(const std::string& given) {
  return OutputNameWithExtension({given, "the view"}, ".png", {".png"}, "PNG");
}

void CheckReportName(const std::string& given) {
  const std::string extension = LowerExtension(given);
  for (const char* picture : {".jpg", ".jpeg", ".bmp", ".png"})
    if (extension == picture)
      throw OutputRefused({given, "the report"}, "a JSON report must not take a picture's name; use .json");
}

}  // namespace vistarium::app
