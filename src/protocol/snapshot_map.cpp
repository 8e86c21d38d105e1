#include "snapshot_map.hpp"

namespace ahrs {

void SnapshotMap::insert(const Reading& r) {
    type_ = r.kind();
    for (auto& e : entries_) {
        if (e.slot() == r.slot()) {
            e = r;
            return;
        }
    }
    entries_.push_back(r);
}

void SnapshotMap::clear() {
    type_.reset();
    entries_.clear();
}

std::size_t SnapshotMap::size() const { return (type_ ? 1 : 0) + entries_.size(); }

std::optional<std::string_view> SnapshotMap::type() const {
    if (!type_) return std::nullopt;
    return *type_ == ReadingKind::Sensor ? "sensor" : "estimate";
}

const Reading* SnapshotMap::find(std::string_view name) const {
    for (const auto& e : entries_)
        if (e.name() == name) return &e;
    return nullptr;
}

void SnapshotMap::assign(std::span<const Reading> readings) {
    clear();
    for (const auto& r : readings) insert(r);
}

void SnapshotMap::assign(const FlatPacket& flat) {
    clear();
    if (flat.record_count == 0) return;
    type_ = slot_kind(flat.records[flat.record_count - 1].slot);
    const RecordIndex index = index_records(flat);
    for (std::size_t k = 0; k < index.count; ++k) entries_.push_back(reading_at(flat, index.last[index.order[k]]));
}

SnapshotMap process_readings(std::span<const Reading> readings) {
    SnapshotMap map;
    map.assign(readings);
    return map;
}

}  // namespace ahrs
