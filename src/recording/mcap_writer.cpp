#include "mcap_writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef AHRS_ZSTD
#include <zstd.h>
#endif

namespace ahrs {
namespace {

constexpr std::string_view kMagic = "\x89MCAP0\r\n";
constexpr std::size_t kFlushAt = 4 << 20;
enum Op : std::uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kMessageIndex = 0x07,
    kChunkIndex = 0x08,
    kStatistics = 0x0B,
    kMetadata = 0x0C,
    kMetadataIndex = 0x0D,
    kSummaryOffset = 0x0E,
    kDataEnd = 0x0F,
};

template <class T>
void put(std::string& s, T v) {
    s.append(reinterpret_cast<const char*>(&v), sizeof v);
}
void put_string(std::string& s, std::string_view v) {
    put(s, static_cast<std::uint32_t>(v.size()));
    s.append(v);
}
void put_map(std::string& s, const McapWriter::Metadata& m) {
    std::string body;
    for (const auto& [k, v] : m) put_string(body, k), put_string(body, v);
    put_string(s, body);
}
template <class K>
void put_counts(std::string& s, const std::map<K, std::uint64_t>& m) {
    put(s, static_cast<std::uint32_t>(m.size() * (sizeof(K) + 8)));
    for (const auto& [k, v] : m) put(s, k), put(s, v);
}
// A record: opcode, length, body.
void put_record(std::string& s, Op op, std::string_view body) {
    put(s, static_cast<std::uint8_t>(op));
    put(s, static_cast<std::uint64_t>(body.size()));
    s.append(body);
}

// The chunk's records as stored, and the compression named in the chunk.
std::string_view compress(const std::string& records, std::string& scratch) {
#ifdef AHRS_ZSTD
    scratch.resize(ZSTD_compressBound(records.size()));
    const std::size_t n = ZSTD_compress(scratch.data(), scratch.size(), records.data(), records.size(), 1);
    if (!ZSTD_isError(n)) {
        scratch.resize(n);
        return "zstd";
    }
#endif
    scratch = records;
    return "";
}

Status<IoError> write_all(int fd, std::string_view data, InterruptCheck interrupt) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR && !interrupt.requested()) continue;
            return err(IoError::last_os());
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return Unit{};
}

}  // namespace

std::string_view McapWriter::compression() {
#ifdef AHRS_ZSTD
    return "zstd";
#else
    return "";
#endif
}

Result<McapWriter, IoError> McapWriter::create(std::string_view path, std::string_view profile,
                                               InterruptCheck interrupt) {
    auto file = FileHandle::create(path, interrupt);
    if (!file) return err(std::move(file).error());
    McapWriter w(std::move(file).value(), interrupt);
    w.out_.append(kMagic);
    std::string body;
    put_string(body, profile);
    put_string(body, "tavrin_ahrs_tools");
    put_record(w.out_, kHeader, body);
    return w;
}

std::uint16_t McapWriter::add_schema(std::string_view name, std::string_view encoding, std::string_view data) {
    std::string body;
    put(body, next_schema_);
    put_string(body, name);
    put_string(body, encoding);
    put_string(body, data);
    put_record(schemas_, kSchema, body);
    put_record(out_, kSchema, body);
    return next_schema_++;
}

std::uint16_t McapWriter::add_channel(std::uint16_t schema, std::string_view topic, std::string_view encoding,
                                      const Metadata& metadata) {
    std::string body;
    put(body, next_channel_);
    put(body, schema);
    put_string(body, topic);
    put_string(body, encoding);
    put_map(body, metadata);
    put_record(channels_, kChannel, body);
    put_record(out_, kChannel, body);
    counts_[next_channel_] = 0;
    return next_channel_++;
}

Status<IoError> McapWriter::add_message(std::uint16_t channel, std::uint32_t sequence, std::uint64_t log_time,
                                        std::string_view data) {
    if (chunk_.empty()) chunk_start_ = log_time, chunk_end_ = log_time;
    chunk_start_ = std::min(chunk_start_, log_time);
    chunk_end_ = std::max(chunk_end_, log_time);
    std::string& index = chunk_index_[channel];
    put(index, log_time);
    put(index, static_cast<std::uint64_t>(chunk_.size()));
    put(chunk_, static_cast<std::uint8_t>(kMessage));
    put(chunk_, static_cast<std::uint64_t>(2 + 4 + 8 + 8 + data.size()));
    put(chunk_, channel);
    put(chunk_, sequence);
    put(chunk_, log_time);
    put(chunk_, log_time);  // publish time: the same instant
    chunk_.append(data);
    ++counts_[channel];
    ++message_count_;
    first_ = std::min(first_, log_time);
    last_ = std::max(last_, log_time);
    if (chunk_.size() >= kChunkSize) return flush_chunk();
    return Unit{};
}

