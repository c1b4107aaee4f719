#pragma once
// Many picture sets at once: `vistarium-cli batch` reads a list of sets and
// stitches each in its own process of this program (so that a set that
// fails, or crashes, leaves the others alone), a few at a time, and prints
// one JSON line per set as it finishes.
//
// A list is
// - a JSON file: an array of sets, or {"sets": [...]}, each an object with
//   "pictures" (left to right), and optionally "name", "output", "is360",
//   "camera" (a name of the camera list), "focal", "aberration", "crop",
//   "params" (a parameter file) and "exact";
// - a text file: one set per line, the arguments of `stitch` for it
//   ("-o OUT.jpg --360 a.jpg b.jpg ..."; words in double quotes may hold
//   blanks); empty lines and lines starting with # are skipped;
// - a folder: each subfolder with two or more pictures is a set, its
//   pictures in the order of their names, or as its own set.json (an object
//   as above) says.
// Relative paths are taken from the list's folder (a set.json's from its
// own folder). A set without an output is written to OUTPUT-DIR/NAME.jpg,
// OUTPUT-DIR being the list's folder unless given.

#include <filesystem>
#include <string>
#include <vector>

#include "app/cli/cli.h"

namespace vistarium::cli {

struct BatchSet {
  std::string Name;
  std::string Output;
  std::string Report;  // where the set's report goes when the list names it; else a file of the batch's own
  // The arguments of `stitch` for the set, without -o and --report.
  std::vector<std::string> Arguments;
};

// Reads the sets of a list file or folder. Throws std::runtime_error naming
// the list and the entry for a list that cannot be read or an entry
// without pictures or output.
std::vector<BatchSet> ReadBatchSets(const std::filesystem::path& list, const std::filesystem::path& outputDir = {});

// The command: `batch [-j N] [--progress] [--output-dir DIR] [options of
// stitch for every set] LIST`. Exit status 0 when every set succeeded, 1
// when some failed (every set is tried); throws UsageError for a bad
// command line.
int Batch(const std::vector<std::string>& args, const std::filesystem::path& programFolder, Console& console);

// The words of one text line: split at blanks, double quotes keep blanks
// inside a word. Throws std::runtime_error for an unclosed quote.
std::vector<std::string> SplitArguments(const std::string& line);

}  // namespace vistarium::cli
