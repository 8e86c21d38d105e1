#pragma once
// One packet's readings keyed by variant name, plus "type" naming the kind of
// the last reading. A packet holds a handful of distinct variants at most, so
// the map is a short vector searched by variant: a later reading of the same
// variant replaces the earlier one, and copying a map into a used one reuses
// its storage (the buffered client's ring relies on that).
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "flat_decode.hpp"

namespace ahrs {

// A map value: the "type" text or a reading.
using ReadingOrString = std::variant<Reading, std::string_view>;

class SnapshotMap {
public:
    void insert(const Reading& r);
    bool empty() const { return !type_; }
    std::size_t size() const;  // number of keys, "type" included
    std::optional<std::string_view> type() const;
    const Reading* find(std::string_view name) const;

    void clear();
    // Replaces the contents with one packet's readings, reusing the storage.
    void assign(std::span<const Reading> readings);
    void assign(const FlatPacket& flat);
    std::span<const Reading> readings() const { return entries_; }

    // Visits every entry as (key, value): "type" first, then the readings.
    template <class F>
    void for_each(F&& f) const {
        if (!type_) return;
        f(std::string_view("type"), ReadingOrString(*type()));
        for (const auto& r : entries_) f(r.name(), ReadingOrString(r));
    }

private:
    std::optional<ReadingKind> type_;
    std::vector<Reading> entries_;
};

// Folds one packet's readings into its snapshot.
SnapshotMap process_readings(std::span<const Reading> readings);

}  // namespace ahrs
