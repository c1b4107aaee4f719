#include "app/camera_database.h"

#include <lensfun.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace vistarium::app {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// The words of a name, lower case, single spaces: makers write "NIKON
// CORPORATION" and "Canon PowerShot S95" where the database has "Nikon" and
// "PowerShot S95".
std::string Normalised(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (std::isspace(c)) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += static_cast<char>(std::tolower(c));
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// The model without the maker's name in front, as the database holds it too.
std::string WithoutMake(const std::string& model, const std::string& make) {
  const std::string m = Normalised(model), k = Normalised(make);
  const std::string first = k.substr(0, k.find(' '));
  if (!first.empty() && m.rfind(first + " ", 0) == 0) return m.substr(first.size() + 1);
  return m;
}

// The folders lensfun reads its database from: the user's own and updated
// files, the system's updates and Debian's package.
std::vector<std::filesystem::path> DataFolders(const lfDatabase& db) {
  std::vector<std::filesystem::path> folders;
  if (db.HomeDataDir) folders.emplace_back(db.HomeDataDir);
  if (db.UserUpdatesDir) folders.emplace_back(std::filesystem::path(db.UserUpdatesDir) / "version_1");
  folders.emplace_back("/var/lib/lensfun-updates/version_1");
  folders.emplace_back("/usr/share/lensfun/version_1");
  return folders;
}

// The files whose names hold the maker's name ("compact-canon.xml",
// "mil-sony.xml"), in the order of the folders and by name within each.
std::vector<std::filesystem::path> MakersFiles(const lfDatabase& db, const std::string& maker) {
  std::vector<std::filesystem::path> all;
  for (const std::filesystem::path& folder : DataFolders(db)) {
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      const std::string name = Lower(entry.path().filename().string());
      if (entry.path().extension() == ".xml" && name.find(maker) != std::string::npos) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    all.insert(all.end(), files.begin(), files.end());
  }
  return all;
}

// The camera's crop factor in `db`: only the very model counts, as the
// database matches loosely (an "NEX-5" finds the "NEX-5N" too).
std::optional<double> CropFactorIn(const lfDatabase& db, const std::string& make, const std::string& model) {
  const lfCamera** found = db.FindCamerasExt(make.c_str(), model.c_str());
  if (!found) return std::nullopt;
  std::optional<double> crop;
  for (int i = 0; found[i] && !crop; ++i) {
    const lfCamera& c = *found[i];
    const std::string model0 = c.Model ? lf_mlstr_get(c.Model) : "", make0 = c.Maker ? lf_mlstr_get(c.Maker) : "";
    if (WithoutMake(model0, make0) == WithoutMake(model, make) && c.CropFactor > 0.0f)
      crop = static_cast<double>(c.CropFactor);
  }
  lf_free(found);
  return crop;
}

// A maker's files, read one at a time until one knows the camera: a
// compact camera is then found in a few milliseconds, where all of a
// maker's files take some twenty-five and the whole database some fifty.
struct MakersDatabase {
  std::unique_ptr<lfDatabase> Db = std::make_unique<lfDatabase>();
  std::vector<std::filesystem::path> Files;
  std::size_t Read = 0;
};

// The databases read so far: one per maker, and the whole one, read only
// for a camera its maker's files do not know.
struct Databases {
  std::mutex Lock;
  std::map<std::string, MakersDatabase> OfMaker;
  std::unique_ptr<lfDatabase> Whole;
  bool WholeRead = false;
};

Databases& TheDatabases() {
  static Databases databases;
  return databases;
}

}  // namespace

std::optional<double> CropFactorOf(const std::string& make, const std::string& model) {
  if (make.empty() || model.empty()) return std::nullopt;
  Databases& d = TheDatabases();
  const std::lock_guard<std::mutex> hold(d.Lock);
  const std::string normalised = Normalised(make);
  const std::string maker = normalised.substr(0, normalised.find(' '));
  auto of = d.OfMaker.find(maker);
  if (of == d.OfMaker.end()) {
    of = d.OfMaker.emplace(maker, MakersDatabase{}).first;
    of->second.Files = MakersFiles(*of->second.Db, maker);
  }
  MakersDatabase& m = of->second;
  if (m.Read > 0)
    if (const std::optional<double> crop = CropFactorIn(*m.Db, make, model)) return crop;
  while (m.Read < m.Files.size())
    if (m.Db->Load(m.Files[m.Read++].c_str()) == LF_NO_ERROR)
      if (const std::optional<double> crop = CropFactorIn(*m.Db, make, model)) return crop;
  if (!d.WholeRead) {
    d.WholeRead = true;
    auto whole = std::make_unique<lfDatabase>();
    if (whole->Load() == LF_NO_ERROR) d.Whole = std::move(whole);
  }
  return d.Whole ? CropFactorIn(*d.Whole, make, model) : std::nullopt;
}

}  // namespace vistarium::app
