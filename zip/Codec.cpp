#include "zip/Codec.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/Errors.h"

namespace marvolen {

namespace {

class ZlibCodes final : public std::error_category {
 public:
  const char* name() const noexcept override { return "zlib"; }
  std::string message(int value) const override {
    switch (value) {
      case Z_STREAM_ERROR:
        return "estado o parámetro de compresión no válido";
      case Z_DATA_ERROR:
        return "datos comprimidos dañados";
      case Z_MEM_ERROR:
        return "memoria insuficiente";
      case Z_BUF_ERROR:
        return "datos comprimidos incompletos";
      case Z_VERSION_ERROR:
        return "versión de zlib incompatible";
    }
    return "código de zlib " + std::to_string(value);
  }
};

// zlib failed with `rc` while the station was `doing` what it says.
[[noreturn]] void ZlibFailed(int rc, const std::string& doing) {
  throw StationError(std::error_code(rc, ZlibCategory()), doing);
}

uint32_t UpdateCrc(uint32_t crc, const char* data, size_t count) {
  return static_cast<uint32_t>(
      ::crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(count)));
}

// A raw deflate stream (window bits -15: no zlib header, no Adler-32 trailer, so none to
// compute and none to trim; the deflate data itself is the same as under the zlib wrapper).
// It is reset between entries instead of being set up again: deflateReset keeps the level
// and parameters, so each entry's bytes are those a fresh stream gives.
class Deflater {
 public:
  explicit Deflater(int level) : level_(level) {
    if (const int rc = ::deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        rc != Z_OK) {
      ZlibFailed(rc, "zlib no puede iniciar la compresión");
    }
  }
  ~Deflater() { ::deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  int level() const { return level_; }
  void Reset() {
    if (const int rc = ::deflateReset(&stream_); rc != Z_OK)
      ZlibFailed(rc, "zlib no puede reiniciar la compresión");
  }

  // One deflate call over `data` with `flush`; its output goes into `out` (grown as needed,
  // kept between calls) and its length is returned. The room offered per round is what the
  // writer always offered; should zlib want more, it gets another round.
  size_t Run(const char* data, size_t count, int flush, std::vector<char>& out) {
    const size_t room = ((count + count / 10 + 12) + 255) / 256 * 256;
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(count);
    size_t used = 0;
    for (;;) {
      if (out.size() < used + room) out.resize(used + room);
      stream_.next_out = reinterpret_cast<Bytef*>(out.data() + used);
      stream_.avail_out = static_cast<uInt>(room);
      const int rc = ::deflate(&stream_, flush);
      if (rc == Z_STREAM_ERROR) ZlibFailed(rc, "zlib falló al comprimir");
      used += room - stream_.avail_out;
      if (stream_.avail_out != 0) return used;
    }
  }

 private:
  z_stream stream_{};
  int level_;
};

}  // namespace

const std::error_category& ZlibCategory() {
  static const ZlibCodes category;
  return category;
}

struct EntryCompressor::State {
  std::unique_ptr<Deflater> deflater;
  std::vector<char> input;
  std::vector<char> output;
};

EntryCompressor::EntryCompressor() : state_(std::make_unique<State>()) {}
EntryCompressor::~EntryCompressor() = default;

size_t CompressionChunkSize(int mode) {
  if (mode >= 1 && mode <= 3) return 524288;
  if (mode >= 7 && mode <= 9) return 1572864;
  return 1048576;
}

CompressResult EntryCompressor::Compress(const ChunkReader& read, uint64_t length, int mode,
                                         const ChunkWriter& write) {
  CompressResult result;
  const size_t chunk = CompressionChunkSize(mode);
  std::vector<char>& input = state_->input;
  const size_t input_size = static_cast<size_t>(std::min<uint64_t>(chunk, length));
  if (input.size() < input_size) input.resize(input_size);
  std::unique_ptr<Deflater>& deflater = state_->deflater;
  if (mode != 0) {
    if (deflater && deflater->level() == mode) {
      deflater->Reset();
    } else {
      deflater = std::make_unique<Deflater>(mode);
    }
  }
  uint32_t crc = 0;
  while (result.bytes_read < length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk, length - result.bytes_read));
    const size_t got = read(input.data(), want);
    crc = UpdateCrc(crc, input.data(), got);
    result.bytes_read += got;
    const bool last = result.bytes_read >= length || got < want;
    if (mode == 0) {
      write(input.data(), got);
      result.bytes_written += got;
    } else {
      const size_t n =
          deflater->Run(input.data(), got, last ? Z_FINISH : Z_SYNC_FLUSH, state_->output);
      write(state_->output.data(), n);
      result.bytes_written += n;
    }
    if (got < want) break;
  }
  result.crc32 = crc;
  return result;
}

