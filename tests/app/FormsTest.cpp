// The forms as the operator sees them: captions, texts, places, and the wiring of the
// buttons and close boxes to the station. Runs on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include "TestSupport.h"
#include "app/Station.h"
#include "app/ui/QtOperatorWindow.h"

// fontconfig keeps a cache for the life of the process, which LeakSanitizer reports when the
// unit tests run under the sanitizers.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n";
}

namespace marvolen::ui {
namespace {

using station_test::TempDir;

QApplication& App() {
  static int argc = 1;
  static char name[] = "test_app_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

template <typename T>
T* Find(QWidget* form, const char* name) {
  T* w = form->findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(w, nullptr) << name;
  return w;
}

class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    station_test::UseUtc();
    window = std::make_unique<QtOperatorWindow>();
    station = std::make_unique<Station>(*window, clock, home.path());
    window->Attach(*station);
    station->FormCreate();
    window->CreateSecondaryForms();
  }

  TempDir home;
  VirtualClock clock;
  std::unique_ptr<QtOperatorWindow> window;
  std::unique_ptr<Station> station;
};

TEST_F(FormsTest, MainFormHasItsCaptionComponentsAndPanels) {
  TFA& fa = window->FA();
  EXPECT_EQ(fa.windowTitle(), QStringLiteral("Marvolen  Ver: 04.11.05"));
  EXPECT_EQ(fa.size(), QSize(462, 503));
  EXPECT_EQ(fa.mm1->geometry(), QRect(16, 88, 425, 385));
  EXPECT_TRUE(fa.mm1->isReadOnly());
  EXPECT_EQ(fa.mm1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(fa.mm1->toPlainText(), QString());  // the design-time "mm1" is cleared
  EXPECT_EQ(fa.Modificar->text(), QStringLiteral("Modificar Datos"));
  EXPECT_EQ(fa.Button2->text(), QStringLiteral("Salir"));
  EXPECT_EQ(fa.Button2->geometry(), QRect(352, 16, 97, 49));
  EXPECT_EQ(Find<QLabel>(&fa, "Label1")->text(), QStringLiteral("Programa de Telesupervisión"));
  EXPECT_EQ(Find<QLabel>(&fa, "Label2")->text(), QStringLiteral("Por Módem"));
  EXPECT_EQ(fa.StatusBar1->geometry(), QRect(0, 478, 462, 25));
  EXPECT_EQ(fa.Panels[0]->text(), QStringLiteral("Paquetes Recibidos:  "));
  EXPECT_EQ(fa.Panels[0]->width(), 120);
  EXPECT_EQ(fa.Panels[2]->text(), QStringLiteral("Paquetes Enviados:  "));
  EXPECT_TRUE(fa.Panels[2]->alignment() & Qt::AlignRight);
  window->AddLine("Conectándose ...");
  EXPECT_EQ(fa.mm1->toPlainText(), QStringLiteral("Conectándose ..."));
  // Start-up set the timer to 5000 ms; a station without settings leaves it enabled.
  EXPECT_EQ(window->Timer1().interval(), 5000);
  EXPECT_TRUE(window->Timer1().isActive());
}

TEST_F(FormsTest, SettingsFormShowsTheLoadedSettings) {
  TFDatos* f = window->FDatos();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->windowTitle(), QStringLiteral("FDatos"));
  EXPECT_EQ(f->size(), QSize(513, 356));
  EXPECT_EQ(f->Puerto->text(), QStringLiteral("0"));
  EXPECT_EQ(f->Velocidad->text(), QStringLiteral("9600"));
  EXPECT_EQ(f->DirTrabajo->text().toStdString(), kDefaultWorkDir);
  EXPECT_EQ(f->GroupBox1->title(), QStringLiteral("Datos del Módem"));
  EXPECT_EQ(f->GroupBox1->geometry(), QRect(16, 112, 481, 145));
  EXPECT_EQ(f->Puerto->parentWidget(), f->GroupBox1);
  EXPECT_EQ(f->Guardar->geometry(), QRect(200, 280, 139, 65));
  EXPECT_EQ(Find<QLabel>(f, "Label4")->text(), QStringLiteral("Directorio de  Trabajo: "));
}

TEST_F(FormsTest, PasswordFormMasksTheEntryAndItsCloseBoxEnablesTheTimer) {
  TFClave* f = window->FClave();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->windowTitle(), QStringLiteral("Acceso a datos"));
  EXPECT_EQ(f->size(), QSize(309, 138));
  EXPECT_EQ(f->clave->echoMode(), QLineEdit::Password);
  EXPECT_EQ(f->clave->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter), '*');
  EXPECT_EQ(f->clave->geometry(), QRect(136, 32, 145, 21));

  window->FA().Modificar->click();
  EXPECT_TRUE(f->isVisible());
  EXPECT_FALSE(window->Timer1().isActive());
  f->clave->setText(QStringLiteral("nueva"));
  f->close();
  EXPECT_TRUE(window->Timer1().isActive());
  EXPECT_FALSE(window->FDatos()->isVisible());
  EXPECT_EQ(f->clave->text(), QStringLiteral("nueva"));  // kept for the next opening
}

