// Reading an archive's entry list: from the central directory that the end record points
// at, or, for a damaged archive, from its local headers. Every length and offset read from
// the file is checked against the file before it is used.
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "platform/CodePage.h"
#include "zip/ZipArchiverImpl.h"

namespace marvolen {

namespace {

constexpr size_t kReadBlock = 65536;

// Reads a region of the archive front to back through a small buffer, so that a central
// directory is never loaded whole however large its record claims it is.
class RegionReader {
 public:
  RegionReader(const ArchiveIo& io, int fd, uint64_t begin, uint64_t end)
      : io_(io), fd_(fd), position_(begin), end_(end) {}

  uint64_t position() const { return position_; }
  // The next `count` bytes, or false when the region or the file ends first.
  bool Take(size_t count, std::string& out) {
    if (count > end_ - position_) return false;
    out.resize(count);
    size_t done = 0;
    while (done < count) {
      if (buffer_at_ >= buffer_.size()) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(kReadBlock, end_ - position_ - done));
        buffer_.resize(want);
        const ssize_t got =
            io_.PRead(fd_, buffer_.data(), want, static_cast<off_t>(position_ + done));
        if (got != static_cast<ssize_t>(want)) return false;
        buffer_at_ = 0;
      }
      const size_t n = std::min(count - done, buffer_.size() - buffer_at_);
      std::copy_n(buffer_.data() + buffer_at_, n, out.data() + done);
      buffer_at_ += n;
      done += n;
    }
    position_ += count;
    return true;
  }

