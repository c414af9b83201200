#include "transfer/TransferArchive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/Errors.h"
#include "platform/FileNames.h"
#include "platform/TempNames.h"
#include "zip/ArchiveError.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;

// What an office's archive could not be put in place as (`what`: "el directorio", "el
// archivo"), in the words the operator reads.
[[noreturn]] void CannotCreate(std::string_view what, const fs::path& path, std::error_code ec) {
  throw FileError(ec.value(), "No se puede crear " + std::string(what) + " " + path.string());
}

// Set up as the station reads every archive an office sends.
void PrepareForReading(TZipArchiver& zipper, const fs::path& archive) {
  zipper.SetTolerateDamage(true);
  zipper.SetFileName(archive.string());
}

// An office's archive is unpacked into its directory on the station, beside the parameter
// file that admits it: no entry may replace that file, whatever its letter case.
bool IsParameterFileName(const std::string& stored_name) {
  const size_t cut = stored_name.find_last_of("/\\");
  const std::string last = cut == std::string::npos ? stored_name : stored_name.substr(cut + 1);
  return EqualsNoCase(last, "MARVOLEN.TCP");
}

// A fresh directory beside the target that the members are unpacked into first; it goes,
// with whatever is still in it, when the unpacking is over.
class StagingDir {
 public:
  StagingDir(const FileOps& files, const fs::path& dir) : files_(files) {
    RemoveStaleTemps(dir, files_);
    for (;;) {
      path_ = dir / TempName("recibo");
      if (files_.mkdirat(AT_FDCWD, path_.c_str(), 0700) == 0) return;
      if (errno != EEXIST) {
        CannotCreate("el directorio", path_, std::error_code(errno, std::generic_category()));
      }
    }
  }
  ~StagingDir() { RemoveTree(files_, path_.string()); }
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  const FileOps& files_;
  fs::path path_;
};

// Renames through the station's file seam.
void Rename(const FileOps& files, const fs::path& from, const fs::path& to) {
  if (files.rename(from.c_str(), to.c_str()) != 0) {
    throw FileError(errno, "No se puede poner en su sitio " + to.string());
  }
}

// Flushes the file or directory `path` through `sync` (SyncFile, SyncDirectory).
void Sync(const FileOps& files, const fs::path& path,
          std::error_code (*sync)(const FileOps&, const std::string&)) {
  if (const std::error_code err = sync(files, path.string())) {
    throw FileError(err, "No se puede asegurar en el disco " + path.string());
  }
}

// Flushes every file and directory of the tree `dir`, itself included; links are not
// followed.
void SyncTree(const FileOps& files, const fs::path& dir) {
  for (const fs::directory_entry& item : fs::directory_iterator(dir)) {
    if (item.is_symlink()) continue;
    if (item.is_directory()) {
      SyncTree(files, item.path());
    } else {
      Sync(files, item.path(), SyncFile);
    }
  }
  Sync(files, dir, SyncDirectory);
}

void NoteDirectory(std::vector<fs::path>& touched, const fs::path& dir) {
  if (std::find(touched.begin(), touched.end(), dir) == touched.end()) touched.push_back(dir);
}

