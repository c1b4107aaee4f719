#pragma once
// Safe access to the files the program reads and writes.
//
// - Readers open only regular files: a named pipe, a device or a folder is
//   refused at once instead of blocking the program or reading endlessly.
// - A file is written whole or not at all: the bytes go to a temporary file
//   in the target's folder (unnamed where the file system allows it, so that
//   nothing can outlive the program), are flushed to the disk and then take
//   the target's name in one step. An existing file keeps its permission
//   bits; a write-protected one is never replaced.
// - A named temporary file does not outlive an interrupt: SIGINT, SIGTERM
//   and SIGHUP remove it before the program ends by that signal.
// - Every failure names the file and gives the system's reason.

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vistarium::params {

// The system's text for an error number, e.g. "Permission denied".
std::string SystemReason(int error);

// The path between double quotes, as messages name files.
std::string QuotedPath(std::string_view path);

// A message about a file: the message's own words first, then the file and
// the reason, e.g. `Error encountered while saving parameters:
// "/home/a/x.spr": Permission denied` (after words ending in a full stop the
// file follows after a blank).
std::string FileMessage(std::string_view words, std::string_view path, std::string_view reason);

// A file that cannot be opened or read. what() is `Cannot read file "PATH":
// REASON`; File() and Reason() give the two parts.
class FileReadError : public std::runtime_error {
public:
  FileReadError(std::string file, std::string reason);
  const std::string& File() const noexcept { return file_; }
  const std::string& Reason() const noexcept { return reason_; }

private:
  std::string file_, reason_;
};

// A file that cannot be written. what() is `Cannot write file "PATH":
// REASON`; File() and Reason() give the two parts.
class FileWriteError : public std::runtime_error {
public:
  FileWriteError(std::string file, std::string reason);
  const std::string& File() const noexcept { return file_; }
  const std::string& Reason() const noexcept { return reason_; }

private:
  std::string file_, reason_;
};

// ---------------------------------------------------------------------------
// Reading

// A regular file open for reading, closed with the object. Opening never
// waits: the path is checked before and after it is opened (without
// blocking), and anything but a regular file is refused.
class RegularFile {
public:
  // Throws FileReadError for a missing file, a folder, a named pipe, a
  // device, a socket or a file that cannot be opened.
  explicit RegularFile(const std::string& path);
  ~RegularFile();
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  int Descriptor() const noexcept { return fd_; }
  // The size when it was opened.
  std::uint64_t Size() const noexcept { return size_; }
  // Hands the descriptor over to the caller, who closes it.
  int Release() noexcept;

private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// The whole content of a regular file. Throws FileReadError.
std::string ReadRegularFile(const std::string& path);

// ---------------------------------------------------------------------------
// Writing

// Why `path` cannot be written, or nullopt when it can: its folder must
// exist, be a folder and take a new file (tried without leaving anything
// behind, so a read-only file system or a missing permission shows); the
// path itself must not be a folder or anything but a regular file; an
// existing file must not be write-protected (no write permission for the
// user, or no write bit at all, which is refused even for the
// administrator). The reason names the folder when the folder is at fault,
// e.g. `folder "out": No such file or directory`.
std::optional<std::string> WriteRefusal(const std::string& path);

// Writes one file whole or not at all. The bytes go to a temporary file in
// the target's folder; Commit() flushes it to the disk and renames it over
// the target. Without Commit() (an exception, an early return) the temporary
// file is removed and the target stays as it was.
class AtomicFileWriter {
public:
  struct Options {
    // The temporary file's name while it has one (same folder as the
    // target); by default a hidden name beside the target,
    // ".NAME.tmp-PID-N". An unnamed temporary file gets this name only for
    // the moment before the rename.
    std::string TemporaryName;
    // Whether the temporary file may be unnamed (O_TMPFILE). Tests switch it
    // off to try the named way on any file system.
    bool AllowUnnamed = true;
  };

  // Checks the target (WriteRefusal) and creates the temporary file. Throws
  // FileWriteError naming `path`.
  explicit AtomicFileWriter(const std::string& path);
  AtomicFileWriter(const std::string& path, const Options& options);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  void Write(std::span<const std::uint8_t> bytes);
  void Write(std::string_view bytes);
  // Flushes, names and renames; afterwards the target holds what was written.
  void Commit();

  // Whether the temporary file has no name (O_TMPFILE).
  bool Unnamed() const noexcept { return unnamed_; }
  // The temporary file's name (empty while it is unnamed).
  const std::string& TemporaryPath() const noexcept { return temporaryPath_; }

private:
  [[noreturn]] void Fail(const std::string& reason);
  void CreateNamed(const Options& options);
  void Discard() noexcept;

  std::string target_;
  std::string folder_;
  std::string temporaryName_;  // wanted name for the rename step
  std::string temporaryPath_;  // the name the file has now, if any
  int fd_ = -1;
  int slot_ = -1;  // the interrupt cleanup's slot of the named file
  bool unnamed_ = false;
  bool committed_ = false;
  std::optional<unsigned> keepMode_;  // permission bits of the file replaced
};

// The whole file through AtomicFileWriter.
void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes,
                    const AtomicFileWriter::Options& options = {});
void WriteWholeFile(const std::string& path, std::string_view bytes, const AtomicFileWriter::Options& options = {});

// Installs, once, handlers of SIGINT, SIGTERM and SIGHUP that remove the
// named temporary files being written and then pass the signal on: to the
// handler that was there before, or to the default action, which ends the
// program with the signal's conventional status. A signal that was ignored
// stays ignored. The writer calls it before it names a temporary file;
// programs may call it at start.
void RemoveTemporaryFilesOnInterrupt();

}  // namespace vistarium::params
