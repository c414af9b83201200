#include "call/LineAssembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace marvolen {
namespace {

// Feeds `bytes` to one assembler the way the station's readers do and writes down what came
// out: "L:text" for each ended line (emptied afterwards), "O" for each over-long one.
struct Assembled {
  std::vector<std::string> events;
  std::string pending;
};

Assembled Feed(const std::string& bytes) {
  Assembled out;
  for (char c : bytes) {
    switch (AssembleLine(out.pending, c)) {
      case LineStep::kMore:
        break;
      case LineStep::kEnded:
        out.events.push_back("L:" + out.pending);
        out.pending.clear();
        break;
      case LineStep::kOverlong:
        out.events.emplace_back("O");
        break;
    }
  }
  return out;
}

TEST(LineAssembler, NoiseIsDroppedAndCrEndsTheLine) {
  struct Case {
    std::string bytes;
    std::vector<std::string> events;
    std::string pending;
  };
  const Case cases[] = {
      {"RING\r", {"L:RING"}, ""},
      {"\r\nOK\r\n", {"L:", "L:OK"}, ""},
      {"Id\bent\x0B=7\x0C\r", {"L:Ident=7"}, ""},
      {"Ident=7", {}, "Ident=7"},
      {"a\rb\r\rc", {"L:a", "L:b", "L:"}, "c"},
      // Only BS, LF, VT and FF are noise: other control bytes and NUL belong to the line.
      {std::string("x\0\x1B\x7F\x0D", 5), {std::string("L:x\0\x1B\x7F", 6)}, ""},
  };
  for (const Case& c : cases) {
    const Assembled got = Feed(c.bytes);
    EXPECT_EQ(got.events, c.events) << c.bytes;
    EXPECT_EQ(got.pending, c.pending) << c.bytes;
  }
}

TEST(LineAssembler, ALineOfTheLimitIsWhole) {
  const std::string longest(kMaxLineLength, 'x');
  EXPECT_EQ(Feed(longest + "\r").events, (std::vector<std::string>{"L:" + longest}));
  // Noise does not count towards the limit.
  EXPECT_EQ(Feed(longest + "\n\b\r").events, (std::vector<std::string>{"L:" + longest}));
}

TEST(LineAssembler, TheByteBeyondTheLimitStartsTheNextLine) {
  const std::string longest(kMaxLineLength, 'x');
  const Assembled got = Feed(longest + "ACK\r");
  EXPECT_EQ(got.events, (std::vector<std::string>{"O", "L:ACK"}));

  // An endless line never holds more than the limit: one over-long line per limit's worth.
  const Assembled endless = Feed(std::string(3 * kMaxLineLength + 10, 'y'));
  EXPECT_EQ(endless.events, (std::vector<std::string>{"O", "O", "O"}));
  EXPECT_EQ(endless.pending, std::string(10, 'y'));
}

}  // namespace
}  // namespace marvolen
