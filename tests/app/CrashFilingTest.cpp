// What a crash at any point of a call's filing leaves behind, and whether the station makes
// good on it at the next start and the next call.
//
// The call (the office's missing table staged and packed into "envio.zip" and sent; traffic
// in, filed and deleted at the office; day files in; the parameter file's "inicio *.daw" moved
// on; the call's record) runs once, on the real file system, through a
// FileOps that notes every change it makes to a file or a directory, and every text the
// station sends to the office, in order. A crash after the first k of those operations is
// then rebuilt in a fresh directory as a file system with a page cache would leave it:
//  - power cut: only what was synced survives: a file's data once the file was synced after
//    the write; a new name, a rename or a removal once its directory was synced after it;
//  - killed: the process died, the system did not: everything done survives;
//  - torn: as killed, but the last operation, when a write, reached the disk half-way;
//  - journal: an arbitrary prefix of the operations survives, in order, plus what was synced
//    (a journaling file system).
// On every such state the station starts (its start-up removes what interrupted writes left),
// the office calls again holding its traffic unless it was told to delete it, and the checks
// run: every traffic file the office was told to delete is filed, whole, exactly once; no half
// file stands under a final name; the parameter file is the old one or the new one; the call
// log parses, a torn record closed by the next; the next call sends the table whole; the status
// summary beside the log never counts a call the log does not hold, and is in line with the log
// once the next call is counted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CallHarness.h"
#include "TestSupport.h"
#include "app/Station.h"
#include "call/Distribution.h"
#include "callrec/CallLog.h"
#include "callrec/StatusSummary.h"
#include "platform/DosTime.h"
#include "platform/FileNames.h"
#include "platform/LocalTime.h"
#include "records/OfficeParamFile.h"
#include "sim/RawZip.h"
#include "tests/ScratchDir.h"
#include "transfer/TransferArchive.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;

using station_test::ReadFile;

bool IsTempName(const std::string& name) {
  return name.size() > 5 && name.front() == '.' && name.ends_with(".tmp");
}

// The id of a process that has ended: the temporary names of the crashed station carry it,
// as they would carry the dead station's, so that the start-up knows them for litter.
pid_t DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// ".X.<pid>.<serial>.tmp" with `pid` in place of the live test's own.
std::string WithPid(const std::string& name, pid_t pid) {
  if (!IsTempName(name)) return name;
  const std::string own = "." + std::to_string(::getpid()) + ".";
  const size_t at = name.rfind(own);
  if (at == std::string::npos) return name;
  return name.substr(0, at) + "." + std::to_string(pid) + "." + name.substr(at + own.size());
}

// A file system as the disk holds it: nodes (files and directories) and the names in each
// directory.
struct DiskState {
  struct Node {
    bool is_dir = false;
    std::string data;
    timespec mtime{};
  };
  std::map<int, Node> nodes;
  std::map<std::pair<int, std::string>, int> names;  // (directory, name) -> node
};

// One change to the file system, or one text sent to the office.
struct Change {
  enum Kind {
    kLink,
    kUnlink,
    kRename,
    kWrite,
    kTruncate,
    kTimes,
    kSyncFile,
    kSyncDir,
    kSyncAll,
    kSend
  };
  Change(Kind k, int n = -1, int d = -1, std::string entry = {})
      : kind(k), node(n), dir(d), name(std::move(entry)) {}
  Kind kind;
  int node = -1;  // the file or directory changed or synced; kLink: the new name's node
  int dir = -1;   // the directory of `name`
  std::string name;
  int to_dir = -1;  // kRename
  std::string to_name;
  bool is_dir = false;  // kLink
  off_t offset = 0;     // kWrite: where; kTruncate: the length
  std::string data;     // kWrite: the bytes; kSend: the text
  timespec mtime{};     // kWrite, kTruncate, kTimes: the file's time after the change
};

enum class Crash { kPowerCut, kKilled, kTorn, kJournal };

const char* CrashName(Crash c) {
  switch (c) {
    case Crash::kPowerCut:
      return "power cut";
    case Crash::kKilled:
      return "killed";
    case Crash::kTorn:
      return "torn";
    case Crash::kJournal:
      return "journal";
  }
  return "?";
}

