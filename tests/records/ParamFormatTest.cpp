#include <gtest/gtest.h>

#include "records/ParamFormat.h"

namespace marvolen {
namespace {

// Number slots read a text as the rest of the station does: leading blanks are taken, a
// trailing one is not.
TEST(ParamFormat, NumberTextsConvertStrictlyOrGiveZero) {
  const std::pair<const char*, int32_t> rows[] = {{"-5", -5},
                                                  {"+12", 12},
                                                  {"007", 7},
                                                  {"2147483647", INT32_MAX},
                                                  {"-2147483648", INT32_MIN},
                                                  {"2147483648", 0},
                                                  {"-2147483649", 0},
                                                  {"", 0},
                                                  {"abc", 0},
                                                  {"-", 0},
                                                  {"+-5", 0},
                                                  {"--5", 0},
                                                  {" 5", 5},
                                                  {"   -5", -5},
                                                  {"5 ", 0},
                                                  {"1e3", 0},
                                                  {"0x10", 0}};
  for (const auto& [text, stored] : rows) EXPECT_EQ(TextToIntOrZero(text), stored) << text;
}

}  // namespace
}  // namespace marvolen
