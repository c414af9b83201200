// Gives a working directory the history of a busy network, for the scale benchmark: a call
// log of RECORDS calls spread over DAYS days from offices 1 to OFFICES, and with --dirs every
// one of those offices' directories as a station that served them for a year would have it.
//
//   bench_history WORKDIR RECORDS OFFICES [--dirs] [--days D] [--seed S]
//
// The records go through RecordToJson, the station's own writer, so the log has exactly the
// format the stations append; the mix of endings (successes with traffic, a table or an
// upgrade now and then, refusals, calls cut short, callers that never identified) and the
// files an office reports follow what real calls record. The calls' ends run forward, as
// records are appended when calls end, and stop an hour before now. Office directories are made as
// marvolen-params init makes them (the parameter file through OfficeParamFile), with two or
// three tables, the traffic files a station files and the call lock it leaves; one in ten is
// named in capitals ("LOC0042") and one in four has upgrades on, with the shared upgrades
// directory spelled "UPGRADES", both as the README allows. A directory already there (the
// benchmark's own calling offices) is left alone, and so is an upgrades directory already
// there in any letter case. Exit status 0 done, 1 a file could not be written, 2 usage.
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "call/IdentLine.h"
#include "callrec/CallRecord.h"
#include "platform/Clock.h"
#include "platform/FileNames.h"
#include "platform/FileOps.h"
#include "records/OfficeParamFile.h"
#include "transfer/TransferReceiver.h"
#include "transfer/TransferSender.h"

using namespace marvolen;
namespace fs = std::filesystem;

namespace {

struct Table {
  std::string name;
  int32_t sum = 0;  // byte sum, as the office reports it
};

struct Office {
  std::vector<Table> tables;
  bool upgrades = false;
};

const char* const kTableNames[] = {"TARIFA.TBL", "ZONAS.TBL", "FESTIVOS.TBL"};
const char* const kUpgradeNames[] = {"PROG1.UPG", "PROG2.UPG"};
constexpr size_t kUpgradeSize = 60000;  // an upgrade is reported by its size

int32_t ByteSum(const std::string& bytes) {
  uint32_t sum = 0;
  for (const unsigned char c : bytes) sum += c;
  return static_cast<int32_t>(sum);
}

std::string RandomText(std::mt19937& rng, size_t size) {
  static const char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ;,. \r\n";
  std::string out(size, ' ');
  for (char& c : out) c = kChars[rng() % (sizeof kChars - 1)];
  return out;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("no se puede escribir " + path.string());
}

// "ddmmyyyyhhmmss.trf", the name a station files a traffic copy under, in local time.
std::string TrafficName(WallTime t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d%m%Y%H%M%S.trf", &tm);
  return buf;
}

std::string DayName(WallTime t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d%m%Y.daw", &tm);
  return buf;
}

std::string TranscriptPath(WallTime t, std::optional<int> office) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "calls/%Y-%m-%d/%H%M%S-", &tm);
  return buf + (office ? fs::path(OfficeDirFor("", *office)).filename().string() : "sin-oficina") +
         ".txt";
}

// What the office reports of a table: its name unpadded with the value right behind, so the
// probe is what stands where a padded name has its extension.
ReportedFile Reported(const Table& t) {
  const std::string field = t.name + std::to_string(t.sum);
  return {t.name, t.sum, field.size() > 8 ? field.substr(8, 4) : ""};
}

// The parameter files are written by the station's own code, without its syncs: a history
// for a benchmark needs no durability, and 20,000 syncs would take minutes.
const FileOps& UnsyncedFileOps() {
  static const FileOps ops = [] {
    FileOps o = SystemFileOps();
    o.fsync = [](int) { return 0; };
    o.syncfs = [](int) { return 0; };
    return o;
  }();
  return ops;
}

