#include "reading_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>

namespace ahrs {
namespace {

// Lays out the shortest round-trip digits that to_chars gives in scientific
// form ("d.ddde±xx"): its fixed form is not shortest in significant digits.
// Runs for every item of every line of a recorded stream, so it builds the
// text in a stack buffer and appends it once.
void lay_out(std::string& out, const char* first, const char* last) {
    char text[48];  // sign, 17 digits, up to 16 zeros or an exponent, ".0"
    char* o = text;
    if (*first == '-') {
        *o++ = '-';
        ++first;
    }
    // The exponent is a sign and two or three digits at the end.
    const char* e = last - 3;
    while (*e != 'e') --e;
    int exp = 0;
    for (const char* p = e + 2; p != last; ++p) exp = exp * 10 + (*p - '0');
    if (e[1] == '-') exp = -exp;
    // The digits: the first, then those after the point if there is one.
    char digits[24];
    digits[0] = *first;
    std::size_t n = 1;
    for (const char* p = first + 2; p < e; ++p) digits[n++] = *p;
    if (digits[0] == '0') {  // only zero starts with a 0
        o = std::copy_n("0.0", 3, o);
    } else if (exp >= 16 || exp < -4) {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            o = std::copy(digits + 1, digits + n, o);
        }
        *o++ = 'e';
        o = std::to_chars(o, text + sizeof text, exp).ptr;
    } else if (const int point = exp + 1; point <= 0) {  // digits before the decimal point
        o = std::copy_n("0.", 2, o);
        o = std::fill_n(o, -point, '0');
        o = std::copy(digits, digits + n, o);
    } else if (static_cast<std::size_t>(point) >= n) {
        o = std::copy(digits, digits + n, o);
        o = std::fill_n(o, static_cast<std::size_t>(point) - n, '0');
        o = std::copy_n(".0", 2, o);
    } else {
        o = std::copy(digits, digits + point, o);
        *o++ = '.';
        o = std::copy(digits + point, digits + n, o);
    }
    out.append(text, static_cast<std::size_t>(o - text));
}

template <class T>
void append_shortest(std::string& out, T v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    lay_out(out, buf, res.ptr);
}

void append_item(std::string& out, WireType type, double v) {
    switch (type) {
        case WireType::F32: append_float(out, static_cast<float>(v)); break;
        case WireType::F64: append_double(out, v); break;
        case WireType::U16: out += std::to_string(static_cast<unsigned>(v)); break;
        case WireType::Flag: out += v != 0 ? "Valid" : "Invalid"; break;
    }
}

// The fixed text between a record's values, "Sensor(ScaledAccVector { x: ",
// ", y: ", ", z: ", joined once per record rather than piece by piece on
// every line.
struct RecordLabels {
    std::string head;                // up to the first value
    std::vector<std::string> items;  // before each later value
};

RecordLabels make_labels(ReadingKind kind, const RecordSpec& spec) {
    RecordLabels labels;
    labels.head = std::string(kind_name(kind)) + "(" + std::string(spec.name) + " { ";
    for (std::size_t i = 0; i < spec.items.size(); ++i) {
        std::string label = std::string(spec.items[i].name) + ": ";
        if (i == 0) labels.head += label;
        else labels.items.push_back(", " + label);
    }
    return labels;
}

const RecordLabels& labels_of(const Reading& r) {
    static const auto table = [] {
        std::array<RecordLabels, kSensorVariants + kEstimateVariants> t;
        for (ReadingKind kind : {ReadingKind::Sensor, ReadingKind::Estimate}) {
            const auto records = catalogue(kind);
            for (std::size_t v = 0; v < records.size(); ++v)
                t[Reading(kind, static_cast<std::uint8_t>(v)).slot()] = make_labels(kind, records[v]);
        }
        return t;
    }();
    return table[r.slot()];
}

}  // namespace

void append_float(std::string& out, float v) { append_shortest(out, v); }
void append_double(std::string& out, double v) { append_shortest(out, v); }

void append_reading_text(std::string& out, const Reading& r) {
    const auto& items = r.spec().items;
    const RecordLabels& labels = labels_of(r);
    out += labels.head;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += labels.items[i - 1];
        append_item(out, items[i].type, r.item(i));
    }
    out += " })";
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
