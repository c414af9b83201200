// The call log's lines read with simdjson: the whole line is parsed and checked (its every
// byte, also in fields nobody reads) into the parser's tree, then the fields the report uses
// are taken in one pass over the record's keys.
#include <simdjson.h>

#include <cstring>

#include "callrec/RecordReader.h"
#include "platform/FileNames.h"

namespace marvolen {

static_assert(RecordReader::kPadding >= simdjson::SIMDJSON_PADDING);

namespace {
long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}
}  // namespace

struct RecordReader::Impl {
  explicit Impl(bool holdings) : want_holdings(holdings) {}

  const char* Read(const char* data, size_t size, CallSummary& summary) {
    simdjson::dom::element root;
    if (parser.parse(data, size, false).get(root)) return "JSON no válido";
    Fields fields;
    if (const char* why = Summarise(root, summary, fields)) return why;
    if (want_holdings && summary.identified && summary.admitted) {
      ReadHoldings(fields, summary);
      summary.holdings = &holdings;
    }
    return nullptr;
  }

  // The fields that make an office's holdings, kept from the pass over the record.
  struct Fields {
    simdjson::dom::element table_kind, features, office_files, deleted, files_sent;
  };

  // The fields of a record the report uses.
  enum class Key {
    kOther,
    kStart,
    kEnd,
    kResult,
    kOffice,
    kReason,
    kLine,
    kTranscript,
    kTransfers,
    kTraffic,
    kOfficeFiles,
    kAdmitted,
    kTableKind,
    kFeatures,
    kDeleted,
    kFilesSent
  };
  // By the name's length first: a record has some twenty fields, and comparing each with
  // every name the report uses was a tenth of the scan.
  static Key KeyOf(std::string_view key) {
    const auto is = [key](std::string_view name) {
      return std::memcmp(key.data(), name.data(), name.size()) == 0;
    };
    switch (key.size()) {
      case 3:
        return is("end") ? Key::kEnd : Key::kOther;
      case 4:
        return is("line") ? Key::kLine : Key::kOther;
      case 5:
        return is("start") ? Key::kStart : Key::kOther;
      case 6:
        return is("result")   ? Key::kResult
               : is("office") ? Key::kOffice
               : is("reason") ? Key::kReason
                              : Key::kOther;
      case 7:
        return is("traffic") ? Key::kTraffic : is("deleted") ? Key::kDeleted : Key::kOther;
      case 8:
        return is("admitted") ? Key::kAdmitted : is("features") ? Key::kFeatures : Key::kOther;
      case 9:
        return is("transfers") ? Key::kTransfers : Key::kOther;
      case 10:
        return is("transcript")   ? Key::kTranscript
               : is("table_kind") ? Key::kTableKind
               : is("files_sent") ? Key::kFilesSent
                                  : Key::kOther;
      case 12:
        return is("office_files") ? Key::kOfficeFiles : Key::kOther;
      default:
        return Key::kOther;
    }
  }