void McapWriter::add_metadata(std::string_view name, const Metadata& values) {
    metadata_.emplace_back(std::string(name), values);
}

Status<IoError> McapWriter::flush_chunk() {
    if (chunk_.empty()) return Unit{};
    std::string stored;
    const std::string_view how = compress(chunk_, stored);
    Index idx{chunk_start_, chunk_end_, written_ + out_.size(), 0, 0, stored.size(), chunk_.size(), how, {}};
    std::string body;
    put(body, chunk_start_);
    put(body, chunk_end_);
    put(body, static_cast<std::uint64_t>(chunk_.size()));
    put(body, std::uint32_t{0});  // no CRC: readers skip the check
    put_string(body, how);
    put(body, static_cast<std::uint64_t>(stored.size()));
    body.append(stored);
    put_record(out_, kChunk, body);
    idx.length = written_ + out_.size() - idx.offset;
    const std::uint64_t indexes_start = written_ + out_.size();
    for (const auto& [channel, pairs] : chunk_index_) {
        idx.index_offsets[channel] = written_ + out_.size();
        std::string entry;
        put(entry, channel);
        put_string(entry, pairs);
        put_record(out_, kMessageIndex, entry);
    }
    idx.index_length = written_ + out_.size() - indexes_start;
    chunks_.push_back(std::move(idx));
    chunk_.clear();
    chunk_index_.clear();
    return out_.size() >= kFlushAt ? flush_output() : Status<IoError>(Unit{});
}

Status<IoError> McapWriter::flush_output() {
    auto r = write_all(file_.get(), out_, interrupt_);
    written_ += out_.size();
    out_.clear();
    return r;
}

Status<IoError> McapWriter::finish() {
    if (auto r = flush_chunk(); !r) return r;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> metadata_at;
    for (const auto& [name, values] : metadata_) {
        std::string body;
        put_string(body, name);
        put_map(body, values);
        const std::uint64_t at = written_ + out_.size();
        put_record(out_, kMetadata, body);
        metadata_at.emplace_back(at, written_ + out_.size() - at);
    }
    put_record(out_, kDataEnd, std::string(4, '\0'));

    const std::uint64_t summary = written_ + out_.size();
    std::string offsets;
    auto group = [&](Op op, auto&& write) {
        const std::uint64_t start = written_ + out_.size();
        write();
        const std::uint64_t length = written_ + out_.size() - start;
        if (!length) return;
        std::string body;
        put(body, static_cast<std::uint8_t>(op));
        put(body, start);
        put(body, length);
        put_record(offsets, kSummaryOffset, body);
    };
    group(kSchema, [&] { out_.append(schemas_); });
    group(kChannel, [&] { out_.append(channels_); });
    group(kStatistics, [&] {
        std::string body;
        put(body, message_count_);
        put(body, static_cast<std::uint16_t>(next_schema_ - 1));
        put(body, static_cast<std::uint32_t>(next_channel_));
        put(body, std::uint32_t{0});  // attachments
        put(body, static_cast<std::uint32_t>(metadata_.size()));
        put(body, static_cast<std::uint32_t>(chunks_.size()));
        put(body, message_count_ ? first_ : 0);
        put(body, last_);
        put_counts(body, counts_);
        put_record(out_, kStatistics, body);
    });
    group(kChunkIndex, [&] {
        for (const Index& c : chunks_) {
            std::string body;
            put(body, c.start);
            put(body, c.end);
            put(body, c.offset);
            put(body, c.length);
            put_counts(body, c.index_offsets);
            put(body, c.index_length);
            put_string(body, c.compression);
            put(body, c.compressed);
            put(body, c.uncompressed);
            put_record(out_, kChunkIndex, body);
        }
    });
    group(kMetadataIndex, [&] {
        for (std::size_t i = 0; i < metadata_.size(); ++i) {
            std::string body;
            put(body, metadata_at[i].first);
            put(body, metadata_at[i].second);
            put_string(body, metadata_[i].first);
            put_record(out_, kMetadataIndex, body);
        }
    });
    const std::uint64_t offsets_at = written_ + out_.size();
    out_.append(offsets);
    std::string footer;
    put(footer, summary);
    put(footer, offsets_at);
    put(footer, std::uint32_t{0});
    put_record(out_, kFooter, footer);
    out_.append(kMagic);
    return flush_output();
}

}  // namespace ahrs
