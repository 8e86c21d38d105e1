#include "export_text.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "repr_number.hpp"

namespace ahrs {
namespace {

void append_uint(std::string& out, std::uint64_t v) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// An item as JSON and CSV both write it, but for the non-finite floats.
void append_item(std::string& out, WireType type, double v) {
    switch (type) {
        case WireType::F32: append_repr(out, static_cast<float>(v)); break;
        case WireType::F64: append_repr(out, v); break;
        case WireType::U16: append_uint(out, static_cast<std::uint64_t>(v)); break;
        case WireType::Flag: out += v != 0 ? "Valid" : "Invalid"; break;
    }
}

void append_json_item(std::string& out, WireType type, double v) {
    if (type == WireType::Flag) {
        out += v != 0 ? "\"Valid\"" : "\"Invalid\"";
    } else if (!std::isfinite(v)) {
        out += "null";
    } else {
        append_item(out, type, v);
    }
}

// The JSON text before each item of a record: "Name": {"x": , then , "y": and
// so on. Built once from the catalogue: it goes out for every reading.
using JsonKeys = std::array<std::string, kMaxItems>;

const JsonKeys& json_keys(std::size_t slot) {
    static const auto table = [] {
        std::array<JsonKeys, kRecordSlots> t;
        for (std::size_t s = 0; s < kRecordSlots; ++s) {
            const RecordSpec& spec = slot_spec(s);
            for (std::size_t i = 0; i < spec.items.size(); ++i) {
                std::string& key = t[s][i];
                key = i ? ", \"" : "\"" + std::string(spec.name) + "\": {\"";
                key += spec.items[i].name;
                key += "\": ";
            }
        }
        return t;
    }();
    return table[slot];
}

void append_json_reading(std::string& out, const Reading& r) {
    const RecordSpec& spec = r.spec();
    const JsonKeys& keys = json_keys(r.slot());
    for (std::size_t i = 0; i < spec.items.size(); ++i) {
        out += keys[i];
        append_json_item(out, spec.items[i].type, r.item(i));
    }
    out += '}';
}

// The last occurrence of each record in the packet, by slot.
std::array<const Reading*, kRecordSlots> last_of_each(std::span<const Reading> readings) {
    std::array<const Reading*, kRecordSlots> last{};
    for (const Reading& r : readings) last[r.slot()] = &r;
    return last;
}

// GPS week * 604800 + time of week from the packet's last time record.
double reading_time(std::span<const Reading> readings) {
    double time = std::nan("");
    for (const Reading& r : readings) {
        if (r.name() == "GPSCorrelationTimestamp") time = r.item(1) * 604800 + r.item(0);
        if (r.name() == "GPSTimestamp") time = r.item(1) * 604800 + r.item(0);
    }
    return time;
}

void append_json_time(std::string& out, double time) {
    if (std::isnan(time)) out += "null";
    else append_repr(out, time);
}

}  // namespace

void append_jsonl(std::string& out, std::uint64_t offset, Descriptor set, std::span<const Reading> readings,
                  const RecordMask& keep) {
    out += "{\"offset\": ";
    append_uint(out, offset);
    out += ", \"time\": ";
    append_json_time(out, reading_time(readings));
    out += ", \"set\": \"";
    out += descriptor_name(set);
    out += "\", \"readings\": {";
    const auto last = last_of_each(readings);
    RecordMask written;
    for (const Reading& r : readings) {
        if (!keep[r.slot()] || written[r.slot()]) continue;
        if (written.any()) out += ", ";
        written.set(r.slot());
        append_json_reading(out, *last[r.slot()]);
    }
    out += "}}\n";
}

void append_csv_row(std::string& out, std::uint64_t packet, std::uint64_t offset, std::span<const std::size_t> columns,
                    std::span<const Reading> readings) {
    const auto last = last_of_each(readings);
    append_uint(out, packet);
    out += ',';
    append_uint(out, offset);
    out += ',';
    append_repr(out, reading_time(readings));
    for (std::size_t slot : columns) {
        const RecordSpec& spec = slot_spec(slot);
        const Reading* r = last[slot];
        for (std::size_t i = 0; i < spec.items.size(); ++i) {
            out += ',';
            if (r) append_item(out, spec.items[i].type, r->item(i));
        }
    }
    out += '\n';
}

}  // namespace ahrs
