#include "app/ui/QtOperatorWindow.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>

#include "app/ConsoleProgram.h"
#include "app/ConsoleWindow.h"
#include "app/HomeLock.h"
#include "app/Station.h"
#include "app/ui/Forms.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace marvolen::ui {

namespace {

QString Qs(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace

QtOperatorWindow::QtOperatorWindow() : fa_(std::make_unique<TFA>()) {
  timer_.setObjectName(QStringLiteral("Timer1"));
  timer_.setInterval(100);
  timer_.start();
}

QtOperatorWindow::~QtOperatorWindow() = default;

void QtOperatorWindow::Attach(Station& station) {
  station_ = &station;
  connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
  connect(fa_->Modificar, &QPushButton::clicked, this, [this] { station_->ModificarClick(); });
  connect(fa_->Button2, &QPushButton::clicked, this, [this] { station_->Button2Click(); });
  connect(fa_.get(), &TFA::closing, this, [this] { CloseMainForm(); });
}

void QtOperatorWindow::Tick() {
  if (line_notifier_) line_notifier_->setEnabled(false);
  station_->Timer1Timer();
  FollowLine();
}

void QtOperatorWindow::DropNotifier() {
  line_fd_ = -1;
  if (!line_notifier_) return;
  // It may be the one whose signal runs this tick: it goes once the signal is over.
  line_notifier_->setEnabled(false);
  line_notifier_.release()->deleteLater();
}

void QtOperatorWindow::FollowLine() {
  const std::optional<WakeUp> wake =
      timer_.isActive() && !closed_ ? station_->NextWake() : std::optional<WakeUp>();
  if (!wake) {
    DropNotifier();
    return;
  }
  // A minute at most: a deadline further out is looked at again then.
  const Millis wait = WaitFor(station_->clock().Now(), wake->due, Millis(60000));
  timer_.start(static_cast<int>(wait.count()));
  if (wake->fd != line_fd_ || !line_notifier_) {
    DropNotifier();
    line_fd_ = wake->fd;
    if (line_fd_ < 0) return;
    line_notifier_ = std::make_unique<QSocketNotifier>(line_fd_, QSocketNotifier::Read);
    connect(line_notifier_.get(), &QSocketNotifier::activated, this, [this] {
      if (timer_.isActive()) Tick();
    });
  }
  line_notifier_->setEnabled(true);
}

void QtOperatorWindow::CreateSecondaryForms() {
  fdatos_ = new TFDatos(fa_.get(), station_->DatosFormCreate());
  connect(fdatos_->Guardar, &QPushButton::clicked, this,
          [this] { station_->Guard([this] { station_->GuardarClick(fdatos_->Fields()); }); });
  fclave_ = new TFClave(fa_.get());
  connect(fclave_->Aceptar, &QPushButton::clicked, this, [this] {
    station_->Guard([this] { station_->AceptarClick(fclave_->clave->text().toStdString()); });
  });
  connect(fclave_->Cancelar, &QPushButton::clicked, this, [this] { station_->CancelarClick(); });
  connect(fclave_, &TFClave::closedByOperator, this, [this] { station_->ClaveFormClose(); });
}

void QtOperatorWindow::CloseMainForm() {
  if (closed_) return;
  closed_ = true;
  timer_.stop();
  DropNotifier();
  if (station_ != nullptr) station_->FormClose();
  // The other forms may still be open; closing the main form ends the program all the same.
  QCoreApplication::exit(0);
}

void QtOperatorWindow::AddLine(std::string_view text) {
  fa_->mm1->appendPlainText(Qs(text));
  // A tick may block for seconds; the log view is repainted at once so that the operator
  // follows the call while it runs.
  fa_->mm1->viewport()->repaint();
}

void QtOperatorWindow::ClearLog() {
  fa_->mm1->clear();
}

void QtOperatorWindow::SetLogVisible(bool visible) {
  fa_->mm1->setVisible(visible);
}

void QtOperatorWindow::SetPanel(int index, std::string_view text) {
  if (index < 0 || index >= static_cast<int>(fa_->Panels.size())) return;
  QLabel* panel = fa_->Panels[static_cast<size_t>(index)];
  panel->setText(Qs(text));
  panel->repaint();
}

void QtOperatorWindow::SetModificarVisible(bool visible) {
  fa_->Modificar->setVisible(visible);
}

void QtOperatorWindow::SetSalirEnabled(bool enabled) {
  fa_->Button2->setEnabled(enabled);
}

void QtOperatorWindow::SetTimerInterval(int ms) {
  timer_.setInterval(ms);
}

void QtOperatorWindow::SetTimerEnabled(bool enabled) {
  // Enabling restarts the count, so the next tick comes a whole interval after this one.
  if (enabled) {
    timer_.start();
  } else {
    timer_.stop();
  }
}

std::optional<std::string> QtOperatorWindow::InputBox(std::string_view caption,
                                                      std::string_view prompt) {
  QInputDialog box(fa_.get());
  box.setObjectName(QStringLiteral("InputBox"));
  box.setWindowTitle(Qs(caption));
  box.setLabelText(Qs(prompt));
  box.setTextValue(QString());
  box.setFont(FormFont(11));
  if (box.exec() != QDialog::Accepted) return std::nullopt;
  return box.textValue().toStdString();
}

void QtOperatorWindow::ShowMessage(std::string_view text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Marvolen"), Qs(text), QMessageBox::Ok,
                  fa_.get());
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setFont(FormFont(11));
  box.exec();
}

void QtOperatorWindow::ShowSettingsForm() {
  if (fdatos_ == nullptr) return;
  fdatos_->show();
  fdatos_->raise();
  fdatos_->activateWindow();
}

void QtOperatorWindow::ShowPasswordForm() {
  if (fclave_ == nullptr) return;
  CentreOn(fclave_, fa_.get());
  fclave_->show();
  fclave_->raise();
  fclave_->activateWindow();
}

void QtOperatorWindow::HidePasswordForm() {
  if (fclave_ != nullptr) fclave_->hide();
}

void QtOperatorWindow::Terminate() {
  QCoreApplication::exit(0);
}

int RunWindow(int& argc, char** argv, const StationFactory& make) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Marvolen"));
  std::string refusal;
  const std::optional<FileLock> home_lock = LockStationHome(StationHome(), refusal);
  if (!home_lock) {
    std::fprintf(stderr, "marvolen: %s\n", refusal.c_str());
    // Nobody could close the box on a screen that is not shown.
    if (QApplication::platformName() != QStringLiteral("offscreen")) {
      QMessageBox::critical(nullptr, QStringLiteral("Marvolen"), Qs(refusal));
    }
    return kHomeTakenStatus;
  }
  RealClock clock;
  QtOperatorWindow window;
  const std::unique_ptr<Station> made = make(window, clock, StationHome());
  Station& station = *made;
  window.Attach(station);
  station.FormCreate();
  window.CreateSecondaryForms();
  // SIGTERM (a logout, a service stop) or SIGINT ends the window as "Salir" does: a transfer
  // under way hears the request and cancels, and closing the form finishes the call's record.
  const StopSignals stop_signals;
  station.SetStopRequest(
      StopRequest([&stop_signals] { return stop_signals.flag() != 0; }, stop_signals.fd()));
  std::unique_ptr<QSocketNotifier> stop_notifier;
  QTimer stop_poll;
  if (stop_signals.fd() >= 0) {
    stop_notifier = std::make_unique<QSocketNotifier>(stop_signals.fd(), QSocketNotifier::Read);
    QObject::connect(stop_notifier.get(), &QSocketNotifier::activated, &window,
                     [&window] { window.CloseMainForm(); });
  } else {
    // No pipe could be made: the flag is looked at instead.
    QObject::connect(&stop_poll, &QTimer::timeout, &window, [&window, &stop_signals] {
      if (stop_signals.flag() != 0) window.CloseMainForm();
    });
    stop_poll.start(250);
  }
  window.FA().show();
  const int status = QApplication::exec();
  window.CloseMainForm();
  return status;
}

}  // namespace marvolen::ui
