#include "sim/OfficeOptions.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>

#include "platform/CodePage.h"

namespace marvolen::office {

namespace {

long ParseNumber(const std::string& option, const std::string& text, long low, long high) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw UsageError(option + " wants a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + text + "\"");
  }
  return value;
}

// A text for the identification line: Windows-1252, no control characters (a CR would end
// the line, and the station drops some control bytes).
std::string LineText(const std::string& option, const std::string& utf8) {
  const Converted c = ConvertText(utf8, CodePage::Utf8, CodePage::Cp1252);
  const bool control = std::any_of(c.text.begin(), c.text.end(),
                                   [](char ch) { return static_cast<unsigned char>(ch) < 0x20; });
  if (!c.exact || control) {
    throw UsageError(option + " holds a character that cannot go on the line: \"" + utf8 + "\"");
  }
  return c.text;
}

void SplitStation(const std::string& text, OfficeOptions& o) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    throw UsageError("--station wants HOST:PORT, not \"" + text + "\"");
  }
  o.host = text.substr(0, colon);
  if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']') {
    o.host = o.host.substr(1, o.host.size() - 2);
  }
  o.port = text.substr(colon + 1);
  ParseNumber("--station's port", o.port, 1, 65535);
}

template <typename T>
T Choose(const std::string& option, const std::string& text, const std::map<std::string, T>& map) {
  if (const auto it = map.find(text); it != map.end()) return it->second;
  std::string known;
  for (const auto& [k, v] : map) known += (known.empty() ? "" : ", ") + k;
  throw UsageError(option + " wants one of " + known + ", not \"" + text + "\"");
}

}  // namespace

std::string UsageText() {
  return R"(Usage: marvolen-office --station HOST:PORT --dir DIR --number N [options]

Plays one office calling the station: dials HOST:PORT (the station's emulated modem line),
waits for the greeting, identifies itself from DIR and answers the station's commands until
it is dismissed: with "Comunicación exitosa" and "Salir" when the call went well.

The office's directory DIR holds its tables (*.tbl, or *.tab and *.cos) at its top,
upgrades in upgrade/, the traffic file in TRAFICO/TRAFICO.TRF and day files ddmmyyyy.daw
at its top.

identity:
  --number N            office number, 0 to 99999 (the station admits 1 to 9999)
  --password TEXT       office password; its first five characters are sent (default: blanks)
  --tables tbl|tab      kind of tables the office keeps (default tbl)
  --traffic auto|S|N    traffic flag; N tells the station there is no traffic to collect;
                        auto: S when TRAFICO/TRAFICO.TRF exists, else N (default auto)
  --no-features         send a blank feature flag (no clock setting, no upgrades)
  --device-id TEXT      device identifier, 8 characters (default SIMULADO)
  --program TEXT        program field, 4 characters (default OFIC)
  --version-text TEXT   version field, 12 characters (default "SIM 1.0")
  --serial TEXT         number field, 12 characters (default blanks)
  --timeout SECONDS     longest silence of the station before giving up (default 120); the
                        greeting is awaited 60 s longer, as long as the station's modem may
                        let the call ring before it answers (while it resets after a call)
  --redial SECONDS      dial again, for up to SECONDS, while nobody listens or the line
                        closes before the greeting (a station that has not opened its
                        port yet, or a line that is busy)
  --keep-deleted DIR    move each file the station has the office delete into DIR, as
                        1-NAME, 2-NAME ..., instead of removing it (a record of what went)

misbehaviour, for tests of the station:
  --wrong-password      send a password that differs in its first character
  --differing-halves    send an identification whose two halves differ
  --never-identify      answer the greeting with nothing
  --hang-up-on-ident    hang up right behind the identification, before any answer
  --stop-ack-after N    acknowledge only the first N commands (0: none)
  --drop-in-transfer receive|send
                        hang up in the middle of the first transfer of that direction
  --slow-send SECONDS   wait SECONDS before each frame of a file the office sends
  --bad-archive corrupt|bad-crc|hostile
                        send, whenever files are asked for, an archive with a broken central
                        directory, one with a damaged entry, or one whose extra entries try
                        to leave the station's folder or replace its MARVOLEN.TCP
  -h, --help            this text
)";
}

