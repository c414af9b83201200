// The main form `TFA`: the log view `mm1`, the status bar with the block counters, the
// buttons "Modificar Datos" and "Salir". Only widgets: the station decides what they do.
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>
#include <array>

namespace marvolen::ui {

class TFA final : public QWidget {
  Q_OBJECT

 public:
  TFA();

  QPlainTextEdit* mm1 = nullptr;
  QPushButton* Modificar = nullptr;
  QPushButton* Button2 = nullptr;
  QWidget* StatusBar1 = nullptr;
  std::array<QLabel*, 4> Panels{};

 signals:
  // Every close of the form, whatever asked for it.
  void closing();

 protected:
  void closeEvent(QCloseEvent* event) override;
};

}  // namespace marvolen::ui
