// The receiving side of the block transfer. Every file an office sends is a ZIP archive: the
// receiver cuts off the padding of the last block at the longest length at which the archive
// check passes, stores it as "recibo.zip" and unpacks the members beside it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileOps.h"
#include "transfer/TransferLine.h"

namespace marvolen {

inline constexpr std::string_view kReceiveOk = "Transferencia OK";
inline constexpr std::string_view kReceiveBadArchive = "No se pudo abrir archivo";
inline constexpr std::string_view kReceiveNoCarrier = "No Carrier";
inline constexpr std::string_view kReceiveReadError = "Transferecia Abortada por Usuario";
inline constexpr std::string_view kReceiveCancelled = "Transferencia Abortada Por Envio";
inline constexpr std::string_view kReceiveTooManyErrors =
    "Maximo de Errores. Transferencia Abortada.";
inline constexpr std::string_view kReceivedArchiveName = "recibo.zip";
// Trailing bytes the trimming may remove before it gives the archive up.
inline constexpr int kMaxTrimmedBytes = 127;

// Whether an archive member (its stored name: UTF-8, "/" separators) is one that was asked
// for. An empty filter takes every member.
using EntryFilter = std::function<bool(std::string_view stored_name)>;

// The archive operations the receiver needs.
struct ArchiveHooks {
  // The length of the longest prefix of `bytes`, at most `most_trailing` bytes shorter, that
  // is an archive ending exactly after its end record and comment; nullopt when none is.
  std::function<std::optional<std::size_t>(std::string_view bytes, std::size_t most_trailing)>
      archive_length;
  // Unpacks the members `wanted` takes below `dir`, whole or not at all: throws when the
  // archive cannot be opened or read, or when any member fails, and then leaves `dir` as it
  // was. Members it leaves out are reported by the hook itself.
  std::function<void(const std::filesystem::path& archive, const std::filesystem::path& dir,
                     const EntryFilter& wanted)>
      extract;
  // The file calls the archive is stored with (and, by ZipArchiveHooks, unpacked with).
  FileOps files = SystemFileOps();
};

struct ReceiveSetup {
  std::filesystem::path dir;  // where "recibo.zip" is stored and its members land
  ArchiveHooks archive;
  EntryFilter wanted;   // the members to unpack; empty: all
  TransferSinks sinks;  // "Error de caracter" lines; the block counter in panel 1
  TransferBounds bounds;
};

// `result` is one of the kReceive texts, or a kTransfer one when a bound cut the transfer.
struct ReceivedFile : TransferOutcome {
  std::string content;  // the archive's bytes as kept (padding removed); empty after a failure
};

// Receives one file over `line`, blocking until the transfer ends. Bytes that came behind
// the EOT in the same read are handed back to the line. Failing to write "recibo.zip" throws
// (FileError, or std::filesystem::filesystem_error), as every file error of a call, and
// leaves no part of it behind.
//
// The bounds are looked at every second: a stop or a bound of the call ends the transfer, and
// so does a block that would take the file past `bounds.max_bytes` (before it is acknowledged
// or kept); an archive that is still larger once its padding is cut is not kept. Every
// failure ends as the protocol's own do, with the 2-second pause, the purge and the
// receiver's closing sequence ("00000" and five BS); a stop skips the pause. A carrier that
// goes away ends the transfer within a second, even in the middle of a frame, with "No
// Carrier" and no pause.
ReceivedFile ReceiveFile(TransferLine& line, const ReceiveSetup& setup);

}  // namespace marvolen
