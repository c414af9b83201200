#include "records/OfficeParamFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Dir.h"
#include "platform/FileOps.h"
#include "platform/SystemCalls.h"
#include "platform/TempNames.h"
#include "records/ParamFormat.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFileName = "MARVOLEN.TCP";

// `doing` ends with the article or preposition the file's name follows ("No se puede abrir
// el", "No se puede leer ... del").
std::string FileAction(const std::string& doing, const fs::path& file) {
  return doing + " archivo de parámetros de la oficina \"" + file.string() + "\"";
}

// The station's own refusal of the file, or a system error the station words itself.
[[noreturn]] void Fail(const std::string& doing, const fs::path& file, const std::string& why,
                       std::error_code code = StationRefusal::kParamFileTooShort) {
  throw OfficeParamError(code, FileAction(doing, file) + ": " + why);
}

[[noreturn]] void FailErrno(const std::string& doing, const fs::path& file, int err) {
  const std::error_code code(err, std::generic_category());
  throw OfficeParamError(code, ErrorText(FileAction(doing, file), code));
}

// `doing` for a slot: what is read or written, and where in the file it lies.
std::string SlotAction(std::string_view verb, const ParamSlot& slot, std::string_view preposition) {
  const int last = slot.record + slot.RecordCount() - 1;
  std::string records = slot.record == last ? "registro " + std::to_string(last)
                                            : "registros " + std::to_string(slot.record) + " a " +
                                                  std::to_string(last);
  return std::string(verb) + " \"" + std::string(slot.key) + "\" (" + records + ") " +
         std::string(preposition);
}

// 0, or the errno of the failure.
int WriteAt(const FileOps& fs, int fd, std::string_view bytes, off_t offset) {
  return PWriteFull(fs, fd, bytes.data(), bytes.size(), offset) < 0 ? errno : 0;
}

// Reads up to `bytes.size()` bytes; fewer only at the end of the file. 0, or the errno.
int ReadAt(const FileOps& fs, int fd, std::string& bytes, off_t offset) {
  const ssize_t n = PReadFull(fs, fd, bytes.data(), bytes.size(), offset);
  if (n < 0) return errno;
  bytes.resize(static_cast<size_t>(n));
  return 0;
}

// The file's size in bytes through `size`; 0, or -1 with errno set.
int FileSize(const FileOps& fs, int fd, off_t* size) {
  struct stat st {};
  if (fs.fstat(fd, &st) != 0) return -1;
  *size = st.st_size;
  return 0;
}

off_t SlotOffset(const ParamSlot& slot) {
  return static_cast<off_t>(slot.record) * kParamRecordSize;
}

std::string ReadSlot(const Dir& dir, const std::string& name, const ParamSlot& slot) {
  const FileOps& fs = dir.ops();
  const fs::path file = dir.PathOf(name);
  UniqueFd fd = dir.OpenFile(name, O_RDONLY);
  if (fd.get() < 0) FailErrno("No se puede abrir el", file, errno);
  const std::string doing = SlotAction("No se puede leer", slot, "del");
  std::string bytes(static_cast<size_t>(slot.RecordCount()) * kParamRecordSize, '\0');
  const size_t wanted = bytes.size();
  if (const int err = ReadAt(fs, fd.get(), bytes, SlotOffset(slot))) FailErrno(doing, file, err);
  if (bytes.size() < wanted) {
    off_t size = 0;
    if (FileSize(fs, fd.get(), &size) != 0) Fail(doing, file, "el archivo termina antes");
    Fail(doing, file, "el archivo tiene solo " + std::to_string(size) + " bytes");
  }
  return bytes;
}

// Writes the slot in one go; when that fails, puts back what the slot held and cuts off what
// the write added, so that a full disk or an I/O error leaves the file as it was.
void WriteSlot(const Dir& dir, const std::string& name, const ParamSlot& slot,
               std::string_view bytes) {
  const FileOps& fs = dir.ops();
  const fs::path file = dir.PathOf(name);
  UniqueFd fd = dir.OpenFile(name, O_RDWR);
  if (fd.get() < 0) FailErrno("No se puede abrir el", file, errno);
  const std::string doing = SlotAction("No se puede escribir", slot, "en el");
  off_t size = 0;
  if (FileSize(fs, fd.get(), &size) != 0) FailErrno(doing, file, errno);
  std::string old(bytes.size(), '\0');
  if (const int err = ReadAt(fs, fd.get(), old, SlotOffset(slot))) FailErrno(doing, file, err);
  int err = WriteAt(fs, fd.get(), bytes, SlotOffset(slot));
  if (err == 0 && fs.fsync(fd.get()) != 0) err = errno;
  if (err == 0) {
    if (fd.Close() != 0) FailErrno(doing, file, errno);
    return;
  }
  WriteAt(fs, fd.get(), old, SlotOffset(slot));
  if (size < SlotOffset(slot) + static_cast<off_t>(bytes.size())) fs.ftruncate(fd.get(), size);
  FailErrno(doing, file, err);
}

const Clock& SystemClock() {
  static const RealClock clock;
  return clock;
}

}  // namespace

