// The operator's window on Qt: the three forms, the message and input boxes and `Timer1`.
// Every Qt entry point (timer, buttons, close boxes) goes through the station's guard, so no
// exception reaches Qt.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>

#include "call/OperatorWindow.h"
#include "app/Station.h"
#include "app/ui/UA.h"
#include "app/ui/UClave.h"
#include "app/ui/UDatos.h"

namespace marvolen::ui {

class QtOperatorWindow final : public QObject, public OperatorWindow {
  Q_OBJECT

 public:
  // Creates the main form and `Timer1` (100 ms, enabled, as designed).
  QtOperatorWindow();
  ~QtOperatorWindow() override;

  // Wires the main form and the timer to `station`.
  void Attach(Station& station);
  // Creates the settings form (filled from the loaded settings) and the password form; to
  // be called after the station's FormCreate.
  void CreateSecondaryForms();
  // The main form closes, once: the station's FormClose, then the program ends.
  void CloseMainForm();

  TFA& FA() { return *fa_; }
  TFDatos* FDatos() { return fdatos_; }
  TFClave* FClave() { return fclave_; }
  QTimer& Timer1() { return timer_; }

  void AddLine(std::string_view text) override;
  void ClearLog() override;
  void SetLogVisible(bool visible) override;
  void SetPanel(int index, std::string_view text) override;
  void SetModificarVisible(bool visible) override;
  void SetSalirEnabled(bool enabled) override;
  void SetTimerInterval(int ms) override;
  void SetTimerEnabled(bool enabled) override;
  std::optional<std::string> InputBox(std::string_view caption, std::string_view prompt) override;
  void ShowMessage(std::string_view text) override;
  void ShowSettingsForm() override;
  void ShowPasswordForm() override;
  void HidePasswordForm() override;
  void Terminate() override;

 private:
  // One tick of Timer1 (by the timer or by the line's descriptor), then the timer and the
  // descriptor's notifier follow what the line waits for.
  void Tick();
  // Sets the timer to the line's next deadline and watches the line's descriptor, once the
  // station keeps that account; else the timer keeps the interval the station set.
  void FollowLine();
  void DropNotifier();

  std::unique_ptr<TFA> fa_;
  TFDatos* fdatos_ = nullptr;
  TFClave* fclave_ = nullptr;
  QTimer timer_;
  std::unique_ptr<QSocketNotifier> line_notifier_;
  int line_fd_ = -1;
  Station* station_ = nullptr;
  bool closed_ = false;
};

// The window program on the station `make` builds: creates the forms in their order, runs
// the start-up and the event loop, and returns the exit status.
int RunWindow(int& argc, char** argv, const StationFactory& make = MakeStation);

}  // namespace marvolen::ui