// The real calls, each change noted as a Change on the nodes of the tree `root`, which is
// read as the disk's starting state.
class PageCacheFs {
 public:
  explicit PageCacheFs(const fs::path& root) {
    root_node_ = NodeOf(Lstat(root).st_ino, true);
    Snapshot(root, root_node_);
    const FileOps& sys = SystemFileOps();
    ops = sys;
    ops.open = [this, &sys](const char* path, int flags, mode_t mode) {
      const bool existed = Exists(AT_FDCWD, path);
      const int dir = DirOf(path);
      return Opened(dir, fs::path(path).filename(), sys.open(path, flags, mode), flags, existed);
    };
    ops.openat = [this, &sys](int dir_fd, const char* name, int flags, mode_t mode) {
      const bool existed = Exists(dir_fd, name);
      const int dir = DirOfAt(dir_fd, name);
      return Opened(dir, fs::path(name).filename(), sys.openat(dir_fd, name, flags, mode), flags,
                    existed);
    };
    ops.close = [this, &sys](int fd) {
      appending_.erase(fd);
      return sys.close(fd);
    };
    ops.write = [this, &sys](int fd, const void* data, size_t size) -> ssize_t {
      struct stat st = Fstat(fd);
      const off_t at = appending_.count(fd) ? st.st_size : sys.lseek(fd, 0, SEEK_CUR);
      const ssize_t n = sys.write(fd, data, size);
      if (n > 0) NoteWrite(fd, at, data, static_cast<size_t>(n));
      return n;
    };
    ops.pwrite = [this, &sys](int fd, const void* data, size_t size, off_t at) -> ssize_t {
      const ssize_t n = sys.pwrite(fd, data, size, at);
      if (n > 0) NoteWrite(fd, at, data, static_cast<size_t>(n));
      return n;
    };
    ops.ftruncate = [this, &sys](int fd, off_t length) {
      const int rc = sys.ftruncate(fd, length);
      if (rc == 0) NoteData(Change::kTruncate, fd, length);
      return rc;
    };
    ops.truncate = [this, &sys](const char* path, off_t length) {
      const int rc = sys.truncate(path, length);
      if (rc == 0) {
        const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
        NoteData(Change::kTruncate, fd.get(), length);
      }
      return rc;
    };
    ops.futimens = [this, &sys](int fd, const timespec times[2]) {
      const int rc = sys.futimens(fd, times);
      if (rc == 0) NoteData(Change::kTimes, fd, 0);
      return rc;
    };
    ops.fsync = [this, &sys](int fd) {
      const int rc = sys.fsync(fd);
      if (rc == 0) {
        const struct stat st = Fstat(fd);
        Note({S_ISDIR(st.st_mode) ? Change::kSyncDir : Change::kSyncFile, NodeOf(st.st_ino)});
      }
      return rc;
    };
    ops.syncfs = [this, &sys](int fd) {
      const int rc = sys.syncfs(fd);
      if (rc == 0) Note({Change::kSyncAll});
      return rc;
    };
    const auto rename = [this](const char* from, const char* to, auto&& call) {
      const int node = NodeOf(Lstat(from).st_ino);
      const int from_dir = DirOf(from), to_dir = DirOf(to);
      const int rc = call();
      if (rc == 0) {
        Change c{Change::kRename, node, from_dir, fs::path(from).filename()};
        c.to_dir = to_dir;
        c.to_name = fs::path(to).filename();
        Note(std::move(c));
      }
      return rc;
    };
    ops.rename = [rename, &sys](const char* from, const char* to) {
      return rename(from, to, [&] { return sys.rename(from, to); });
    };
    ops.rename_noreplace = [rename, &sys](const char* from, const char* to) {
      return rename(from, to, [&] { return sys.rename_noreplace(from, to); });
    };
    ops.unlink = [this, &sys](const char* path) {
      const int dir = DirOf(path);
      const int rc = sys.unlink(path);
      if (rc == 0) Note({Change::kUnlink, -1, dir, fs::path(path).filename()});
      return rc;
    };
    ops.unlinkat = [this, &sys](int dir_fd, const char* name, int flags) {
      const int dir = DirOfAt(dir_fd, name);
      const int rc = sys.unlinkat(dir_fd, name, flags);
      if (rc == 0) Note({Change::kUnlink, -1, dir, fs::path(name).filename()});
      return rc;
    };
    ops.mkdirat = [this, &sys](int dir_fd, const char* name, mode_t mode) {
      const int dir = DirOfAt(dir_fd, name);
      const int rc = sys.mkdirat(dir_fd, name, mode);
      if (rc == 0) {
        struct stat st {};
        ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW);
        Change c{Change::kLink, NewNode(st.st_ino, true), dir, fs::path(name).filename()};
        c.is_dir = true;
        Note(std::move(c));
      }
      return rc;
    };
  }

  // What the disk holds after a crash behind the first `k` changes.
  DiskState AfterCrash(size_t k, Crash crash, std::mt19937& random) const {
    size_t kept = 0;  // the changes that reached the disk in order, synced or not
    if (crash == Crash::kKilled || crash == Crash::kTorn) kept = k;
    if (crash == Crash::kJournal) kept = std::uniform_int_distribution<size_t>(0, k)(random);
    DiskState disk = start_;
    for (size_t i = 0; i < k; ++i) {
      const Change& c = changes[i];
      const bool in_order = i < kept;
      switch (c.kind) {
        case Change::kLink:
          if (in_order || SyncedAfter(i, k, c.dir)) {
            disk.nodes[c.node].is_dir = c.is_dir;
            disk.names[{c.dir, c.name}] = c.node;
          }
          break;
        case Change::kUnlink:
          if (in_order || SyncedAfter(i, k, c.dir)) disk.names.erase({c.dir, c.name});
          break;
        case Change::kRename:
          if (in_order || SyncedAfter(i, k, c.dir)) disk.names.erase({c.dir, c.name});
          if (in_order || SyncedAfter(i, k, c.to_dir)) disk.names[{c.to_dir, c.to_name}] = c.node;
          break;
        case Change::kWrite:
        case Change::kTruncate:
        case Change::kTimes:
          if (in_order || SyncedAfter(i, k, c.node)) {
            const bool torn = crash == Crash::kTorn && i + 1 == k && !SyncedAfter(i, k, c.node);
            Apply(disk.nodes[c.node], c, torn);
          }
          break;
        default:
          break;
      }
    }
    return disk;
  }

  // Writes `disk` out as the tree `to` (which must not exist), the dead station's
  // temporary names carrying `dead_pid`.
  void Rebuild(const DiskState& disk, const fs::path& to, pid_t dead_pid) const {
    RebuildDir(disk, root_node_, to, dead_pid);
  }

  // Whether a text starting with `prefix` was sent within the first `k` changes.
  bool SentWithin(size_t k, std::string_view prefix) const {
    for (size_t i = 0; i < k && i < changes.size(); ++i) {
      if (changes[i].kind == Change::kSend && changes[i].data.starts_with(prefix)) return true;
    }
    return false;
  }

  void NoteSend(std::string_view text) {
    Change c{Change::kSend};
    c.data = text;
    Note(std::move(c));
  }

  FileOps ops;
  std::vector<Change> changes;

 private:
  static struct stat Lstat(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
  }
  static struct stat Fstat(int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return st;
  }
  static bool Exists(int dir_fd, const char* name) {
    struct stat st {};
    return ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // A new file or directory; its inode number may be one the file system gave before.
  int NewNode(ino_t ino, bool is_dir) {
    const int node = next_node_++;
    node_of_[ino] = node;
    start_.nodes.try_emplace(node);  // known to the model, empty until written
    start_.nodes[node].is_dir = is_dir;
    return node;
  }
  int NodeOf(ino_t ino, bool is_dir = false) {
    const auto it = node_of_.find(ino);
    return it != node_of_.end() ? it->second : NewNode(ino, is_dir);
  }
  int DirOf(const fs::path& path) {
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    return NodeOf(Lstat(parent).st_ino, true);
  }
  // The station names files relative to an open directory only by their bare names.
  int DirOfAt(int dir_fd, const char* name) {
    if (dir_fd == AT_FDCWD) return DirOf(name);
    return NodeOf(Fstat(dir_fd).st_ino, true);
  }

  void Snapshot(const fs::path& dir, int dir_node) {
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
      const struct stat st = Lstat(e.path());
      const int node = NodeOf(st.st_ino, S_ISDIR(st.st_mode));
      start_.names[{dir_node, e.path().filename()}] = node;
      DiskState::Node& n = start_.nodes[node];
      n.is_dir = S_ISDIR(st.st_mode);
      n.mtime = st.st_mtim;
      if (n.is_dir) {
        Snapshot(e.path(), node);
      } else {
        n.data = ReadFile(e.path());
      }
    }
  }

  int Opened(int dir, const std::string& name, int fd, int flags, bool existed) {
    if (fd < 0) return fd;
    const struct stat st = Fstat(fd);
    if (!existed && (flags & O_CREAT) != 0) {
      Note({Change::kLink, NewNode(st.st_ino, false), dir, name});
    } else if ((flags & O_TRUNC) != 0 && S_ISREG(st.st_mode)) {
      NoteData(Change::kTruncate, fd, 0);
    }
    if ((flags & O_APPEND) != 0) appending_.insert(fd);
    return fd;
  }

  void NoteWrite(int fd, off_t at, const void* data, size_t n) {
    Change c{Change::kWrite, NodeOf(Fstat(fd).st_ino)};
    c.offset = at;
    c.data.assign(static_cast<const char*>(data), n);
    c.mtime = Fstat(fd).st_mtim;
    Note(std::move(c));
  }
  void NoteData(Change::Kind kind, int fd, off_t length) {
    const struct stat st = Fstat(fd);
    Change c{kind, NodeOf(st.st_ino)};
    c.offset = length;
    c.mtime = st.st_mtim;
    Note(std::move(c));
  }
  void Note(Change c) { changes.push_back(std::move(c)); }

  // Whether a sync in changes (i, k) covers `node` (a file's data, a directory's names).
  bool SyncedAfter(size_t i, size_t k, int node) const {
    for (size_t m = i + 1; m < k; ++m) {
      const Change& c = changes[m];
      if (c.kind == Change::kSyncAll) return true;
      if ((c.kind == Change::kSyncFile || c.kind == Change::kSyncDir) && c.node == node) {
        return true;
      }
    }
    return false;
  }

  static void Apply(DiskState::Node& n, const Change& c, bool torn) {
    if (c.kind == Change::kWrite) {
      const std::string data = torn ? c.data.substr(0, c.data.size() / 2) : c.data;
      const size_t at = static_cast<size_t>(c.offset);
      if (n.data.size() < at + data.size()) n.data.resize(at + data.size(), '\0');
      n.data.replace(at, data.size(), data);
    } else if (c.kind == Change::kTruncate) {
      n.data.resize(static_cast<size_t>(c.offset), '\0');
    }
    n.mtime = c.mtime;
  }

  void RebuildDir(const DiskState& disk, int dir_node, const fs::path& to, pid_t dead_pid) const {
    fs::create_directory(to);
    for (const auto& [key, node] : disk.names) {
      if (key.first != dir_node) continue;
      const fs::path path = to / WithPid(key.second, dead_pid);
      const DiskState::Node& n = disk.nodes.at(node);
      if (n.is_dir) {
        RebuildDir(disk, node, path, dead_pid);
      } else {
        std::ofstream(path, std::ios::binary) << n.data;
      }
      const timespec times[2] = {n.mtime, n.mtime};
      if (n.mtime.tv_sec != 0) ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
  }

  std::map<ino_t, int> node_of_;  // the node each inode number stands for now
  int next_node_ = 0;
  int root_node_;
  DiskState start_;
  std::set<int> appending_;  // descriptors opened with O_APPEND
};

