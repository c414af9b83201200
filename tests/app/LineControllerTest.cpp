#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "CallHarness.h"
#include "call/LineAssembler.h"
#include "call/LineTokens.h"
#include "call/ScriptSteps.h"
#include "platform/FileLock.h"
#include "tests/ScratchDir.h"

namespace marvolen::testing {
namespace {

const std::string kGreetingLine = std::string(GreetingToken) + '\r';

TEST(LineController, ResetOpensThePortAndSetsTheModemToAnswer) {
  CallHarness h;
  h.Tick();
  EXPECT_EQ(h.state.LineState, "esperando");
  EXPECT_EQ(h.line.opens, 1);
  EXPECT_EQ(h.line.modem_commands, (std::vector<std::string>{"ATZ", "AT&D2", "AT S0=1"}));
  EXPECT_EQ(h.state.TimerInterval, 500);
  EXPECT_TRUE(h.window.timer_enabled);
  EXPECT_EQ(h.window.lines.front(), std::string(66, '*'));
  // Close, 1 s, open, 1 s, ATZ, 1 s, AT&D2, 1 s, AT S0=1, then one interval.
  EXPECT_EQ(h.clock.ElapsedSinceStart(), 4000 + 500);
}

// The reset takes some ten seconds on a real modem; a stop that comes meanwhile cuts it short
// (the station is to exit within seconds) and leaves the line for no one.
TEST(LineController, AStopDuringTheResetCutsItShort) {
  CallHarness h;
  h.clock.At(Millis(1500), [&h] { h.stop_requested = true; });
  h.window.timer_enabled = false;
  h.controller.Tick();
  EXPECT_LE(h.clock.ElapsedSinceStart(), 1500 + 250);
  EXPECT_TRUE(h.line.modem_commands.empty());
  EXPECT_EQ(h.state.LineState, "");
  h.Ticks(3);  // nothing more is done for a station that is stopping
  EXPECT_EQ(h.line.opens, 1);
  EXPECT_FALSE(h.line.open);
  EXPECT_TRUE(h.line.modem_commands.empty());
}

TEST(LineController, OpenErrorsAreShownTogetherAndTheControllerCarriesOn) {
  CallHarness h;
  h.line.open_error = "ERROR ABRIENDO COM1 ";
  h.line.purge_error = "ERROR PURGE ";
  h.Tick();
  EXPECT_EQ(h.window.Count("Respuesta: ERROR ABRIENDO COM1 ERROR PURGE ERROR puerto cerrado"
                           "ERROR puerto cerrado"),
            1);
  EXPECT_EQ(h.state.LineState, "esperando");
}

TEST(LineController, IdleTicksWithoutCarrierTouchNothing) {
  CallHarness h;
  h.Tick();
  const auto lines = h.window.lines.size();
  h.Ticks(100);
  EXPECT_EQ(h.line.opens, 1);
  EXPECT_EQ(h.line.modem_commands.size(), 3u);
  EXPECT_TRUE(h.line.sent.empty());
  EXPECT_EQ(h.window.lines.size(), lines);
  EXPECT_EQ(h.state.LineState, "esperando");
}

TEST(LineController, CarrierAtBothChecksGreetsTheCaller) {
  CallHarness h;
  h.Connect();
  EXPECT_EQ(h.state.LineState, "conectando");
  EXPECT_EQ(h.line.sent, (std::vector<std::string>{kGreetingLine}));
  EXPECT_EQ(h.state.TimerInterval, 10);
  EXPECT_FALSE(h.window.modificar_visible);
  EXPECT_FALSE(h.window.salir_enabled);
  EXPECT_EQ(h.window.Count("Conectándose ..."), 1);
}

TEST(LineController, RingLineConnectsWhenTheCarrierVanishesBetweenChecks) {
  CallHarness h;
  h.Tick();
  h.line.carrier_script = {true, false};
  h.line.Arrive("\nRI\bNG\r");
  h.Tick();
  EXPECT_EQ(h.state.LineState, "conectando");
  EXPECT_EQ(h.state.TimerInterval, 100);
  EXPECT_EQ(h.line.sent, (std::vector<std::string>{kGreetingLine}));
}

TEST(LineController, ElevenStrayLinesWhileWaitingResetTheLine) {
  CallHarness h;
  h.Tick();
  // Empty lines and RING in another letter case or with a blank count as stray lines.
  h.line.carrier_script = {true, false};
  h.line.Arrive("ring\r RING\r\r\n\f\rx\r");
  h.Tick();
  EXPECT_EQ(h.state.StrayLineCount, 5);
  EXPECT_EQ(h.line.opens, 1);
  h.line.carrier_script = {true, false};
  h.line.Arrive("1\r2\r3\r4\r5\r6\r");
  h.Tick();
  EXPECT_EQ(h.line.opens, 2);
  EXPECT_EQ(h.state.StrayLineCount, 0);
  EXPECT_TRUE(h.line.sent.empty());
}

TEST(LineController, CallerThatNeverIdentifiesIsGreetedFiveTimesThenDropped) {
  CallHarness h;
  h.Connect();
  const long long connected_at = h.clock.ElapsedSinceStart();
  while (h.line.opens == 1 && h.clock.ElapsedSinceStart() < connected_at + 120'000) h.Tick();
  EXPECT_EQ(h.line.opens, 2);
  EXPECT_EQ(h.line.CountSent(std::string(GreetingToken)), 5);
  const long long dropped_after = h.clock.ElapsedSinceStart() - connected_at;
  EXPECT_GT(dropped_after, 50'000);
  EXPECT_LT(dropped_after, 56'000);
  // The script had not started: no abort line.
  EXPECT_EQ(h.Logged("Comunicación abortada!!!!"), 0);
  EXPECT_EQ(h.state.LineState, "esperando");
}

TEST(LineController, ElevenStrayLinesWhileConnectingAreRefusedBeforeAdmission) {
  CallHarness h;
  h.Connect();
  h.line.Arrive("ident=x\r\r ring\rRING\r1\r2\r3\r4\r5\r6\r");
  h.Tick();
  EXPECT_EQ(h.state.StrayLineCount, 10);
  EXPECT_EQ(h.line.opens, 1);
  h.line.Arrive("Iden\r");
  h.Tick();
  EXPECT_TRUE(h.ident_lines.empty());
  EXPECT_EQ(h.window.Count("Ingreso No autorizado!!"), 1);
  EXPECT_EQ(h.Logged("Ingreso No autorizado!!"), 1);
  EXPECT_EQ(h.line.opens, 2);
}

TEST(LineController, IdentLineIsHandedOverWithNoiseBytesDropped) {
  CallHarness h;
  h.Connect();
  h.line.Arrive(
      "Ident=00\n0\x0b"
      "07\r");
  h.Tick();
  EXPECT_EQ(h.ident_lines, (std::vector<std::string>{"Ident=00007"}));
  EXPECT_EQ(h.state.LineState, "conectado");
}

// The LF that lets the office go is the first thing the end of a call does: what is shown,
// logged and recorded comes after it, never keeping an office that hangs up promptly waiting.
TEST(LineController, RefusedIdentificationEndsTheCall) {
  CallHarness h;
  h.admit_result = false;
  h.Connect();
  std::size_t shown_at_lf = 0, logged_at_lf = 0;
  h.line.on_send = [&](std::string_view bytes) {
    if (bytes != "\n") return;
    shown_at_lf = h.window.lines.size();
    logged_at_lf = h.log.size();
  };
  const std::size_t shown_before = h.window.lines.size(), logged_before = h.log.size();
  h.line.Arrive("Ident=99999\r");
  h.Tick();
  EXPECT_EQ(h.window.Count("Ingreso No autorizado!!"), 1);
  EXPECT_EQ(h.state.LineState, "esperando");
  EXPECT_EQ(h.line.CountSent("\n"), 1);
  EXPECT_EQ(logged_at_lf, logged_before);
  EXPECT_EQ(shown_at_lf, shown_before);
}

TEST(LineController, CarrierLossWhileConnectingKeepsTheState) {
  CallHarness h;
  h.Connect();
  h.line.carrier = false;
  // No time-out runs without a carrier, however long it stays away.
  h.Ticks(10'000);
  EXPECT_EQ(h.state.LineState, "conectando");
  EXPECT_EQ(h.line.opens, 1);
  EXPECT_EQ(h.line.CountSent(std::string(GreetingToken)), 1);
}

TEST(LineController, CarrierLossInTheScriptAbortsAtTheNextTick) {
  CallHarness h;
  h.Connect();
  h.line.Arrive("Ident=1\r");
  h.Tick();
  h.Tick();  // the script's first step goes out
  h.state.ScriptStep = script::AwaitingAck(script::kTrafficFiling);
  h.line.carrier = false;
  h.Tick();
  EXPECT_EQ(h.state.LineState, "esperando");
  EXPECT_EQ(h.Logged("Comunicación abortada!!!!"), 1);
  EXPECT_EQ(h.log.back(), "");  // the activity log was flushed
}

// The office's lock is the call's: it is let go with the line reset that ends the call, so
// that the office's next call on another line is served.
TEST(LineController, TheEndOfTheCallLetsTheOfficeGo) {
  const scratch::ScratchDir dir("office-lock");
  const auto lock_file = dir.path() / ".marvolen-call.lock";
  const auto try_lock = [&] {
    std::error_code error;
    return FileLock::TryAcquire(lock_file, error).has_value();
  };
  CallHarness h;
  h.Connect();
  h.line.Arrive("Ident=1\r");
  h.Tick();
  std::error_code error;
  h.state.OfficeLock = std::make_shared<FileLock>(*FileLock::TryAcquire(lock_file, error));
  h.state.ScriptStep = script::AwaitingAck(script::kTrafficFiling);
  h.Tick();
  EXPECT_FALSE(try_lock());  // still in the call
  h.line.carrier = false;
  h.Tick();
  EXPECT_EQ(h.state.LineState, "esperando");
  EXPECT_FALSE(h.state.OfficeLock);
  EXPECT_TRUE(try_lock());
}

TEST(LineController, StalledScriptIsAbortedAfterThirtySecondsOfNominalTicks) {
  CallHarness h;
  h.Connect();
  h.line.Arrive("Ident=1\r");
  h.Tick();
  h.state.ScriptStep = script::AwaitingAck(script::kDeleteTable);
  int ticks = 0;
  while (h.state.LineState == "conectado" && ticks < 5000) {
    h.Tick();
    ++ticks;
  }
  // The first tick in the state starts the count; each further one adds 10 ms.
  EXPECT_EQ(ticks, 3002);
  EXPECT_EQ(h.Logged("Comunicación abortada!!!!"), 1);
}

TEST(LineController, EndlessLineIsCountedAsStrayInsteadOfGrowingTheBuffer) {
  CallHarness h;
  h.Connect();
  h.line.Arrive(std::string(3 * kMaxLineLength + 10, 'x'));
  h.Tick();
  EXPECT_EQ(h.state.StrayLineCount, 3);
  EXPECT_LE(h.line.LineBuffer().size(), kMaxLineLength);
  EXPECT_EQ(h.state.LineState, "conectando");
  // A whole identification still gets through afterwards.
  h.line.Arrive("\rIdent=7\r");
  h.Tick();
  EXPECT_EQ(h.ident_lines, (std::vector<std::string>{"Ident=7"}));
}

TEST(LineController, AnIdentificationRightBehindAnEndlessLineIsRead) {
  CallHarness h;
  h.Connect();
  h.line.Arrive(std::string(kMaxLineLength, 'x') + "Ident=7\r");
  h.Tick();
  EXPECT_EQ(h.state.StrayLineCount, 1);
  EXPECT_EQ(h.ident_lines, (std::vector<std::string>{"Ident=7"}));
}

TEST(LineController, UnknownLineStateIsRefused) {
  CallHarness h;
  h.Connect();
  h.state.LineState = "conectadoX";
  h.Tick();
  EXPECT_EQ(h.window.Count("Ingreso No autorizado!!"), 1);
  EXPECT_EQ(h.state.LineState, "esperando");
}

// A caller that identifies and hangs up in one go leaves its line unread. The next caller
// must not be taken for it: whatever came before a call was answered, or on an earlier call,
// is never read as part of the next one.
TEST(LineController, NextCallerNeverInheritsWhatAnEarlierCallerLeftUnread) {
  // Sent and gone between two idle ticks, before the station saw the carrier.
  CallHarness waiting;
  waiting.Tick();
  waiting.line.Arrive("Ident=00007\r");
  waiting.Ticks(20);
  waiting.line.carrier = true;
  waiting.Ticks(50);
  EXPECT_EQ(waiting.state.LineState, "conectando");
  EXPECT_TRUE(waiting.ident_lines.empty());

  // Sent by the greeted caller as it hung up; a partial line is dropped too.
  CallHarness greeted;
  greeted.Connect();
  greeted.line.Arrive("Ident=00007\rIdent=000");
  greeted.line.carrier = false;
  greeted.Ticks(100);
  greeted.line.carrier = true;  // the next caller, who says nothing
  greeted.Ticks(50);
  EXPECT_TRUE(greeted.ident_lines.empty());
  greeted.line.Arrive("08\r");
  greeted.Tick();
  EXPECT_TRUE(greeted.ident_lines.empty());
  EXPECT_EQ(greeted.state.StrayLineCount, 1);
  // What the new caller itself sends is read as before.
  greeted.line.Arrive("Ident=00008\r");
  greeted.Tick();
  EXPECT_EQ(greeted.ident_lines, (std::vector<std::string>{"Ident=00008"}));
}

// Runs the controller as the console does, on the virtual clock: it sleeps until the deadline
// the controller asks for (or its next look at the carrier, unless the line signals carrier
// changes, as the emulator does), then ticks; it stops at `span` or once `done`. Gives back
// how many waits it made: a controller that asks to be woken too often shows here.
// When the controller last hung up (it sends a line feed as it does); the line's reset after
// it takes some seconds more.
struct HangupTime {
  explicit HangupTime(CallHarness& h) {
    h.line.on_send = [this, &h](std::string_view bytes) {
      if (bytes == "\n") at = h.clock.Now();
    };
  }
  MonoTime at{};
};

int RunByWaits(CallHarness& h, Millis span, bool status_signalled,
               const std::function<bool()>& done = {}) {
  const MonoTime end = h.clock.Now() + span;
  int waits = 0;
  while (h.clock.Now() < end && waits < 100'000 && !(done && done())) {
    const LineWait wait = h.controller.NextWait();
    MonoTime next = wait.due;
    if (!status_signalled) next = std::min(next, wait.status_look);
    if (wait.input && h.line.Readable()) next = h.clock.Now();
    next = std::min(next, end);
    ++waits;
    h.clock.Advance(std::chrono::ceil<Millis>(next - h.clock.Now()));
    h.window.timer_enabled = false;
    h.controller.Tick();
  }
  return waits;
}

TEST(LineControllerWaits, AnIdleLineWakesAtMostOnceASecondAndNotAtAllWhenTheLineSignals) {
  CallHarness h;
  h.Tick();
  // A line whose carrier must be looked at: once a second, no more.
  EXPECT_LE(RunByWaits(h, Millis(60'000), false), 60);
  // A line that signals its carrier: nothing to wake for in a whole minute.
  EXPECT_EQ(RunByWaits(h, Millis(60'000), true), 1);
  EXPECT_EQ(h.state.LineState, "esperando");
  EXPECT_EQ(h.line.opens, 1);
  // The carrier comes: noticed at the next look, within a second.
  h.line.carrier = true;
  const MonoTime came = h.clock.Now();
  RunByWaits(h, Millis(5'000), false, [&] { return h.state.LineState == kStateConnecting; });
  EXPECT_EQ(h.state.LineState, "conectando");
  EXPECT_LE(ElapsedMs(came, h.clock.Now()), 1000);
}

// Every deadline of a call is asked for: none is missed when nothing else wakes the line, and
// the line sleeps in between instead of ticking.
TEST(LineControllerWaits, GreetingsAreRepeatedOnTimeAndTheSilentCallerDroppedAfterFifty) {
  CallHarness h;
  const HangupTime hangup(h);
  h.Connect();
  const MonoTime connected = h.state.CallStartTime;
  const int waits = RunByWaits(h, Millis(120'000), true, [&] { return h.line.opens == 2; });
  EXPECT_EQ(h.line.opens, 2);
  EXPECT_EQ(h.line.CountSent(std::string(GreetingToken)), 5);
  EXPECT_GT(ElapsedMs(connected, hangup.at), 50'000);
  EXPECT_LE(ElapsedMs(connected, hangup.at), 50'010);
  EXPECT_LE(waits, 6);  // one for each greeting and one for the drop
}

TEST(LineControllerWaits, AStalledScriptIsCutThirtySecondsAfterItsLastTick) {
  CallHarness h;
  const HangupTime hangup(h);
  h.Connect();
  h.line.Arrive("Ident=1\r");
  h.Tick();
  h.state.ScriptStep =
      script::AwaitingAck(script::kDeleteTable);  // a command out, never acknowledged
  h.window.timer_enabled = false;
  h.controller.Tick();  // the first tick in the state starts the count
  const MonoTime last = h.clock.Now();
  const int waits =
      RunByWaits(h, Millis(120'000), true, [&] { return h.state.LineState != kStateConnected; });
  EXPECT_EQ(h.Logged("Comunicación abortada!!!!"), 1);
  EXPECT_GT(ElapsedMs(last, hangup.at), 30'000);
  EXPECT_LE(ElapsedMs(last, hangup.at), 30'010);
  EXPECT_LE(waits, 2);
}

TEST(LineControllerWaits, TheCallsTimeBoundIsKeptWithoutATickToNoticeIt) {
  CallLimits limits;
  limits.max_call_time = Millis(15'000);  // before the second greeting
  CallHarness h({}, limits);
  const HangupTime hangup(h);
  h.Connect();
  const MonoTime connected = h.state.CallStartTime;
  RunByWaits(h, Millis(120'000), true, [&] { return h.line.opens == 2; });
  EXPECT_EQ(h.window.Count("Llamada cortada: dura más de 0 min 15 s, lo permitido con 0 bytes "
                           "movidos"),
            1);
  EXPECT_GE(ElapsedMs(connected, hangup.at), 15'000);
  EXPECT_LE(ElapsedMs(connected, hangup.at), 15'010);
}

TEST(LineControllerWaits, ReceivedBytesAreReadAtOnceAndTheScriptStepsWithoutWaiting) {
  CallHarness h;
  h.Connect();
  h.line.Arrive("Ident=1\r");
  const MonoTime sent = h.clock.Now();
  RunByWaits(h, Millis(5'000), true, [&] { return script::IsWaiting(h.state.ScriptStep); });
  // Admitted and the first command sent with no time passing: no tick waited for a timer.
  EXPECT_EQ(h.ident_lines, (std::vector<std::string>{"Ident=1"}));
  EXPECT_TRUE(script::IsWaiting(h.state.ScriptStep));
  EXPECT_EQ(ElapsedMs(sent, h.clock.Now()), 0);
}

TEST(LineControllerWaits, ADownLineIsTriedAgainAtEachPauseAndSleepsInBetween) {
  CallHarness h;
  h.line.status_error = "ERROR DE ESTADO ";
  h.Tick();
  ASSERT_TRUE(h.controller.LineDown());
  // Tries after 1, 2, 4, 8, 16 and 32 s: six within 64 s, a wait for each.
  const int waits = RunByWaits(h, Millis(64'000), true);
  EXPECT_EQ(h.line.opens, 7);
  EXPECT_LE(waits, 7);
}

}  // namespace
}  // namespace marvolen::testing
