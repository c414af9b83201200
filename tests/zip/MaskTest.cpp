#include <gtest/gtest.h>

#include <string>

#include "zip/ArchiveError.h"
#include "zip/FileSelection.h"

namespace marvolen {
namespace {

struct MaskRow {
  const char* name;
  const char* mask;
  bool matches;
};

class MaskMatchTest : public ::testing::TestWithParam<MaskRow> {};

TEST_P(MaskMatchTest, Matches) {
  const MaskRow& row = GetParam();
  EXPECT_EQ(MatchesMask(row.name, row.mask), row.matches) << row.name << " vs " << row.mask;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MaskMatchTest,
    ::testing::Values(MaskRow{"Tarifa.Tbl", "*.tbl", true}, MaskRow{"TARIFA.TBL", "tarifa.*", true},
                      MaskRow{"tarifa", "*.*", false},  // the matcher itself wants the dot
                      MaskRow{"a.b.c", "*.c", true}, MaskRow{"abc", "a?c", true},
                      MaskRow{"ac", "a?c", false}, MaskRow{"", "*", true}, MaskRow{"x", "", false},
                      MaskRow{"ÁRBOL.tbl", "árbol.TBL", true},
                      MaskRow{"añ.x", "a?.x", true},  // one UTF-8 character for one "?"
                      MaskRow{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*c", false},
                      MaskRow{"/base/tablas/D.", "/base/tablas/*.*", true}));

TEST(MaskMatch, ThirtyStarRunsAreTakenAndTheThirtyFirstIsRefused) {
  std::string thirty;
  for (int i = 0; i < 30; ++i) thirty += "*a";
  EXPECT_TRUE(MatchesMask(std::string(30, 'a'), thirty));
  EXPECT_TRUE(MatchesMask("x", "**********x"));  // adjacent stars are one run
  const std::string refused = thirty + "*";
  try {
    MatchesMask("a", refused);
    FAIL() << "a mask of 31 star runs was accepted";
  } catch (const EInvalidMask& e) {
    EXPECT_EQ(std::string(e.what()),
              "'" + refused + "' is an invalid mask at (" + std::to_string(refused.size()) + ")");
  }
}

TEST(ListingPattern, StarDotStarListsNamesWithoutADot) {
  EXPECT_TRUE(MatchesListingPattern("LEEME", "*.*"));
  EXPECT_TRUE(MatchesListingPattern("tar", "t*.*"));
  EXPECT_FALSE(MatchesListingPattern("tar", "*.tbl"));
  EXPECT_TRUE(MatchesListingPattern("a.TBL", "*.tbl"));
}

struct StoredNameRow {
  const char* path;
  const char* base;
  TStorePathMode mode;
  const char* stored;
};

class StoredNameTest : public ::testing::TestWithParam<StoredNameRow> {};

TEST_P(StoredNameTest, Forms) {
  const StoredNameRow& row = GetParam();
  EXPECT_EQ(StoredNameOf(row.path, row.base, row.mode), row.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StoredNameTest,
    ::testing::Values(StoredNameRow{"/st/tablas/Tarifa.Tbl", "/st", spRelativePath,
                                    "tablas/Tarifa.Tbl"},
                      StoredNameRow{"/st/tablas/D/", "/st", spRelativePath, "tablas/D"},
                      StoredNameRow{"/st/tablas/a.tbl", "/st/", spNoPath, "a.tbl"},
                      StoredNameRow{"/st/tablas/a.tbl", "/st", spFullPath, "st/tablas/a.tbl"},
                      // Outside the base directory the full path is kept rather than "../".
                      StoredNameRow{"/other/a.tbl", "/st", spRelativePath, "other/a.tbl"},
                      StoredNameRow{"tablas\\b.tbl", "/st", spRelativePath, "tablas/b.tbl"}));

}  // namespace
}  // namespace marvolen
