// A station on disk for admission tests: working directory with office 7's directory and
// "upgrades", a station home, an in-memory parameter file, recorded log lines, and a packer
// that writes the staged files' names into envio.zip instead of an archive.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "call/Admission.h"
#include "tests/ScratchDir.h"

namespace marvolen::test {

namespace fs = std::filesystem;

struct ParamStore {
  std::map<std::string, std::string, std::less<>> values{{"password", "GALERNA         "},
                                                         {"inicio *.daw", "0"},
                                                         {"ultimo *.daw", "0"},
                                                         {"Check_Id", "1"},
                                                         {"Id", std::string(16, ' ')},
                                                         {"UpGrade", "0"},
                                                         {"Reintentos", "0"},
                                                         {"PeriodoReintentos", "0"},
                                                         {"Synchronize", "0"}};
  std::vector<std::string> reads, writes;
  std::vector<std::string> existing_reads;  // through ReadExistingOfficeParam
  int opens = 0;
};

class FakeParams : public OfficeParamAccess {
 public:
  explicit FakeParams(ParamStore& s) : s_(s) {}
  std::string ReadOfficeParam(std::string_view key) override {
    s_.reads.emplace_back(key);
    auto it = s_.values.find(key);
    return it == s_.values.end() ? "" : it->second;
  }
  std::string ReadExistingOfficeParam(std::string_view key) override {
    s_.existing_reads.emplace_back(key);
    auto it = s_.values.find(key);
    return it == s_.values.end() ? "" : it->second;
  }
  void WriteOfficeParam(std::string_view key, std::string_view value) override {
    s_.writes.push_back(std::string(key) + "=" + std::string(value));
    s_.values[std::string(key)] = value;
  }

 private:
  ParamStore& s_;
};

class CallFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch::NewScratchDir("call");
    fs::create_directories(root_ / "work/loc07");
    fs::create_directories(root_ / "work/upgrades");
    fs::create_directories(root_ / "home/tablas");
    fs::create_directories(root_ / "home/upgrade");
    setup_.WorkDir = (root_ / "work").string() + "/";
    setup_.ExeDir = (root_ / "home").string() + "/";
    setup_.open_params = [this](const std::string& dir) {
      ++params_.opens;
      opened_ = dir;
      return std::make_unique<FakeParams>(params_);
    };
    setup_.view = [this](std::string_view t) { view_.emplace_back(t); };
    setup_.activity = [this](std::string_view t) { activity_.emplace_back(t); };
    setup_.pack = [this](const std::string& exe, const FileOps&) {
      std::ofstream out(exe + "envio.zip");
      if (pack_fails_) throw std::runtime_error("disco lleno");
      std::vector<std::string> names;
      for (const char* dir : {"tablas", "upgrade"}) {
        for (const auto& e : fs::directory_iterator(fs::path(exe) / dir))
          names.push_back(dir + ("/" + e.path().filename().string()) + "\n");
      }
      std::sort(names.begin(), names.end());
      for (const std::string& n : names) out << n;
    };
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const std::string& rel, const std::string& bytes) {
    std::ofstream(root_ / rel, std::ios::binary) << bytes;
  }
  // Sorted names of the staged files, as the packer saw them ("" when nothing was packed).
  std::string Packed() {
    std::ifstream in(root_ / "home/envio.zip");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path root_;
  AdmissionSetup setup_;
  ParamStore params_;
  std::string opened_;
  std::vector<std::string> view_, activity_;
  bool pack_fails_ = false;
};

}  // namespace marvolen::test
