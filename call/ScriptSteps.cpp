#include "call/ScriptSteps.h"

#include <array>

namespace marvolen::script {

namespace {

// The whole flow of a call, one row a step; the diagram in the header draws it.
constexpr std::array<StepRow, 11> kSteps{{
    {kTables, kDeleteTable, kDeleteTable, "envío de tablas"},
    {kDeleteTable, kDeleteCommand, kTrafficRequest, "tabla no utilizada"},
    {kDeleteCommand, kTrafficRequest, kTrafficRequest, "borrado de tabla"},
    {kTrafficRequest, kTrafficFiling, kDayFiles, "recepción de tráfico"},
    {kTrafficFiling, kTrafficDelete, kDayFiles, "archivo del tráfico"},
    {kTrafficDelete, kDayFiles, kDayFiles, "borrado del tráfico"},
    {kDayFiles, kParameters, kParameters, "recepción de archivos del día"},
    {kParameters, kClock, kClock, "parámetros"},
    {kClock, kSuccess, kSuccess, "puesta en hora"},
    {kSuccess, kDismiss, kDismiss, "comunicación exitosa"},
    {kDismiss, kDismiss, kDismiss, "despedida"},
}};

}  // namespace

const StepRow* FindStep(int step) {
  for (const StepRow& row : kSteps) {
    if (row.step == step) return &row;
  }
  return nullptr;
}

int NextValue(const StepRow& row, Done done) {
  switch (done) {
    case Done::kSent:
      return AwaitingAck(row.next);
    case Done::kSentOtherwise:
      return AwaitingAck(row.otherwise);
    case Done::kNothing:
      break;
  }
  return row.otherwise;
}

std::string_view StepName(int value) {
  if (IsDismissed(value)) return FindStep(kDismiss)->name;
  if (const StepRow* row = FindStep(value)) return row->name;
  if (!IsWaiting(value)) return {};
  for (const StepRow& row : kSteps) {
    if (AwaitingAck(row.next) == value) return row.name;
  }
  return {};
}

}  // namespace marvolen::script
