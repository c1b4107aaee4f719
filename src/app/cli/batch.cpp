#include "app/cli/batch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include "params/file_access.h"
#include "params/parameter_file.h"
#include "params/text_files.h"
#include "render/picture_file.h"

extern char** environ;

namespace vistarium::cli {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Options of stitch that take a value, and which of those values are paths.
bool TakesValue(const std::string& option) {
  static const char* const kOptions[] = {"-o",      "--output",     "--report", "--params", "--lenses",
                                         "--camera", "--focal",     "--aberration", "--crop"};
  return std::any_of(std::begin(kOptions), std::end(kOptions), [&](const char* o) { return option == o; });
}
bool ValueIsPath(const std::string& option) {
  return option == "-o" || option == "--output" || option == "--report" || option == "--params" ||
         option == "--lenses";
}

std::string Resolved(const fs::path& base, const std::string& path) {
  const fs::path p(path);
  return (p.is_absolute() ? p : base / p).lexically_normal().string();
}

std::string DefaultOutput(const fs::path& outputDir, const std::string& name) {
  return (outputDir / (name + ".jpg")).lexically_normal().string();
}

// One set of a JSON list (or a folder's set.json). `pictures` holds the
// folder's pictures when the object names none.
BatchSet SetFromJson(const json& entry, const fs::path& base, const fs::path& outputDir, const std::string& fallbackName,
                     const std::vector<std::string>& folderPictures, const std::string& where) {
  if (!entry.is_object()) throw std::runtime_error(where + " is not an object");
  auto text = [&](const char* key) -> std::optional<std::string> {
    if (!entry.contains(key)) return std::nullopt;
    if (!entry[key].is_string()) throw std::runtime_error(where + ": \"" + key + "\" must be text");
    return entry[key].get<std::string>();
  };
  auto number = [&](const char* key) -> std::optional<double> {
    if (!entry.contains(key)) return std::nullopt;
    if (!entry[key].is_number()) throw std::runtime_error(where + ": \"" + key + "\" must be a number");
    return entry[key].get<double>();
  };
  auto flag = [&](const char* key) {
    if (!entry.contains(key)) return false;
    if (!entry[key].is_boolean()) throw std::runtime_error(where + ": \"" + key + "\" must be true or false");
    return entry[key].get<bool>();
  };
  BatchSet set;
  std::vector<std::string> pictures;
  if (entry.contains("pictures")) {
    if (!entry["pictures"].is_array()) throw std::runtime_error(where + ": \"pictures\" must be a list of files");
    for (const json& p : entry["pictures"]) {
      if (!p.is_string()) throw std::runtime_error(where + ": \"pictures\" must be a list of files");
      pictures.push_back(Resolved(base, p.get<std::string>()));
    }
  } else {
    pictures = folderPictures;
  }
  if (pictures.empty()) throw std::runtime_error(where + " names no pictures");
  set.Name = text("name").value_or(fallbackName);
  if (set.Name.empty()) set.Name = fs::path(pictures.front()).parent_path().filename().string();
  const auto output = text("output");
  set.Output = output ? Resolved(base, *output) : DefaultOutput(outputDir, set.Name);
  if (flag("is360")) set.Arguments.push_back("--360");
  if (flag("exact")) set.Arguments.push_back("--exact");
  if (const auto v = text("camera")) set.Arguments.insert(set.Arguments.end(), {"--camera", *v});
  if (const auto v = text("params")) set.Arguments.insert(set.Arguments.end(), {"--params", Resolved(base, *v)});
  if (const auto v = text("crop")) set.Arguments.insert(set.Arguments.end(), {"--crop", *v});
  for (const char* key : {"focal", "aberration"})
    if (const auto v = number(key)) {
      std::ostringstream out;
      out.precision(17);
      out << *v;
      set.Arguments.insert(set.Arguments.end(), {std::string("--") + key, out.str()});
    }
  set.Arguments.push_back("--");
  set.Arguments.insert(set.Arguments.end(), pictures.begin(), pictures.end());
  return set;
}

json ParseJsonFile(const fs::path& path) {
  const auto text = params::ReadWholeFile(path);
  if (!text) throw std::runtime_error("cannot read the list \"" + path.string() + "\"");
  try {
    return json::parse(*text);
  } catch (const json::exception& e) {
    throw std::runtime_error("the list \"" + path.string() + "\" is not valid JSON: " + e.what());
  }
}

std::vector<BatchSet> SetsFromJsonList(const fs::path& list, const fs::path& outputDir) {
  const json doc = ParseJsonFile(list);
  const json& entries = doc.is_object() && doc.contains("sets") ? doc["sets"] : doc;
  if (!entries.is_array())
    throw std::runtime_error("the list \"" + list.string() + "\" holds neither a list of sets nor {\"sets\": [...]}");
  std::vector<BatchSet> sets;
  for (std::size_t k = 0; k < entries.size(); ++k)
    sets.push_back(SetFromJson(entries[k], list.parent_path(), outputDir, "set" + std::to_string(k + 1), {},
                               "set " + std::to_string(k + 1) + " of \"" + list.string() + "\""));
  return sets;
}

std::vector<BatchSet> SetsFromTextList(const fs::path& list) {
  const auto text = params::ReadWholeFile(list);
  if (!text) throw std::runtime_error("cannot read the list \"" + list.string() + "\"");
  const fs::path base = list.parent_path();
  std::vector<BatchSet> sets;
  const std::vector<std::string> lines = params::SplitLines(*text);
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const std::string_view line = params::TrimBlanks(lines[n]);
    if (line.empty() || line.front() == '#') continue;
    const std::string where = "line " + std::to_string(n + 1) + " of \"" + list.string() + "\"";
    std::vector<std::string> words;
    try {
      words = SplitArguments(std::string(line));
    } catch (const std::exception& e) {
      throw std::runtime_error(where + ": " + e.what());
    }
    BatchSet set;
    bool pictures = false, afterDashes = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
      const std::string& w = words[i];
      if (!afterDashes && w == "--") {
        afterDashes = true;
        set.Arguments.push_back(w);
      } else if (!afterDashes && TakesValue(w)) {
        if (i + 1 >= words.size()) throw std::runtime_error(where + ": " + w + " needs a value");
        const std::string value = ValueIsPath(w) ? Resolved(base, words[++i]) : words[++i];
        if (w == "-o" || w == "--output")
          set.Output = value;
        else if (w == "--report")
          set.Report = value;
        else
          set.Arguments.insert(set.Arguments.end(), {w, value});
      } else if (!afterDashes && w.size() > 1 && w[0] == '-') {
        set.Arguments.push_back(w);
      } else {
        set.Arguments.push_back(Resolved(base, w));
        pictures = true;
      }
    }
    if (!pictures) throw std::runtime_error(where + " names no pictures");
    if (set.Output.empty()) throw std::runtime_error(where + " names no output (-o OUT.jpg)");
    set.Name = fs::path(set.Output).stem().string();
    sets.push_back(std::move(set));
  }
  return sets;
}

