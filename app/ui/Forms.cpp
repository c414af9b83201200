#include "app/ui/Forms.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>

namespace marvolen::ui {

QFont FormFont(int pixels) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixels);
  return font;
}

void Place(QWidget* widget, const char* name, QRect geometry, int font_pixels) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(geometry);
  if (font_pixels > 0) widget->setFont(FormFont(font_pixels));
}

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                 int font_pixels) {
  auto* label = new QLabel(text, parent);
  Place(label, name, geometry, font_pixels);
  QFont font = label->font();
  while (font.pixelSize() > 8 && QFontMetrics(font).horizontalAdvance(text) > geometry.width()) {
    font.setPixelSize(font.pixelSize() - 1);
  }
  label->setFont(font);
  return label;
}

void CentreOn(QWidget* form, const QWidget* over) {
  QRect area;
  if (over != nullptr) {
    area = over->frameGeometry();
  } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    area = screen->availableGeometry();
  }
  if (area.isEmpty()) return;
  const QSize outer(form->width() + kFrameWidth, form->height() + kFrameHeight);
  form->move(area.center() - QPoint(outer.width() / 2, outer.height() / 2));
}

}  // namespace marvolen::ui
