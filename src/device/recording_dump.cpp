#include "recording_dump.hpp"

#include <array>
#include <memory>
#include <vector>

#include "../protocol/decode.hpp"
#include "../protocol/reading_text.hpp"
#include "text_output.hpp"

namespace ahrs {
namespace {

constexpr std::array<Descriptor, 2> kDataSets = {Descriptor::DataSensor, Descriptor::DataEstimationFilter};

// One descriptor set's CSV table: its columns and its file.
struct CsvTable {
    std::vector<std::size_t> columns;
    std::unique_ptr<TextOutput> file;
    std::string path;
};

// A failed write names the file it failed on.
using WriteStatus = Result<Unit, std::pair<IoError, std::string>>;

// Writes the packets of a scan; damage is only counted.
class Writer {
public:
    virtual ~Writer() = default;
    virtual WriteStatus packet(std::uint64_t index, const ScannedPacket& p, std::span<const Reading> readings) = 0;
    virtual WriteStatus finish() = 0;
};

WriteStatus flushed(Status<IoError> r, const std::string& path) {
    if (!r) return err(std::pair{std::move(r).error(), path});
    return Unit{};
}

// Text and JSON Lines: one line per well-formed packet, to one output.
class LineWriter final : public Writer {
public:
    LineWriter(TextOutput out, std::string path, DumpFormat format, const RecordMask& keep)
        : out_(std::move(out)), path_(std::move(path)), format_(format), keep_(keep) {}

    WriteStatus packet(std::uint64_t, const ScannedPacket& p, std::span<const Reading> readings) override {
        std::string& buf = out_.buffer();
        if (format_ == DumpFormat::Jsonl) {
            append_jsonl(buf, p.offset, p.packet.descriptor(), readings, keep_);
        } else {
            kept_.clear();
            for (const Reading& r : readings)
                if (keep_[r.slot()]) kept_.push_back(r);
            append_readings_text(buf, kept_);
            buf += '\n';
        }
        return flushed(out_.flush_if_full(), path_);
    }
    WriteStatus finish() override { return flushed(out_.flush(), path_); }

private:
    TextOutput out_;
    std::string path_;
    DumpFormat format_;
    RecordMask keep_;
    std::vector<Reading> kept_;
};

class CsvWriter final : public Writer {
public:
    explicit CsvWriter(std::array<CsvTable, 2> tables) : tables_(std::move(tables)) {}

    WriteStatus packet(std::uint64_t index, const ScannedPacket& p, std::span<const Reading> readings) override {
        for (std::size_t s = 0; s < kDataSets.size(); ++s) {
            CsvTable& t = tables_[s];
            if (!t.file || p.packet.descriptor() != kDataSets[s]) continue;
            append_csv_row(t.file->buffer(), index, p.offset, t.columns, readings);
            return flushed(t.file->flush_if_full(), t.path);
        }
        return Unit{};
    }
    WriteStatus finish() override {
        for (CsvTable& t : tables_)
            if (t.file)
                if (auto r = flushed(t.file->flush(), t.path); !r) return r;
        return Unit{};
    }

private:
    std::array<CsvTable, 2> tables_;
};

DumpFailure failure(ScanFailure f, std::string_view path) { return DumpFailure{std::move(f.io), std::string(path)}; }

DumpFailure failure(std::pair<IoError, std::string> f) { return DumpFailure{std::move(f.first), std::move(f.second)}; }

// The first pass of a CSV export: which of the wanted records each data set
// holds.
Result<std::array<RecordMask, 2>, DumpFailure> records_present(std::string_view path, const RecordMask& keep,
                                                                const ScanHook& hook) {
    auto scan = RecordingScan::open(path);
    if (!scan) return err(DumpFailure{std::move(scan).error(), std::string(path)});
    std::array<RecordMask, 2> present;
    auto visit = [&](const ScanEvent& event) -> Status<IoError> {
        if (const auto* p = std::get_if<ScannedPacket>(&event))
            for (std::size_t s = 0; s < kDataSets.size(); ++s)
                if (p->packet.descriptor() == kDataSets[s]) present[s] |= records_in(p->packet) & keep;
        return Unit{};
    };
    if (auto r = scan_all(*scan, hook, visit); !r) return err(failure(std::move(r).error(), path));
    return present;
}

Result<std::unique_ptr<Writer>, DumpFailure> csv_writer(std::string_view path, const DumpOptions& options,
                                                        const ScanHook& hook) {
    auto present = records_present(path, options.records, hook);
    if (!present) return err(std::move(present).error());
    std::array<CsvTable, 2> tables;
    for (std::size_t s = 0; s < kDataSets.size(); ++s) {
        const RecordMask& mask = (*present)[s];
        if (mask.none()) continue;
        CsvTable& t = tables[s];
        for (std::size_t slot = 0; slot < kRecordSlots; ++slot)
            if (mask[slot]) t.columns.push_back(slot);
        t.path = options.out + "." + std::string(descriptor_name(kDataSets[s])) + ".csv";
        auto file = TextOutput::create(t.path);
        if (!file) return err(DumpFailure{std::move(file).error(), t.path});
        t.file = std::make_unique<TextOutput>(std::move(*file));
        append_csv_header(t.file->buffer(), t.columns);
    }
    return std::unique_ptr<Writer>(new CsvWriter(std::move(tables)));
}

Result<std::unique_ptr<Writer>, DumpFailure> make_writer(std::string_view path, const DumpOptions& options,
                                                         const ScanHook& hook) {
    if (options.format == DumpFormat::Csv) return csv_writer(path, options, hook);
    if (options.out.empty())
        return std::unique_ptr<Writer>(
            new LineWriter(TextOutput::standard_output(), "<stdout>", options.format, options.records));
    auto file = TextOutput::create(options.out);
    if (!file) return err(DumpFailure{std::move(file).error(), options.out});
    return std::unique_ptr<Writer>(new LineWriter(std::move(*file), options.out, options.format, options.records));
}

}  // namespace

Result<DumpSummary, DumpFailure> dump_recording(std::string_view path, const DumpOptions& options,
                                                const ScanHook& hook) {
    auto scan = RecordingScan::open(path);
    if (!scan) return err(DumpFailure{std::move(scan).error(), std::string(path)});
    auto writer = make_writer(path, options, hook);
    if (!writer) return err(std::move(writer).error());

    DumpSummary summary;
    std::vector<Reading> readings;
    std::optional<std::pair<IoError, std::string>> write_error;
    auto visit = [&](const ScanEvent& event) -> Status<IoError> {
        if (const auto* p = std::get_if<ScannedPacket>(&event)) {
            readings.clear();
            append_readings(p->packet, readings);
            if (auto r = (*writer)->packet(summary.packets++, *p, readings); !r) {
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
    if (auto r = scan_all(*scan, hook, visit); !r)
        return err(write_error ? failure(std::move(*write_error)) : failure(std::move(r).error(), path));
    if (auto r = (*writer)->finish(); !r) return err(failure(std::move(r).error()));
    return summary;
}

}  // namespace ahrs
