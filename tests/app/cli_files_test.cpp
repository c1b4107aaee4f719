// What vistarium-cli does with the files it is given: outputs that never
// replace inputs or write-protected files, outputs checked before the work,
// readers that refuse named pipes, messages that name the file and the
// reason, and no temporary file left behind by a terminated run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "app/cli/cli.h"
#include "../support/cli_tool.h"
#include "../support/scratch_folder.h"

extern char** environ;

namespace vistarium::cli {
namespace {

namespace fs = std::filesystem;
using test_support::ScratchFolder;

const fs::path kSource = VISTARIUM_SOURCE_DIR;
const fs::path kPrograms = VISTARIUM_BIN_DIR;

using Result = test_support::CliRun;
using test_support::RunTool;

bool Mentions(const Result& r, const std::string& text) { return r.err.find(text) != std::string::npos; }

class CliFiles : public ScratchFolder {
protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    fs::create_directory(folder_ / "d");
    for (int k = 1; k <= 4; ++k) {
      const std::string name = "open4_0" + std::to_string(k) + ".jpg";
      fs::copy_file(kSource / "samples" / "open4" / name, folder_ / "d" / name);
      pictures_.push_back(PathOf("d/" + name));
    }
  }
  std::vector<std::string> Stitch(std::vector<std::string> options) const {
    std::vector<std::string> args = {"stitch", "--progress"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), pictures_.begin(), pictures_.end());
    return args;
  }
  // Fails before any work: no progress line, nothing written.
  void ExpectRefusedAtOnce(const Result& r, int status, const std::string& mentions) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_TRUE(Mentions(r, mentions)) << r.err;
    EXPECT_FALSE(Mentions(r, "finding")) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  std::vector<std::string> pictures_;
};

TEST_F(CliFiles, OutputsNeverReplaceInputsOrWriteProtectedFiles) {
  const Bytes photo = Contents(pictures_[0]);
  ExpectRefusedAtOnce(RunTool(Stitch({"-o", pictures_[0]})), 1,
                      "Cannot write the panorama \"" + pictures_[0] + "\": it is input picture 1");
  // Another name of the same file.
  ASSERT_EQ(::link(pictures_[1].c_str(), PathOf("link.json").c_str()), 0);
  ExpectRefusedAtOnce(RunTool(Stitch({"--report", PathOf("link.json"), "-o", PathOf("p.jpg")})), 1,
                      "Cannot write the report \"" + PathOf("link.json") + "\": it is input picture 2");
  // A report or a view never takes a picture's name; a panorama is a JPEG.
  ExpectRefusedAtOnce(RunTool(Stitch({"--report", pictures_[1], "-o", PathOf("p.jpg")})), 2, "the report");
  ExpectRefusedAtOnce(RunTool(Stitch({"-o", PathOf("pano.png")})), 2, "must end in .jpg or .jpeg");
  ExpectRefusedAtOnce(RunTool({"view", pictures_[0], "-o", pictures_[2]}), 2, "must end in .png");
  // A write-protected file stays as it is.
  const std::string locked = Put("locked.jpg", std::string("keep"));
  fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const Result r = RunTool(Stitch({"-o", locked}));
  ExpectRefusedAtOnce(r, 1, "Cannot write the panorama \"" + locked + "\": ");
  EXPECT_TRUE(Mentions(r, "write-protected") || Mentions(r, "Permission denied")) << r.err;
  EXPECT_EQ(Contents(locked), Bytes({'k', 'e', 'e', 'p'}));
  EXPECT_EQ(Contents(pictures_[0]), photo);
  EXPECT_EQ(Listing(), (std::set<std::string>{"d", "link.json", "locked.jpg"}));
}

