#pragma once
// An MCAP file written natively: messages gathered into chunks of about
// 1 MiB, each compressed with zstd when the build has it (stored as they are
// otherwise), with a message index per channel after every chunk and a
// summary (schemas, channels, statistics, chunk and metadata indexes) at the
// end, so readers seek instead of scanning.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "../device/files.hpp"
#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"

namespace ahrs {

class McapWriter {
public:
    static constexpr std::size_t kChunkSize = 1 << 20;
    using Metadata = std::map<std::string, std::string>;

    // Creates (or empties) the file at `path` and writes the header.
    static Result<McapWriter, IoError> create(std::string_view path, std::string_view profile,
                                              InterruptCheck interrupt);
    // The compression chunks get: "zstd", or "" when the build has none.
    static std::string_view compression();

    std::uint16_t add_schema(std::string_view name, std::string_view encoding, std::string_view data);
    std::uint16_t add_channel(std::uint16_t schema, std::string_view topic, std::string_view encoding,
                              const Metadata& metadata);
    Status<IoError> add_message(std::uint16_t channel, std::uint32_t sequence, std::uint64_t log_time,
                                std::string_view data);
    void add_metadata(std::string_view name, const Metadata& values);
    // Writes the last chunk, the summary and the footer.
    Status<IoError> finish();

    std::uint64_t messages() const { return message_count_; }

private:
    struct Index {
        std::uint64_t start, end, offset, length, index_length, compressed, uncompressed;
        std::string_view compression;
        std::map<std::uint16_t, std::uint64_t> index_offsets;
    };
    McapWriter(FileHandle file, InterruptCheck interrupt) : file_(std::move(file)), interrupt_(interrupt) {}
    Status<IoError> flush_chunk();
    Status<IoError> flush_output();

    FileHandle file_;
    InterruptCheck interrupt_;
    std::string out_;             // bytes not yet written to the file
    std::uint64_t written_ = 0;   // bytes already written
    std::string schemas_, channels_;  // records, kept for the summary
    std::vector<std::pair<std::string, Metadata>> metadata_;
    std::uint16_t next_schema_ = 1, next_channel_ = 0;
    // The chunk being gathered.
    std::string chunk_;
    std::uint64_t chunk_start_ = 0, chunk_end_ = 0;
    std::map<std::uint16_t, std::string> chunk_index_;  // channel -> (log time, offset) pairs
    std::vector<Index> chunks_;
    std::map<std::uint16_t, std::uint64_t> counts_;
    std::uint64_t message_count_ = 0, first_ = UINT64_MAX, last_ = 0;
};

}  // namespace ahrs
