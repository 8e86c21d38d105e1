#include "recording_dump.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <vector>

#include "../protocol/text_layout.hpp"
#include "dump_input.hpp"
#include "text_output.hpp"

namespace ahrs {
namespace {

constexpr std::array<Descriptor, 2> kDataSets = {Descriptor::DataSensor, Descriptor::DataEstimationFilter};
using SetMasks = std::array<RecordMask, 2>;

// A failed write names the file it failed on.
using WriteStatus = Result<Unit, std::pair<IoError, std::string>>;

WriteStatus flushed(Status<IoError> r, const std::string& path) {
    if (!r) return err(std::pair{std::move(r).error(), path});
    return Unit{};
}

// One well-formed packet: decoded, only the wanted records kept, digits found.
struct DumpPacket {
    std::uint64_t index;
    std::uint64_t offset;
    Descriptor set;
    const PacketDigits& digits;
};

// Writes the packets of a scan; damage is only counted.
class Writer {
public:
    virtual ~Writer() = default;
    virtual WriteStatus packet(const DumpPacket& p) = 0;
    virtual WriteStatus finish() = 0;
};

static_assert(kExportRoom <= TextOutput::kRoom);

// Text and JSON Lines: one line per well-formed packet, to one output.
class LineWriter final : public Writer {
public:
    LineWriter(TextOutput out, std::string path, DumpFormat format)
        : out_(std::move(out)), path_(std::move(path)), format_(format) {}

    WriteStatus packet(const DumpPacket& p) override {
        out_.advance_to(format_ == DumpFormat::Jsonl ? write_jsonl(out_.end(), p.offset, p.set, p.digits)
                                                     : write_packet_line(out_.end(), p.digits));
        return flushed(out_.flush_if_full(), path_);
    }
    WriteStatus finish() override { return flushed(out_.flush(), path_); }

private:
    TextOutput out_;
    std::string path_;
    DumpFormat format_;
};

// OUT.<set>.csv, the table of one descriptor set.
std::string csv_table_path(const std::string& prefix, Descriptor set) {
    return prefix + "." + std::string(descriptor_name(set)) + ".csv";
}

// One descriptor set's CSV table: its columns and its file.
struct CsvTable {
    RecordMask columns;
    std::vector<std::size_t> slots;  // the columns, in catalogue order
    std::unique_ptr<TextOutput> file;
    std::string path;
};

// The CSV header names every record present in the file, so the columns are
// known only at the end. A recording's packets of one set nearly always hold
// the same records, so the writer takes the records of each set's first
// packet as its columns and checks at the end that no packet held others;
// only when one did (guessed() is false) is the export written again, with
// the columns it saw. Columns given beforehand are taken as they are.
class CsvWriter final : public Writer {
public:
    CsvWriter(std::string prefix, std::optional<SetMasks> columns, InterruptCheck interrupt)
        : prefix_(std::move(prefix)), given_(columns.has_value()), interrupt_(interrupt) {
        if (columns)
            for (std::size_t s = 0; s < kDataSets.size(); ++s) tables_[s].columns = (*columns)[s];
    }

    // Opens the tables whose columns are given.
    WriteStatus open_given() {
        for (std::size_t s = 0; s < kDataSets.size(); ++s)
            if (tables_[s].columns.any())
                if (auto r = open(s); !r) return r;
        return Unit{};
    }

    WriteStatus packet(const DumpPacket& p) override {
        const std::size_t s = p.set == kDataSets[0] ? 0 : 1;
        if (p.set != kDataSets[s]) return Unit{};
        RecordMask held;
        for (std::size_t r = 0; r < p.digits.flat.record_count; ++r) held.set(p.digits.flat.records[r].slot);
        seen_[s] |= held;
        CsvTable& t = tables_[s];
        if (!t.file) {
            if (given_) return Unit{};
            t.columns = held;
            if (auto r = open(s); !r) return r;
        }
        t.file->advance_to(write_csv_row(t.file->end(), p.index, p.offset, t.slots, p.digits));
        return flushed(t.file->flush_if_full(), t.path);
    }

    // The export owns its PREFIX.<set>.csv tables: a set none of whose
    // packets held a wanted record keeps no table, not even one an earlier
    // export left.
    WriteStatus finish() override {
        for (CsvTable& t : tables_)
            if (t.file)
                if (auto r = flushed(t.file->flush(), t.path); !r) return r;
        for (std::size_t s = 0; s < kDataSets.size(); ++s) {
            if (seen_[s].any() && tables_[s].file) continue;
            const std::string path = table_path(s);
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) return err(std::pair{IoError::last_os(), path});
        }
        return Unit{};
    }