bool IsPicture(const fs::path& p) { return render::PictureFormatFromPath(p.string()).has_value(); }

std::vector<BatchSet> SetsFromFolder(const fs::path& folder, const fs::path& outputDir) {
  std::vector<fs::path> subfolders;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    if (e.is_directory()) subfolders.push_back(e.path());
  std::sort(subfolders.begin(), subfolders.end());
  std::vector<BatchSet> sets;
  for (const fs::path& sub : subfolders) {
    std::vector<std::string> pictures;
    for (const fs::directory_entry& e : fs::directory_iterator(sub))
      if (e.is_regular_file() && IsPicture(e.path())) pictures.push_back(e.path().lexically_normal().string());
    std::sort(pictures.begin(), pictures.end());
    const fs::path described = sub / "set.json";
    const std::string name = sub.filename().string();
    if (fs::exists(described))
      sets.push_back(SetFromJson(ParseJsonFile(described), sub, outputDir, name, pictures,
                                 params::QuotedPath(described.string())));
    else if (pictures.size() >= 2)
      sets.push_back(SetFromJson(json::object(), sub, outputDir, name, pictures, name));
  }
  return sets;
}

// ---------------------------------------------------------------------------
// Running the sets

struct Finished {
  int Status = -1;  // exit status; -1 when ended by a signal or never started
  std::string Signal;
};

