#include "app/camera_database.h"

#include <lensfun.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

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

struct Database {
  std::unique_ptr<lfDatabase> Db;
  bool Loaded = false;
};

const Database& TheDatabase() {
  static Database database;
  static std::once_flag once;
  std::call_once(once, [] {
    database.Db = std::make_unique<lfDatabase>();
    database.Loaded = database.Db->Load() == LF_NO_ERROR;
  });
  return database;
}

}  // namespace

std::optional<double> CropFactorOf(const std::string& make, const std::string& model) {
  if (make.empty() || model.empty()) return std::nullopt;
  const Database& database = TheDatabase();
  if (!database.Loaded) return std::nullopt;
  const lfCamera** found = database.Db->FindCamerasExt(make.c_str(), model.c_str());
  if (!found) return std::nullopt;
  std::optional<double> crop;
  // The database matches loosely (an "NEX-5" finds the "NEX-5N" too): only
  // the very model counts.
  for (int i = 0; found[i] && !crop; ++i) {
    const lfCamera& c = *found[i];
    const std::string model0 = c.Model ? lf_mlstr_get(c.Model) : "", make0 = c.Maker ? lf_mlstr_get(c.Maker) : "";
    if (WithoutMake(model0, make0) == WithoutMake(model, make) && c.CropFactor > 0.0f)
      crop = static_cast<double>(c.CropFactor);
  }
  lf_free(found);
  return crop;
}

}  // namespace vistarium::app
