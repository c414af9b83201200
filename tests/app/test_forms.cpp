// The forms as the operator sees them: captions, texts, places, and the wiring of the
// buttons and close boxes to the station. Runs on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <QApplication>
#include <QGroupBox>
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

}  // namespace
}  // namespace marvolen::ui