Office MakeOfficeDir(const fs::path& work, int n, std::mt19937& rng, WallTime now) {
  Office office;
  office.upgrades = n % 4 == 0;
  const int tables = n % 3 == 0 ? 3 : 2;
  fs::path dir = OfficeDirFor(work.string() + "/", n);
  if (n % 10 == 0) dir = work / ("LOC" + dir.filename().string().substr(3));
  if (::mkdir(dir.c_str(), 0750) != 0)
    throw std::runtime_error("no se puede crear " + dir.string());
  static const RealClock clock;
  const OfficeParamFile params(dir, clock, &UnsyncedFileOps());
  params.WriteOfficeParam("password", "clave" + std::to_string(n));
  params.WriteOfficeParam("Id", "EQ" + std::to_string(100000 + n));
  params.WriteOfficeParam("inicio *.daw", "46000");
  params.WriteOfficeParam("UpGrade", office.upgrades ? "1" : "0");
  for (int i = 0; i < tables; ++i) {
    const std::string bytes = RandomText(rng, 1500 + rng() % 4000);
    WriteFile(dir / kTableNames[i], bytes);
    office.tables.push_back({kTableNames[i], ByteSum(bytes)});
  }
  const std::string traffic = RandomText(rng, 2048);
  WriteFile(dir / "TRAFICO.TRF", traffic);
  for (int day = 3; day >= 1; --day)
    WriteFile(dir / TrafficName(now - std::chrono::hours(24 * day) - std::chrono::seconds(n)),
              traffic);
  WriteFile(dir / ".marvolen-call.lock", "");
  return office;
}

Office ModelOffice(int n, std::mt19937& rng) {
  Office office;
  office.upgrades = n % 4 == 0;
  for (int i = 0; i < (n % 3 == 0 ? 3 : 2); ++i)
    office.tables.push_back({kTableNames[i], static_cast<int32_t>(100000 + rng() % 400000)});
  return office;
}

TransferSummary Transfer(TransferDirection direction, uint64_t bytes, std::string_view result) {
  TransferSummary t;
  t.direction = direction;
  t.file = direction == TransferDirection::kSend ? "envio.zip" : "recibo.zip";
  t.bytes = bytes;
  t.block_size = 1024;
  t.blocks = static_cast<int>((bytes + 1023) / 1024);
  t.seconds = static_cast<double>(bytes) / 900.0;  // 9600 bit/s with the protocol's overhead
  t.result = std::string(result);
  return t;
}

// A call that ended at `end`: records are appended as calls end, so the log is in order of end.
CallRecord MakeRecord(WallTime end, int line, int number, const Office& office, std::mt19937& rng) {
  const unsigned roll = rng() % 100;
  const Millis duration(roll < 2    ? 30000 + rng() % 30000    // never identified
                        : roll < 8  ? 8000 + rng() % 5000      // refused
                        : roll < 11 ? 15000 + rng() % 10000    // carrier lost
                                    : 13000 + rng() % 12000);  // success
  CallRecord r;
  r.end = end;
  r.start = end - duration;
  const WallTime start = r.start;
  r.port = 1;
  r.line_name = "com" + std::to_string(line);
  r.device = "/dev/ttyUSB" + std::to_string(line - 1);
  r.home = "/var/lib/marvolen/lines/com" + std::to_string(line) + "/";
  if (roll < 2) {  // noise on the line, a caller that never identified
    r.result = CallResult::kNeverIdentified;
    r.transcript = TranscriptPath(start, std::nullopt);
    return r;
  }
  r.office = number;
  r.device_id = "EQ" + std::to_string(100000 + number);
  r.table_kind = "tbl";
  r.features = true;
  r.office_files.emplace();
  for (const Table& t : office.tables) r.office_files->push_back(Reported(t));
  if (office.upgrades)
    r.office_files->push_back(Reported({kUpgradeNames[0], static_cast<int32_t>(kUpgradeSize)}));
  r.transcript = TranscriptPath(start, number);
  if (roll < 8) {
    r.result = CallResult::kRefused;
    r.reason = roll < 7 ? CallReason::kWrongPassword : CallReason::kInCallOnOtherLine;
    return r;
  }
  r.admitted = true;
  const uint64_t traffic = 1500 + rng() % 6000;
  r.traffic = {{TrafficName(start + std::chrono::seconds(10)), traffic}};
  if (rng() % 10 == 0) {  // a new table (or upgrade) went out
    const Table& t = office.tables[rng() % office.tables.size()];
    const bool upgrade = office.upgrades && rng() % 3 == 0;
    r.files_sent.push_back({upgrade ? kUpgradeNames[1] : t.name, upgrade ? "upgrade" : "table",
                            upgrade ? uint64_t{kUpgradeSize} : uint64_t{4000}});
    r.transfers.push_back(Transfer(TransferDirection::kSend, upgrade ? 60000 : 2500, kSendOk));
  }
  if (rng() % 20 == 0) {
    r.day_files_asked = {DayName(start - std::chrono::hours(24))};
    r.day_files_received = {{r.day_files_asked[0], 300 + rng() % 600}};
  }
  if (roll < 11) {  // the carrier went while the office sent its traffic
    r.result = CallResult::kAborted;
    r.reason = CallReason::kCarrierLost;
    r.traffic.clear();
    r.day_files_received.clear();
    r.detail = "se perdió la portadora";
    r.transfers.push_back(Transfer(TransferDirection::kReceive, traffic / 2, kReceiveNoCarrier));
    return r;
  }
  r.result = CallResult::kSuccess;
  r.transfers.push_back(Transfer(TransferDirection::kReceive, traffic * 4 / 5, kReceiveOk));
  return r;
}