    bool guessed() const {
        for (std::size_t s = 0; s < kDataSets.size(); ++s)
            if (tables_[s].columns != seen_[s]) return false;
        return true;
    }
    const SetMasks& seen() const { return seen_; }

private:
    WriteStatus open(std::size_t s) {
        CsvTable& t = tables_[s];
        for (std::size_t slot = 0; slot < kRecordSlots; ++slot)
            if (t.columns[slot]) t.slots.push_back(slot);
        t.path = table_path(s);
        auto file = TextOutput::create(t.path, interrupt_);
        if (!file) return err(std::pair{std::move(file).error(), t.path});
        t.file = std::make_unique<TextOutput>(std::move(*file));
        std::string header;
        append_csv_header(header, t.slots);
        t.file->append(header);
        return Unit{};
    }

    std::string table_path(std::size_t s) const { return csv_table_path(prefix_, kDataSets[s]); }

    std::string prefix_;
    bool given_;
    InterruptCheck interrupt_;
    std::array<CsvTable, 2> tables_;
    SetMasks seen_;
};

DumpFailure failure(std::pair<IoError, std::string> f) { return DumpFailure{std::move(f.first), std::move(f.second)}; }

// One pass over the recording into the writer.
Result<DumpSummary, DumpFailure> write_all(Result<RecordingScan, IoError> scan, std::string_view path, Writer& writer,
                                           const RecordMask& keep, const ScanHook& hook) {
    if (!scan) return err(DumpFailure{std::move(scan).error(), std::string(path)});
    DumpSummary summary;
    auto digits = std::make_unique<PacketDigits>();
    std::optional<std::pair<IoError, std::string>> write_error;
    auto visit = [&](const ScanEvent& event) -> Status<IoError> {
        if (const auto* p = std::get_if<ScannedPacket>(&event)) {
            const Descriptor set = p->packet.descriptor();
            decode_with_digits(set, p->packet.bytes(), keep, *digits);
            if (auto r = writer.packet({summary.packets++, p->offset, set, *digits}); !r) {
                write_error = std::move(r).error();
                return err(write_error->first);
            }
        } else if (const auto* d = std::get_if<DamagedRun>(&event)) {
            ++summary.damaged_runs;
            summary.skipped_bytes += d->size;
        } else {
            summary.truncated = std::get<ScanEnd>(event).truncated;
        }
        return Unit{};
    };
    if (auto r = scan_all(*scan, hook, visit); !r) {
        if (write_error) return err(failure(std::move(*write_error)));
        return err(DumpFailure{std::move(r).error().io, std::string(path)});
    }
    if (auto r = writer.finish(); !r) return err(failure(std::move(r).error()));
    return summary;
}

// The directory a prefix's tables go to, where a spool of the input is made.
std::string directory_of(const std::string& prefix) {
    const auto slash = prefix.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : prefix.substr(0, slash);
}

Result<DumpSummary, DumpFailure> write_csv(DumpInput& input, std::string_view path, const DumpOptions& options,
                                           const ScanHook& hook) {
    const std::string spool_dir = directory_of(options.out);
    SetMasks seen;
    std::uint64_t packets = 0;
    {
        CsvWriter guess(options.out, std::nullopt, input.interrupt_check());
        auto done = write_all(input.first_pass(&spool_dir), path, guess, options.records, hook);
        if (!done || guess.guessed()) return done;
        seen = guess.seen();
        packets = done->packets;
    }
    CsvWriter writer(options.out, seen, input.interrupt_check());
    if (auto r = writer.open_given(); !r) return err(failure(std::move(r).error()));
    auto again = write_all(input.again(), path, writer, options.records, hook);
    // Both passes must read the same bytes: a file cut short in between is
    // not exported as if it were whole.
    if (again && again->packets < packets)
        return err(
            DumpFailure{IoError::fixed(IoKind::Other, "the file shrank while it was exported"), std::string(path)});
    return again;
}

Result<DumpSummary, DumpFailure> write_lines(DumpInput& input, std::string_view path, const DumpOptions& options,
                                             const ScanHook& hook) {
    const bool to_stdout = options.out.empty();
    const InterruptCheck interrupt = input.interrupt_check();
    auto out = to_stdout ? TextOutput::standard_output(interrupt) : TextOutput::create(options.out, interrupt);
    const std::string out_path = to_stdout ? "<stdout>" : options.out;
    if (!out) return err(DumpFailure{std::move(out).error(), out_path});
    LineWriter writer(std::move(*out), out_path, options.format);
    return write_all(input.first_pass(nullptr), path, writer, options.records, hook);
}

}  // namespace

Result<DumpSummary, DumpFailure> dump_recording(std::string_view path, const DumpOptions& options, const ScanHook& hook,
                                                InterruptCheck interrupt) {
    // The input is opened first, and only once, so that an unreadable
    // recording leaves no output file behind and a FIFO's writer is met once.
    auto input = DumpInput::open(path, interrupt);
    if (!input) return err(DumpFailure{std::move(input).error(), std::string(path)});
    if (options.format == DumpFormat::Csv) return write_csv(*input, path, options, hook);
    return write_lines(*input, path, options, hook);
}

}  // namespace ahrs
