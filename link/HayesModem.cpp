#include "link/HayesModem.h"

#include <algorithm>

namespace marvolen {

namespace {

constexpr Millis kRingInterval{6000};
constexpr Millis kAnswerDelay{500};
// A command line whose bytes stop coming for this long is no longer being typed: a ring held
// back for it is reported.
constexpr Millis kTypingPause{1000};
constexpr std::size_t kMaxCommandLine = 255;
constexpr std::string_view kIdentification = "MARVOLEN TCP MODEM";

// Registers after power-on, ATZ and AT&F: S2 escape '+', S3 CR, S4 LF, S5 backspace, S6
// dial-tone wait, S7 carrier wait, S8 comma pause, S9 carrier detect time, S10 carrier loss
// time, S12 escape guard time.
std::array<int, 256> FactoryRegisters() {
  std::array<int, 256> regs{};
  regs[2] = 43;
  regs[3] = 13;
  regs[4] = 10;
  regs[5] = 8;
  regs[6] = 2;
  regs[7] = 50;
  regs[8] = 2;
  regs[9] = 6;
  regs[10] = 14;
  regs[12] = 50;
  return regs;
}

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// An optional one-digit argument; `fallback` when there is none.
int DigitArgument(std::string_view body, std::size_t& pos, int fallback) {
  if (pos < body.size() && IsDigit(body[pos])) return body[pos++] - '0';
  return fallback;
}

// Up to three digits; nullopt when there are none.
std::optional<int> Number(std::string_view body, std::size_t& pos) {
  int value = 0;
  std::size_t digits = 0;
  while (pos < body.size() && IsDigit(body[pos]) && digits < 3) {
    value = value * 10 + (body[pos++] - '0');
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return value;
}

}  // namespace

void PacedQueue::Push(std::string_view bytes, MonoTime now, std::chrono::nanoseconds per_byte) {
  if (bytes.empty()) return;
  // A byte starts when it is sent or when the one before it has arrived, whichever is later.
  if (bytes_.empty()) next_at_ = std::max(last_done_, now) + per_byte;
  per_byte_ = per_byte;
  bytes_.append(bytes);
}

void PacedQueue::Release(MonoTime now, std::string& out) {
  if (bytes_.empty()) return;
  std::size_t count = bytes_.size();
  if (per_byte_.count() > 0) {
    if (now < next_at_) return;
    count =
        std::min<std::size_t>(count, static_cast<std::size_t>((now - next_at_) / per_byte_) + 1);
    last_done_ = next_at_ + per_byte_ * static_cast<long long>(count - 1);
    next_at_ += per_byte_ * static_cast<long long>(count);
  } else {
    last_done_ = now;
  }
  out.append(bytes_, 0, count);
  bytes_.erase(0, count);
}

std::optional<MonoTime> PacedQueue::BatchArrival(std::size_t batch) const {
  if (bytes_.empty()) return std::nullopt;
  const std::size_t count = std::clamp<std::size_t>(batch, 1, bytes_.size());
  return next_at_ + per_byte_ * static_cast<long long>(count - 1);
}

HayesModem::HayesModem(Clock& clock, TelephoneLine& line)
    : clock_(clock), line_(line), regs_(FactoryRegisters()) {}

std::chrono::nanoseconds HayesModem::PerByte() const {
  if (!pacing_ || speed_ == 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(10'000'000'000LL / speed_);
}

bool HayesModem::CanTakeFromCaller() const {
  return state_ == State::kOnline &&
         for_station_.size() + paced_to_station_.Size() < station_queue_limit_;
}

std::string HayesModem::TakeForStation(std::size_t count) {
  count = std::min(count, for_station_.size());
  std::string out = for_station_.substr(0, count);
  for_station_.erase(0, count);
  return out;
}

void HayesModem::ClearForStation() {
  for_station_.clear();
  paced_to_station_.Clear();
}

void HayesModem::FromStation(std::string_view bytes) {
  if (state_ != State::kOnline) {
    for (char c : bytes) CommandByte(c);
    return;
  }
  std::string data(bytes);
  Filter(LineDirection::kToCaller, data);
  paced_to_caller_.Push(data, clock_.Now(), PerByte());
  Poll();
}

void HayesModem::CommandByte(char c) {
  last_typed_ = clock_.Now();
  if (echo_) for_station_ += c;
  if (!in_command_) {
    // Everything up to the "AT" prefix is ignored.
    const char u = Upper(c);
    if (saw_a_ && u == 'T') {
      in_command_ = true;
      overflow_ = false;
      command_.clear();
      saw_a_ = false;
    } else {
      saw_a_ = u == 'A';
    }
    return;
  }
  if (static_cast<unsigned char>(c) == regs_[3]) {
    in_command_ = false;
    Execute(command_);
    return;
  }
  if (static_cast<unsigned char>(c) == regs_[5]) {
    if (!command_.empty()) command_.pop_back();
    return;
  }
  if (static_cast<unsigned char>(c) < 0x20) return;
  if (command_.size() >= kMaxCommandLine) {
    overflow_ = true;
    return;
  }
  command_ += c;
}

void HayesModem::Execute(std::string_view line) {
  if (overflow_) {
    Result("ERROR");
    return;
  }
  std::string body;
  for (char c : line) {
    if (c != ' ') body += Upper(c);
  }
  std::size_t pos = 0;
  while (pos < body.size()) {
    bool done = false;
    if (!RunCommand(body, pos, done)) {
      Result("ERROR");
      return;
    }
    if (done) return;
  }
  Result("OK");
}

bool HayesModem::RunCommand(std::string_view body, std::size_t& pos, bool& done) {
  const char command = body[pos++];
  switch (command) {
    case 'Z':
      Reset();
      Result("OK");
      done = true;  // the rest of the line goes with the old settings
      return true;
    case 'E': {
      const int d = DigitArgument(body, pos, 0);
      if (d > 1) return false;
      echo_ = d == 1;
      return true;
    }
    case 'H': {
      const int d = DigitArgument(body, pos, 0);
      if (d > 1) return false;
      if (d == 0 && Carrier()) EndCall(true, {});  // on hook already while a caller rings
      return true;
    }
    case 'A':
      Answer();
      done = true;
      return true;
    case 'O':
      DigitArgument(body, pos, 0);
      if (state_ == State::kOnlineCommand) {
        GoOnline();
      } else {
        Result("NO CARRIER");
      }
      done = true;
      return true;
    case 'I':
      DigitArgument(body, pos, 0);
      InfoLine(kIdentification);
      return true;
    case 'S':
      return SetRegister(body, pos);
    case '&': {
      if (pos >= body.size()) return false;
      const char what = body[pos++];
      if (what == 'F') {
        FactorySettings();
        return true;
      }
      if (what != 'D') return false;
      const int d = DigitArgument(body, pos, 0);
      if (d > 3) return false;
      dtr_mode_ = d;
      return true;
    }
    case 'M':
    case 'L':
    case 'X':
      DigitArgument(body, pos, 0);  // speaker and result-set choices mean nothing here
      return true;
    default:
      return false;
  }
}

bool HayesModem::SetRegister(std::string_view body, std::size_t& pos) {
  const std::optional<int> reg = Number(body, pos);
  if (!reg || *reg > 255 || pos >= body.size()) return false;
  if (body[pos] == '?') {
    ++pos;
    char text[4];
    const int value = regs_[static_cast<std::size_t>(*reg)];
    text[0] = static_cast<char>('0' + value / 100);
    text[1] = static_cast<char>('0' + value / 10 % 10);
    text[2] = static_cast<char>('0' + value % 10);
    text[3] = 0;
    InfoLine(text);
    return true;
  }
  if (body[pos] != '=') return false;
  ++pos;
  const std::optional<int> value = Number(body, pos);
  if (value.value_or(0) > 255) return false;
  regs_[static_cast<std::size_t>(*reg)] = value.value_or(0);
  return true;
}

void HayesModem::InfoLine(std::string_view text) {
  for_station_ += static_cast<char>(regs_[3]);
  for_station_ += static_cast<char>(regs_[4]);
  for_station_ += text;
}

void HayesModem::Result(std::string_view text) {
  InfoLine(text);
  for_station_ += static_cast<char>(regs_[3]);
  for_station_ += static_cast<char>(regs_[4]);
}

void HayesModem::Reset() {
  // An answered call ends; a caller still ringing rings on, counted afresh from S1 = 0.
  if (Carrier()) EndCall(true, {});
  FactorySettings();
  saw_a_ = false;
  in_command_ = false;
  command_.clear();
}

void HayesModem::FactorySettings() {
  regs_ = FactoryRegisters();  // S0 = 0: a ringing caller is no longer answered
  echo_ = true;
  dtr_mode_ = 0;
  rings_ = 0;
  answer_at_.reset();
}

bool HayesModem::IncomingCall(MonoTime since) {
  if (state_ != State::kIdle) return false;
  state_ = State::kRinging;
  rings_ = 0;
  regs_[1] = 0;
  ringing_since_ = since;
  // The next ring of the cadence that started at `since`.
  const MonoTime now = clock_.Now();
  const auto passed = now > since ? now - since : MonoTime::duration(0);
  next_ring_ =
      since + kRingInterval * ((passed + kRingInterval - MonoTime::duration(1)) / kRingInterval);
  answer_at_.reset();
  Poll();
  return true;
}

std::optional<MonoTime> HayesModem::RingingSince() const {
  if (state_ != State::kRinging) return std::nullopt;
  return ringing_since_;
}

bool HayesModem::AutoAnswerDue() const {
  return regs_[0] > 0 && rings_ >= regs_[0] && (dtr_mode_ == 0 || dtr_);
}

MonoTime HayesModem::RingReportDue() const {
  // The caller's giving up is never held back; a ring is, while a command line is typed.
  if (next_ring_ - ringing_since_ >= kNoAnswerLimit) return next_ring_;
  if (saw_a_ || in_command_) return std::max(next_ring_, last_typed_ + kTypingPause);
  return next_ring_;
}

void HayesModem::Answer() {
  if (state_ == State::kRinging) {
    GoOnline();
  } else if (state_ == State::kIdle) {
    Result("NO CARRIER");  // nobody on the line to answer
  } else {
    Result("ERROR");
  }
}

void HayesModem::GoOnline() {
  state_ = State::kOnline;
  answer_at_.reset();
  rings_ = 0;
  regs_[1] = 0;
  Result(speed_ ? "CONNECT " + std::to_string(speed_) : std::string("CONNECT"));
}

void HayesModem::EndCall(bool by_station, std::string_view result) {
  if (state_ == State::kIdle) return;
  const bool was_up = Carrier();
  state_ = State::kIdle;
  answer_at_.reset();
  rings_ = 0;
  regs_[1] = 0;
  paced_to_caller_.Clear();
  paced_to_station_.Clear();
  faults_to_caller_.clear();
  faults_to_station_.clear();
  if (by_station) line_.HangUp();
  if (was_up && !result.empty()) Result(result);
}

void HayesModem::SetDtr(bool on) {
  const bool dropped = dtr_ && !on;
  dtr_ = on;
  if (!dropped) return;
  // A terminal that is not ready is not answered for; the caller rings on.
  if (state_ == State::kRinging && dtr_mode_ != 0) answer_at_.reset();
  switch (dtr_mode_) {
    case 1:
      if (state_ == State::kOnline) {
        state_ = State::kOnlineCommand;
        Result("OK");
      }
      break;
    case 2:
      if (Carrier()) EndCall(true, "NO CARRIER");
      break;
    case 3:
      if (Carrier()) EndCall(true, "NO CARRIER");
      Reset();
      break;
    default:
      break;
  }
}

void HayesModem::FromCaller(std::string_view bytes) {
  if (state_ != State::kOnline) return;  // nobody listens before the answer
  std::string data(bytes);
  Filter(LineDirection::kToStation, data);
  paced_to_station_.Push(data, clock_.Now(), PerByte());
  paced_to_station_.Release(clock_.Now(), for_station_);
}

void HayesModem::CallerHungUp() {
  EndCall(false, "NO CARRIER");
}

void HayesModem::DropCarrier() {
  EndCall(true, "NO CARRIER");
}

void HayesModem::Poll() {
  const MonoTime now = clock_.Now();
  while (state_ == State::kRinging && !answer_at_ && RingReportDue() <= now) {
    if (next_ring_ - ringing_since_ >= kNoAnswerLimit) {
      EndCall(true, {});  // the caller gave up: the line is free again
      break;
    }
    Result("RING");
    regs_[1] = ++rings_;
    if (AutoAnswerDue()) answer_at_ = next_ring_ + kAnswerDelay;
    next_ring_ += kRingInterval;
  }
  if (state_ == State::kRinging && answer_at_ && *answer_at_ <= now) GoOnline();
  paced_to_station_.Release(now, for_station_);
  std::string out;
  paced_to_caller_.Release(now, out);
  if (!out.empty()) line_.SendToCaller(out);
}

std::optional<MonoTime> HayesModem::NextEventFor(std::size_t wanted) const {
  std::optional<MonoTime> next;
  auto consider = [&next](std::optional<MonoTime> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  if (state_ == State::kRinging) consider(answer_at_ ? *answer_at_ : RingReportDue());
  const std::size_t batch =
      std::max<std::size_t>(kPacedBatch, speed_ / 10 * kPacedBatchMillis / 1000);
  // No more than the station's queue holds can be waited for.
  wanted = std::min(wanted, station_queue_limit_);
  if (wanted <= for_station_.size()) {
    consider(paced_to_station_.BatchArrival(batch));
  } else {
    // All that is on its way when fewer are: the rest has not reached the line yet.
    consider(paced_to_station_.BatchArrival(wanted - for_station_.size()));
  }
  consider(paced_to_caller_.BatchArrival(batch));
  return next;
}

void HayesModem::InjectFault(const LineFault& fault) {
  (fault.direction == LineDirection::kToStation ? faults_to_station_ : faults_to_caller_)
      .push_back(fault);
}

void HayesModem::Filter(LineDirection direction, std::string& bytes) {
  auto& faults = direction == LineDirection::kToStation ? faults_to_station_ : faults_to_caller_;
  if (faults.empty()) return;
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    if (faults.empty()) {
      out += c;
      continue;
    }
    LineFault& fault = faults.front();
    if (fault.after > 0) {
      --fault.after;
      out += c;
      continue;
    }
    if (fault.count > 0) {
      if (fault.xor_mask != 0) out += static_cast<char>(c ^ static_cast<char>(fault.xor_mask));
      --fault.count;
    } else {
      out += c;
    }
    if (fault.count == 0) faults.pop_front();
  }
  bytes = std::move(out);
}

}  // namespace marvolen