 private:
  const ArchiveIo& io_;
  int fd_;
  uint64_t position_;
  uint64_t end_;
  std::string buffer_;
  size_t buffer_at_ = 0;
};

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string TZipArchiver::Impl::EntryName(const std::string& raw, uint16_t flags,
                                          const std::string& extra) const {
  std::string name;
  if ((flags & kFlagUtf8Name) != 0) {
    name = raw;
  } else if (auto unicode = UnicodePathExtra(extra, raw)) {
    name = *unicode;
  } else if (owner_.Options().OEMFileNames) {
    name = OemToUtf8(raw);
  } else {
    name = raw;
  }
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

void TZipArchiver::Impl::ReadEntryList(bool tolerate_damage) {
  const uint64_t size = FileLength();
  const auto hit = FindEndRecord(size, [&](uint64_t offset, size_t count, unsigned char* buf) {
    return io_.PRead(fd_, buf, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
  });
  if (hit) {
    ReadCentralDirectory(*hit);
  } else if (!tolerate_damage) {
    throw Error(kErrDamaged);
  } else {
    RebuildFromLocalHeaders(size);
  }
  ComputeDataLimits(true);
}

void TZipArchiver::Impl::ReadCentralDirectory(const EndRecordHit& end) {
  uint64_t cd_end = end.position;
  uint64_t total = end.record.total_entries;
  uint64_t cd_size = end.record.cd_size;
  std::string block;
  RegionReader probe(io_, fd_, 0, end.position);
  if (end.position >= kZip64LocatorSize) {
    RegionReader locator(io_, fd_, end.position - kZip64LocatorSize, end.position);
    if (locator.Take(kZip64LocatorSize, block) && Get32(Bytes(block)) == kZip64LocatorSignature) {
      const uint64_t at = Get64(Bytes(block) + 8);
      const uint64_t limit = end.position - kZip64LocatorSize;
      RegionReader record(io_, fd_, at, limit);
      if (at > limit || !record.Take(kZip64EndSize, block) ||
          Get32(Bytes(block)) != kZip64EndSignature) {
        throw EArchiveError("", kErrNoZip64End);
      }
      total = Get64(Bytes(block) + 32);
      cd_size = Get64(Bytes(block) + 40);
      cd_end = at;
    }
  }
  if (cd_size > cd_end || total > cd_size / kCentralHeaderSize) {
    throw EArchiveError("", kErrOpenArchive);
  }
  const uint64_t cd_start = cd_end - cd_size;
  RegionReader reader(io_, fd_, cd_start, cd_end);
  std::vector<EntryRecord> entries;
  entries.reserve(static_cast<size_t>(total));
  for (uint64_t i = 0; i < total; ++i) {
    if (!reader.Take(kCentralHeaderSize, block)) throw EArchiveError("", kErrOpenArchive);
    auto header = ParseCentralHeader(Bytes(block), block.size());
    if (!header) throw EArchiveError("", kErrOpenArchive);
    EntryRecord e;
    if (!reader.Take(header->name_length, e.raw_name) ||
        !reader.Take(header->extra_length, e.extra) ||
        !reader.Take(header->comment_length, e.comment) || !ApplyZip64Extra(*header, e.extra)) {
      throw EArchiveError("", kErrOpenArchive);
    }
    e.header = *header;
    e.StoredName = EntryName(e.raw_name, header->flags, e.extra);
    entries.push_back(std::move(e));
  }
  entries_ = std::move(entries);
  cd_offset_ = cd_start;
  cd_end_ = cd_end;
  comment_ = end.comment;
}

// An archive without an end record (cut short, or followed by bytes that do not belong to
// it): the entries are taken from the local headers, front to back, as far as they make
// sense. An entry whose local header is there but whose name or data the file cuts short is
// kept, marked damaged, so that unpacking reports it instead of ending silently before it.
void TZipArchiver::Impl::RebuildFromLocalHeaders(uint64_t size) {
  std::vector<EntryRecord> entries;
  uint64_t at = 0;
  while (at < size) {
    EntryRecord e;
    const auto next = LocalEntryAt(at, size, e);
    if (next) {
      entries.push_back(std::move(e));
      at = *next;
      continue;
    }
    if (e.Damaged) {
      entries.push_back(std::move(e));
      at = size;
    }
    break;
  }
  if (entries.empty()) throw Error(kErrInvalidArchive);
  entries_ = std::move(entries);
  cd_offset_ = at;
  cd_end_ = size;
}

// Reads the entry whose local header starts at `at` into `e` and returns where the next one
// begins; nullopt when there is no local header there, or, with `e.Damaged` set, when the
// file ends inside the entry.
std::optional<uint64_t> TZipArchiver::Impl::LocalEntryAt(uint64_t at, uint64_t size,
                                                         EntryRecord& e) {
  RegionReader reader(io_, fd_, at, size);
  std::string block;
  if (!reader.Take(std::min<uint64_t>(kLocalHeaderSize, size - at), block) || block.size() < 4 ||
      Get32(Bytes(block)) != kLocalHeaderSignature) {
    return std::nullopt;
  }
  e.Damaged = true;
  e.header.local_header_offset = at;
  const auto local = ParseLocalHeader(Bytes(block), block.size());
  if (!local) return std::nullopt;
  CentralHeader& h = e.header;
  h.version_needed = local->version_needed;
  h.flags = local->flags;
  h.method = local->method;
  h.time = local->time;
  h.date = local->date;
  h.crc32 = local->crc32;
  h.compressed_size = local->compressed_size;
  h.uncompressed_size = local->uncompressed_size;
  const bool whole_name = reader.Take(local->name_length, e.raw_name);
  if (!whole_name) reader.Take(size - reader.position(), e.raw_name);
  h.name_length = static_cast<uint16_t>(e.raw_name.size());
  e.StoredName = EntryName(e.raw_name, h.flags, {});
  if (!whole_name || !reader.Take(local->extra_length, block)) return std::nullopt;
  e.StoredName = EntryName(e.raw_name, h.flags, block);
  uint64_t next = reader.position() + h.compressed_size;
  if ((local->flags & kFlagDataDescriptor) != 0) {
    // Sizes follow the data: look for the descriptor whose size field matches the distance.
    const auto found = FindDataDescriptor(reader.position(), size);
    if (!found) return std::nullopt;
    h.crc32 = found->crc32;
    h.compressed_size = found->compressed_size;
    h.uncompressed_size = found->uncompressed_size;
    next = reader.position() + h.compressed_size + 16;
  }
  if (next > size) return std::nullopt;
  if (!e.StoredName.empty() && e.StoredName.back() == '/') h.external_attributes = 0x10;
  e.Damaged = false;
  return next;
}

std::optional<TZipArchiver::Impl::Descriptor> TZipArchiver::Impl::FindDataDescriptor(
    uint64_t data_start, uint64_t size) {
  std::string window;
  for (uint64_t at = data_start; at + 16 <= size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadBlock + 15, size - at));
    window.resize(n);
    if (io_.PRead(fd_, window.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
      return std::nullopt;
    }
    for (size_t i = 0; i + 16 <= n; ++i) {
      const unsigned char* p = Bytes(window) + i;
      if (Get32(p) == kDataDescriptorSignature && Get32(p + 8) == at + i - data_start) {
        return Descriptor{Get32(p + 4), Get32(p + 8), Get32(p + 12)};
      }
    }
    at += n - 15;
  }
  return std::nullopt;
}

void TZipArchiver::Impl::ComputeDataLimits(bool strict) {
  std::vector<size_t> order(entries_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return entries_[a].header.local_header_offset < entries_[b].header.local_header_offset;
  });
  for (size_t k = 0; k < order.size(); ++k) {
    EntryRecord& e = entries_[order[k]];
    const uint64_t limit =
        k + 1 < order.size() ? entries_[order[k + 1]].header.local_header_offset : cd_offset_;
    e.data_limit = limit;
    // Each entry needs its own local header and its data before the next entry begins:
    // entries that share bytes are a decompression bomb, not an archive.
    const uint64_t offset = e.header.local_header_offset;
    const bool fits = offset <= limit && limit - offset >= kLocalHeaderSize &&
                      limit - offset - kLocalHeaderSize >= e.header.compressed_size;
    if (strict && !fits && !e.Damaged) throw EArchiveError("", kErrOpenArchive);
  }
}

}  // namespace marvolen