namespace {

class Inflater {
 public:
  Inflater() {
    if (const int rc = ::inflateInit2(&stream_, -15); rc != Z_OK) {
      ZlibFailed(rc, "zlib no puede iniciar la descompresión");
    }
  }
  ~Inflater() { ::inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

// Hands at most `limit` bytes in total to `write`, counting and checksumming them.
class BoundedOutput {
 public:
  BoundedOutput(uint64_t limit, const ChunkWriter& write, DecodeResult& result)
      : limit_(limit), write_(write), result_(result) {}

  // False once the limit has cut the output.
  bool Put(const char* data, size_t count) {
    const uint64_t room = limit_ - result_.bytes_produced;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(room, count));
    if (take > 0) {
      write_(data, take);
      result_.crc32 = UpdateCrc(result_.crc32, data, take);
      result_.bytes_produced += take;
    }
    if (take < count) result_.overflow = true;
    return !result_.overflow;
  }

 private:
  uint64_t limit_;
  const ChunkWriter& write_;
  DecodeResult& result_;
};

void CopyStored(const ChunkReader& read, uint64_t size, BoundedOutput& out, DecodeResult& r) {
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kDecodeChunkSize, size)));
  uint64_t left = size;
  while (left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), left));
    const size_t got = read(buffer.data(), want);
    if (!out.Put(buffer.data(), got)) return;
    left -= got;
    if (got < want) {
      r.broken = true;
      return;
    }
  }
}

void Inflate(const ChunkReader& read, uint64_t size, uint64_t limit, BoundedOutput& out,
             DecodeResult& r) {
  Inflater inflater;
  z_stream& z = inflater.stream();
  std::vector<char> input(static_cast<size_t>(std::min<uint64_t>(kDecodeChunkSize, size)));
  // Small entries get a small buffer; the limit check does not depend on its size.
  std::vector<char> output(static_cast<size_t>(std::clamp<uint64_t>(limit + 1, 4096, 262144)));
  uint64_t left = size;
  bool input_ended = false;
  for (;;) {
    if (z.avail_in == 0 && !input_ended) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(input.size(), left));
      const size_t got = want > 0 ? read(input.data(), want) : 0;
      left -= got;
      if (got < want || left == 0) input_ended = true;
      z.next_in = reinterpret_cast<Bytef*>(input.data());
      z.avail_in = static_cast<uInt>(got);
    }
    z.next_out = reinterpret_cast<Bytef*>(output.data());
    z.avail_out = static_cast<uInt>(output.size());
    const int rc = ::inflate(&z, Z_NO_FLUSH);
    const size_t produced = output.size() - z.avail_out;
    if (!out.Put(output.data(), produced)) return;
    if (rc == Z_STREAM_END) return;
    if (rc == Z_BUF_ERROR && produced == 0 && (z.avail_in > 0 || input_ended)) {
      r.broken = true;  // no progress is possible: the data ended before the stream did
      return;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      r.broken = true;
      return;
    }
  }
}

}  // namespace

DecodeResult DecodeEntry(const ChunkReader& read, uint64_t compressed_size, int method,
                         uint64_t limit, const ChunkWriter& write) {
  DecodeResult result;
  BoundedOutput out(limit, write, result);
  if (method == 0) {
    CopyStored(read, compressed_size, out, result);
  } else if (method == 8) {
    Inflate(read, compressed_size, limit, out, result);
  } else {
    result.broken = true;
  }
  return result;
}

}  // namespace marvolen