TEST_F(FormsTest, AceptarWithNoPasswordSetOpensTheSettings) {
  window->FA().Modificar->click();
  window->FClave()->clave->setText(QStringLiteral("abc  "));
  window->FClave()->Aceptar->click();
  EXPECT_FALSE(window->FClave()->isVisible());
  EXPECT_TRUE(window->FDatos()->isVisible());
  EXPECT_TRUE(window->Timer1().isActive());
  EXPECT_EQ(station->config().SettingsPassword, "abc");
}

// One component of a form as its design gives it: name, kind, text, place in its parent,
// and the parent when that is not the form.
struct Component {
  const char* name;
  const char* kind;  // Qt class
  const char* text;  // caption, title or text; nullptr where the design gives none
  QRect geometry;
  const char* parent = nullptr;
};

QString TextOf(const QWidget* w) {
  if (auto* label = qobject_cast<const QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<const QPushButton*>(w)) return button->text();
  if (auto* group = qobject_cast<const QGroupBox*>(w)) return group->title();
  if (auto* edit = qobject_cast<const QLineEdit*>(w)) return edit->text();
  return QString();
}

void ExpectComponents(QWidget* form, const std::vector<Component>& components) {
  for (const Component& c : components) {
    SCOPED_TRACE(c.name);
    auto* w = form->findChild<QWidget*>(QString::fromLatin1(c.name));
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), c.kind);
    if (c.text != nullptr) {
      EXPECT_EQ(TextOf(w), QString::fromUtf8(c.text));
    }
    EXPECT_EQ(w->geometry(), c.geometry);
    EXPECT_EQ(w->parentWidget()->objectName(),
              QString::fromLatin1(c.parent ? c.parent : form->objectName().toLatin1().constData()));
  }
}

// The widgets Tab reaches, in order, starting from the form.
std::vector<std::string> TabOrder(QWidget* form) {
  std::vector<std::string> order;
  for (QWidget* w = form->nextInFocusChain(); w != nullptr && w != form;
       w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled()) {
      order.push_back(w->objectName().toStdString());
    }
  }
  return order;
}

// Renders `form` to build/forms/NAME.png and checks that text was drawn where `label` is:
// without a font, Qt draws no glyphs and the label stays the colour of the form.
void RenderAndCheck(QWidget* form, const char* file, const char* label) {
  const QDir dir(QStringLiteral(MARVOLEN_FORMS_PNG_DIR));
  ASSERT_TRUE(dir.mkpath(QStringLiteral(".")));
  const QImage image = form->grab().toImage();
  ASSERT_FALSE(image.isNull());
  EXPECT_TRUE(image.save(dir.filePath(QString::fromLatin1(file))));
  auto* text = form->findChild<QLabel*>(QString::fromLatin1(label));
  ASSERT_NE(text, nullptr);
  const QRect area(text->mapTo(form, QPoint(0, 0)), text->size());
  const QRgb background = image.pixel(area.topLeft());
  int ink = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (qGray(image.pixel(x, y)) + 64 < qGray(background)) ++ink;
    }
  }
  EXPECT_GT(ink, 20) << file << ": no text drawn in " << label;
}

