// Shared pieces of the station's tests: a scratch directory, file helpers and a window double
// that records what the station asked of it.
#pragma once

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "call/OperatorWindow.h"
#include "tests/ScratchDir.h"

namespace marvolen::station_test {

class TempDir {
 public:
  TempDir() {
    path_ = scratch::NewScratchDir("app");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The directory as the station holds it: with a trailing "/".
  std::string dir() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Local time is UTC in every test, so that time stamps are the same on every machine.
inline void UseUtc() {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  ::unsetenv("LC_TIME");
}

class FormsWindow : public OperatorWindow {
 public:
  void AddLine(std::string_view text) override { lines.emplace_back(text); }
  void ClearLog() override { Call("ClearLog"), lines.clear(); }
  void SetLogVisible(bool) override {}
  void SetPanel(int, std::string_view) override {}
  void SetModificarVisible(bool) override {}
  void SetSalirEnabled(bool) override {}
  void SetTimerInterval(int ms) override { timer_interval = ms; }
  void SetTimerEnabled(bool enabled) override { timer_enabled = enabled; }
  std::optional<std::string> InputBox(std::string_view caption, std::string_view prompt) override {
    Call("InputBox " + std::string(caption) + "|" + std::string(prompt));
    return input_answer;
  }
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  void ShowSettingsForm() override { Call("ShowSettingsForm"); }
  void ShowPasswordForm() override { Call("ShowPasswordForm"); }
  void HidePasswordForm() override { Call("HidePasswordForm"); }
  void Terminate() override { Call("Terminate"), terminated = true; }

  std::vector<std::string> lines;     // the log view
  std::vector<std::string> calls;     // forms, boxes and the end, in order
  std::vector<std::string> messages;  // message boxes
  std::optional<std::string> input_answer;
  int timer_interval = 100;
  bool timer_enabled = true;
  bool terminated = false;

 private:
  void Call(std::string what) { calls.push_back(std::move(what)); }
};

}  // namespace marvolen::station_test
