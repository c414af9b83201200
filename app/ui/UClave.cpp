#include "app/ui/UClave.h"

#include <QCloseEvent>
#include <QProxyStyle>

#include "app/ui/Forms.h"

namespace marvolen::ui {

namespace {

// The entry is masked with '*', whatever the desktop style would use.
class StarPasswordStyle final : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

}  // namespace

TFClave::TFClave(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName(QStringLiteral("FClave"));
  setWindowTitle(QStringLiteral("Acceso a datos"));
  setFont(FormFont(11));
  resize(317 - kFrameWidth, 172 - kFrameHeight);

  AddLabel(this, "Label1", QStringLiteral("Ingrese la clave:"), QRect(32, 40, 98, 16), 13);
  clave = new QLineEdit(this);
  Place(clave, "clave", QRect(136, 32, 145, 21));
  auto* style = new StarPasswordStyle;
  style->setParent(clave);
  clave->setStyle(style);
  clave->setEchoMode(QLineEdit::Password);
  Aceptar = new QPushButton(QStringLiteral("Aceptar"), this);
  Place(Aceptar, "Aceptar", QRect(32, 88, 107, 33), 13);
  Cancelar = new QPushButton(QStringLiteral("Cancelar"), this);
  Place(Cancelar, "Cancelar", QRect(168, 88, 113, 33), 13);

  setTabOrder(clave, Aceptar);
  setTabOrder(Aceptar, Cancelar);
}

void TFClave::closeEvent(QCloseEvent* event) {
  emit closedByOperator();
  event->accept();
}

}  // namespace marvolen::ui
