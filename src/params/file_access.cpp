#include "params/file_access.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistarium::params {

namespace {

// ---------------------------------------------------------------------------
// Paths

// The folder part of a path as the system takes it: "." for a bare name,
// "/" for a name in the root folder.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder part to put before a name in that folder ("" for ".").
std::string FolderPrefix(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FolderReason(const std::string& folder, const std::string& reason) {
  return "folder " + QuotedPath(folder) + ": " + reason;
}

// What a file that is not a regular file is, for a message.
std::string NotRegularReason(mode_t mode) {
  if (S_ISDIR(mode)) return SystemReason(EISDIR);
  if (S_ISFIFO(mode)) return "it is a named pipe, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
  if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
  return "it is not a regular file";
}

bool WriteProtected(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// ---------------------------------------------------------------------------
// Named temporary files removed on an interrupt

constexpr int kSlots = 32;
constexpr std::size_t kSlotPathSize = 4096;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

enum SlotState : int { kFree = 0, kFilling = 1, kInUse = 2 };

struct Slot {
  std::atomic<int> State{kFree};
  char Path[kSlotPathSize];
};
Slot g_slots[kSlots];
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt handler reads the slots");

struct sigaction g_previous[NSIG];

void OnInterrupt(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = g_previous[signal];
  // A program that handles the signal itself goes on, and its writers
  // remove their files as they unwind.
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  const int savedErrno = errno;
  for (Slot& slot : g_slots)
    if (slot.State.load() == kInUse) ::unlink(slot.Path);
  // The default action, once this handler returns: the program ends by the
  // signal, with its conventional status.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);
  errno = savedErrno;
}

// Claims a slot for the path; -1 when every slot is taken or the path is too
// long (the file is then written without the cleanup).
int RegisterTemporary(const std::string& path) {
  RemoveTemporaryFilesOnInterrupt();
  if (path.size() >= kSlotPathSize) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (g_slots[i].State.compare_exchange_strong(expected, kFilling)) {
      std::memcpy(g_slots[i].Path, path.c_str(), path.size() + 1);
      g_slots[i].State.store(kInUse);
      return i;
    }
  }
  return -1;
}

void ReleaseSlot(int& slot) {
  if (slot >= 0) g_slots[slot].State.store(kFree);
  slot = -1;
}

// Whether unnamed temporary files can be given a name afterwards: linkat
// reaches them through /proc.
bool CanNameUnnamedFiles() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can;
}

// An unnamed file in the folder, or -1 with errno set.
int OpenUnnamed(const std::string& folder) {
#ifdef O_TMPFILE
  if (!CanNameUnnamedFiles()) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
  (void)folder;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

// The file system has no unnamed files (or this system does not).
bool UnnamedUnsupported(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

unsigned NextCounter() {
  static std::atomic<unsigned> counter{0};
  return ++counter;
}

std::string HiddenTemporaryName(const std::string& target) {
  return FolderPrefix(target) + "." + NameOf(target) + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(NextCounter());
}

// Tries to create a file in the folder and removes it at once; the reason
// why it cannot be done, or nullopt.
std::optional<std::string> ProbeFolder(const std::string& folder) {
  const int unnamed = OpenUnnamed(folder);
  if (unnamed >= 0) {
    ::close(unnamed);
    return std::nullopt;
  }
  if (!UnnamedUnsupported(errno)) return FolderReason(folder, SystemReason(errno));
  const std::string probe =
      (folder == "/" ? std::string("/") : folder + "/") + ".vistarium-probe-" + std::to_string(::getpid()) + "-" +
      std::to_string(NextCounter());
  int slot = RegisterTemporary(probe);
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const int error = errno;
  if (fd >= 0) {
    ::close(fd);
    ::unlink(probe.c_str());
  }
  ReleaseSlot(slot);
  if (fd < 0 && error != EEXIST) return FolderReason(folder, SystemReason(error));
  return std::nullopt;
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // the file is already in place; some file systems cannot sync folders
  ::close(fd);
}

}  // namespace

// ---------------------------------------------------------------------------

std::string SystemReason(int error) { return std::generic_category().message(error); }

std::string QuotedPath(std::string_view path) {
  std::string text;
  text.reserve(path.size() + 2);
  text += '"';
  text += path;
  text += '"';
  return text;
}

std::string FileMessage(std::string_view words, std::string_view path, std::string_view reason) {
  std::string text(words);
  text += !words.empty() && words.back() == '.' ? " " : ": ";
  return text + QuotedPath(path) + ": " + std::string(reason);
}

FileReadError::FileReadError(std::string file, std::string reason)
    : std::runtime_error("Cannot read file " + QuotedPath(file) + ": " + reason),
      file_(std::move(file)),
      reason_(std::move(reason)) {}

FileWriteError::FileWriteError(std::string file, std::string reason)
    : std::runtime_error("Cannot write file " + QuotedPath(file) + ": " + reason),
      file_(std::move(file)),
      reason_(std::move(reason)) {}

// ---------------------------------------------------------------------------
// Reading

RegularFile::RegularFile(const std::string& path) {
  struct stat status {};
  // Looked at before opening, so that opening a device or a pipe never
  // happens; looked at again on the open file, which may have been swapped.
  if (::stat(path.c_str(), &status) != 0) throw FileReadError(path, SystemReason(errno));
  if (!S_ISREG(status.st_mode)) throw FileReadError(path, NotRegularReason(status.st_mode));
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) throw FileReadError(path, SystemReason(errno));
  std::optional<std::string> refusal;
  if (::fstat(fd_, &status) != 0)
    refusal = SystemReason(errno);
  else if (!S_ISREG(status.st_mode))
    refusal = NotRegularReason(status.st_mode);
  if (refusal) {
    ::close(std::exchange(fd_, -1));
    throw FileReadError(path, *refusal);
  }
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  size_ = static_cast<std::uint64_t>(status.st_size);
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

int RegularFile::Release() noexcept { return std::exchange(fd_, -1); }

std::string ReadRegularFile(const std::string& path) {
  const RegularFile file(path);
  std::string contents;
  contents.reserve(static_cast<std::size_t>(file.Size()));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.Descriptor(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw FileReadError(path, SystemReason(errno));
    }
    if (got == 0) break;
    contents.append(buffer, static_cast<std::size_t>(got));
  }
  return contents;
}

// ---------------------------------------------------------------------------
// Writing

std::optional<std::string> WriteRefusal(const std::string& path) {
  if (path.empty()) return "no file name";
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) return NotRegularReason(status.st_mode);
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return SystemReason(errno);
    if (WriteProtected(status.st_mode)) return "the file is write-protected";
  } else if (errno != ENOENT) {
    return SystemReason(errno);
  }
  if (NameOf(path).empty()) return "no file name";

  const std::string folder = FolderOf(path);
  struct stat folderStatus {};
  if (::stat(folder.c_str(), &folderStatus) != 0) return FolderReason(folder, SystemReason(errno));
  if (!S_ISDIR(folderStatus.st_mode)) return FolderReason(folder, SystemReason(ENOTDIR));
  if (WriteProtected(folderStatus.st_mode)) return FolderReason(folder, "the folder is write-protected");
  return ProbeFolder(folder);
}

