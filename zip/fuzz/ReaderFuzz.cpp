// libFuzzer target for the archive reader: any bytes as "recibo.zip" go through the
// receiver's calls (validity test, opening with and without damage tolerance, extraction)
// and through the checking run. Whatever the bytes, the component may only answer with its
// own errors; every file it writes must stay inside the extraction directory.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "zip/ZipArchiver.h"

namespace {

namespace fs = std::filesystem;

struct Scratch {
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "marvolen-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    archive = root / "recibo.zip";
    out = root / "out";
  }
  fs::path root, archive, out;
};

Scratch& Dirs() {
  static Scratch scratch;
  return scratch;
}

void Run(bool tolerate, bool extract) {
  marvolen::TZipArchiver zip;
  zip.SetFileName(Dirs().archive.string());
  zip.SetTolerateDamage(tolerate);
  zip.Options().FlushBuffers = false;  // speed: the disk is not what is being tested
  zip.OnProcessFileFailure = [](marvolen::TBaseArchiver&, const std::string&,
                                marvolen::TArchiveOperation, int, int, const std::string&,
                                marvolen::TArchiveAction&) {};
  try {
    zip.IsZipValid();
    zip.OpenZip(marvolen::kOpenRead);
    for (size_t i = 0; i < zip.Count(); ++i) (void)zip.Entry(i).StoredName.size();
    zip.TestMatching();
    if (extract) {
      zip.SetBaseDir(Dirs().out.string());
      zip.ExtractMatching();
    }
    zip.CloseZip();
  } catch (const marvolen::EArchiveError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(Dirs().archive.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  Run(false, false);
  Run(true, true);
  // Nothing may appear beside the archive and the extraction directory.
  for (const auto& e : fs::directory_iterator(Dirs().root)) {
    if (e.path() != Dirs().archive && e.path() != Dirs().out) std::abort();
  }
  std::error_code ec;
  fs::remove_all(Dirs().out, ec);
  return 0;
}
