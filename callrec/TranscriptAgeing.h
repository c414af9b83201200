// Old transcripts go: those of days more than a month back, then the oldest until the rest
// fit a size. The working directory may be shared (a network file system), and whoever can
// write there can put a link in "calls/" aiming anywhere: the ageing works only through
// directories it opened itself without following a link, and removes nothing but the
// transcripts it would have written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace marvolen {

struct TranscriptLimits {
  int max_age_days = 30;
  uint64_t max_total_bytes = 256ull << 20;
};

struct AgeingResult {
  int removed = 0;
  // For the log view: each link left alone, and what could not be read.
  std::vector<std::string> warnings;
};

// Removes, under `work_dir` + "calls/", the transcripts whose day lies more than
// max_age_days before `now`, then the oldest ones until the rest fit max_total_bytes, then
// the day directories left empty (before today's). Only regular files named as the recorder
// names transcripts ("HHMMSS-locNN.txt"), inside real directories named as days
// ("YYYY-MM-DD"), are touched. A symbolic link ("calls" itself, a day, a transcript) is never
// followed nor removed; each one gets a warning.
AgeingResult AgeTranscripts(const std::string& work_dir, WallTime now,
                            const TranscriptLimits& limits = {},
                            const FileOps& ops = SystemFileOps());

// The station ages its transcripts when it starts and then once a day while it runs, never
// during a call.
class TranscriptAgeing {
 public:
  TranscriptAgeing(std::string work_dir, const Clock& clock, TranscriptLimits limits = {});

  // Ages the transcripts when the last run is a day old (or there was none) and no call is up;
  // gives back the warnings to show.
  std::vector<std::string> RunWhenDue(bool in_call);

 private:
  std::string work_dir_;
  const Clock& clock_;
  TranscriptLimits limits_;
  std::optional<MonoTime> last_run_;
};

}  // namespace marvolen
