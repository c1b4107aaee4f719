#pragma once
// The files a command writes, checked before its work starts. Every command
// that writes files (the desktop's Save Panorama, the command-line tool's
// stitch, view and report, and any later one) calls CheckOutputs with the
// files it will write and the files it reads: a wrong name then fails in a
// moment, naming the file and the system's reason, instead of after minutes
// of work; and an output never replaces one of the inputs, whatever name
// the user gave it.
//
// The checks cannot promise that the write succeeds later (the disk may
// fill up, permissions may change): the writer itself still writes whole or
// not at all (params::AtomicFileWriter).

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vistarium::app {

// A file named for reading or writing, with what it is, for messages:
// "input picture 2", "the parameter file", "the panorama", "the report".
struct NamedFile {
  std::string Path;
  std::string Role;
};

// An output that cannot or must not be written. what() is `Cannot write
// ROLE "PATH": REASON`.
class OutputRefused : public std::runtime_error {
public:
  OutputRefused(const NamedFile& output, std::string reason);
  const std::string& File() const noexcept { return file_; }
  const std::string& Reason() const noexcept { return reason_; }

private:
  std::string file_, reason_;
};

// The reason `output` must not be written, or an empty string when it may:
// it is one of `inputs` (the same device and inode, so another name, a link
// or a relative path of the same file counts too), or it cannot be written
// (params::WriteRefusal: its folder is missing, not a folder, read-only or
// write-protected; the path is a folder or not a regular file; the file is
// write-protected).
std::string OutputProblem(const std::string& output, const std::vector<NamedFile>& inputs);

// Checks every output with OutputProblem, and that no two outputs are the
// same file. Throws OutputRefused for the first output that fails. A few
// system calls per file.
void CheckOutputs(const std::vector<NamedFile>& outputs, const std::vector<NamedFile>& inputs);

// The extension rule of outputs that the user names: a name without an
// extension gets `added` appended; a name whose extension, in any letter
// case, is one of `accepted` is kept; any other extension is refused
// (OutputRefused, saying which extensions fit `kind`).
std::string OutputNameWithExtension(const NamedFile& given, std::string_view added,
                                    std::initializer_list<std::string_view> accepted, std::string_view kind);

// A panorama is a JPEG file: ".jpg" is added to a name without extension,
// ".jpg" and ".jpeg" are kept, any other extension is refused.
std::string PanoramaOutputName(const std::string& given);

// A view is a PNG file: ".png" is added, ".png" kept, any other refused.
std::string ViewOutputName(const std::string& given);

// A report is JSON under any name but a picture's: ".jpg", ".jpeg", ".bmp"
// and ".png" are refused (a report there would make a picture unreadable).
void CheckReportName(const std::string& given);

}  // namespace vistarium::app