// The office's side of the calls: what it holds, and the archive it sends for a request.
struct Office {
  std::string traffic;                      // TRAFICO.TRF, until the station has it deleted
  std::map<std::string, std::string> days;  // day file name -> bytes; the office keeps them
};

class CrashFilingTest : public ::testing::Test {
 protected:
  ~CrashFilingTest() override { fs::remove_all(root_); }

  // A station home ("../work/" its working directory) and office 7, a "tab" office with a
  // cumulative traffic file and two day files to deliver.
  Office MakeStation(const fs::path& at) {
    fs::create_directories(at / "home");
    fs::create_directories(at / "work" / "loc07");
    StationConfig config;
    config.WorkDir = "../work/";
    SaveStationConfig(at / "home", BuildStationConfigRecord(config));
    const VirtualClock clock;
    const OfficeParamFile params(at / "work" / "loc07", clock);
    const int today = LocalDateSerial(clock.WallNow());
    params.WriteOfficeParam("inicio *.daw", std::to_string(today - 2));
    params.WriteOfficeParam("ultimo *.daw", std::to_string(today - 1));
    std::ofstream(at / "work" / "loc07" / "of7.TRF", std::ios::binary) << kOldCumulative;
    std::ofstream(at / "work" / "loc07" / "TARIFA.TBL", std::ios::binary) << kTable;
    Office office;
    office.traffic = "traffic of office 7, the only copy; 0123456789abcdef\n";
    for (int day = today - 2; day < today; ++day) {
      const CivilDate d = CivilFromSerial(day);
      char name[16];
      std::snprintf(name, sizeof name, "%02d%02d%04d.daw", d.day, d.month, d.year);
      office.days[name] = "day file " + std::string(name) + " of office 7\n";
    }
    return office;
  }