AtomicFileWriter::AtomicFileWriter(const std::string& path) : AtomicFileWriter(path, Options{}) {}

AtomicFileWriter::AtomicFileWriter(const std::string& path, const Options& options)
    : target_(path), folder_(FolderOf(path)) {
  if (const auto refusal = WriteRefusal(path)) throw FileWriteError(path, *refusal);
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) keepMode_ = static_cast<unsigned>(status.st_mode & 07777);
  temporaryName_ = options.TemporaryName;
  if (options.AllowUnnamed) {
    fd_ = OpenUnnamed(folder_);
    if (fd_ >= 0) {
      unnamed_ = true;
      return;
    }
    if (!UnnamedUnsupported(errno)) Fail(FolderReason(folder_, SystemReason(errno)));
  }
  CreateNamed(options);
}

void AtomicFileWriter::CreateNamed(const Options& options) {
  if (!options.TemporaryName.empty()) {
    // A fixed name belongs to this program; a leftover of an earlier run is
    // overwritten.
    temporaryPath_ = options.TemporaryName;
    slot_ = RegisterTemporary(temporaryPath_);
    fd_ = ::open(temporaryPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      const int error = errno;
      temporaryPath_.clear();  // not ours to remove
      Fail("cannot create the temporary file " + QuotedPath(options.TemporaryName) + " (" + SystemReason(error) + ")");
    }
    return;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporaryPath_ = HiddenTemporaryName(target_);
    slot_ = RegisterTemporary(temporaryPath_);
    fd_ = ::open(temporaryPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) return;
    const int error = errno;
    ReleaseSlot(slot_);
    temporaryPath_.clear();
    if (error != EEXIST) Fail(FolderReason(folder_, SystemReason(error)));
  }
  Fail("no free temporary file name");
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!committed_ && !temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  ReleaseSlot(slot_);
}