  // One pass over the record's fields: looking each up by name would scan the object again
  // for every one, and this runs a million times for a year's log.
  static const char* Summarise(simdjson::dom::element root, CallSummary& s, Fields& h) {
    simdjson::dom::object record;
    if (root.get(record)) return "no es un registro de llamada";
    std::string_view start, end, result;
    bool has_admitted = false;
    for (const simdjson::dom::key_value_pair field : record) {
      const simdjson::dom::element value = field.value;
      switch (KeyOf(field.key)) {
        case Key::kOther:
          break;
        case Key::kStart:
          if (value.get(start)) return "no es un registro de llamada";
          break;
        case Key::kEnd:
          if (value.get(end)) return "no es un registro de llamada";
          break;
        case Key::kResult:
          if (value.get(result)) return "no es un registro de llamada";
          break;
        case Key::kOffice: {
          int64_t office = 0;
          if (!value.get(office) && office > 0 && office <= 9999)
            s.office = static_cast<int>(office);
          break;
        }
        case Key::kReason: {
          std::string_view reason;
          if (!value.get(reason)) s.reason = ReasonFromName(reason).value_or(CallReason::kNone);
          break;
        }
        case Key::kLine: {
          int64_t port = 0;
          if (!value["port"].get(port)) s.port = static_cast<int>(port);
          if (value["device"].get(s.device)) s.device = {};
          if (value["name"].get(s.line_name)) s.line_name = {};
          break;
        }
        case Key::kTranscript:
          if (value.get(s.transcript)) s.transcript = {};
          break;
        case Key::kTransfers: {
          simdjson::dom::array transfers;
          if (value.get(transfers)) break;
          for (simdjson::dom::element t : transfers) {
            uint64_t bytes = 0;
            std::string_view direction, outcome;
            if (t["bytes"].get(bytes) || t["direction"].get(direction)) continue;
            const bool send = direction == "send";
            (send ? s.bytes_sent : s.bytes_received) += bytes;
            if (send && !t["result"].get(outcome) && EqualsNoCase(outcome, "Transferencia OK"))
              s.archive_delivered = true;
          }
          break;
        }
        case Key::kTraffic: {
          simdjson::dom::array traffic;
          s.traffic_filed = !value.get(traffic) && traffic.size() > 0;
          break;
        }
        case Key::kOfficeFiles: {
          simdjson::dom::array files;
          s.identified = !value.get(files);
          h.office_files = value;
          break;
        }
        case Key::kAdmitted:
          has_admitted = !value.get(s.admitted);
          break;
        case Key::kTableKind:
          h.table_kind = value;
          break;
        case Key::kFeatures:
          h.features = value;
          break;
        case Key::kDeleted:
          h.deleted = value;
          break;
        case Key::kFilesSent:
          h.files_sent = value;
          break;
      }
    }
    if (start.empty() || end.empty() || result.empty()) return "no es un registro de llamada";
    const auto start_time = ParseIso(start), end_time = ParseIso(end);
    const auto result_value = ResultFromName(result);
    if (!start_time || !end_time || !result_value) return "no es un registro de llamada";
    s.start_text = start;
    s.start_ms = EpochMs(*start_time);
    s.end_ms = EpochMs(*end_time);
    s.result = *result_value;
    // Records from before the field was kept: only a success is known to have been admitted.
    if (!has_admitted) s.admitted = s.result == CallResult::kSuccess;
    return nullptr;
  }

  // Into the reader's own holdings, whose strings and lists keep their room from call to call.
  void ReadHoldings(const Fields& f, const CallSummary& s) {
    OfficeHoldings& h = holdings;
    h.start_ms = s.start_ms;
    h.delivered = s.archive_delivered;
    std::string_view text;
    h.table_kind.assign(f.table_kind.get(text) ? std::string_view() : text);
    bool features = false;
    h.features = !f.features.get(features) && features;
    h.deleted.assign(f.deleted.get(text) ? std::string_view() : text);
    h.files.clear();
    simdjson::dom::array list;
    if (!f.office_files.get(list)) {
      for (simdjson::dom::element e : list) {
        std::string_view name, probe;
        int64_t value = 0;
        if (e["name"].get(name) || e["value"].get(value)) continue;
        if (e["probe"].get(probe)) probe = {};
        h.files.push_back({std::string(name), static_cast<int32_t>(value), std::string(probe)});
      }
    }
    h.sent.clear();
    if (!f.files_sent.get(list)) {
      for (simdjson::dom::element e : list) {
        std::string_view name, kind;
        uint64_t bytes = 0;
        if (e["name"].get(name) || e["kind"].get(kind)) continue;
        if (e["bytes"].get(bytes)) bytes = 0;
        h.sent.push_back({std::string(name), std::string(kind), bytes});
      }
    }
  }

  const bool want_holdings;
  OfficeHoldings holdings;
  simdjson::dom::parser parser;
};

RecordReader::RecordReader(bool holdings) : impl_(std::make_unique<Impl>(holdings)) {}
RecordReader::~RecordReader() = default;

const char* RecordReader::Read(const char* data, size_t size, CallSummary& out) {
  return impl_->Read(data, size, out);
}

}  // namespace marvolen
