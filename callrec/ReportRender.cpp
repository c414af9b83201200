// The report's outputs: the terminal table, CSV, JSON, the HTML page, one office's calls.
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "callrec/CallRecorder.h"
#include "callrec/Report.h"
#include "platform/ShownText.h"

namespace marvolen {

namespace {

constexpr long long kDayMs = 24LL * 3600 * 1000;

long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// "2026-12-07T11:49:47.123+01:00" -> "2026-12-07 11:49".
std::string Short(const std::string& iso) {
  if (iso.size() < 16) return iso.empty() ? "-" : iso;
  return iso.substr(0, 10) + " " + iso.substr(11, 5);
}

// The words of a rendering. The terminal table and the CSV keep the call log's own names, which
// scripts match; the status page, read in a browser at the station, speaks the station's
// language.
struct Words {
  std::vector<std::string> columns;
  std::string never;
  std::string nothing;
  std::string remove;  // before the file the office will be told to delete
  std::string (*result)(CallResult, CallReason);
};

std::string LogNames(CallResult result, CallReason reason) {
  std::string text(ResultName(result));
  if (reason != CallReason::kNone) text += ":" + std::string(ReasonName(reason));
  return text;
}

const Words kLogWords{{"office", "line", "last call", "last success", "result", "calls7d", "fail7d",
                       "ref24h", "traffic_days", "next call"},
                      "never",
                      "nothing",
                      "delete",
                      LogNames};

const Words kPageWords{
    {"oficina", "línea", "última llamada", "último éxito", "resultado", "llamadas 7 d",
     "fallos 7 d", "rechazos 24 h", "días sin tráfico", "próxima llamada"},
    "nunca",
    "nada",
    "borrar",
    CallResultWords};

std::string ResultText(const OfficeStatus& s, const Words& w) {
  if (!s.last_call_ms) return "-";
  return w.result(s.last_result, s.last_reason);
}

std::string TrafficDays(const OfficeStatus& s, const ReportOptions& o) {
  if (!s.last_traffic_ms) return "-";
  return std::to_string((EpochMs(o.now) - *s.last_traffic_ms) / kDayMs);
}

std::string NextText(const NextDelivery& d, const Words& w) {
  if (!d.known) return "? (" + d.why_unknown + ")";
  std::string text;
  for (const std::string& f : d.files) text += (text.empty() ? "" : " ") + f;
  if (!d.deleted.empty()) text += (text.empty() ? "" : " ") + w.remove + " " + d.deleted;
  return text.empty() ? w.nothing : text;
}

// The cells of an office's row, escaped: the names of the next delivery come from what the
// office reported.
std::vector<std::string> Cells(const OfficeStatus& s, const ReportOptions& o, const Words& w) {
  std::vector<std::string> cells{std::to_string(s.office),
                                 s.last_call_ms ? s.last_device : "-",
                                 s.last_call_ms ? Short(s.last_call_text) : w.never,
                                 s.last_success_ms ? Short(s.last_success_text) : w.never,
                                 ResultText(s, w),
                                 std::to_string(s.calls_7d),
                                 std::to_string(s.failures_7d),
                                 std::to_string(s.refusals_24h),
                                 TrafficDays(s, o),
                                 NextText(s.next, w)};
  for (std::string& cell : cells) cell = ShownText(cell);
  return cells;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string Html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

constexpr const char* kResultColours[4] = {"#2e7d32", "#c62828", "#9e9e9e", "#ef6c00"};

std::string Chart(const DailyCounts& daily) {
  int peak = 1;
  for (const auto& [day, counts] : daily) {
    int sum = 0;
    for (int c : counts) sum += c;
    peak = std::max(peak, sum);
  }
  const int bar = 22, height = 160, top = 20;
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"chart\" width=\""
      << daily.size() * bar + 60 << "\" height=\"" << height + 60
      << "\" role=\"img\" aria-label=\"llamadas por día\">";
  svg << "<text x=\"0\" y=\"14\" font-size=\"12\">máx. " << peak << " llamadas/día</text>";
  int x = 40;
  for (const auto& [day, counts] : daily) {
    int y = top + height;
    for (size_t k = 0; k < counts.size(); ++k) {
      const int h = counts[k] * height / peak;
      if (h == 0) continue;
      y -= h;
      svg << "<rect class=\"" << ResultName(static_cast<CallResult>(k)) << "\" x=\"" << x
          << "\" y=\"" << y << "\" width=\"" << bar - 4 << "\" height=\"" << h << "\" fill=\""
          << kResultColours[k] << "\"><title>" << day << " "
          << CallResultWords(static_cast<CallResult>(k), CallReason::kNone) << ": " << counts[k]
          << "</title></rect>";
    }
    svg << "<text x=\"" << x << "\" y=\"" << top + height + 14 << "\" font-size=\"9\">"
        << day.substr(8, 2) << "</text>";
    x += bar;
  }
  int lx = 40;
  for (size_t k = 0; k < 4; ++k) {
    svg << "<rect x=\"" << lx << "\" y=\"" << top + height + 24
        << "\" width=\"10\" height=\"10\" fill=\"" << kResultColours[k] << "\"/><text x=\""
        << lx + 14 << "\" y=\"" << top + height + 33 << "\" font-size=\"11\">"
        << CallResultWords(static_cast<CallResult>(k), CallReason::kNone) << "</text>";
    lx += 130;
  }
  svg << "</svg>";
  return svg.str();
}

}  // namespace

std::string RenderText(const NetworkReport& r, const ReportOptions& o) {
  std::vector<std::vector<std::string>> rows{kLogWords.columns};
  for (const OfficeStatus& s : r.offices) rows.push_back(Cells(s, o, kLogWords));
  std::vector<size_t> width(kLogWords.columns.size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

std::string RenderCsv(const NetworkReport& r, const ReportOptions& o) {
  std::string out;
  const std::vector<std::string>& columns = kLogWords.columns;
  for (size_t i = 0; i < columns.size(); ++i) out += (i ? "," : "") + CsvField(columns[i]);
  out += "\n";
  for (const OfficeStatus& s : r.offices) {
    const auto cells = Cells(s, o, kLogWords);
    for (size_t i = 0; i < cells.size(); ++i) out += (i ? "," : "") + CsvField(cells[i]);
    out += "\n";
  }
  return out;
}

std::string RenderJson(const NetworkReport& r, const ReportOptions& o) {
  using nlohmann::json;
  json offices = json::array();
  for (const OfficeStatus& s : r.offices) {
    json next = {{"known", s.next.known}};
    if (s.next.known) {
      next["files"] = s.next.files;
      next["delete"] = s.next.deleted.empty() ? json(nullptr) : json(s.next.deleted);
    } else {
      next["why"] = s.next.why_unknown;
    }
    offices.push_back({
        {"office", s.office},
        {"has_directory", s.has_dir},
        {"line", s.last_call_ms ? json(s.last_device) : json(nullptr)},
        {"last_call", s.last_call_ms ? json(s.last_call_text) : json(nullptr)},
        {"last_success", s.last_success_ms ? json(s.last_success_text) : json(nullptr)},
        {"last_result", s.last_call_ms ? json(ResultName(s.last_result)) : json(nullptr)},
        {"last_reason",
         s.last_reason == CallReason::kNone ? json(nullptr) : json(ReasonName(s.last_reason))},
        {"calls_7d", s.calls_7d},
        {"failures_7d", s.failures_7d},
        {"refusals_24h", s.refusals_24h},
        {"days_since_traffic",
         s.last_traffic_ms ? json((EpochMs(o.now) - *s.last_traffic_ms) / kDayMs) : json(nullptr)},
        {"in_trouble", s.InTrouble(o)},
        {"next_call", next},
    });
  }
  json bad = json::array();
  for (const BadLine& b : r.bad_lines) bad.push_back({{"line", b.number}, {"why", b.why}});
  json daily = json::object();
  for (const auto& [day, counts] : r.daily) daily[day] = counts;
  return json{
             {"generated", FormatIsoLocal(o.now)}, {"records", r.records}, {"bad_lines", bad},
             {"bad_line_count", r.bad_line_count}, {"offices", offices},   {"calls_per_day", daily}}
             .dump(2, ' ', false, json::error_handler_t::replace) +
         "\n";
}

std::string RenderHtml(const NetworkReport& r, const ReportOptions& o) {
  std::vector<const OfficeStatus*> order;
  for (const OfficeStatus& s : r.offices) order.push_back(&s);
  std::stable_sort(order.begin(), order.end(), [&](const OfficeStatus* a, const OfficeStatus* b) {
    return a->InTrouble(o) > b->InTrouble(o);
  });
  std::ostringstream page;
  page << "<!DOCTYPE html>\n<html lang=\"es\"><head><meta charset=\"utf-8\">"
          "<title>Marvolen: estado de la red</title><style>"
          "body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
          "td,th{border:1px solid #ccc;padding:2px 6px;font-size:13px}"
          "tr.trouble td{background:#fdecea}</style></head><body>\n"
       << "<h1>Marvolen: estado de la red</h1><p>" << Html(FormatIsoLocal(o.now)) << " &middot; "
       << r.records << " llamadas registradas";
  if (r.bad_line_count) page << " &middot; " << r.bad_line_count << " líneas dañadas omitidas";
  page << "</p>\n<h2>Llamadas por día, últimos 30 días</h2>\n"
       << Chart(r.daily) << "\n<h2>Oficinas</h2>\n";
  page << "<table id=\"offices\"><thead><tr>";
  for (const std::string& c : kPageWords.columns) page << "<th>" << Html(c) << "</th>";
  page << "</tr></thead><tbody>\n";
  for (const OfficeStatus* s : order) {
    page << "<tr" << (s->InTrouble(o) ? " class=\"trouble\"" : "") << ">";
    for (const std::string& c : Cells(*s, o, kPageWords)) page << "<td>" << Html(c) << "</td>";
    page << "</tr>\n";
  }
  page << "</tbody></table></body></html>\n";
  return page.str();
}

std::string RenderOfficeHeading(int office, uint64_t calls) {
  return "office " + std::to_string(office) + ": " + std::to_string(calls) + " calls\n";
}

std::string RenderOfficeCall(const CallRecord& c) {
  std::vector<std::string> lines;
  char dur[32];
  std::snprintf(dur, sizeof dur, "%.1f s",
                std::chrono::duration_cast<Millis>(c.end - c.start).count() / 1000.0);
  std::string head = Short(FormatIsoLocal(c.start)) + "  " + dur + "  " + c.device + "  " +
                     std::string(ResultName(c.result));
  if (c.reason != CallReason::kNone) head += ":" + std::string(ReasonName(c.reason));
  if (!c.detail.empty()) head += " (" + c.detail + ")";
  lines.push_back(head);
  for (const SentFile& f : c.files_sent)
    lines.push_back("    sent " + f.name + " " + std::to_string(f.bytes) + " B");
  if (c.deleted) lines.push_back("    deleted " + *c.deleted);
  for (const NamedBytes& t : c.traffic)
    lines.push_back("    traffic " + t.name + " " + std::to_string(t.bytes) + " B" +
                    (t.already_filed ? " (already filed)" : ""));
  for (const NamedBytes& d : c.day_files_received)
    lines.push_back("    day file " + d.name + " " + std::to_string(d.bytes) + " B");
  for (const TransferSummary& t : c.transfers) {
    char line[120];
    std::snprintf(line, sizeof line, " %llu B %d blocks of %d, %d resends, %s, %.1f s, %.0f B/s: ",
                  static_cast<unsigned long long>(t.bytes), t.blocks, t.block_size, t.resends,
                  t.crc ? "crc" : "checksum", t.seconds, t.BytesPerSecond());
    lines.push_back(std::string("    ") +
                    (t.direction == TransferDirection::kSend ? "send " : "receive ") + t.file +
                    line + t.result);
  }
  if (!c.transcript.empty()) lines.push_back("    transcript " + c.transcript);
  // The names and texts come from the office and from failures it caused.
  std::string out;
  for (const std::string& line : lines) out += ShownText(line) + "\n";
  return out;
}

}  // namespace marvolen