void AtomicFileWriter::Fail(const std::string& reason) {
  Discard();
  throw FileWriteError(target_, reason);
}

void AtomicFileWriter::Write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) Fail("the file is no longer open");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(SystemReason(errno));
    }
    if (n == 0) Fail(SystemReason(EIO));
    done += static_cast<std::size_t>(n);
  }
}

void AtomicFileWriter::Write(std::string_view bytes) {
  Write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void AtomicFileWriter::Commit() {
  if (fd_ < 0) Fail("the file is no longer open");
  // The replaced file's permissions carry over (a private file stays private).
  if (keepMode_ && ::fchmod(fd_, static_cast<mode_t>(*keepMode_)) != 0) Fail(SystemReason(errno));
  if (::fsync(fd_) != 0) Fail(SystemReason(errno));
  if (unnamed_) {
    // linkat cannot replace a file: the unnamed file gets a temporary name
    // first, for the moment before the rename.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0;; ++attempt) {
      const bool fixed = !temporaryName_.empty();
      temporaryPath_ = fixed ? temporaryName_ : HiddenTemporaryName(target_);
      if (fixed) ::unlink(temporaryPath_.c_str());
      slot_ = RegisterTemporary(temporaryPath_);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporaryPath_.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
      const int error = errno;
      ReleaseSlot(slot_);
      temporaryPath_.clear();
      if (error != EEXIST || fixed || attempt >= 100) Fail(FolderReason(folder_, SystemReason(error)));
    }
  }
  const int fd = std::exchange(fd_, -1);  // closed here whatever the outcome; never twice
  if (::close(fd) != 0) Fail(SystemReason(errno));
  if (std::rename(temporaryPath_.c_str(), target_.c_str()) != 0) Fail(SystemReason(errno));
  committed_ = true;
  temporaryPath_.clear();
  ReleaseSlot(slot_);
  SyncFolder(folder_);
}

void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes,
                    const AtomicFileWriter::Options& options) {
  AtomicFileWriter writer(path, options);
  writer.Write(bytes);
  writer.Commit();
}

void WriteWholeFile(const std::string& path, std::string_view bytes, const AtomicFileWriter::Options& options) {
  AtomicFileWriter writer(path, options);
  writer.Write(bytes);
  writer.Commit();
}

void RemoveTemporaryFilesOnInterrupt() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const int signal : kSignals) {
      struct sigaction previous {};
      if (::sigaction(signal, nullptr, &previous) != 0) continue;
      if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;  // e.g. under nohup
      g_previous[signal] = previous;
      struct sigaction action {};
      action.sa_sigaction = OnInterrupt;
      action.sa_flags = SA_SIGINFO | SA_RESTART;
      sigemptyset(&action.sa_mask);
      for (const int other : kSignals) sigaddset(&action.sa_mask, other);
      ::sigaction(signal, &action, nullptr);
    }
  });
}

}  // namespace vistarium::params
