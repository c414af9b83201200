// Writes a synthetic call log: N records from M offices over the last 60 days, as stations
// would append them (roughly in time order), with the mix of endings a busy network has.
// With a working directory and a model parameter file, it also gives every office its
// directory ("loc<N>" with that parameter file and three tables), so that the report's
// survey of each office's next delivery runs as on a real network.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "callrec/CallRecord.h"

using namespace marvolen;

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: report_bench_gen FILE RECORDS OFFICES [WORKDIR PARAMFILE]\n");
    return 2;
  }
  const long records = std::atol(argv[2]);
  const int offices = std::atoi(argv[3]);
  if (argc == 6) {
    namespace fs = std::filesystem;
    for (int n = 1; n <= offices; ++n) {
      const fs::path dir = fs::path(argv[4]) / ("loc" + std::to_string(n));
      fs::create_directories(dir);
      fs::copy_file(argv[5], dir / "MARVOLEN.TCP", fs::copy_options::overwrite_existing);
      for (const char* table : {"TARIFA.TBL", "ZONAS.TBL", "FESTIVOS.TBL"}) {
        std::ofstream(dir / table) << std::string(2048 + n % 512, static_cast<char>('A' + n % 26));
      }
    }
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) return 1;
  std::mt19937 rng(12345);
  const WallTime now = std::chrono::system_clock::now();
  const auto span = std::chrono::hours(24 * 60);
  for (long i = 0; i < records; ++i) {
    CallRecord r;
    r.start = now - span + span * i / records;
    r.end = r.start + std::chrono::seconds(40 + rng() % 60);
    r.port = 1 + static_cast<int>(rng() % 4);
    r.device = "/dev/ttyS" + std::to_string(r.port - 1);
    r.home = "/var/lib/marvolen/com" + std::to_string(r.port) + "/";
    r.office = 1 + static_cast<int>(rng() % offices);
    r.device_id = "KEY" + std::to_string(10000 + *r.office);
    r.table_kind = "tbl";
    r.features = true;
    const unsigned roll = rng() % 100;
    r.result = roll < 85 ? CallResult::kSuccess : roll < 95 ? CallResult::kRefused : CallResult::kAborted;
    if (r.result == CallResult::kRefused) r.reason = CallReason::kWrongPassword;
    if (r.result == CallResult::kAborted) r.reason = CallReason::kCarrierLost;
    r.admitted = r.result != CallResult::kRefused;
    r.office_files = std::vector<ReportedFile>{
        {"TARIFA.TBL", 123456, ".TBL"}, {"ZONAS.TBL", 4567, ".TBL"}, {"FESTIVOS.TBL", 890, ".TBL"}};
    if (r.result == CallResult::kSuccess) {
      r.traffic = {{"07122026114950.trf", 2048}};
      r.day_files_asked = {"06122026.daw"};
      r.day_files_received = {{"06122026.daw", 512}};
      r.clock_set = r.end;
      TransferSummary t;
      t.direction = TransferDirection::kReceive;
      t.file = "recibo.zip";
      t.bytes = 2560;
      t.blocks = 3;
      t.block_size = 1024;
      t.seconds = 3.1;
      t.result = "Transferencia OK";
      r.transfers = {t};
    }
    r.transcript = "calls/x/" + std::to_string(i) + ".txt";
    const std::string line = RecordToJson(r) + "\n";
    std::fwrite(line.data(), 1, line.size(), out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