  // One whole call of `office` to the station at `at`, through `ops`, `later` after the first
  // call's time. The office drops its traffic when told to delete it.
  void Call(const fs::path& at, const FileOps& ops, Office& office, Millis later,
            PageCacheFs* noting = nullptr) {
    const fs::path dir = at / "work" / "loc07";
    CallHarness h(at / "home", {}, at / "work");
    h.clock.Advance(later);
    h.file_ops = ops;
    h.write_param = [&](const std::string& key, const std::string& value) {
      OfficeParamFile(dir, h.clock, &h.file_ops).WriteOfficeParam(key, value);
    };
    if (noting != nullptr) {
      h.line.on_send = [noting](std::string_view text) { noting->NoteSend(text); };
    }
    h.line.on_receive = [&](const fs::path& to) {
      std::vector<office::RawEntry> entries;
      for (const std::string& name : h.line.wanted.back()) {
        if (EqualsNoCase(name, "TRAFICO.TRF") && !office.traffic.empty()) {
          entries.push_back({name, office.traffic});
        }
        if (office.days.count(name)) entries.push_back({name, office.days.at(name)});
      }
      const fs::path archive = to / "recibo.zip";
      WriteNewFile(archive.string(), office::StoredZip(entries), h.file_ops);
      ZipArchiveHooks(nullptr, h.file_ops).extract(archive, to, OnlyNamed(h.line.wanted.back()));
    };
    h.RecordCalls();
    // The admission's staging: the office lacks the table, which goes out in "envio.zip".
    const SurveyEntries survey{{"TARIFA.TBL", ByteSum((dir / "TARIFA.TBL").string())}};
    const auto quiet = [](std::string_view) {};
    ASSERT_TRUE(StageAndPack(
        survey, {(at / "home/").string(), (at / "work/").string(), dir.string(), "0007"},
        PackEnvioZip, quiet, quiet, h.file_ops));
    PlayedOffice played{h, dir, true, {}, 0};
    played.Admit(office.traffic.empty() ? "N" : "S");
    ASSERT_EQ(h.state.LineState, kStateConnected);
    h.state.TableExt = TableKind::Tab();
    h.state.Office.DayFirst = ReadNumber(dir, "inicio *.daw");
    h.state.Office.DayLast = ReadNumber(dir, "ultimo *.daw");
    played.RunCall();
    EXPECT_EQ(h.Logged("Comunicación exitosa"), 1);
    EXPECT_EQ(h.records, 1);
    ASSERT_EQ(h.line.files_sent.size(), 1u);
    EXPECT_EQ(SentTable(h.line.files_sent[0]), kTable);
    const auto del =
        std::find(played.commands.begin(), played.commands.end(), "DEL TRAFICO\\TRAFICO.TRF\r");
    if (del != played.commands.end()) office.traffic.clear();
  }

