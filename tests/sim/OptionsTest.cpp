#include <gtest/gtest.h>

#include "sim/OfficeOptions.h"

namespace marvolen::office {
namespace {

std::vector<std::string> With(std::vector<std::string> extra) {
  std::vector<std::string> args = {"--station", "127.0.0.1:5607", "--dir", "of7", "--number", "7"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(OptionsTest, DefaultsAndEveryOption) {
  const OfficeOptions plain = ParseOptions(With({}));
  EXPECT_EQ(plain.host + " " + plain.port + " " + plain.dir.string(), "127.0.0.1 5607 of7");
  EXPECT_EQ(plain.identity.kind, TableKind::Tbl);
  EXPECT_FALSE(plain.traffic_flag);
  EXPECT_EQ(plain.misbehave.stop_ack_after, -1);

  const OfficeOptions o = ParseOptions(With({"--password",
                                             "ñandú",
                                             "--tables=tab",
                                             "--traffic",
                                             "S",
                                             "--no-features",
                                             "--device-id",
                                             "KEY1",
                                             "--timeout",
                                             "5",
                                             "--wrong-password",
                                             "--differing-halves",
                                             "--never-identify",
                                             "--hang-up-on-ident",
                                             "--stop-ack-after",
                                             "0",
                                             "--drop-in-transfer",
                                             "send",
                                             "--slow-send",
                                             "7",
                                             "--bad-archive=hostile",
                                             "--keep-deleted",
                                             "gone",
                                             "--station",
                                             "[::1]:99"}));
  EXPECT_EQ(o.identity.password,
            "\xF1"
            "and\xFA");  // Windows-1252 on the line
  EXPECT_EQ(o.identity.kind, TableKind::Tab);
  EXPECT_EQ(o.traffic_flag, 'S');
  EXPECT_FALSE(o.identity.features);
  EXPECT_EQ(o.identity.device_id, "KEY1");
  EXPECT_EQ(o.timeout, Millis(5000));
  EXPECT_TRUE(o.wrong_password && o.differing_halves && o.misbehave.never_identify);
  EXPECT_TRUE(o.misbehave.hang_up_on_ident);
  EXPECT_EQ(o.misbehave.stop_ack_after, 0);
  EXPECT_EQ(o.misbehave.drop, DropDuring::Send);
  EXPECT_EQ(o.misbehave.slow_send, Millis(7000));
  EXPECT_EQ(o.misbehave.archive, ArchiveFault::Hostile);
  EXPECT_EQ(o.keep_deleted, "gone");
  EXPECT_TRUE(plain.keep_deleted.empty());
  EXPECT_EQ(o.host, "::1");
  EXPECT_TRUE(ParseOptions({"--help"}).help);
}

TEST(OptionsTest, BadCommandLinesNameTheirFault) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"--dir", "d", "--number", "1"}, "--station HOST:PORT is required"},
      {{"--station", "h:1", "--dir", "d"}, "--number N is required"},
      {With({"--station", "nohost"}), "--station wants HOST:PORT, not \"nohost\""},
      {With({"--number", "100000"}),
       "--number wants a whole number from 0 to 99999, not \"100000\""},
      {With({"--number", "7x"}), "--number wants a whole number from 0 to 99999, not \"7x\""},
      {With({"--tables", "cos"}), "--tables wants one of tab, tbl, not \"cos\""},
      {With({"--password", "a\rb"}),
       "--password holds a character that cannot go on the line: \"a\rb\""},
      {With({"--password", "✓"}), "--password holds a character that cannot go on the line: \"✓\""},
      {With({"--timeout"}), "--timeout wants a value"},
      {With({"--never-identify=yes"}), "unknown option \"--never-identify=yes\""},
  };
  for (const auto& [args, message] : rows) {
    try {
      ParseOptions(args);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

}  // namespace
}  // namespace marvolen::office
