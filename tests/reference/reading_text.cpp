#include "reading_text.hpp"

#include "protocol/text_layout.hpp"
#include "protocol/shortest.hpp"

namespace ahrs {
namespace {

template <class T>
void append_shortest(std::string& out, T v) {
    char text[kShortestRoom];
    out.append(text, static_cast<std::size_t>(write_shortest(text, shortest(v)) - text));
}

char* write_reading_item(char* out, WireType type, double v) {
    switch (type) {
        case WireType::F32: return write_shortest(out, shortest(static_cast<float>(v)));
        case WireType::F64: return write_shortest(out, shortest(v));
        default: return write_plain_item(out, type, static_cast<std::uint64_t>(v));
    }
}

}  // namespace

void append_float(std::string& out, float v) { append_shortest(out, v); }
void append_double(std::string& out, double v) { append_shortest(out, v); }

void append_reading_text(std::string& out, const Reading& r) {
    char text[kRecordRoom];
    const auto& items = r.spec().items;
    char* end = write_record(text, r.slot(), items.size(),
                             [&](std::size_t i, char* at) { return write_reading_item(at, items[i].type, r.item(i)); });
    out.append(text, static_cast<std::size_t>(end - text));
}

std::string reading_text(const Reading& r) {
    std::string out;
    append_reading_text(out, r);
    return out;
}

void append_readings_text(std::string& out, std::span<const Reading> readings) {
    out += '[';
    for (std::size_t i = 0; i < readings.size(); ++i) {
        if (i) out += ", ";
        append_reading_text(out, readings[i]);
    }
    out += ']';
}

std::string readings_text(std::span<const Reading> readings) {
    std::string out;
    append_readings_text(out, readings);
    return out;
}

}  // namespace ahrs
