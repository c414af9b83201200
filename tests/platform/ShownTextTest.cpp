#include "platform/ShownText.h"

#include <gtest/gtest.h>

namespace marvolen {
namespace {

using namespace std::string_literals;

TEST(ShownText, ControlBytesAreEscapedAndNothingIsCutAtANul) {
  EXPECT_EQ(ShownText("Ident=\x1B[2J\x07ok"), "Ident=\\x1B[2J\\x07ok");
  EXPECT_EQ(ShownText("a\0b.trf"s), "a\\x00b.trf");
  EXPECT_EQ(ShownText("tab\there\r\n\x7F"), "tab\\x09here\\x0D\\x0A\\x7F");
}

TEST(ShownText, PrintableTextAndLatinLettersPassUnchanged) {
  const std::string text = "Comunicación exitosa: TRAFICO\\TRAFICO.TRF ñÑ €";
  EXPECT_EQ(ShownText(text), text);
  // Applying it twice changes nothing more: the escapes themselves are printable.
  EXPECT_EQ(ShownText(ShownText("\x1B\x9B")), ShownText("\x1B\x9B"));
}

TEST(ShownText, C1ControlsAndBrokenUtf8AreEscaped) {
  EXPECT_EQ(ShownText("\xC2\x9B"
                      "31m"),
            "\\u009B31m");  // CSI as a UTF-8 character
  EXPECT_EQ(ShownText("\x9B"
                      "31m"),
            "\\x9B31m");                  // a lone 8-bit CSI byte
  EXPECT_EQ(ShownText("\xC3"), "\\xC3");  // cut sequence at the end
  EXPECT_EQ(ShownText("\xE2\x82"), "\\xE2\\x82");
  EXPECT_EQ(ShownText("\xED\xA0\x80"), "\\xED\\xA0\\x80");  // a surrogate is not UTF-8
}

}  // namespace
}  // namespace marvolen