// A temporary folder removed with everything in it on every way out.
class ScratchFolder {
public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "vistarium-batch-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder: " + std::string(std::strerror(errno)));
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& Path() const { return path_; }

private:
  fs::path path_;
};

// Starts `argv[0]` with the arguments, standard input and output on
// /dev/null and standard error into `errors`; the process id, or an error.
pid_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const fs::path& errors) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args, env;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start \"" + argv[0] + "\": " + std::strerror(error));
  return pid;
}

// This process's environment, with the worker's number of threads unless
// the user set one.
std::vector<std::string> WorkerEnvironment(int threads) {
  std::vector<std::string> env;
  bool set = false;
  for (char** e = environ; e && *e; ++e) {
    env.emplace_back(*e);
    if (env.back().starts_with("OMP_NUM_THREADS=")) set = true;
  }
  if (!set && threads > 0) env.push_back("OMP_NUM_THREADS=" + std::to_string(threads));
  return env;
}

// The set's line: its result, output, warnings or error, and the report's
// times, panorama and gains.
json ResultLine(const BatchSet& set, std::size_t index, const Finished& f, const fs::path& report,
                const fs::path& errors, double seconds) {
  const bool ok = f.Status == 0;
  json line = {{"set", set.Name}, {"index", index + 1}, {"result", ok ? "ok" : "failed"}, {"output", set.Output}};
  line["exit_status"] = f.Status >= 0 ? json(f.Status) : json(nullptr);
  json warnings = json::array();
  std::string error;
  if (const auto text = params::ReadWholeFile(errors)) {
    for (const std::string& l : params::SplitLines(*text)) {
      constexpr std::string_view kWarning = "vistarium-cli: warning: ", kError = "vistarium-cli: error: ",
                                 kTool = "vistarium-cli: ";
      if (l.starts_with(kWarning))
        warnings.push_back(l.substr(kWarning.size()));
      else if (l.starts_with(kError))
        error = l.substr(kError.size());
      else if (error.empty() && l.starts_with(kTool) && l.find(": connection of pictures") == std::string::npos)
        error = l.substr(kTool.size());
    }
  }
  line["warnings"] = warnings;
  if (!ok) {
    if (!f.Signal.empty())
      error = "ended by " + f.Signal;
    else if (error.empty())
      error = "exit status " + std::to_string(f.Status);
    line["error"] = error;
  }
  json times = {{"wall_s", seconds}};
  if (ok) {
    if (const auto text = params::ReadWholeFile(report)) {
      try {
        const json doc = json::parse(*text);
        if (doc.contains("times")) times.update(doc["times"]);
        if (doc.contains("panorama")) line["panorama"] = doc["panorama"];
        if (doc.contains("gains")) line["gains"] = doc["gains"];
      } catch (const json::exception&) {
      }
    }
  }
  line["times"] = times;
  return line;
}

}  // namespace

std::vector<std::string> SplitArguments(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && params::IsBlank(c)) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) throw std::runtime_error("a quote is not closed");
  if (inWord) words.push_back(word);
  return words;
}

std::vector<BatchSet> ReadBatchSets(const fs::path& list, const fs::path& outputDir) {
  std::error_code ec;
  if (fs::is_directory(list, ec)) return SetsFromFolder(list, outputDir.empty() ? list : outputDir);
  if (!fs::exists(list, ec)) throw std::runtime_error("the list \"" + list.string() + "\" does not exist");
  const fs::path dir = outputDir.empty() ? list.parent_path() : outputDir;
  std::string extension = list.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  return extension == ".json" ? SetsFromJsonList(list, dir) : SetsFromTextList(list);
}

