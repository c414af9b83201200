// A modem and a caller on the virtual clock, for the controller's and the script's tests.
// Bytes "from the office" are queued with Arrive() (or scheduled on the clock); everything
// the station sends is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "call/CallLine.h"
#include "call/OperatorWindow.h"

namespace marvolen::testing {

class FakeCallLine : public CallLine {
 public:
  std::string OpenPort() override;
  std::string ClosePort() override;
  std::string PurgeAll() override { return purge_error; }
  std::string PurgeInput() override;
  std::string SetPortLines(PortLine line) override;
  std::string ClearPortErrors() override;
  std::string ReadModemStatus() override { return status_error; }
  std::size_t BytesWaiting() const override { return waiting_count_; }
  std::string ReadPort() override;
  std::string& Received() override { return received_; }
  void SendText(std::string_view bytes) override {
    sent.emplace_back(bytes);
    if (on_send) on_send(bytes);
  }
  void SendModemCommand(std::string_view command) override { modem_commands.emplace_back(command); }
  bool CarrierLost() override;
  std::string& LineBuffer() override { return line_buffer_; }
  TransferOutcome SendFile(const std::string& data, const TransferBounds& bounds) override;
  TransferOutcome ReceiveFile(const std::filesystem::path& dir,
                              const std::vector<std::string>& wanted_names,
                              const TransferBounds& bounds) override;

  void Arrive(std::string bytes) { incoming_ += bytes; }
  // Bytes have arrived that the station has not read: a line's descriptor would be readable.
  bool Readable() const { return !incoming_.empty(); }
  // Texts sent that start with `prefix`.
  int CountSent(std::string_view prefix) const;

  bool carrier = false;
  // Answers for the next CarrierLost() calls, taken before `carrier` is consulted.
  std::deque<bool> carrier_script;
  // Runs inside SendText with what is sent.
  std::function<void(std::string_view bytes)> on_send;
  // Runs inside ReceiveFile with the directory the station receives into.
  std::function<void(const std::filesystem::path& dir)> on_receive;
  // The names each ReceiveFile was told to take, and the directory it was given.
  std::vector<std::vector<std::string>> wanted;
  std::vector<std::filesystem::path> receive_dirs;
  bool open = false;
  std::string open_error;
  std::string purge_error;
  std::string status_error;
  std::vector<std::string> sent;
  std::vector<std::string> modem_commands;
  std::vector<std::string> files_sent;
  std::string send_result = "Transferencia OK";
  std::string receive_result = "Transferencia OK";
  // How a transfer that did not succeed ended (its result text aside), and the bounds the
  // station gave the last transfer.
  TransferOutcome failed;
  TransferBounds bounds;
  // Bytes that arrive "behind" a transfer, read by the transfer but not used by it.
  std::string after_transfer;
  int opens = 0;
  int closes = 0;
  int input_purges = 0;

 private:
  TransferOutcome Outcome(const std::string& result, const TransferBounds& bounds);

  std::string incoming_;
  std::string received_;
  std::string line_buffer_;
  std::size_t waiting_count_ = 0;
};

// Records what the station shows; inputs are answered from `answers`.
class RecordingWindow : public OperatorWindow {
 public:
  void AddLine(std::string_view text) override { lines.emplace_back(text); }
  void ClearLog() override { lines.clear(); }
  void SetLogVisible(bool visible) override { log_visible = visible; }
  void SetPanel(int index, std::string_view text) override { panels[index] = std::string(text); }
  void SetModificarVisible(bool visible) override { modificar_visible = visible; }
  void SetSalirEnabled(bool enabled) override { salir_enabled = enabled; }
  void SetTimerInterval(int ms) override { timer_interval = ms; }
  void SetTimerEnabled(bool enabled) override { timer_enabled = enabled; }
  std::optional<std::string> InputBox(std::string_view, std::string_view prompt) override {
    prompts.emplace_back(prompt);
    return std::string("clave");
  }
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  void ShowSettingsForm() override { settings_shown = true; }
  void Terminate() override { terminated = true; }

  int Count(std::string_view line) const;

  std::vector<std::string> lines, prompts, messages;
  std::string panels[4];
  bool log_visible = true, modificar_visible = true, salir_enabled = true;
  bool timer_enabled = true, settings_shown = false, terminated = false;
  int timer_interval = 0;
};

}  // namespace marvolen::testing
