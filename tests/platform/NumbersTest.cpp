#include "platform/Numbers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace marvolen {
namespace {

TEST(Numbers, OneRuleForEveryStrictConversion) {
  const std::pair<const char*, std::optional<int32_t>> rows[] = {
      {"1", 1},           {"  7", 7},
      {"  -7", -7},       {"+7", 7},
      {"007", 7},         {"7 ", {}},
      {"", {}},           {"   ", {}},
      {"-", {}},          {"+-5", {}},
      {"- 1", {}},        {"1x", {}},
      {"1.5", {}},        {"0x1A", {}},
      {"1e3", {}},        {"2147483647", INT32_MAX},
      {"2147483648", {}}, {"-2147483648", INT32_MIN},
      {"-2147483649", {}}};
  for (const auto& [text, value] : rows) {
    EXPECT_EQ(TryStrToInt(text), value) << text;
    if (value) {
      EXPECT_EQ(StrToInt(text), *value) << text;
      continue;
    }
    try {
      StrToInt(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(text) + "' is not a valid integer value");
      EXPECT_EQ(e.text(), text);
    }
  }
}

TEST(Numbers, AContextFollowsTheMessage) {
  const ConversionError e("1,31", "lista de archivos de la oficina, TARIFA.TBL");
  EXPECT_EQ(std::string(e.what()),
            "'1,31' is not a valid integer value (lista de archivos de la oficina, TARIFA.TBL)");
  EXPECT_EQ(e.text(), "1,31");
}

}  // namespace
}  // namespace marvolen
