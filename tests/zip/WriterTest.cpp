#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

#include <ctime>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/Clock.h"
#include "platform/DosTime.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

using testing::ReadFile;
using testing::U16;
using testing::U32;
using testing::WriteFile;

// The raw deflate stream zlib gives at `level` when fed `chunk` bytes per call, with a sync
// flush after each call but the last.
std::string RawDeflate(const std::string& data, int level, size_t chunk) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  for (size_t at = 0; at < data.size(); at += chunk) {
    const size_t n = std::min(chunk, data.size() - at);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
    z.avail_in = static_cast<uInt>(n);
    const int flush = at + n >= data.size() ? Z_FINISH : Z_SYNC_FLUSH;
    do {
      char buffer[65536];
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      deflate(&z, flush);
      out.append(buffer, sizeof buffer - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), s.size()));
}

struct Parsed {
  std::string name;
  uint16_t method, time, date;
  uint32_t crc, csize, usize, attributes, offset;
  std::string data;
};

// Walks an archive written by the component, checking every fixed field of the layout on
// the way, and returns its entries.
std::vector<Parsed> ParseArchive(const std::string& b) {
  std::vector<Parsed> entries;
  size_t at = 0;
  while (U32(b, at) == 0x04034B50) {
    Parsed p;
    EXPECT_EQ(U16(b, at + 4), 20);  // version needed
    EXPECT_EQ(U16(b, at + 6), 0);   // no flags: no data descriptor
    p.method = U16(b, at + 8);
    p.time = U16(b, at + 10);
    p.date = U16(b, at + 12);
    p.crc = U32(b, at + 14);
    p.csize = U32(b, at + 18);
    p.usize = U32(b, at + 22);
    const uint16_t n = U16(b, at + 26);
    EXPECT_EQ(U16(b, at + 28), 0);
    p.name = b.substr(at + 30, n);
    p.data = b.substr(at + 30 + n, p.csize);
    p.offset = static_cast<uint32_t>(at);
    entries.push_back(p);
    at += 30 + n + p.csize;
  }
  const size_t cd = at;
  for (Parsed& p : entries) {
    EXPECT_EQ(U32(b, at), 0x02014B50u);
    EXPECT_EQ(U16(b, at + 4), 20);
    EXPECT_EQ(U16(b, at + 6), 20);
    EXPECT_EQ(U16(b, at + 8), 0);
    EXPECT_EQ(U16(b, at + 10), p.method);
    EXPECT_EQ(U16(b, at + 12), p.time);
    EXPECT_EQ(U16(b, at + 14), p.date);
    EXPECT_EQ(U32(b, at + 16), p.crc);
    EXPECT_EQ(U32(b, at + 20), p.csize);
    EXPECT_EQ(U32(b, at + 24), p.usize);
    EXPECT_EQ(U16(b, at + 28), p.name.size());
    EXPECT_EQ(U16(b, at + 30), 0);
    EXPECT_EQ(U16(b, at + 32), 0);
    EXPECT_EQ(U16(b, at + 34), 0);
    EXPECT_EQ(U16(b, at + 36), 0);
    p.attributes = U32(b, at + 38);
    EXPECT_EQ(U32(b, at + 42), p.offset);
    EXPECT_EQ(b.substr(at + 46, p.name.size()), p.name);
    at += 46 + p.name.size();
  }
  EXPECT_EQ(U32(b, at), 0x06054B50u);
  EXPECT_EQ(U32(b, at + 4), 0u);  // disk numbers
  EXPECT_EQ(U16(b, at + 8), entries.size());
  EXPECT_EQ(U16(b, at + 10), entries.size());
  EXPECT_EQ(U32(b, at + 12), at - cd);
  EXPECT_EQ(U32(b, at + 16), cd);  // the length of all local headers, names and data
  EXPECT_EQ(U16(b, at + 20), 0);
  EXPECT_EQ(b.size(), at + 22);
  return entries;
}

class Writer : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    zip_.SetFileName("envio.zip");
  }
  // Sets a file's last-write time to a known local time.
  static DosDateTime Stamp(const char* path, int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    const utimbuf times{t, t};
    ::utime(path, &times);
    return ToDosDateTime(t);
  }
  void Build() {
    zip_.OpenZip(kOpenCreate);
    zip_.SetBaseDir("");
    zip_.Options().StorePath = spRelativePath;
    zip_.AddMatching("tablas\\*.*", kStationAttrMask, "");
    zip_.AddMatching("upgrade\\*.*", kStationAttrMask, "");
    zip_.CloseZip();
  }
  VirtualClock clock_;
  TZipArchiver zip_{"Zipper1", &clock_};
};

