#include "call/ScriptSteps.h"

#include <gtest/gtest.h>

namespace marvolen::script {
namespace {

// Every value the script's state takes names the call's phase in words (the line's live state
// shows it), and the values are the office program's: a waiting value is the negative of the
// step that comes after the acknowledgement.
TEST(ScriptSteps, EveryValueAStepTakesHasItsPhaseAndItsSuccessors) {
  const struct {
    int value;
    const char* name;
  } rows[] = {
      {0, "envío de tablas"},
      {-1, "envío de tablas"},
      {-2, "tabla no utilizada"},
      {-3, "borrado de tabla"},
      {3, "recepción de tráfico"},
      {-4, "recepción de tráfico"},
      {-5, "archivo del tráfico"},
      {-6, "borrado del tráfico"},
      {-7, "recepción de archivos del día"},
      {7, "parámetros"},
      {-10, "puesta en hora"},
      {-11, "comunicación exitosa"},
      {11, "despedida"},
      {-20, "despedida"},
      {20, "despedida"},
      {8, ""},
      {-12, ""},
      {12, ""},
  };
  for (const auto& row : rows) EXPECT_EQ(StepName(row.value), row.name) << row.value;

  EXPECT_EQ(NextValue(*FindStep(kDeleteTable), Done::kNothing), 3);
  EXPECT_EQ(NextValue(*FindStep(kDeleteTable), Done::kSent), -2);
  EXPECT_EQ(NextValue(*FindStep(kTrafficRequest), Done::kSentOtherwise), -6);
  EXPECT_EQ(NextValue(*FindStep(kTrafficFiling), Done::kNothing), 6);
  EXPECT_EQ(NextValue(*FindStep(kParameters), Done::kNothing), 9);
  EXPECT_EQ(NextValue(*FindStep(kClock), Done::kSent), -10);
  EXPECT_TRUE(IsWaiting(-8));  // between steps, as the office's program has it
  EXPECT_FALSE(IsWaiting(-12));
  EXPECT_FALSE(IsWaiting(5));
  EXPECT_EQ(FindStep(8), nullptr);
}

}  // namespace
}  // namespace marvolen::script