TEST_F(CliFiles, OutputsAreCheckedBeforeTheWork) {
  fs::create_directory(folder_ / "taken.jpg");
  fs::create_directory(folder_ / "ro");
  fs::permissions(folder_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  ExpectRefusedAtOnce(RunTool(Stitch({"-o", PathOf("no/p.jpg")})), 1,
                      "Cannot write the panorama \"" + PathOf("no/p.jpg") + "\": folder \"" + PathOf("no") +
                          "\": No such file or directory");
  ExpectRefusedAtOnce(RunTool(Stitch({"-o", PathOf("taken.jpg")})), 1, "\": Is a directory");
  ExpectRefusedAtOnce(RunTool(Stitch({"-o", PathOf("ro/p.jpg")})), 1, "folder \"" + PathOf("ro") + "\": ");
  ExpectRefusedAtOnce(RunTool(Stitch({"-o", PathOf("p.jpg"), "--report", PathOf("ro/r.json")})), 1,
                      "Cannot write the report \"" + PathOf("ro/r.json") + "\"");
  ExpectRefusedAtOnce(RunTool({"view", pictures_[0], "-o", PathOf("no/v.png")}), 1, "folder \"" + PathOf("no"));
  fs::permissions(folder_ / "ro", fs::perms::owner_all);
  EXPECT_EQ(Listing(), (std::set<std::string>{"d", "taken.jpg", "ro"}));
}

TEST_F(CliFiles, ANameWithoutExtensionGetsJpg) {
  const Result r = RunTool(Stitch({"--manual", "--exact", "-o", PathOf("pano")}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Mentions(r, "written to " + PathOf("pano.jpg")));
  EXPECT_EQ(Listing(), (std::set<std::string>{"d", "pano.jpg"}));
}

// Without the check a named pipe blocks the reader until a writer comes;
// the test plays that writer after a while so that it ends either way.
Result RunBesidePipe(const std::vector<std::string>& args, const std::string& pipe) {
  auto run = std::async(std::launch::async, [&] { return RunTool(args); });
  if (run.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
    ADD_FAILURE() << "the reader waits on the pipe";
    const int fd = ::open(pipe.c_str(), O_WRONLY);
    if (fd >= 0) ::close(fd);
  }
  return run.get();
}

TEST_F(CliFiles, NamedPipesAreRefusedAtOnceWithTheFileAndTheReason) {
  const std::string pipe = PathOf("p.jpg");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const std::string reason = "it is a named pipe, not a regular file";
  Result r = RunBesidePipe({"match", pipe, pictures_[0]}, pipe);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Mentions(r, "\"" + pipe + "\": " + reason)) << r.err;
  r = RunBesidePipe({"info", pipe}, pipe);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Mentions(r, "Can't open selected file. \"" + pipe + "\": " + reason)) << r.err;
  const std::string spr = PathOf("p.spr");
  ASSERT_EQ(::mkfifo(spr.c_str(), 0600), 0);
  r = RunBesidePipe({"match", "--params", spr, pictures_[0], pictures_[1]}, spr);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Mentions(r, "Error encountered while reading parameters: \"" + spr + "\": " + reason)) << r.err;
}

TEST_F(CliFiles, MessagesNameTheFileAndTheSystemsReason) {
  const std::string missing = PathOf("missing.jpg");
  Result r = RunTool({"info", missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Mentions(r, "Can't open selected file. \"" + missing + "\": No such file or directory")) << r.err;
  r = RunTool({"match", "--lenses", PathOf("none.txt"), pictures_[0], pictures_[1]});
  EXPECT_EQ(r.status, 1);
  const std::string list = PathOf("none.txt");
  EXPECT_TRUE(Mentions(r, "Error reading the camera list: \"" + list + "\": No such file or directory")) << r.err;
}

// The real program, terminated at moments around saving: the folder then
// holds the whole panorama or nothing, never a temporary file, and the
// program ends by the signal.
TEST_F(CliFiles, ATerminatedStitchLeavesNoTemporaryFile) {
  const std::string program = (kPrograms / "vistarium-cli").string();
  const std::string out = PathOf("out.jpg");
  for (const char* moment : {"constructing 0%", "constructing 50%", "constructing 100%"}) {
    std::vector<std::string> args = {program, "stitch", "--exact", "--progress", "-o", out};
    args.insert(args.end(), pictures_.begin(), pictures_.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err[1]);
    std::string seen;
    char buffer[256];
    ssize_t got = 0;
    while (seen.find(moment) == std::string::npos && (got = ::read(err[0], buffer, sizeof buffer)) > 0)
      seen.append(buffer, static_cast<std::size_t>(got));
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(err[0]);
    const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)) << moment << ": " << status;
    const std::set<std::string> expected =
        finished ? std::set<std::string>{"d", "out.jpg"} : std::set<std::string>{"d"};
    EXPECT_EQ(Listing(), expected) << moment;
    fs::remove(out);
  }
}

}  // namespace
}  // namespace vistarium::cli