TEST_F(Writer, StationBuildHasTheBindingLayout) {
  const std::string table = testing::TableLikeBytes(1000, 1);
  WriteFile("tablas/Tarifa.Tbl", table);
  WriteFile("tablas/vacio.tbl", "");
  WriteFile("upgrade/prog.exe", "MZ");
  ::chmod("upgrade/prog.exe", 0444);
  const DosDateTime stamp = Stamp("tablas/Tarifa.Tbl", 2026, 3, 14, 9, 26);
  Build();
  const auto entries = ParseArchive(ReadFile("envio.zip"));
  ASSERT_EQ(entries.size(), 3u);
  const Parsed& t = entries[0];
  EXPECT_EQ(t.name, "tablas/Tarifa.Tbl");
  EXPECT_EQ(t.method, 8);
  EXPECT_EQ(t.date, stamp.date);
  EXPECT_EQ(t.time, stamp.time);
  EXPECT_EQ(t.crc, Crc(table));
  EXPECT_EQ(t.usize, table.size());
  EXPECT_EQ(t.data, RawDeflate(table, 1, 524288));
  EXPECT_EQ(t.attributes, 0x20u);
  const Parsed& empty = entries[1];  // stored, CRC 0, no data
  EXPECT_EQ(empty.name, "tablas/vacio.tbl");
  EXPECT_EQ(empty.method, 0);
  EXPECT_EQ(empty.crc, 0u);
  EXPECT_EQ(empty.csize, 0u);
  EXPECT_EQ(empty.usize, 0u);
  EXPECT_EQ(entries[2].name, "upgrade/prog.exe");
  EXPECT_EQ(entries[2].attributes, 0x21u);  // read-only travels in the attributes
}

