#include <gtest/gtest.h>

#include "app/Settings.h"
#include "platform/Numbers.h"

namespace marvolen {
namespace {

SettingsFields Valid() {
  return {"1", "9600", "ATZ", "/srv/work/"};
}

TEST(ApplySettings, RefusalsShowTheirExactMessage) {
  struct Row {
    std::string SettingsFields::*field;
    std::string value;
    std::string message;
  };
  const Row rows[] = {
      {&SettingsFields::Puerto, "10", "El Número de Puerto serie no puede ser: 10"},
      {&SettingsFields::Puerto, "0", "El Número de Puerto serie no puede ser: 0"},
      {&SettingsFields::Puerto, " -1", "El Número de Puerto serie no puede ser: -1"},
      {&SettingsFields::Velocidad, "57600", "La Velocidad no puede ser: 57600"},
      {&SettingsFields::Velocidad, "300", "La Velocidad no puede ser: 300"},
      {&SettingsFields::DirTrabajo, std::string(41, 'd'),
       "El directorio de trabajo no puede exceder 39 caracteres"},
      {&SettingsFields::DirTrabajo, std::string(40, 'd') + "á",
       "El directorio de trabajo no puede exceder 39 caracteres"},
      {&SettingsFields::DirTrabajo, "/srv/работа",
       "Carácter no admitido en el directorio de trabajo"},
      {&SettingsFields::Inicio, "AT€Z✓", "Carácter no admitido en los comandos de inicialización"},
  };
  for (const Row& row : rows) {
    SettingsFields fields = Valid();
    fields.*row.field = row.value;
    StationConfig config;
    EXPECT_EQ(ApplySettings(fields, config), row.message) << row.value;
  }
  StationConfig config;
  config.SettingsPassword = "пароль";
  EXPECT_EQ(ApplySettings(Valid(), config), "Carácter no admitido en la clave");
}

TEST(ApplySettings, EveryListedSpeedPasses) {
  for (const char* speed : {"600", "1200", "2400", "4800", "9600", "19200", "38400"}) {
    SettingsFields fields = Valid();
    fields.Velocidad = speed;
    StationConfig config;
    EXPECT_EQ(ApplySettings(fields, config), std::nullopt) << speed;
    EXPECT_EQ(std::to_string(config.BaudRate), speed);
  }
}

TEST(ApplySettings, PortAndSpeedChangeAsSoonAsTheyPass) {
  StationConfig config;
  EXPECT_THROW(ApplySettings({"1 ", "9600", "", "/w"}, config), ConversionError);
  EXPECT_EQ(config.PortNumber, 0);
  ASSERT_TRUE(ApplySettings({"3", "57600", "", "/w"}, config).has_value());
  EXPECT_EQ(config.PortNumber, 3);
  EXPECT_EQ(config.BaudRate, 9600);
  ASSERT_TRUE(ApplySettings({"4", "2400", "", std::string(41, 'x')}, config).has_value());
  EXPECT_EQ(config.PortNumber, 4);
  EXPECT_EQ(config.BaudRate, 2400);
  EXPECT_EQ(config.WorkDir, kDefaultWorkDir);
  EXPECT_THROW(ApplySettings({"5", "", "", "/w"}, config), ConversionError);
  EXPECT_EQ(config.PortNumber, 5);
  EXPECT_EQ(config.BaudRate, 2400);
}

TEST(ApplySettings, TextsArePaddedAndCutToTheirWidthsInCharacters) {
  StationConfig config;
  config.SettingsPassword = "abcdefghijklmn";
  const std::string dir = "/año/" + std::string(35, 'd');  // 40 characters, 41 bytes
  ASSERT_EQ(ApplySettings({"1", "9600", std::string(60, 'i'), dir}, config), std::nullopt);
  EXPECT_EQ(config.ModemInitText, std::string(50, 'i'));
  EXPECT_EQ(config.SettingsPassword, "abcdefghij");
  EXPECT_EQ(config.WorkDir, dir);
  const std::string record = BuildStationConfigRecord(config);
  ASSERT_EQ(record.size(), 107u);
  EXPECT_EQ(record.substr(67, 5), "/a\xF1o/");

  config.SettingsPassword = "x";
  ASSERT_EQ(ApplySettings({"1", "9600", "", "/w"}, config), std::nullopt);
  EXPECT_EQ(config.SettingsPassword, "x         ");
  EXPECT_EQ(config.WorkDir, "/w" + std::string(38, ' '));
}

// A save through the form keeps the bytes a record was loaded with, the five that
// Windows-1252 leaves undefined included.
TEST(ApplySettings, ASaveKeepsEveryByteOfTheLoadedTexts) {
  const std::string odd = "\x81\x8D\x8F\x90\x9D";
  std::string record =
      odd + "ATZ\xF1" + std::string(41, ' ') + "9600 1 " + odd + "clave" + "/d" + odd + "\x80\xFF/";
  record.resize(107, ' ');
  StationConfig config = ParseStationConfig(record);
  ASSERT_EQ(ApplySettings(SettingsFieldsFrom(config), config), std::nullopt);
  EXPECT_EQ(BuildStationConfigRecord(config), record);
}

TEST(CharacterCount, CountsCharactersNotBytes) {
  EXPECT_EQ(CharacterCount(""), 0u);
  EXPECT_EQ(CharacterCount("clave"), 5u);
  EXPECT_EQ(CharacterCount("ñandú€"), 6u);
}

TEST(SettingsFieldsFrom, FirstRunShowsPortZeroAndTheDefaultDirectory) {
  const SettingsFields f = SettingsFieldsFrom(StationConfig{});
  EXPECT_EQ(f.Puerto, "0");
  EXPECT_EQ(f.Velocidad, "9600");
  EXPECT_EQ(f.Inicio, "");
  EXPECT_EQ(f.DirTrabajo, kDefaultWorkDir);
}

TEST(PasswordOpensSettings, ComparesWithoutTrailingBlanksAndWithCase) {
  struct Row {
    const char* stored;
    const char* entry;
    bool opens;
  };
  const Row rows[] = {
      {"          ", "", true},      {"          ", "anything", true}, {"abc       ", "abc", true},
      {"abc       ", "abc  ", true}, {"abc\t\r", "abc\n", true},       {"abc       ", "ABC", false},
      {"abc       ", " abc", false}, {"abc       ", "", false},        {"abc", "abcd", false}};
  for (const Row& r : rows) {
    EXPECT_EQ(PasswordOpensSettings(r.stored, r.entry), r.opens) << r.stored << "|" << r.entry;
  }
}

}  // namespace
}  // namespace marvolen