int Batch(const std::vector<std::string>& args, const fs::path& programFolder, Console& console) {
  int jobs = 1;
  bool progress = false;
  fs::path outputDir;
  std::optional<fs::path> list;
  std::vector<std::string> common;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "-j" || a == "--jobs") {
      const auto n = params::ParseInteger(value());
      if (!n || *n < 1 || *n > 256) throw UsageError(a + " needs a number of sets from 1 to 256");
      jobs = *n;
    } else if (a == "--progress") {
      progress = true;
    } else if (a == "--output-dir") {
      outputDir = fs::absolute(value());
    } else if (a == "-o" || a == "--output" || a == "--report") {
      throw UsageError("batch takes each set's output from its list (" + a + " belongs to stitch)");
    } else if (a == "--360") {
      throw UsageError("batch takes the 360 flag from each set of its list");
    } else if (TakesValue(a)) {
      const std::string v = value();
      common.insert(common.end(), {a, ValueIsPath(a) ? fs::absolute(v).string() : v});
    } else if (a.size() > 1 && a[0] == '-') {
      common.push_back(a);  // a flag of stitch; stitch itself checks it
    } else if (list) {
      throw UsageError("batch takes one list of sets");
    } else {
      list = fs::absolute(a);
    }
  }
  if (!list) throw UsageError("batch needs a list of sets (a JSON or text file, or a folder of sets)");
  const std::vector<BatchSet> sets = ReadBatchSets(*list, outputDir);
  if (sets.empty()) throw std::runtime_error("the list \"" + list->string() + "\" holds no sets");

  std::error_code ec;
  fs::path program = console.Program;
  if (program.empty()) program = fs::read_symlink("/proc/self/exe", ec);
  if (program.empty()) throw std::runtime_error("cannot find this program's executable to run the sets");
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  // Sets side by side share the cores; one set at a time takes them all.
  const std::vector<std::string> environment =
      WorkerEnvironment(jobs > 1 ? std::max(1, static_cast<int>(cores) / jobs) : 0);
  const ScratchFolder scratch;

  struct Running {
    std::size_t Index;
    fs::path Report, Errors;
    Clock::time_point Started;
  };
  std::map<pid_t, Running> running;
  std::size_t next = 0, done = 0, failed = 0;
  StepProgress shown(console, "batch", progress);
  // One JSON line per set; the progress line steps aside for it.
  auto report = [&](const json& line) {
    shown.Clear();
    console.Out << line.dump() << std::endl;
    ++done;
    if (line["result"] != "ok") ++failed;
    shown(static_cast<double>(done) / sets.size());
  };
  // The sets use the settings folder this run uses (--options included).
  const std::vector<std::string> settings = {"--options", params::OptionsFolder(programFolder).string()};
  auto startNext = [&] {
    const BatchSet& set = sets[next];
    Running r{next, set.Report.empty() ? scratch.Path() / ("set" + std::to_string(next + 1) + ".json") : fs::path(set.Report),
              scratch.Path() / ("set" + std::to_string(next + 1) + ".err"), Clock::now()};
    std::error_code made;
    fs::create_directories(fs::path(set.Output).parent_path(), made);  // a failure shows in the set's own error
    std::vector<std::string> argv = {program.string()};
    argv.insert(argv.end(), settings.begin(), settings.end());
    argv.push_back("stitch");
    argv.insert(argv.end(), common.begin(), common.end());
    argv.insert(argv.end(), {"--report", r.Report.string(), "-o", set.Output});
    argv.insert(argv.end(), set.Arguments.begin(), set.Arguments.end());
    try {
      running.emplace(Start(argv, environment, r.Errors), r);
    } catch (const std::exception& e) {
      // Reported like a set that failed at once.
      std::ofstream(r.Errors) << "vistarium-cli: error: " << e.what() << '\n';
      report(ResultLine(set, next, Finished{}, r.Report, r.Errors, 0.0));
    }
    ++next;
  };
  shown(0.0);
  while (done < sets.size()) {
    while (next < sets.size() && running.size() < static_cast<std::size_t>(jobs)) startNext();
    if (running.empty()) continue;
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("lost the processes of the sets: " + std::string(std::strerror(errno)));
    }
    const auto it = running.find(pid);
    if (it == running.end()) continue;  // not one of ours
    const Running r = it->second;
    running.erase(it);
    Finished f;
    if (WIFEXITED(status))
      f.Status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
      f.Signal = std::string("signal ") + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
    report(ResultLine(sets[r.Index], r.Index, f, r.Report, r.Errors,
                      std::chrono::duration<double>(Clock::now() - r.Started).count()));
  }
  shown.End();
  return failed == 0 ? 0 : 1;
}

}  // namespace vistarium::cli
