// The station's use of the archive component for what it receives: the receiver's validity
// check and the unpacking, with every failed entry reported in the log view.
#pragma once

#include "app/OperatorWindow.h"
#include "link/TransferReceiver.h"

namespace marvolen {

class TBaseArchiver;

// Wires `archiver`'s per-file failures to the window's "ERROR de descompresión:" line.
void ReportArchiveFailures(TBaseArchiver& archiver, OperatorWindow& window);

ArchiveHooks StationArchiveHooks(OperatorWindow& window);

}  // namespace marvolen
