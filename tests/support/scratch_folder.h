#pragma once
// A fresh folder per test, removed afterwards, with small helpers to put
// bytes into it and read them back.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace vistarium::test_support {

class ScratchFolder : public ::testing::Test {
protected:
  using Bytes = std::vector<std::uint8_t>;

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vistarium-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string PathOf(const std::string& name) const { return (folder_ / name).string(); }
  std::string Put(const std::string& name, const Bytes& bytes) const {
    std::ofstream out(PathOf(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return PathOf(name);
  }
  std::string Put(const std::string& name, const std::string& text) const {
    return Put(name, Bytes(text.begin(), text.end()));
  }
  Bytes Contents(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_))
      names.insert(entry.path().filename().string());
    return names;
  }

  std::filesystem::path folder_;
};

}  // namespace vistarium::test_support
