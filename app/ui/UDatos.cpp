#include "app/ui/UDatos.h"

#include "app/ui/Forms.h"

namespace marvolen::ui {

namespace {

QString Qs(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

}  // namespace

TFDatos::TFDatos(QWidget* owner, const SettingsFields& initial) : QWidget(owner, Qt::Window) {
  setObjectName(QStringLiteral("FDatos"));
  setWindowTitle(QStringLiteral("FDatos"));
  setFont(FormFont(11));
  resize(521 - kFrameWidth, 390 - kFrameHeight);

  // Guardar comes first in the tab order: made first, it heads the focus chain.
  Guardar = new QPushButton(QStringLiteral("Guardar"), this);
  Place(Guardar, "Guardar", QRect(200, 280, 139, 65), 19);

  AddLabel(this, "Label7", QStringLiteral("Datos de Telesupervisión"), QRect(144, 8, 213, 24), 19);
  AddLabel(this, "Label4", QStringLiteral("Directorio de  Trabajo: "), QRect(56, 64, 137, 16), 13);
  DirTrabajo = new QLineEdit(this);
  Place(DirTrabajo, "DirTrabajo", QRect(200, 64, 225, 21));

  GroupBox1 = new QGroupBox(QStringLiteral("Datos del Módem"), this);
  Place(GroupBox1, "GroupBox1", QRect(16, 112, 481, 145));
  AddLabel(GroupBox1, "Label1", QStringLiteral("Número de Puerta serie"), QRect(35, 32, 142, 16),
           13);
  AddLabel(GroupBox1, "Label2", QStringLiteral("Velocidad de transmisión"), QRect(25, 65, 152, 16),
           13);
  AddLabel(GroupBox1, "Label3", QStringLiteral("Comandos de Inicialización"),
           QRect(13, 105, 164, 16), 13);
  Puerto = new QLineEdit(QStringLiteral("1"), GroupBox1);
  Place(Puerto, "Puerto", QRect(184, 24, 65, 21));
  Velocidad = new QLineEdit(QStringLiteral("9600"), GroupBox1);
  Place(Velocidad, "Velocidad", QRect(184, 60, 65, 21));
  Inicio = new QLineEdit(GroupBox1);
  Place(Inicio, "Inicio", QRect(184, 100, 281, 21));

  setTabOrder(Guardar, Puerto);
  setTabOrder(Puerto, Velocidad);
  setTabOrder(Velocidad, Inicio);
  setTabOrder(Inicio, DirTrabajo);

  // The design-time texts give way to the loaded settings.
  Puerto->setText(Qs(initial.Puerto));
  Velocidad->setText(Qs(initial.Velocidad));
  Inicio->setText(Qs(initial.Inicio));
  DirTrabajo->setText(Qs(initial.DirTrabajo));
}

SettingsFields TFDatos::Fields() const {
  return {Puerto->text().toStdString(), Velocidad->text().toStdString(),
          Inicio->text().toStdString(), DirTrabajo->text().toStdString()};
}

}  // namespace marvolen::ui
