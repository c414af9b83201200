// Entry data in and out of an archive: chunked raw deflate as the writer stores it, and
// bounded inflate and copy as the reader takes it back, both with the ZIP CRC-32. The codec
// knows nothing of files: it reads and writes through callbacks, so that it can be tested
// on memory and the component decides what a short read or write means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

namespace marvolen {

// zlib's return codes (Z_STREAM_ERROR, Z_MEM_ERROR ...) as error codes; message() says what
// each means in the station's words. Z_ERRNO never shows here: the codec does no file I/O.
const std::error_category& ZlibCategory();

// Reads up to `count` bytes into `buffer`; returns how many (fewer only at the end).
using ChunkReader = std::function<size_t(char* buffer, size_t count)>;
// Takes `count` bytes; the component's writer raises on a short write.
using ChunkWriter = std::function<void(const char* data, size_t count)>;

// The source read size for a compression mode: 512 KiB for 1-3, 1.5 MiB for 7-9, 1 MiB
// otherwise.
size_t CompressionChunkSize(int mode);

struct CompressResult {
  uint64_t bytes_read = 0;
  uint64_t bytes_written = 0;
  uint32_t crc32 = 0;
};

// Compresses entry after entry: the deflate stream and the buffers are set up once and reused
// (the stream reset between entries), so that packing many small files does not pay for a new
// deflate state each time. Compress takes `length` bytes of the source at deflate level `mode`
// (0 copies them) in chunks of CompressionChunkSize(mode): each chunk is one deflate call with
// a sync flush, the last one with finish, and the output is the raw deflate stream (what the
// zlib format carries between its header and its Adler-32 trailer). Reading stops early when
// the source gives fewer bytes than asked. Throws StationError (platform/Errors.h) with zlib's
// return code in ZlibCategory() when zlib itself fails.
class EntryCompressor {
 public:
  EntryCompressor();
  ~EntryCompressor();
  EntryCompressor(const EntryCompressor&) = delete;
  EntryCompressor& operator=(const EntryCompressor&) = delete;

  CompressResult Compress(const ChunkReader& read, uint64_t length, int mode,
                          const ChunkWriter& write);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The read size for compressed data when decoding.
inline constexpr size_t kDecodeChunkSize = 1048576;

struct DecodeResult {
  uint64_t bytes_produced = 0;
  uint32_t crc32 = 0;
  // More output than `limit` was on its way: decoding stopped at the limit.
  bool overflow = false;
  // The compressed data was not a valid deflate stream, or ended before the stream did.
  bool broken = false;
};

// Decodes `compressed_size` bytes of method 0 (copy) or 8 (raw deflate) data, writing at
// most `limit` bytes of output. Never reads more than `compressed_size` bytes.
DecodeResult DecodeEntry(const ChunkReader& read, uint64_t compressed_size, int method,
                         uint64_t limit, const ChunkWriter& write);

}  // namespace marvolen
