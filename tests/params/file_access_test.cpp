#include "params/file_access.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>

#include "temp_folder.h"

namespace vistarium::params {
namespace {

namespace fs = std::filesystem;
using testing::TempFolderTest;

class FileAccessTest : public TempFolderTest {
protected:
  std::string PathOf(const std::string& name) const { return (Folder() / name).string(); }
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder())) names.insert(entry.path().filename().string());
    return names;
  }
  static unsigned Mode(const std::string& path) {
    struct stat s {};
    EXPECT_EQ(::stat(path.c_str(), &s), 0) << path;
    return s.st_mode & 07777;
  }
};

template <typename Error>
Error ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was thrown";
  return Error("", "");
}

// Runs `child` in a forked process and returns its wait status.
int StatusOfChild(const std::function<void()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    child();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// ---------------------------------------------------------------------------
// Reading

TEST_F(FileAccessTest, ReadersTakeOnlyRegularFilesAndSayWhyNot) {
  WriteBytes(Folder() / "a.txt", "abc\r\n");
  EXPECT_EQ(ReadRegularFile(PathOf("a.txt")), "abc\r\n");
  ASSERT_EQ(::mkfifo(PathOf("pipe").c_str(), 0600), 0);
  fs::create_directory(Folder() / "folder");
  const std::pair<std::string, std::string> refused[] = {
      {"missing", "No such file or directory"},
      {"folder", "Is a directory"},
      {"pipe", "it is a named pipe, not a regular file"},  // at once: nobody writes into it
  };
  for (const auto& [name, reason] : refused) {
    const FileReadError e = ErrorOf<FileReadError>([&] { ReadRegularFile(PathOf(name)); });
    EXPECT_EQ(e.Reason(), reason);
    EXPECT_EQ(std::string(e.what()), "Cannot read file \"" + PathOf(name) + "\": " + reason);
  }
  EXPECT_EQ(ErrorOf<FileReadError>([] { RegularFile("/dev/zero"); }).Reason(), "it is a device, not a regular file");
}

TEST(FileMessage, OwnWordsFirstThenTheFileAndTheReason) {
  EXPECT_EQ(FileMessage("Error encountered while saving parameters", "/a/b.spr", "Permission denied"),
            "Error encountered while saving parameters: \"/a/b.spr\": Permission denied");
  EXPECT_EQ(FileMessage("Can't open selected file.", "x.jpg", "No such file or directory"),
            "Can't open selected file. \"x.jpg\": No such file or directory");
}

// ---------------------------------------------------------------------------
// What may be written

TEST_F(FileAccessTest, WriteRefusalNamesTheFolderOrTheFileAtFault) {
  EXPECT_EQ(WriteRefusal(PathOf("new.jpg")), std::nullopt);
  WriteBytes(Folder() / "old.jpg", "old");
  EXPECT_EQ(WriteRefusal(PathOf("old.jpg")), std::nullopt);

  EXPECT_EQ(WriteRefusal(PathOf("no/new.jpg")),
            "folder \"" + PathOf("no") + "\": No such file or directory");
  EXPECT_EQ(WriteRefusal(PathOf("old.jpg/new.jpg")), "Not a directory");
  fs::create_directory(Folder() / "dir.jpg");
  EXPECT_EQ(WriteRefusal(PathOf("dir.jpg")), "Is a directory");
  ASSERT_EQ(::mkfifo(PathOf("pipe.jpg").c_str(), 0600), 0);
  EXPECT_EQ(WriteRefusal(PathOf("pipe.jpg")), "it is a named pipe, not a regular file");

  // Write protection holds for the administrator too.
  fs::permissions(PathOf("old.jpg"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const auto protectedFile = WriteRefusal(PathOf("old.jpg"));
  ASSERT_TRUE(protectedFile);
  EXPECT_TRUE(*protectedFile == "the file is write-protected" || *protectedFile == "Permission denied")
      << *protectedFile;
  fs::create_directory(Folder() / "ro");
  fs::permissions(Folder() / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  const auto readOnlyFolder = WriteRefusal(PathOf("ro/new.jpg"));
  ASSERT_TRUE(readOnlyFolder);
  EXPECT_EQ(readOnlyFolder->rfind("folder \"" + PathOf("ro") + "\": ", 0), 0u) << *readOnlyFolder;
  fs::permissions(Folder() / "ro", fs::perms::owner_all);
  EXPECT_EQ(Listing(), (std::set<std::string>{"old.jpg", "dir.jpg", "pipe.jpg", "ro"}));  // the probes left nothing
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(FileAccessTest, AWriteProtectedFileIsNeverReplaced) {
  WriteBytes(Folder() / "keep.jpg", "precious");
  fs::permissions(PathOf("keep.jpg"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const FileWriteError e = ErrorOf<FileWriteError>([&] { WriteWholeFile(PathOf("keep.jpg"), "new"); });
  EXPECT_EQ(e.File(), PathOf("keep.jpg"));
  EXPECT_EQ(ReadBytes(Folder() / "keep.jpg"), "precious");
  EXPECT_EQ(Mode(PathOf("keep.jpg")), 0444u);
  EXPECT_EQ(Listing(), (std::set<std::string>{"keep.jpg"}));
}

TEST_F(FileAccessTest, AReplacedFileKeepsItsPermissions) {
  WriteBytes(Folder() / "private.spr", "old");
  fs::permissions(PathOf("private.spr"), fs::perms::owner_read | fs::perms::owner_write);
  WriteWholeFile(PathOf("private.spr"), "new");
  EXPECT_EQ(ReadBytes(Folder() / "private.spr"), "new");
  EXPECT_EQ(Mode(PathOf("private.spr")), 0600u);
}

// Both ways of keeping the bytes away from the target until they are all
// written: an unnamed file, and (where the file system has no such thing) a
// hidden one beside the target, or one of a given name.
TEST_F(FileAccessTest, TheTemporaryFileIsGoneUnlessCommitted) {
  for (const bool unnamed : {true, false}) {
    AtomicFileWriter::Options options;
    options.AllowUnnamed = unnamed;
    {
      AtomicFileWriter writer(PathOf("out.jpg"), options);
      writer.Write(std::string_view("partial"));
      if (writer.Unnamed()) {
        EXPECT_TRUE(Listing().empty());
      } else {
        EXPECT_EQ(Listing().size(), 1u);
        EXPECT_EQ(fs::path(writer.TemporaryPath()).filename().string().rfind(".out.jpg.tmp-", 0), 0u);
      }
    }  // given up: an exception or an early return
    EXPECT_TRUE(Listing().empty()) << unnamed;

    options.TemporaryName = PathOf("tmpLenses.txt");
    AtomicFileWriter writer(PathOf("Lenses.txt"), options);
    writer.Write(std::string_view("list"));
    writer.Commit();
    EXPECT_EQ(ReadBytes(Folder() / "Lenses.txt"), "list");
    EXPECT_EQ(Listing(), (std::set<std::string>{"Lenses.txt"})) << unnamed;
    fs::remove(Folder() / "Lenses.txt");
  }
}

// A program ended by SIGINT, SIGTERM or SIGHUP while it writes leaves no
// temporary file and ends with the signal's own status; the target keeps
// its old content.
TEST_F(FileAccessTest, AnInterruptLeavesNoTemporaryFileBehind) {
  WriteBytes(Folder() / "pano.jpg", "old");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (const bool unnamed : {true, false}) {
      const int status = StatusOfChild([&] {
        AtomicFileWriter::Options options;
        options.AllowUnnamed = unnamed;
        AtomicFileWriter writer(PathOf("pano.jpg"), options);
        writer.Write(std::string(100000, 'x'));
        ::raise(signal);
        ::_exit(99);  // not reached: the default action ends the program
      });
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << " " << status;
      EXPECT_EQ(Listing(), (std::set<std::string>{"pano.jpg"})) << signal << " unnamed " << unnamed;
      EXPECT_EQ(ReadBytes(Folder() / "pano.jpg"), "old");
    }
  }
}

// A program that handles the signal itself goes on; its writer still
// finishes (or cleans up as it unwinds).
TEST_F(FileAccessTest, AProgramsOwnSignalHandlerStillRuns) {
  const int status = StatusOfChild([&] {
    static volatile sig_atomic_t seen = 0;
    ::signal(SIGTERM, [](int) { seen = 1; });
    AtomicFileWriter::Options options;
    options.AllowUnnamed = false;
    AtomicFileWriter writer(PathOf("pano.jpg"), options);
    writer.Write(std::string_view("new"));
    ::raise(SIGTERM);
    writer.Commit();
    ::_exit(seen == 1 ? 0 : 1);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadBytes(Folder() / "pano.jpg"), "new");
  EXPECT_EQ(Listing(), (std::set<std::string>{"pano.jpg"}));
}

}  // namespace
}  // namespace vistarium::params