TEST_F(FormsTest, MainFormComponentsTabOrderAndRendering) {
  TFA& fa = window->FA();
  ExpectComponents(
      &fa, {
               {"Label1", "QLabel", "Programa de Telesupervisión", {8, 24, 204, 20}},
               {"Label2", "QLabel", "Por Módem", {56, 48, 81, 20}},
               {"mm1", "QPlainTextEdit", nullptr, {16, 88, 425, 385}},
               {"Modificar", "QPushButton", "Modificar Datos", {224, 16, 105, 49}},
               {"Button2", "QPushButton", "Salir", {352, 16, 97, 49}},
               {"StatusBar1", "QWidget", nullptr, {0, 478, 462, 25}},
               {"Panel0", "QLabel", "Paquetes Recibidos:  ", {0, 0, 120, 25}, "StatusBar1"},
               {"Panel1", "QLabel", "", {120, 0, 100, 25}, "StatusBar1"},
               {"Panel2", "QLabel", "Paquetes Enviados:  ", {220, 0, 120, 25}, "StatusBar1"},
               {"Panel3", "QLabel", "", {340, 0, 100, 25}, "StatusBar1"},
           });
  EXPECT_EQ(fa.Modificar->font().pixelSize(), 13);
  EXPECT_EQ(fa.Button2->font().pixelSize(), 16);
  EXPECT_EQ(TabOrder(&fa), (std::vector<std::string>{"mm1", "Modificar", "Button2"}));
  fa.mm1->setPlainText(QStringLiteral("Conectándose ..."));
  RenderAndCheck(&fa, "TFA.png", "Label1");
}

TEST_F(FormsTest, SettingsFormComponentsTabOrderAndRendering) {
  TFDatos* f = window->FDatos();
  ASSERT_NE(f, nullptr);
  ExpectComponents(
      f, {
             {"Label7", "QLabel", "Datos de Telesupervisión", {144, 8, 213, 24}},
             {"Label4", "QLabel", "Directorio de  Trabajo: ", {56, 64, 137, 16}},
             {"DirTrabajo", "QLineEdit", nullptr, {200, 64, 225, 21}},
             {"GroupBox1", "QGroupBox", "Datos del Módem", {16, 112, 481, 145}},
             {"Label1", "QLabel", "Número de Puerta serie", {35, 32, 142, 16}, "GroupBox1"},
             {"Label2", "QLabel", "Velocidad de transmisión", {25, 65, 152, 16}, "GroupBox1"},
             {"Label3", "QLabel", "Comandos de Inicialización", {13, 105, 164, 16}, "GroupBox1"},
             {"Puerto", "QLineEdit", "0", {184, 24, 65, 21}, "GroupBox1"},
             {"Velocidad", "QLineEdit", "9600", {184, 60, 65, 21}, "GroupBox1"},
             {"Inicio", "QLineEdit", "", {184, 100, 281, 21}, "GroupBox1"},
             {"Guardar", "QPushButton", "Guardar", {200, 280, 139, 65}},
         });
  EXPECT_EQ(f->Guardar->font().pixelSize(), 19);
  // Guardar first, then the group's three edits, then the working directory.
  EXPECT_EQ(TabOrder(f),
            (std::vector<std::string>{"Guardar", "Puerto", "Velocidad", "Inicio", "DirTrabajo"}));
  RenderAndCheck(f, "TFDatos.png", "Label7");
}

TEST_F(FormsTest, PasswordFormComponentsTabOrderAndRendering) {
  TFClave* f = window->FClave();
  ASSERT_NE(f, nullptr);
  ExpectComponents(f, {
                          {"Label1", "QLabel", "Ingrese la clave:", {32, 40, 98, 16}},
                          {"clave", "QLineEdit", "", {136, 32, 145, 21}},
                          {"Aceptar", "QPushButton", "Aceptar", {32, 88, 107, 33}},
                          {"Cancelar", "QPushButton", "Cancelar", {168, 88, 113, 33}},
                      });
  EXPECT_EQ(f->Aceptar->font().pixelSize(), 13);
  EXPECT_EQ(f->Cancelar->font().pixelSize(), 13);
  EXPECT_EQ(TabOrder(f), (std::vector<std::string>{"clave", "Aceptar", "Cancelar"}));
  RenderAndCheck(f, "TFClave.png", "Label1");
}

}  // namespace
}  // namespace marvolen::ui