  // The table in the archive `zip` the office was sent ("" when it holds none).
  std::string SentTable(const std::string& zip) const {
    const scratch::ScratchDir out("crash-sent");
    WriteNewFile((out.path() / "envio.zip").string(), zip);
    ZipArchiveHooks(nullptr, SystemFileOps())
        .extract(out.path() / "envio.zip", out.path(), [](std::string_view) { return true; });
    std::error_code ec;
    return fs::exists(out.path() / "tablas" / "TARIFA.TBL", ec)
               ? ReadFile(out.path() / "tablas" / "TARIFA.TBL")
               : "";
  }

  static int ReadNumber(const fs::path& dir, const char* key) {
    return std::stoi(OfficeParamFile(dir).ReadOfficeParam(key).value());
  }

  // The filed traffic copies of office 7, by name.
  static std::map<std::string, std::string> FiledTraffic(const fs::path& at) {
    std::map<std::string, std::string> filed;
    for (const auto& e : fs::directory_iterator(at / "work" / "loc07")) {
      const std::string name = e.path().filename();
      if (name.size() == 18 && name.ends_with(".trf")) filed[name] = ReadFile(e.path());
    }
    return filed;
  }

  // Every temporary name under `at`, those inside a temporary directory aside.
  static std::vector<fs::path> TempNames(const fs::path& at) {
    std::vector<fs::path> found;
    for (auto it = fs::recursive_directory_iterator(at); it != fs::recursive_directory_iterator();
         ++it) {
      if (!IsTempName(it->path().filename())) continue;
      found.push_back(it->path());
      if (it->is_directory()) it.disable_recursion_pending();
    }
    return found;
  }

