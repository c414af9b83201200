#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace marvolen {
namespace {

TEST(CodePage, SpanishLettersSurviveEveryRoundTrip) {
  const std::string utf8 = "Comunicación exitosa ñÑ ü ¿¡";
  const std::string ansi = Utf8ToAnsi(utf8);
  EXPECT_EQ(ansi.size(), 28u);                            // one byte per character
  EXPECT_EQ(static_cast<unsigned char>(ansi[10]), 0xF3);  // ó in Windows-1252
  EXPECT_EQ(AnsiToUtf8(ansi), utf8);
  const std::string oem = Utf8ToOem(utf8);
  EXPECT_EQ(static_cast<unsigned char>(oem[10]), 0xA2);  // ó in CP850
  EXPECT_EQ(OemToUtf8(oem), utf8);
}

TEST(CodePage, CharacterWithoutEquivalentBecomesOneQuestionMark) {
  // The euro sign exists in Windows-1252 (0x80) but not in CP850; the CJK character in neither.
  const Converted to_oem = ConvertText("a€b", CodePage::Utf8, CodePage::Cp850);
  EXPECT_FALSE(to_oem.exact);
  EXPECT_EQ(to_oem.text, "a?b");
  const Converted to_ansi = ConvertText("x漢y€", CodePage::Utf8, CodePage::Cp1252);
  EXPECT_FALSE(to_ansi.exact);
  EXPECT_EQ(to_ansi.text, "x?y\x80");
}

TEST(CodePage, BytesUndefinedInTheSourceAndBrokenUtf8AreFlaggedNotDropped) {
  // 0x81 is not assigned in Windows-1252: iconv's stand-in for it is flagged, since '?' is a
  // byte of its own; the exact form keeps the byte.
  const Converted from_ansi = ConvertText("a\x81z", CodePage::Cp1252, CodePage::Utf8);
  EXPECT_FALSE(from_ansi.exact);
  EXPECT_EQ(Utf8ToAnsiExact(AnsiToUtf8Exact("a\x81z")).text, "a\x81z");
  // A UTF-8 sequence cut at the end of the text.
  const Converted cut = ConvertText("ab\xC3", CodePage::Utf8, CodePage::Cp1252);
  EXPECT_EQ(cut.text, "ab?");
  EXPECT_FALSE(cut.exact);
}

TEST(CodePage, LongTextsCrossTheInternalBufferIntact) {
  std::string utf8;
  for (int i = 0; i < 1000; ++i) utf8 += "añ";
  const Converted ansi = ConvertText(utf8, CodePage::Utf8, CodePage::Cp1252);
  EXPECT_TRUE(ansi.exact);
  EXPECT_EQ(ansi.text.size(), 2000u);
  EXPECT_EQ(AnsiToUtf8(ansi.text), utf8);
}

TEST(CodePageExact, EveryByteSurvivesAReadAndWriteBack) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::string utf8 = AnsiToUtf8Exact(byte);
    EXPECT_EQ(Utf8ToAnsiExact(utf8).text, byte) << b;
    // iconv, an independent table, agrees on every byte Windows-1252 defines.
    if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) {
      EXPECT_EQ(utf8, AnsiToUtf8(byte)) << b;
    }
  }
}

TEST(CodePageExact, ArchiveNamesReadAsIconvReadsCodePage850) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(OemToUtf8(byte), ConvertText(byte, CodePage::Cp850, CodePage::Utf8).text) << b;
    all += byte;
  }
  EXPECT_EQ(Utf8ToOem(OemToUtf8(all)), all);
}

TEST(CodePageExact, UnmappableAndMalformedInputBecomesQuestionMarks) {
  const std::pair<const char*, const char*> rows[] = {
      {"Pe\xC3\xB1\xC3\xB3n \xE2\x82\xAC", "Pe\xF1\xF3n \x80"},  // Peñón €: exact
      {"\xE6\x97\xA5x", "?x"},                                   // a CJK character
      {"\xF0\x9F\x98\x80", "?"},                                 // an emoji
      {"\xC0\xAF", "??"},                                        // overlong '/'
      {"\xED\xA0\x80", "???"},                                   // a surrogate
      {"\x80z", "?z"},                                           // a lone continuation
      {"ab\xC3", "ab?"},                                         // cut at the end
      {"\xC2\x80", "?"},  // U+0080 has no byte: 0x80 is the euro sign
  };
  for (const auto& [utf8, ansi] : rows) {
    const Converted c = Utf8ToAnsiExact(utf8);
    EXPECT_EQ(c.text, ansi) << utf8;
    EXPECT_EQ(c.exact, std::string(ansi).find('?') == std::string::npos) << utf8;
  }
}

}  // namespace
}  // namespace marvolen