// Moves what `from` holds into `to`, replacing a file of the same name in any letter case;
// a directory that exists there in any letter case is merged into, never followed when it
// is a symbolic link. Each file is synced before it is renamed into place, and every
// directory that got a name is added to `touched`, to be synced once all are in place.
void MoveInto(const FileOps& files, const fs::path& from, const fs::path& to,
              std::vector<fs::path>& touched) {
  for (const fs::directory_entry& item : fs::directory_iterator(from)) {
    const std::string name = item.path().filename().string();
    const auto existing = FindNoCase(to, name);
    const fs::file_type existing_type =
        existing ? fs::symlink_status(*existing).type() : fs::file_type::not_found;
    if (item.is_directory() && !item.is_symlink()) {
      if (existing_type == fs::file_type::not_found) {
        SyncTree(files, item.path());
        Rename(files, item.path(), to / name);
        NoteDirectory(touched, to);
      } else if (existing_type == fs::file_type::directory) {
        MoveInto(files, item.path(), *existing, touched);
      } else {
        CannotCreate("el directorio", *existing, std::make_error_code(std::errc::not_a_directory));
      }
      continue;
    }
    if (existing_type == fs::file_type::directory) {
      CannotCreate("el archivo", *existing, std::make_error_code(std::errc::is_a_directory));
    }
    // The same name in another letter case goes first, so that one file holds the name.
    if (existing && existing->filename() != name && files.unlink(existing->c_str()) != 0) {
      throw FileError(errno, "No se puede borrar " + existing->string());
    }
    if (!item.is_symlink()) Sync(files, item.path(), SyncFile);
    Rename(files, item.path(), to / name);
    NoteDirectory(touched, to);
  }
}

}  // namespace

ArchiveHooks ZipArchiveHooks(std::function<void(std::string_view)> log, const FileOps& files) {
  ArchiveHooks hooks;
  hooks.files = files;
  // Every call of the archive component goes through `files` too, the seam of every file the
  // station writes; the archivers made later need it to live as long as the hooks.
  const auto io = std::make_shared<const FileOps>(files);
  hooks.archive_length = ArchiveLengthWithin;
  hooks.extract = [log, io, files](const fs::path& archive, const fs::path& dir,
                                   const EntryFilter& wanted) {
    const StagingDir staging(files, dir);
    TZipArchiver zipper("Zipper1", nullptr, io.get());
    PrepareForReading(zipper, archive);
    // Every member that fails is reported; the others are still tried, so that the operator
    // sees all that is wrong with the archive.
    // The failures' lines also make the error's text, which the call's record keeps.
    std::vector<std::string> failures;
    zipper.OnProcessFileFailure = [log, &failures](TBaseArchiver&, const std::string& name,
                                                   TArchiveOperation, int, int,
                                                   const std::string& message, TArchiveAction&) {
      failures.push_back(FailureLogLine(name, message));
      if (log) log(failures.back());
    };
    zipper.OnConfirmProcessFile = [log, &wanted](const std::string& name) {
      const char* refusal = nullptr;
      if (IsParameterFileName(name)) {
        refusal = "nombre reservado de la estación, no se extrae";
      } else if (wanted && !wanted(name)) {
        refusal = "archivo no pedido por la estación, no se extrae";
      }
      if (refusal == nullptr) return true;
      if (log) log(FailureLogLine(name, refusal));
      return false;
    };
    // The staging directory is not what lasts: each member is synced on its own before it is
    // renamed out of it (MoveInto), so the archiver's flush of the whole file system at the
    // end of the unpacking would only wait for every other writer's data too.
    zipper.Options().FlushBuffers = false;
    zipper.OpenZip(kOpenRead);
    zipper.SetBaseDir(staging.path().string());
    zipper.ExtractMatching("*.*", kStationAttrMask, "");
    zipper.CloseZip();
    if (!failures.empty()) {
      std::string text =
          std::to_string(failures.size()) + " archivo(s) dañado(s) en el archivo recibido";
      for (const std::string& line : failures) text += "; " + line;
      throw StationError(StationRefusal::kDamagedArchive, text);
    }
    // The members must be durable under their names before the call moves on: the step that
    // follows records which day files the office has delivered.
    std::vector<fs::path> touched;
    MoveInto(files, staging.path(), dir, touched);
    for (const fs::path& target : touched) Sync(files, target, SyncDirectory);
  };
  return hooks;
}

EntryFilter OnlyNamed(std::vector<std::string> names) {
  return [names = std::move(names)](std::string_view stored_name) {
    for (const std::string& name : names) {
      if (EqualsNoCase(stored_name, name)) return true;
    }
    return false;
  };
}

}  // namespace marvolen
