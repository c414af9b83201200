// The kind of tables an office works with. A "tbl" office has one set of tables (".tbl"); a
// "tab" office has tables and cost files (".tab", then ".cos"), a wider header in its file
// report, and a cumulative traffic file "of<n>.TRF" kept beside the stamped copies. The office
// says its kind in its identification; the kind carries over to the next call until then.
// `CallState::TableExt` holds one.
#pragma once

#include <string_view>
#include <vector>

namespace marvolen {

class TableKind {
 public:
  // "tbl": the kind after start-up.
  TableKind() = default;
  static TableKind Tbl() { return TableKind(false); }
  static TableKind Tab() { return TableKind(true); }
  // "tab" is a "tab" office; any other text (a record's field, an old value) is "tbl".
  static TableKind FromText(std::string_view text) { return TableKind(text == "tab"); }
  // The identification's table kind letter: S or N, in either case, is "tab".
  static TableKind FromIdentLetter(std::string_view letter) {
    return TableKind(letter == "S" || letter == "s" || letter == "N" || letter == "n");
  }

  // "tbl" or "tab", as records and the operator read it.
  std::string_view Ext() const { return tab_ ? "tab" : "tbl"; }
  // The width of the header of the office's file report.
  int HeaderWidth() const { return tab_ ? 66 : 98; }
  // The extensions of the office's tables, in the order they are surveyed and sent.
  std::vector<std::string_view> TableExtensions() const {
    if (tab_) return {"tab", "cos"};
    return {"tbl"};
  }
  // Whether filed traffic is also appended to the office's cumulative file.
  bool KeepsCumulativeTraffic() const { return tab_; }

  bool operator==(const TableKind&) const = default;

 private:
  explicit TableKind(bool tab) : tab_(tab) {}
  bool tab_ = false;
};

}  // namespace marvolen