TEST_F(Writer, NothingToPackGivesTheBareEndRecord) {
  zip_.OpenZip(kOpenCreate);
  EXPECT_EQ(ReadFile("envio.zip"), "");  // created empty, nothing written yet
  Build();
  EXPECT_EQ(ReadFile("envio.zip"), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

TEST_F(Writer, DirectoryEntryKeepsItsOwnLayoutAndItsContentFollows) {
  WriteFile("tablas/D/E/x.tbl", "x");
  Build();
  const auto entries = ParseArchive(ReadFile("envio.zip"));
  ASSERT_EQ(entries.size(), 3u);
  const Parsed& d = entries[0];
  EXPECT_EQ(d.name, "tablas/D/");
  EXPECT_EQ(d.method, 8);
  EXPECT_EQ(d.crc, 0xFFFFFFFFu);
  EXPECT_EQ(d.csize, 0u);
  EXPECT_EQ(d.usize, 0u);
  EXPECT_EQ(d.attributes, 0x10u);
  const DosDateTime now = ToDosDateTime(std::chrono::system_clock::to_time_t(clock_.WallNow()));
  EXPECT_EQ(d.date, now.date);
  EXPECT_EQ(d.time, now.time);
  EXPECT_EQ(entries[1].name, "tablas/D/E/");
  EXPECT_EQ(entries[2].name, "tablas/D/E/x.tbl");
}

TEST_F(Writer, NamesAreStoredInTheOemCodePage) {
  WriteFile("tablas/Ñandú.tbl", "n");
  Build();
  const auto entries = ParseArchive(ReadFile("envio.zip"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name,
            "tablas/\xA5"
            "and\xA3.tbl");  // Ñ 0xA5, ú 0xA3, one byte each
}

TEST_F(Writer, EachAddMatchingLeavesACompleteArchive) {
  WriteFile("tablas/a.tbl", "aaaa");
  WriteFile("upgrade/u.exe", "uuuu");
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  TZipArchiver reader;
  reader.SetFileName("envio.zip");
  ASSERT_TRUE(reader.IsZipValid());
  EXPECT_EQ(ParseArchive(ReadFile("envio.zip")).size(), 1u);
  zip_.AddMatching("upgrade/*.*");
  const auto entries = ParseArchive(ReadFile("envio.zip"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, "upgrade/u.exe");
}

TEST_F(Writer, TheTwoViewsOfTheCompressionSetting) {
  zip_.SetCompressionLevel(clNormal);
  EXPECT_EQ(zip_.CompressionMode(), 6);
  zip_.SetCompressionLevel(clMax);
  EXPECT_EQ(zip_.CompressionMode(), 9);
  const std::pair<int, TCompressionLevel> rows[] = {{0, clNone},   {1, clFastest}, {3, clFastest},
                                                    {4, clNormal}, {6, clNormal},  {7, clMax}};
  for (const auto& [mode, level] : rows) {
    zip_.SetCompressionMode(mode);
    EXPECT_EQ(zip_.CompressionLevel(), level) << mode;
  }
  try {
    zip_.SetCompressionMode(10);
    FAIL() << "mode 10 accepted";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.NativeError(), kErrCompressionMode);
  }
  EXPECT_EQ(zip_.CompressionMode(), 7);  // the refused mode changed nothing
}

TEST_F(Writer, ModeZeroStoresTheBytes) {
  WriteFile("tablas/a.tbl", "plain bytes");
  zip_.SetCompressionMode(0);
  Build();
  const auto entries = ParseArchive(ReadFile("envio.zip"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].method, 0);
  EXPECT_EQ(entries[0].data, "plain bytes");
}

TEST_F(Writer, ChunkingMatchesZlibRawDeflateAtLevelOne) {
  for (const size_t size : {size_t{524288}, size_t{524289}}) {
    const std::string data = testing::TableLikeBytes(size, 7);
    WriteFile("tablas/big.tbl", data);
    Build();
    const auto entries = ParseArchive(ReadFile("envio.zip"));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, RawDeflate(data, 1, 524288)) << size;
    // One byte past the chunk there is a sync-flush point, so one deflate call differs.
    EXPECT_EQ(entries[0].data == RawDeflate(data, 1, size), size == 524288) << size;
  }
}

TEST_F(Writer, EveryEntryOfOneArchiveIsAFreshZlibStream) {
  // Entries of every kind one after the other, and a level change half-way: each entry's
  // data is what a deflate stream of its own gives.
  const std::vector<size_t> sizes = {5000, 0, 524289, 1, 70000, 524288, 3};
  for (size_t i = 0; i < sizes.size(); ++i) {
    WriteFile("tablas/f" + std::to_string(i) + ".tbl", testing::TableLikeBytes(sizes[i], 9 + i));
  }
  WriteFile("upgrade/g.exe", testing::TableLikeBytes(90000, 3));
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas\\*.*", kStationAttrMask, "");
  zip_.SetCompressionMode(9);
  zip_.AddMatching("upgrade\\*.*", kStationAttrMask, "");
  zip_.CloseZip();
  const auto entries = ParseArchive(ReadFile("envio.zip"));
  ASSERT_EQ(entries.size(), sizes.size() + 1);
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string data = testing::TableLikeBytes(sizes[i], 9 + i);
    EXPECT_EQ(entries[i].data, sizes[i] == 0 ? "" : RawDeflate(data, 1, 524288)) << i;
    EXPECT_EQ(entries[i].crc, Crc(data)) << i;
  }
  EXPECT_EQ(entries.back().data, RawDeflate(testing::TableLikeBytes(90000, 3), 9, 1572864));
}

TEST_F(Writer, ANameFoundTwiceInOneSearchIsOneEntry) {
  WriteFile("tablas/a.tbl", "a");
  WriteFile("tablas/b.tbl", "bb");
  WriteFile("tablas/c.tbl", "ccc");
  // Every file is renamed to one name, in changing letter case: the last one found wins.
  int n = 0;
  zip_.OnStoreFile = [&](std::string& name, uint32_t&, std::string&) {
    name = ++n % 2 != 0 ? "tablas\\uno.tbl" : "TABLAS\\UNO.TBL";
  };
  Build();
  const auto entries = ParseArchive(ReadFile("envio.zip"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "tablas/uno.tbl");
  EXPECT_EQ(entries[0].usize, 3u);
}

TEST_F(Writer, RefusalsOfTheComponent) {
  auto native = [](auto&& call) {
    try {
      call();
    } catch (const EArchiveError& e) {
      return e.NativeError();
    }
    return 0;
  };
  try {
    zip_.AddMatching("tablas/*.*");
    FAIL() << "a closed archive took files";
  } catch (const EArchiveError& e) {
    EXPECT_STREQ(e.what(), "Zipper1: Archive is not open - Native error: 00013");
  }
  zip_.SetFileName("tablas/");
  EXPECT_EQ(native([&] { zip_.OpenZip(kOpenCreate); }), kErrBlankArchiveName);
  zip_.SetFileName("falta.zip");
  EXPECT_EQ(native([&] { zip_.OpenZip(kOpenRead); }), kErrFileNotFound);
  zip_.SetFileName("envio.zip");
  Build();
  zip_.OpenZip(kOpenRead);
  EXPECT_EQ(native([&] { zip_.AddMatching("tablas/*.*"); }), kErrReadOnlyArchive);
}

}  // namespace
}  // namespace marvolen