OfficeOptions ParseOptions(const std::vector<std::string>& args) {
  OfficeOptions o;
  o.identity.device_id = "SIMULADO";
  o.identity.version = "SIM 1.0";
  bool have_number = false;
  using Setter = std::function<void(const std::string&)>;
  const std::map<std::string, Setter> with_value = {
      {"--station", [&](const std::string& v) { SplitStation(v, o); }},
      {"--dir", [&](const std::string& v) { o.dir = v; }},
      {"--keep-deleted", [&](const std::string& v) { o.keep_deleted = v; }},
      {"--number",
       [&](const std::string& v) {
         o.identity.number = static_cast<int>(ParseNumber("--number", v, 0, 99999));
         have_number = true;
       }},
      {"--password",
       [&](const std::string& v) { o.identity.password = LineText("--password", v); }},
      {"--tables",
       [&](const std::string& v) {
         o.identity.kind =
             Choose<TableKind>("--tables", v, {{"tbl", TableKind::Tbl}, {"tab", TableKind::Tab}});
       }},
      {"--traffic",
       [&](const std::string& v) {
         if (v == "auto") {
           o.traffic_flag.reset();
           return;
         }
         const std::string flag = LineText("--traffic", v);
         if (flag.size() != 1)
           throw UsageError("--traffic wants auto or one character, not \"" + v + "\"");
         o.traffic_flag = flag[0];
       }},
      {"--device-id",
       [&](const std::string& v) { o.identity.device_id = LineText("--device-id", v); }},
      {"--program", [&](const std::string& v) { o.identity.program = LineText("--program", v); }},
      {"--version-text",
       [&](const std::string& v) { o.identity.version = LineText("--version-text", v); }},
      {"--serial", [&](const std::string& v) { o.identity.serial = LineText("--serial", v); }},
      {"--redial",
       [&](const std::string& v) {
         o.redial = Millis(1000 * ParseNumber("--redial", v, 0, 3600));
       }},
      {"--timeout",
       [&](const std::string& v) {
         o.timeout = Millis(1000 * ParseNumber("--timeout", v, 1, 86400));
       }},
      {"--stop-ack-after",
       [&](const std::string& v) {
         o.misbehave.stop_ack_after = static_cast<int>(ParseNumber("--stop-ack-after", v, 0, 1000));
       }},
      {"--slow-send",
       [&](const std::string& v) {
         o.misbehave.slow_send = Millis(1000 * ParseNumber("--slow-send", v, 1, 3600));
       }},
      {"--drop-in-transfer",
       [&](const std::string& v) {
         o.misbehave.drop =
             Choose<DropDuring>("--drop-in-transfer", v,
                                {{"receive", DropDuring::Receive}, {"send", DropDuring::Send}});
       }},
      {"--bad-archive",
       [&](const std::string& v) {
         o.misbehave.archive = Choose<ArchiveFault>("--bad-archive", v,
                                                    {{"corrupt", ArchiveFault::Corrupt},
                                                     {"bad-crc", ArchiveFault::BadCrc},
                                                     {"hostile", ArchiveFault::Hostile}});
       }},
  };
  const std::map<std::string, std::function<void()>> flags = {
      {"--help", [&] { o.help = true; }},
      {"-h", [&] { o.help = true; }},
      {"--no-features", [&] { o.identity.features = false; }},
      {"--wrong-password", [&] { o.wrong_password = true; }},
      {"--differing-halves", [&] { o.differing_halves = true; }},
      {"--never-identify", [&] { o.misbehave.never_identify = true; }},
      {"--hang-up-on-ident", [&] { o.misbehave.hang_up_on_ident = true; }},
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    const std::size_t eq = name.find('=');
    const bool inline_value = name.starts_with("--") && eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (const auto f = flags.find(name); f != flags.end() && !inline_value) {
      f->second();
    } else if (const auto s = with_value.find(name); s != with_value.end()) {
      if (!inline_value) {
        if (i + 1 == args.size()) throw UsageError(name + " wants a value");
        value = args[++i];
      }
      s->second(value);
    } else {
      throw UsageError("unknown option \"" + args[i] + "\"");
    }
  }
  if (o.help) return o;
  if (o.host.empty()) throw UsageError("--station HOST:PORT is required");
  if (o.dir.empty()) throw UsageError("--dir DIR is required");
  if (!have_number) throw UsageError("--number N is required");
  return o;
}

}  // namespace marvolen::office