OfficeParamFile::OfficeParamFile(fs::path office_dir, const Clock& clock, const FileOps* fs)
    : office_dir_(office_dir.empty() ? fs::path(".") : std::move(office_dir)),
      clock_(clock),
      fs_(fs ? *fs : SystemFileOps()) {}

OfficeParamFile::OfficeParamFile(fs::path office_dir)
    : OfficeParamFile(std::move(office_dir), SystemClock()) {}

OfficeParamFile::OfficeParamFile(const Dir& office_dir)
    : office_dir_(office_dir.Path()),
      clock_(SystemClock()),
      fs_(office_dir.ops()),
      held_(&office_dir) {}

Dir OfficeParamFile::OpenOffice(const fs::path& office_dir, Dir::Links links, const FileOps& ops,
                                const std::string& doing) {
  std::error_code error;
  std::optional<Dir> dir = Dir::TryOpen(office_dir.string(), links, error, ops);
  if (dir) return std::move(*dir);
  const fs::path file = office_dir / kFileName;
  if (IsNotFound(error)) Fail(doing, file, "el directorio de la oficina no existe", error);
  if (IsLink(error)) Fail(doing, file, "el directorio de la oficina es un enlace simbólico", error);
  FailErrno(doing, file, error.value());
}

template <typename Step>
auto OfficeParamFile::InOffice(const std::string& doing, Step step) const {
  if (held_) return step(*held_);
  return step(OpenOffice(office_dir_, Dir::Links::kFollow, fs_, doing));
}

std::optional<std::string> OfficeParamFile::ReadOfficeParam(std::string_view key) const {
  return InOffice("No se puede crear el",
                  [&](const Dir& dir) { return ReadFrom(dir, Locate(dir), key); });
}

std::optional<std::string> OfficeParamFile::ReadExistingOfficeParam(std::string_view key) const {
  return InOffice("No se puede abrir el", [&](const Dir& dir) {
    const auto file = dir.FindNoCase(kFileName);
    if (!file) FailErrno("No se puede abrir el", dir.PathOf(kFileName), ENOENT);
    return ReadFrom(dir, *file, key);
  });
}

std::optional<std::string> OfficeParamFile::ReadFrom(const Dir& dir, const std::string& file,
                                                     std::string_view key) const {
  const ParamSlot* slot = FindParamSlot(key);
  if (!slot) return std::nullopt;
  const std::string bytes = ReadSlot(dir, file, *slot);
  if (slot->kind == ParamKind::Number) return std::to_string(DecodeRecord(bytes));
  return AnsiToUtf8Exact(DecodeTextSlot(bytes));
}

bool OfficeParamFile::WriteOfficeParam(std::string_view key, std::string_view value) const {
  return InOffice("No se puede crear el", [&](const Dir& dir) {
    const std::string file = Locate(dir);
    const ParamSlot* slot = FindParamSlot(key);
    if (!slot) return false;
    // A save of a new file that was killed half-way left its temporary file here.
    dir.RemoveStaleTemps();
    const std::string bytes =
        slot->kind == ParamKind::Number
            ? EncodeRecord(TextToIntOrZero(value))
            : EncodeTextSlot(Utf8ToAnsiExact(value).text, ScrambleIndexAt(clock_.WallNow()));
    WriteSlot(dir, file, *slot, bytes);
    return true;
  });
}

std::string OfficeParamFile::Locate(const Dir& dir) const {
  if (auto found = dir.FindNoCase(kFileName)) return *found;
  return Create(dir);
}

// The new file is written and flushed under a name of its own, then renamed into place only
// if nothing has taken the name meanwhile: a crash or a full disk leaves at most a stray
// temporary file, never a short "MARVOLEN.TCP" that every later read would fail on.
std::string OfficeParamFile::Create(const Dir& dir) const {
  dir.RemoveStaleTemps();
  const std::string name(kFileName);
  const fs::path target = dir.PathOf(name);
  const std::string bytes = DefaultParamFile(clock_);
  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; !fd.valid(); ++attempt) {
    temp = TempName(kFileName);
    fd = dir.OpenFile(temp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!fd.valid() && (!AlreadyExists(LastErrno()) || attempt >= 100))
      FailErrno("No se puede crear el", target, errno);
  }
  int err = WriteAt(fs_, fd.get(), bytes, 0);
  if (err == 0 && fs_.fsync(fd.get()) != 0) err = errno;
  if (fd.Close() != 0 && err == 0) err = errno;
  if (err == 0 && fs_.renameat_noreplace(dir.fd(), temp.c_str(), name.c_str()) == 0) {
    // The new name itself must be durable before anything is stored in the file: a value
    // written to a file whose name a power cut takes away would be lost with it. A directory
    // that cannot be synced fails the operation that needed the file.
    if (const std::error_code sync_err = dir.Sync())
      FailErrno("No se puede crear el", target, sync_err.value());
    return name;
  }
  if (err == 0) err = errno;
  dir.Remove(temp);
  if (AlreadyExists(ErrnoCode(err))) {
    // Another program created the file meanwhile: use it.
    if (auto found = dir.FindNoCase(kFileName)) return *found;
  }
  FailErrno("No se puede crear el", target, err);
}

}  // namespace marvolen