  // The call log's lines: each a record, but for a torn one (a crash in the middle of its
  // write), which must be the last line, or be followed by a whole record when `closed`.
  static void CheckCallLog(const fs::path& at, bool closed) {
    std::ifstream in(at / "work" / "calls.jsonl", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (!nlohmann::json::parse(lines[i], nullptr, false).is_discarded()) continue;
      EXPECT_EQ(i + 1 == lines.size(), !closed) << "torn record at line " << i + 1;
    }
    if (closed) {
      ASSERT_FALSE(lines.empty());
      EXPECT_FALSE(nlohmann::json::parse(lines.back(), nullptr, false).is_discarded());
    }
  }

  // The summary beside the log counts no call that the log does not hold whole (it may lag
  // behind); once a call has been counted after the crash it says what the log says.
  static void CheckSummary(const fs::path& at, bool in_line) {
    const std::string work = (at / "work").string() + "/";
    const JsonLinesCallStore store(work);
    const StatusSummary summary(work, store);
    ReportOptions o;
    o.work_dir = work;
    o.now = VirtualClock().WallNow() + std::chrono::hours(2);
    const NetworkReport log = BuildReport(o, false);
    const auto counted = summary.Read(o);
    if (!counted) {
      EXPECT_FALSE(in_line) << "no summary after a call";
      return;
    }
    EXPECT_LE(counted->records, log.records);
    EXPECT_LE(counted->bad_line_count, log.bad_line_count);
    for (const OfficeStatus& s : counted->offices) {
      if (!s.last_call_ms) continue;
      const auto in_log = std::find_if(log.offices.begin(), log.offices.end(),
                                       [&](const OfficeStatus& l) { return l.office == s.office; });
      ASSERT_NE(in_log, log.offices.end()) << "office " << s.office << " counted, not logged";
      ASSERT_TRUE(in_log->last_call_ms);
      EXPECT_LE(*s.last_call_ms, *in_log->last_call_ms);
      EXPECT_LE(s.calls_7d, in_log->calls_7d);
      if (!in_line) continue;
      EXPECT_EQ(s.last_call_ms, in_log->last_call_ms);
      EXPECT_EQ(s.last_success_ms, in_log->last_success_ms);
      EXPECT_EQ(s.calls_7d, in_log->calls_7d);
    }
    if (in_line) {
      EXPECT_EQ(counted->records, log.records);
      EXPECT_EQ(counted->bad_line_count, log.bad_line_count);
    }
  }

  static constexpr char kOldCumulative[] = "traffic filed before;";
  static constexpr char kTable[] = "TARIFA: the office's missing table, 0123456789\n";
  const fs::path root_ = scratch::NewScratchDir("crash");
};

