#include <gtest/gtest.h>

#include "sim/OfficeOptions.h"

namespace marvolen::office {
namespace {

const std::vector<std::string> kRequired = {"--station", "127.0.0.1:5607", "--dir",
                                            "/tmp/of7",  "--number",       "7"};

std::vector<std::string> With(std::vector<std::string> extra) {
  std::vector<std::string> args = kRequired;
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(OptionsTest, DefaultsForAPlainOffice) {
  const OfficeOptions o = ParseOptions(kRequired);
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, "5607");
  EXPECT_EQ(o.dir, "/tmp/of7");
  EXPECT_EQ(o.identity.number, 7);
  EXPECT_EQ(o.identity.kind, TableKind::Tbl);
  EXPECT_TRUE(o.identity.features);
  EXPECT_EQ(o.identity.device_id, "SIMULADO");
  EXPECT_FALSE(o.traffic_flag);
  EXPECT_EQ(o.timeout, Millis(120000));
  EXPECT_FALSE(o.wrong_password || o.differing_halves || o.misbehave.never_identify);
  EXPECT_EQ(o.misbehave.stop_ack_after, -1);
  EXPECT_EQ(o.misbehave.drop, DropDuring::None);
  EXPECT_EQ(o.misbehave.archive, ArchiveFault::None);
}

TEST(OptionsTest, EveryOptionIsTaken) {
  const OfficeOptions o = ParseOptions(With({"--password",
                                             "ñandú",
                                             "--tables=tab",
                                             "--traffic",
                                             "S",
                                             "--no-features",
                                             "--device-id",
                                             "KEY1",
                                             "--program",
                                             "P1",
                                             "--version-text",
                                             "V2",
                                             "--serial",
                                             "N3",
                                             "--timeout",
                                             "5",
                                             "--wrong-password",
                                             "--differing-halves",
                                             "--never-identify",
                                             "--stop-ack-after",
                                             "0",
                                             "--drop-in-transfer",
                                             "send",
                                             "--bad-archive=hostile"}));
  EXPECT_EQ(o.identity.password,
            "\xF1"
            "and\xFA");  // Windows-1252 on the line
  EXPECT_EQ(o.identity.kind, TableKind::Tab);
  EXPECT_EQ(o.traffic_flag, 'S');
  EXPECT_FALSE(o.identity.features);
  EXPECT_EQ(o.identity.device_id, "KEY1");
  EXPECT_EQ(o.identity.program, "P1");
  EXPECT_EQ(o.identity.version, "V2");
  EXPECT_EQ(o.identity.serial, "N3");
  EXPECT_EQ(o.timeout, Millis(5000));
  EXPECT_TRUE(o.wrong_password && o.differing_halves && o.misbehave.never_identify);
  EXPECT_EQ(o.misbehave.stop_ack_after, 0);
  EXPECT_EQ(o.misbehave.drop, DropDuring::Send);
  EXPECT_EQ(o.misbehave.archive, ArchiveFault::Hostile);
  EXPECT_EQ(ParseOptions(With({"--station", "[::1]:99"})).host, "::1");
}

TEST(OptionsTest, BadCommandLinesNameTheirFault) {
  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{"--dir", "d", "--number", "1"}, "--station HOST:PORT is required"},
      {{"--station", "h:1", "--number", "1"}, "--dir DIR is required"},
      {{"--station", "h:1", "--dir", "d"}, "--number N is required"},
      {With({"--station", "nohost"}), "--station wants HOST:PORT, not \"nohost\""},
      {With({"--station", "h:0"}),
       "--station's port wants a whole number from 1 to 65535, not \"0\""},
      {With({"--number", "100000"}),
       "--number wants a whole number from 0 to 99999, not \"100000\""},
      {With({"--number", "7x"}), "--number wants a whole number from 0 to 99999, not \"7x\""},
      {With({"--tables", "cos"}), "--tables wants one of tab, tbl, not \"cos\""},
      {With({"--traffic", "SN"}), "--traffic wants auto or one character, not \"SN\""},
      {With({"--password", "a\rb"}),
       "--password holds a character that cannot go on the line: \"a\rb\""},
      {With({"--password", "€uro✓"}),
       "--password holds a character that cannot go on the line: \"€uro✓\""},
      {With({"--drop-in-transfer", "both"}),
       "--drop-in-transfer wants one of receive, send, not \"both\""},
      {With({"--timeout"}), "--timeout wants a value"},
      {With({"--never-identify=yes"}), "unknown option \"--never-identify=yes\""},
      {With({"extra"}), "unknown option \"extra\""},
  };
  for (const Row& r : rows) {
    try {
      ParseOptions(r.args);
      ADD_FAILURE() << "accepted: " << r.message;
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), r.message);
    }
  }
}

TEST(OptionsTest, HelpNeedsNothingElse) {
  EXPECT_TRUE(ParseOptions({"--help"}).help);
  EXPECT_TRUE(ParseOptions({"-h"}).help);
  EXPECT_NE(UsageText().find("--bad-archive"), std::string::npos);
}

}  // namespace
}  // namespace marvolen::office
