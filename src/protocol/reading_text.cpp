#include "reading_text.hpp"

#include <charconv>
#include <cmath>

namespace ahrs {
namespace {

// Lays out the shortest round-trip digits that to_chars gives in scientific
// form ("d.ddde±x"): its fixed form is not shortest in significant digits.
void lay_out(std::string& out, const char* first, const char* last) {
    const char* e = first;
    while (e != last && *e != 'e') ++e;
    // The digits are not NUL-terminated: parse the exponent within bounds.
    const char* x = e + 1;
    if (x != last && *x == '+') ++x;
    int exp = 0;
    std::from_chars(x, last, exp);
    bool negative = *first == '-';
    std::string digits;
    for (const char* p = first + (negative ? 1 : 0); p != e; ++p)
        if (*p != '.') digits += *p;
    const bool zero = digits.find_first_not_of('0') == std::string::npos;
    if (negative) out += '-';
    if (!zero && (exp >= 16 || exp < -4)) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(exp);
        return;
    }
    if (zero) {
        out += "0.0";
        return;
    }
    const int point = exp + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
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

}  // namespace

void append_float(std::string& out, float v) { append_shortest(out, v); }
void append_double(std::string& out, double v) { append_shortest(out, v); }

void append_reading_text(std::string& out, const Reading& r) {
    const RecordSpec& spec = r.spec();
    out += kind_name(r.kind());
    out += '(';
    out += spec.name;
    out += " { ";
    for (std::size_t i = 0; i < spec.items.size(); ++i) {
        if (i) out += ", ";
        out += spec.items[i].name;
        out += ": ";
        append_item(out, spec.items[i].type, r.item(i));
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
