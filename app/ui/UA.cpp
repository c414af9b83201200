#include "app/ui/UA.h"

#include <QCloseEvent>
#include <QScrollBar>

#include "app/ui/Forms.h"

namespace marvolen::ui {

namespace {

QLabel* MakePanel(QWidget* bar, int index, int left, int width, Qt::Alignment align,
                  const QString& text) {
  auto* panel = new QLabel(text, bar);
  const QByteArray name = "Panel" + QByteArray::number(index);
  Place(panel, name.constData(), QRect(left, 0, width, 25));
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setAlignment(align | Qt::AlignVCenter);
  return panel;
}

}  // namespace

TFA::TFA() {
  setObjectName(QStringLiteral("FA"));
  setWindowTitle(QStringLiteral("Marvolen  Ver: 04.11.05"));
  setFont(FormFont(11));
  resize(470 - kFrameWidth, 537 - kFrameHeight);

  AddLabel(this, "Label1", QStringLiteral("Programa de Telesupervisión"), QRect(8, 24, 204, 20),
           16);
  AddLabel(this, "Label2", QStringLiteral("Por Módem"), QRect(56, 48, 81, 20), 16);

  mm1 = new QPlainTextEdit(this);
  Place(mm1, "mm1", QRect(16, 88, 425, 385));
  mm1->setReadOnly(true);
  mm1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mm1->setPlainText(QStringLiteral("mm1"));

  Modificar = new QPushButton(QStringLiteral("Modificar Datos"), this);
  Place(Modificar, "Modificar", QRect(224, 16, 105, 49), 13);
  Button2 = new QPushButton(QStringLiteral("Salir"), this);
  Place(Button2, "Button2", QRect(352, 16, 97, 49), 16);

  StatusBar1 = new QWidget(this);
  Place(StatusBar1, "StatusBar1", QRect(0, 478, 462, 25));
  Panels[0] =
      MakePanel(StatusBar1, 0, 0, 120, Qt::AlignRight, QStringLiteral("Paquetes Recibidos:  "));
  Panels[1] = MakePanel(StatusBar1, 1, 120, 100, Qt::AlignLeft, QString());
  Panels[2] =
      MakePanel(StatusBar1, 2, 220, 120, Qt::AlignRight, QStringLiteral("Paquetes Enviados:  "));
  Panels[3] = MakePanel(StatusBar1, 3, 340, 100, Qt::AlignLeft, QString());

  setTabOrder(mm1, Modificar);
  setTabOrder(Modificar, Button2);
  CentreOn(this, nullptr);
}

void TFA::closeEvent(QCloseEvent* event) {
  emit closing();
  event->accept();
}

}  // namespace marvolen::ui