TEST_F(CrashFilingTest, EveryCrashPointOfAFilingIsMadeGoodByTheNextStartAndCall) {
  const fs::path recorded = root_ / "recorded";
  const Office office = MakeStation(recorded);
  const fs::path params_file = recorded / "work" / "loc07" / "MARVOLEN.TCP";
  const std::string old_params = ReadFile(params_file);
  PageCacheFs model(recorded);
  Office called = office;
  Call(recorded, model.ops, called, Millis(0), &model);
  ASSERT_TRUE(called.traffic.empty()) << "the office was never told to delete its traffic";
  const std::string new_params = ReadFile(params_file);
  ASSERT_NE(new_params, old_params);
  const size_t count = model.changes.size();

  // Every change the call made went through the seam: all of them kept give the real tree.
  std::mt19937 random(20261207);
  const pid_t dead = DeadPid();
  model.Rebuild(model.AfterCrash(count, Crash::kKilled, random), root_ / "whole", dead);
  const auto listing = [](const fs::path& at) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(at)) {
      files[fs::relative(e.path(), at)] = e.is_directory() ? "<dir>" : ReadFile(e.path());
    }
    return files;
  };
  ASSERT_EQ(listing(root_ / "whole"), listing(recorded));

  int states = 0;
  for (size_t k = 0; k <= count; ++k) {
    for (const Crash crash : {Crash::kPowerCut, Crash::kKilled, Crash::kTorn, Crash::kJournal}) {
      SCOPED_TRACE(std::string(CrashName(crash)) + " after change " + std::to_string(k) + " of " +
                   std::to_string(count));
      const fs::path at = root_ / ("state" + std::to_string(states++));
      model.Rebuild(model.AfterCrash(k, crash, random), at, dead);
      const bool deleted = model.SentWithin(k, "DEL TRAFICO");

      // The start-up removes every temporary file, with a line each.
      const size_t temps = TempNames(at).size();
      RecordingWindow window;
      VirtualClock clock;
      Station station(window, clock, at / "home");
      station.FormCreate();
      EXPECT_EQ(std::count_if(window.lines.begin(), window.lines.end(),
                              [](const std::string& l) {
                                return l.starts_with("Borrado archivo temporal de una escritura");
                              }),
                static_cast<long>(temps));
      EXPECT_EQ(TempNames(at), std::vector<fs::path>{});

      // Nothing half stands under a final name.
      const std::string params = ReadFile(at / "work" / "loc07" / "MARVOLEN.TCP");
      EXPECT_TRUE(params == old_params || params == new_params);
      const auto filed = FiledTraffic(at);
      EXPECT_LE(filed.size(), 1u);
      for (const auto& [name, bytes] : filed) EXPECT_EQ(bytes, office.traffic) << name;
      const std::string cumulative = ReadFile(at / "work" / "loc07" / "of7.TRF");
      EXPECT_TRUE(cumulative == kOldCumulative || cumulative == kOldCumulative + office.traffic)
          << cumulative;
      for (const auto& [name, bytes] : office.days) {
        const fs::path day = at / "work" / "loc07" / name;
        // The day files are asked for again until the parameter file says they came.
        if (params == new_params) {
          EXPECT_TRUE(fs::exists(day)) << name;
        }
        if (fs::exists(day)) {
          EXPECT_EQ(ReadFile(day), bytes) << name;
        }
      }
      // Traffic the office deleted is on the disk.
      if (deleted) {
        EXPECT_EQ(filed.size(), 1u);
        EXPECT_EQ(cumulative, kOldCumulative + office.traffic);
      }
      CheckCallLog(at, false);
      CheckSummary(at, false);

      // The office calls again, with its traffic unless it deleted it: all is filed once.
      Office again = office;
      if (deleted) again.traffic.clear();
      Call(at, SystemFileOps(), again, Millis(3'600'000));
      const auto refiled = FiledTraffic(at);
      ASSERT_EQ(refiled.size(), 1u);
      EXPECT_EQ(refiled.begin()->second, office.traffic);
      EXPECT_EQ(ReadFile(at / "work" / "loc07" / "of7.TRF"), kOldCumulative + office.traffic);
      for (const auto& [name, bytes] : office.days) {
        EXPECT_EQ(ReadFile(at / "work" / "loc07" / name), bytes) << name;
      }
      EXPECT_EQ(ReadNumber(at / "work" / "loc07", "inicio *.daw"), 0);
      CheckCallLog(at, true);
      CheckSummary(at, true);
      EXPECT_EQ(TempNames(at), std::vector<fs::path>{});
      fs::remove_all(at);
      if (HasFailure()) return;  // the first failing state is the one to read
    }
  }
  std::cout << "crash model: " << count << " changes, " << states << " crash states checked\n";
  RecordProperty("crash_states", states);
  EXPECT_GT(states, 100);
}

}  // namespace
}  // namespace marvolen::testing
