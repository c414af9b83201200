// The password form `TFClave` that guards the settings.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

namespace marvolen::ui {

class TFClave final : public QWidget {
  Q_OBJECT

 public:
  explicit TFClave(QWidget* owner);

  QLineEdit* clave = nullptr;
  QPushButton* Aceptar = nullptr;
  QPushButton* Cancelar = nullptr;

 signals:
  // The operator closed the form with the window's close box.
  void closedByOperator();

 protected:
  void closeEvent(QCloseEvent* event) override;
};

}  // namespace marvolen::ui
