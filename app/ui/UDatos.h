// The settings form `TFDatos`: port, speed, modem initialisation text and working directory.
#pragma once

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "app/Settings.h"

namespace marvolen::ui {

class TFDatos final : public QWidget {
  Q_OBJECT

 public:
  // The edit boxes start with `initial` (the settings as loaded).
  TFDatos(QWidget* owner, const SettingsFields& initial);

  SettingsFields Fields() const;

  QLineEdit* DirTrabajo = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLineEdit* Puerto = nullptr;
  QLineEdit* Velocidad = nullptr;
  QLineEdit* Inicio = nullptr;
  QPushButton* Guardar = nullptr;
};

}  // namespace marvolen::ui
