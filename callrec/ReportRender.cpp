// The report's outputs: the terminal table, CSV, JSON, the HTML page, one office's calls.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "callrec/CallRecorder.h"
#include "callrec/Report.h"
#include "platform/ShownText.h"

namespace marvolen {

namespace {

constexpr long long kDayMs = 24LL * 3600 * 1000;

// Text put together piece by piece, numbers written as a stream writes them. No stream: its
// locale machinery would cost every line that renders the page half a megabyte of library
// pages.
class TextOut {
 public:
  TextOut& operator<<(std::string_view text) {
    text_ += text;
    return *this;
  }
  TextOut& operator<<(char c) {
    text_ += c;
    return *this;
  }
  template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
  TextOut& operator<<(Number number) {
    char digits[24];
    text_.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
    return *this;
  }
  TextOut& operator<<(double number) {
    char digits[32];
    const int length = std::snprintf(digits, sizeof digits, "%g", number);
    text_.append(digits, static_cast<size_t>(length));
    return *this;
  }
  std::string str() && { return std::move(text_); }
  const std::string& str() const& { return text_; }

 private:
  std::string text_;
};

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

// "1234567" -> "1.234.567", as the page's reader writes numbers.
std::string Thousands(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += '.';
    out += digits[i];
  }
  return out;
}

std::string Plural(uint64_t n, const std::string& one, const std::string& many) {
  return Thousands(n) + " " + (n == 1 ? one : many);
}

// The calls of the last 30 days, one bar a day. Drawn in its own units (viewBox) and scaled to
// the window, with letters large enough to read on a phone 420 pixels wide.
std::string Chart(const DailyCounts& daily) {
  int peak = 1;
  for (const auto& [day, counts] : daily) {
    int sum = 0;
    for (int c : counts) sum += c;
    peak = std::max(peak, sum);
  }
  const int bar = 20, height = 160, top = 32, left = 10;
  const int width = static_cast<int>(daily.size()) * bar + 2 * left;
  TextOut svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"chart\" viewBox=\"0 0 " << width << " "
      << top + height + 28 << "\" width=\"100%\" style=\"max-width:" << width
      << "px;height:auto\" role=\"img\" aria-label=\"llamadas por día\">";
  svg << "<text x=\"" << left << "\" y=\"22\" font-size=\"22\">máx. " << Thousands(peak)
      << " llamadas/día</text>";
  int x = left, k_day = 0;
  for (const auto& [day, counts] : daily) {
    int y = top + height;
    for (size_t k = 0; k < counts.size(); ++k) {
      const int h = counts[k] * height / peak;
      if (h == 0) continue;
      y -= h;
      svg << "<rect class=\"" << ResultName(static_cast<CallResult>(k)) << "\" x=\"" << x
          << "\" y=\"" << y << "\" width=\"" << bar - 3 << "\" height=\"" << h << "\" fill=\""
          << kResultColours[k] << "\"><title>" << day << " "
          << CallResultWords(static_cast<CallResult>(k), CallReason::kNone) << ": " << counts[k]
          << "</title></rect>";
    }
    // Every third day named, the newest always: two digits a bar are too close to read small.
    if ((daily.size() - 1 - k_day) % 3 == 0) {
      svg << "<text x=\"" << x << "\" y=\"" << top + height + 22 << "\" font-size=\"20\">"
          << day.substr(8, 2) << "</text>";
    }
    x += bar;
    ++k_day;
  }
  svg << "</svg>";
  // The legend in the page's own text, which wraps on a narrow window.
  svg << "<p class=\"legend\">";
  for (size_t k = 0; k < 4; ++k) {
    svg << "<span class=\"item\"><span class=\"key\" style=\"background:" << kResultColours[k]
        << "\"></span>" << CallResultWords(static_cast<CallResult>(k), CallReason::kNone)
        << "</span> ";
  }
  svg << "</p>";
  return svg.str();
}

std::string Row(const std::vector<std::string>& labels, const std::vector<std::string>& cells,
                const std::string& cls) {
  std::string row = "<tr" + (cls.empty() ? "" : " class=\"" + cls + "\"") + ">";
  for (size_t i = 0; i < cells.size(); ++i)
    row += "<td data-label=\"" + Html(labels[i]) + "\">" + cells[i] + "</td>";
  return row + "</tr>\n";
}

std::string Head(const std::vector<std::string>& labels) {
  std::string head = "<thead><tr>";
  for (const std::string& l : labels) head += "<th>" + Html(l) + "</th>";
  return head + "</tr></thead>";
}

const std::vector<std::string> kLineColumns{"línea", "dispositivo",   "estado",
                                            "desde", "último latido", "bytes enviados / recibidos"};

std::string LinesSection(const NetworkReport& r, const ReportOptions& o) {
  if (r.lines.empty()) {
    return "<p id=\"lines\">Ninguna línea ha dado noticias (no hay estados en lines/).</p>\n";
  }
  std::string out = "<table id=\"lines\" class=\"cards\">" + Head(kLineColumns) + "<tbody>\n";
  for (const LineStatusFile& f : r.lines) {
    if (!f.status) {
      out += Row(kLineColumns,
                 {Html(f.name), "-", Html(ShownText("estado ilegible: " + f.error)), "-", "-", "-"},
                 "down");
      continue;
    }
    const LineStatus& s = *f.status;
    const std::string cls = LineIsStale(s, o.now) ? "stale"
                            : LineIsUp(s, o.now)  ? (s.state == kLineInCall ? "call" : "up")
                                                  : "down";
    out +=
        Row(kLineColumns,
            {Html(s.line), Html(ShownText(s.device)), Html(ShownText(LineStateWords(s, o.now))),
             ShownTime(s.since), ShownTime(s.heartbeat),
             s.state == kLineInCall ? Thousands(s.bytes_sent) + " / " + Thousands(s.bytes_received)
                                    : "-"},
            cls);
  }
  return out + "</tbody></table>\n";
}

// "calls/2026-12-07/114947-loc07.txt" -> "12-07 11:49:47"; other names as they are.
std::string TranscriptLabel(const std::string& path) {
  if (path.size() < 24 || path[16] != '/') return path.substr(path.rfind('/') + 1);
  return path.substr(11, 5) + " " + path.substr(17, 2) + ":" + path.substr(19, 2) + ":" +
         path.substr(21, 2);
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

namespace {

// The offices table's columns on the page: the report's, then the reasons and the transcripts.
std::vector<std::string> PageLabels() {
  std::vector<std::string> labels = kPageWords.columns;
  labels.insert(labels.end(), {"avisos", "transcripciones"});
  return labels;
}

}  // namespace

std::string HtmlPageHead(const NetworkReport& r, uint64_t offices, uint64_t trouble,
                         const ReportOptions& o) {
  const int up = LinesUp(r, o.now);
  const bool all_well = trouble == 0 && up == static_cast<int>(r.lines.size());
  TextOut page;
  // Refreshed every minute: the page is left open on the operator's screen.
  page << "<!DOCTYPE html>\n<html lang=\"es\"><head><meta charset=\"utf-8\">"
          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
          "<meta http-equiv=\"refresh\" content=\"60\">"
          "<title>Marvolen: estado de la red</title><style>"
          "body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
          "td,th{border:1px solid #ccc;padding:2px 6px;font-size:13px;text-align:left}"
          "tr.trouble td,tr.down td,tr.stale td{background:#fdecea}tr.call td{background:#e8f5e9}"
          "#summary{font-size:1.2em;font-weight:bold;padding:.3em .5em}"
          "#summary.ok{background:#e8f5e9}#summary.trouble{background:#fdecea}"
          ".item{white-space:nowrap}.key{display:inline-block;width:.8em;height:.8em;margin:0 .3em "
          "0 .8em}"
          "@media (max-width:640px){table.cards thead{display:none}"
          "table.cards tr{display:block;border:1px solid #ccc;margin:0 0 .6em}"
          "table.cards td{display:block;border:0}"
          "table.cards td::before{content:attr(data-label) \": \";font-weight:bold}}"
          "</style></head><body>\n"
       << "<h1>Marvolen: estado de la red</h1>\n<p id=\"summary\" class=\""
       << (all_well ? "ok" : "trouble") << "\">" << Plural(offices, "oficina", "oficinas") << ": "
       << Thousands(offices - trouble) << " en orden, " << Thousands(trouble)
       << " con problemas &middot; ";
  if (r.lines.empty()) {
    page << "ninguna línea ha dado su estado";
  } else {
    page << up << " de " << Plural(r.lines.size(), "línea", "líneas") << " en servicio";
  }
  page << "</p>\n<p>" << ShownTime(o.now) << " &middot; "
       << Plural(r.records, "llamada registrada", "llamadas registradas");
  if (r.bad_line_count)
    page << " &middot; "
         << Plural(r.bad_line_count, "línea dañada omitida", "líneas dañadas omitidas");
  page << "</p>\n<h2>Líneas</h2>\n" << LinesSection(r, o) << "<h2>Oficinas</h2>\n";
  page << "<table id=\"offices\" class=\"cards\">" << Head(PageLabels()) << "<tbody>\n";
  return std::move(page).str();
}

std::string HtmlOfficeRow(const OfficeStatus& s, const ReportOptions& o) {
  static const std::vector<std::string> labels = PageLabels();
  std::vector<std::string> cells;
  for (const std::string& c : Cells(s, o, kPageWords)) cells.push_back(Html(c));
  std::string reasons;
  for (const std::string& why : s.TroubleReasons(o))
    reasons += (reasons.empty() ? "" : "; ") + Html(ShownText(why));
  cells.push_back(reasons.empty() ? "-" : reasons);
  std::string links;
  for (const std::string& t : s.transcripts)
    links += (links.empty() ? "" : " ") +
             ("<a href=\"" + Html(t) + "\">" + Html(TranscriptLabel(t)) + "</a>");
  cells.push_back(links.empty() ? "-" : links);
  return Row(labels, cells, s.InTrouble(o) ? "trouble" : "");
}

std::string HtmlPageTail(const DailyCounts& daily) {
  return "</tbody></table>\n<h2>Llamadas por día, últimos 30 días</h2>\n" + Chart(daily) +
         "\n</body></html>\n";
}

std::string RenderHtml(const NetworkReport& r, const ReportOptions& o) {
  // The offices in trouble first, each group by number.
  std::string trouble_rows, other_rows;
  uint64_t trouble = 0;
  for (const OfficeStatus& s : r.offices) {
    const bool in_trouble = s.InTrouble(o);
    trouble += in_trouble ? 1 : 0;
    (in_trouble ? trouble_rows : other_rows) += HtmlOfficeRow(s, o);
  }
  return HtmlPageHead(r, r.offices.size(), trouble, o) + trouble_rows + other_rows +
         HtmlPageTail(r.daily);
}

namespace {

// A label's value in the exposition format, which must be UTF-8 with backslash, quote and line
// end escaped. A line's name may come from a file name, any bytes: those that are no UTF-8,
// and control characters, are shown as "\xHH" first, as everywhere else (ShownText), so that
// one bad name cannot make the whole exposition unreadable.
std::string Label(std::string_view value) {
  std::string out;
  for (char c : ShownText(value)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

void Family(TextOut& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

}  // namespace

namespace {

// Every line known, from the log or from "lines/", gets every series: a counter that appears
// only at its first call hides the first increase from rate().
std::map<std::string, LineCounts, std::less<>> MetricsLines(const NetworkReport& r) {
  std::map<std::string, LineCounts, std::less<>> lines = r.line_calls;
  for (const LineStatusFile& f : r.lines) lines.try_emplace(f.name);
  return lines;
}

}  // namespace

std::string MetricsHead(const NetworkReport& r, const ReportOptions& o) {
  const auto lines = MetricsLines(r);
  TextOut out;
  Family(out, "marvolen_calls_total", "counter",
         "Llamadas terminadas por línea y resultado, según el registro de llamadas.");
  for (const auto& [line, counts] : lines) {
    for (size_t k = 0; k < counts.calls.size(); ++k) {
      out << "marvolen_calls_total{line=\"" << Label(line) << "\",result=\""
          << ResultName(static_cast<CallResult>(k)) << "\"} " << counts.calls[k] << "\n";
    }
  }
  Family(out, "marvolen_line_up", "gauge",
         "1 si la línea atiende llamadas (en espera o en llamada, con latido reciente).");
  for (const LineStatusFile& f : r.lines) {
    out << "marvolen_line_up{line=\"" << Label(f.name) << "\"} "
        << (f.status && LineIsUp(*f.status, o.now) ? 1 : 0) << "\n";
  }
  Family(out, "marvolen_call_in_progress", "gauge", "1 si la línea está en una llamada.");
  for (const LineStatusFile& f : r.lines) {
    out << "marvolen_call_in_progress{line=\"" << Label(f.name) << "\"} "
        << (f.status && LineIsUp(*f.status, o.now) && f.status->state == kLineInCall ? 1 : 0)
        << "\n";
  }
  Family(out, "marvolen_office_last_success_timestamp_seconds", "gauge",
         "Comienzo de la última llamada completada de la oficina (segundos desde 1970).");
  return std::move(out).str();
}

std::string MetricsOffice(const OfficeStatus& s) {
  if (!s.last_success_ms) return {};
  return "marvolen_office_last_success_timestamp_seconds{office=\"" + std::to_string(s.office) +
         "\"} " + std::to_string(*s.last_success_ms / 1000) + "\n";
}

std::string MetricsTail(const NetworkReport& r) {
  const auto lines = MetricsLines(r);
  TextOut out;
  Family(out, "marvolen_transfer_bytes_total", "counter",
         "Bytes transferidos por línea: sent a las oficinas, received de ellas.");
  for (const auto& [line, counts] : lines) {
    out << "marvolen_transfer_bytes_total{line=\"" << Label(line) << "\",direction=\"sent\"} "
        << counts.bytes_sent << "\n";
    out << "marvolen_transfer_bytes_total{line=\"" << Label(line) << "\",direction=\"received\"} "
        << counts.bytes_received << "\n";
  }
  Family(out, "marvolen_call_duration_seconds", "histogram", "Duración de las llamadas.");
  const DurationHistogram& h = r.durations;
  for (size_t i = 0; i < kDurationBounds.size(); ++i) {
    out << "marvolen_call_duration_seconds_bucket{le=\"" << kDurationBounds[i] << "\"} "
        << h.at_most[i] << "\n";
  }
  char sum[64];
  std::snprintf(sum, sizeof sum, "%.3f", h.sum);
  out << "marvolen_call_duration_seconds_bucket{le=\"+Inf\"} " << h.count << "\n"
      << "marvolen_call_duration_seconds_sum " << sum << "\n"
      << "marvolen_call_duration_seconds_count " << h.count << "\n";
  return std::move(out).str();
}

std::string RenderMetrics(const NetworkReport& r, const ReportOptions& o) {
  std::string out = MetricsHead(r, o);
  for (const OfficeStatus& s : r.offices) out += MetricsOffice(s);
  return out + MetricsTail(r);
}

CheckResult RenderCheck(const NetworkReport& r, const ReportOptions& o) {
  std::vector<Alert> alerts = Alerts(r, o);
  // The worst first, each kind in its order.
  std::stable_sort(alerts.begin(), alerts.end(),
                   [](const Alert& a, const Alert& b) { return a.status > b.status; });
  CheckResult result;
  if (!alerts.empty()) result.status = alerts.front().status;
  const uint64_t lines = r.lines.size();
  const auto up = static_cast<uint64_t>(LinesUp(r, o.now));
  const auto trouble = static_cast<uint64_t>(std::count_if(
      r.offices.begin(), r.offices.end(), [&](const OfficeStatus& s) { return s.InTrouble(o); }));
  TextOut out;
  out << "MARVOLEN " << CheckStatusName(result.status) << " - "
      << Plural(r.offices.size(), "oficina", "oficinas") << ", "
      << (up == lines ? Plural(up, "línea", "líneas")
                      : Thousands(up) + " de " + Plural(lines, "línea", "líneas"))
      << " en servicio";
  if (!alerts.empty()) out << ", " << Plural(alerts.size(), "alerta", "alertas");
  // Performance data: plain numbers a monitoring system graphs.
  out << " | oficinas=" << r.offices.size() << " alertas=" << alerts.size()
      << " oficinas_con_problemas=" << trouble << " lineas=" << lines
      << " lineas_en_servicio=" << up << " llamadas=" << r.records
      << " lineas_danadas=" << r.bad_line_count << "\n";
  for (const Alert& a : alerts)
    out << CheckStatusName(a.status) << ": " << ShownText(a.text) << "\n";
  result.text = out.str();
  return result;
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
