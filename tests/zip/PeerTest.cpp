// The component against independent ZIP programs: what it writes must satisfy Info-ZIP,
// bsdtar and python's zipfile, and what they write it must unpack as Info-ZIP does.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "TestSupport.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::Shell;
using testing::WriteFile;

std::string RandomBytes(size_t size) {
  std::mt19937 gen(42);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

class Peers : public testing::ScratchDir {
 protected:
  void Pack(const std::string& archive, std::initializer_list<const char*> masks) {
    TZipArchiver zip;
    zip.SetFileName(archive);
    zip.OpenZip(kOpenCreate);
    for (const char* mask : masks) zip.AddMatching(mask, kStationAttrMask, "");
    zip.CloseZip();
  }
  // "name size crc" lines as the component itself reads the archive.
  static std::string OwnListing(const std::string& archive) {
    TZipArchiver zip;
    zip.SetFileName(archive);
    zip.OpenZip(kOpenRead);
    std::string out;
    for (size_t i = 0; i < zip.Count(); ++i) {
      const EntryRecord& e = zip.Entry(i);
      char crc[16];
      std::snprintf(crc, sizeof crc, "%08x", e.header.crc32);
      out += e.StoredName + " " + std::to_string(e.header.uncompressed_size) + " " + crc + "\n";
    }
    return out;
  }
  // Extracts `archive` with the component into `ours` and with unzip into `theirs`; both
  // trees must be byte for byte the same.
  void ExpectSameExtraction(const std::string& archive) {
    TZipArchiver zip;
    zip.SetFileName(archive);
    zip.OnProcessFileFailure = [](TBaseArchiver&, const std::string& name, TArchiveOperation, int,
                                  int, const std::string& message,
                                  TArchiveAction&) { ADD_FAILURE() << name << ": " << message; };
    zip.OpenZip(kOpenRead);
    zip.SetBaseDir("ours");
    zip.ExtractMatching("*.*", kStationAttrMask, "");
    zip.CloseZip();
    ASSERT_EQ(Shell("unzip -q -o " + archive + " -d theirs").status, 0) << archive;
    const auto diff = Shell("diff -r ours theirs");
    EXPECT_EQ(diff.status, 0) << archive << "\n" << diff.output;
    fs::remove_all("ours");
    fs::remove_all("theirs");
  }
};

TEST_F(Peers, EveryWriterArchiveSatisfiesInfoZipBsdtarAndPython) {
  WriteFile("tablas/vacio.tbl", "");
  WriteFile("tablas/uno.tbl", "1");
  WriteFile("tablas/Tarifa Nacional.TBL", testing::TableLikeBytes(524289, 5));
  WriteFile("tablas/ruido.bin", RandomBytes(70000));  // deflate makes it larger
  WriteFile("tablas/LEEME", testing::TableLikeBytes(3000, 6));
  WriteFile("upgrade/prog.exe", testing::TableLikeBytes(1048577, 8));
  Pack("envio.zip", {"tablas\\*.*", "upgrade\\*.*"});
  const auto unzip = Shell("unzip -t envio.zip");
  EXPECT_EQ(unzip.status, 0) << unzip.output;
  const auto bsdtar = Shell("bsdtar -tvf envio.zip");
  EXPECT_EQ(bsdtar.status, 0) << bsdtar.output;
  EXPECT_NE(bsdtar.output.find("tablas/Tarifa Nacional.TBL"), std::string::npos);
  const auto bsdtar_data = Shell("bsdtar -xOf envio.zip > /dev/null");
  EXPECT_EQ(bsdtar_data.status, 0) << bsdtar_data.output;
  const auto python = Shell("python3 -m zipfile -t envio.zip");
  EXPECT_EQ(python.output.find("corrupt"), std::string::npos) << python.output;
  EXPECT_NE(python.output.find("Done testing"), std::string::npos) << python.output;
  EXPECT_EQ(testing::PythonListing("envio.zip"), OwnListing("envio.zip"));
  ExpectSameExtraction("envio.zip");
}

TEST_F(Peers, InfoZipArchivesUnpackAsUnzipUnpacksThem) {
  WriteFile("src/tablas/a.tbl", testing::TableLikeBytes(200000, 1));
  WriteFile("src/tablas/vacio.tbl", "");
  WriteFile("src/dias/01122026.daw", testing::TableLikeBytes(4000, 2));
  WriteFile("src/ruido.bin", RandomBytes(5000));  // Info-ZIP stores it
  fs::create_directories("src/vacio");
  const char* const kCommands[] = {
      "cd src && zip -q -1 -r ../nivel1.zip .",
      "cd src && zip -q -0 -r ../guardado.zip .",
      "cd src && zip -q -r -D ../sin_directorios.zip .",
      "cd src && zip -q -r ../comentario.zip . && echo 'comentario del archivo' | zip -q -z "
      "../comentario.zip",
      "cd src && zip -q -r - . | cat > ../flujo.zip",  // data descriptors
  };
  for (const char* command : kCommands) ASSERT_EQ(Shell(command).status, 0) << command;
  ASSERT_NE(Shell("zipinfo -v flujo.zip")
                .output.find("extended local header:                          yes"),
            std::string::npos);
  for (const char* archive :
       {"nivel1.zip", "guardado.zip", "sin_directorios.zip", "comentario.zip", "flujo.zip"}) {
    ExpectSameExtraction(archive);
  }
}

TEST_F(Peers, PythonArchivesUnpackAsUnzipUnpacksThem) {
  ASSERT_EQ(Shell("python3 -c 'import zipfile\n"
                  "with zipfile.ZipFile(\"py.zip\", \"w\") as z:\n"
                  "    z.writestr(\"deflated.txt\", \"hola \" * 5000, zipfile.ZIP_DEFLATED)\n"
                  "    z.writestr(\"stored/s.bin\", bytes(range(256)) * 20)\n"
                  "    z.writestr(\"año.daw\", \"utf-8 name\", zipfile.ZIP_DEFLATED)\n"
                  "    z.writestr(\"dir/\", \"\")'")
                .status,
            0);
  ExpectSameExtraction("py.zip");
}

}  // namespace
}  // namespace marvolen