int Usage() {
  std::cerr << "uso: bench_history WORKDIR RECORDS OFFICES [--dirs] [--days D] [--seed S]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  const fs::path work = argv[1];
  const long records = std::atol(argv[2]);
  const int offices = std::atoi(argv[3]);
  bool dirs = false;
  int days = 365;
  unsigned seed = 2026;
  for (int i = 4; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dirs") {
      dirs = true;
    } else if (arg == "--days" && i + 1 < argc) {
      days = std::atoi(argv[++i]);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = static_cast<unsigned>(std::atol(argv[++i]));
    } else {
      return Usage();
    }
  }
  if (records < 0 || offices < 1 || offices > 9999 || days < 1) return Usage();
  try {
    std::mt19937 rng(seed);
    const WallTime now = std::chrono::system_clock::now();
    std::vector<Office> network(offices + 1);
    for (int n = 1; n <= offices; ++n) {
      const bool there =
          FindNoCase(work, fs::path(OfficeDirFor("", n)).filename().string()).has_value();
      network[n] = dirs && !there ? MakeOfficeDir(work, n, rng, now) : ModelOffice(n, rng);
    }
    if (dirs && !FindNoCase(work, "upgrades")) {
      fs::create_directory(work / "UPGRADES");
      for (const char* name : kUpgradeNames)
        WriteFile(work / "UPGRADES" / name, RandomText(rng, kUpgradeSize));
    }
    std::FILE* out = std::fopen((work / "calls.jsonl").c_str(), "a");
    if (out == nullptr) throw std::runtime_error("no se puede abrir calls.jsonl");
    // Every office calls at least once when there are records enough, the rest at random.
    const auto span = std::chrono::duration_cast<WallTime::duration>(std::chrono::hours(24) * days);
    const WallTime first = now - std::chrono::hours(1) - span;
    const long long span_ms = std::chrono::duration_cast<Millis>(span).count();
    for (long i = 0; i < records; ++i) {
      const int number =
          i < offices ? static_cast<int>(i) + 1 : 1 + static_cast<int>(rng() % offices);
      // In milliseconds: a year in nanoseconds times a million records overflows.
      const WallTime end = first + Millis(span_ms * (i + 1) / std::max(records, 1L));
      const std::string line =
          RecordToJson(MakeRecord(end, 1 + static_cast<int>(i % 4), number, network[number], rng)) +
          "\n";
      if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) {
        std::fclose(out);
        throw std::runtime_error("no se puede escribir calls.jsonl");
      }
    }
    if (std::fclose(out) != 0) throw std::runtime_error("no se puede escribir calls.jsonl");
  } catch (const std::exception& e) {
    std::cerr << "bench_history: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
