#include <gtest/gtest.h>

#include <algorithm>

#include "zip/ArchiveError.h"
#include "zip/Codec.h"

namespace marvolen {
namespace {

struct CatalogueRow {
  int native;
  int code;
  const char* text;  // as shown for component "Zipper1" with arguments "a.tbl" and "7"
};

class CatalogueTest : public ::testing::TestWithParam<CatalogueRow> {};

TEST_P(CatalogueTest, NumberCodeAndText) {
  const CatalogueRow& row = GetParam();
  const EArchiveError e("Zipper1", row.native, "a.tbl", "7");
  EXPECT_EQ(e.NativeError(), row.native);
  EXPECT_EQ(e.ErrorCode(), row.code);
  EXPECT_STREQ(e.what(), row.text);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CatalogueTest,
    ::testing::Values(
        CatalogueRow{kErrCompressionMode, 2,
                     "Zipper1: Invalid compression mode. Mode must be in [0-9] range - Native "
                     "error: 00005"},
        CatalogueRow{kErrDataCheck, 4,
                     "Zipper1: Invalid size or check sum of file or unsupported compression "
                     "format - Native error: 00008"},
        CatalogueRow{kErrFileNotFound, 6,
                     "Zipper1: File \"a.tbl\" not found - Native error: 00012"},
        CatalogueRow{kErrNotOpen, 7, "Zipper1: Archive is not open - Native error: 00013"},
        CatalogueRow{kErrBatchOpen, 13,
                     "Zipper1: Cannot proceed when update is not ended. Preceding EndUpdate "
                     "call is required. - Native error: 00026"},
        CatalogueRow{kErrOpenFile, 12, "Zipper1: Cannot open file \"a.tbl\" - Native error: 00033"},
        CatalogueRow{kErrShortRead, 17,
                     "Zipper1: Invalid compressed size, rfs.size = a.tbl, count = 7 - Native "
                     "error: 00034"},
        CatalogueRow{kErrZip64Source, 23,
                     "Zipper1: Cannot compress file 'a.tbl'. Zip64 mode is not enabled - "
                     "Native error: 00043"},
        CatalogueRow{kErrDamaged, 27,
                     "Zipper1: Archive is damaged. Open failed - Native error: 00048"},
        CatalogueRow{77, 0, "Zipper1: Unknown error - Native error: 00077"}));

TEST(ArchiveError, CentralDirectoryErrorsCarryNoComponentName) {
  EXPECT_STREQ(EArchiveError("", kErrOpenArchive).what(),
               "Cannot open archive file. Opening aborted or invalid file - Native error: 00044");
  EXPECT_STREQ(EArchiveError("", kErrNoZip64End).what(),
               "Cannot find Zip64 directory end record - Native error: 00040");
}

TEST(ArchiveError, MessageAloneAndTheOperatorLine) {
  const EArchiveError e("Zipper1", kErrOpenFile, "/home/tablas/a.tbl");
  EXPECT_EQ(e.Message(), "Cannot open file \"/home/tablas/a.tbl\"");
  EXPECT_EQ(FailureLogLine("/home/tablas/a.tbl", e.what()),
            "ERROR de descompresión:/home/tablas/a.tbl - Zipper1: Cannot open file "
            "\"/home/tablas/a.tbl\" - Native error: 00033");
}

// zlib's own failure keeps zlib's code, and its words are the station's.
TEST(ArchiveError, ZlibFailureCarriesItsCode) {
  EntryCompressor compressor;
  const ChunkReader read = [](char* buffer, size_t count) {
    std::fill(buffer, buffer + count, 'x');
    return count;
  };
  try {
    compressor.Compress(read, 10, 10, [](const char*, size_t) {});  // no such deflate level
    ADD_FAILURE() << "compressed";
  } catch (const StationError& e) {
    EXPECT_EQ(e.code(), std::error_code(-2, ZlibCategory())) << e.what();  // Z_STREAM_ERROR
    EXPECT_STREQ(e.what(), "zlib no puede iniciar la compresión");
    EXPECT_EQ(ReasonText(e.code()), "estado o parámetro de compresión no válido");
  }
}

TEST(ArchiveError, InvalidMaskText) {
  EXPECT_STREQ(EInvalidMask("a*b", 2).what(), "'a*b' is an invalid mask at (2)");
}

}  // namespace
}  // namespace marvolen
