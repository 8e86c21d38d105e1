#pragma once
// Payloads the decoder must take apart field by field: random records of
// either set with random bits (NaN, infinities and subnormals included),
// flags now and then out of range, length bytes now and then too short, too
// long or zero, and stray fields between.
#include <algorithm>
#include <random>

#include "protocol/reading.hpp"
#include "test_bytes.hpp"

namespace random_payloads {

using test_bytes::Bytes;

// One field of a catalogue record, its items drawn by `item(type)`.
template <class Item>
Bytes record_field(const ahrs::RecordSpec& spec, Item&& item) {
    Bytes body{spec.field_descriptor};
    for (const auto& it : spec.items) {
        switch (it.type) {
            case ahrs::WireType::F32: test_bytes::put_be(body, item(it.type), 4); break;
            case ahrs::WireType::F64: test_bytes::put_be(body, item(it.type), 8); break;
            default: test_bytes::put_be(body, item(it.type), 2); break;
        }
    }
    Bytes field{static_cast<std::uint8_t>(body.size() + 1)};
    field.insert(field.end(), body.begin(), body.end());
    return field;
}

inline Bytes random_payload(std::mt19937_64& random) {
    auto item = [&](ahrs::WireType t) -> std::uint64_t {
        if (t == ahrs::WireType::Flag) return random() % 8 == 0 ? 2 : random() % 2;
        return random();
    };
    const auto records = ahrs::catalogue(random() % 2 ? ahrs::ReadingKind::Sensor : ahrs::ReadingKind::Estimate);
    Bytes payload;
    while (payload.size() < 255) {
        Bytes field = record_field(records[random() % records.size()], item);
        switch (random() % 12) {
            case 0: field[0] = static_cast<std::uint8_t>(random() % 4); break;
            case 1: field[0] = static_cast<std::uint8_t>(field[0] - 1); break;
            case 2: field[0] = static_cast<std::uint8_t>(field[0] + random() % 8); break;
            case 3: field[1] = static_cast<std::uint8_t>(random()); break;
        }
        field.resize(std::min<std::size_t>(field.size(), 255 - payload.size()));
        payload.insert(payload.end(), field.begin(), field.end());
        if (random() % 6 == 0) break;
    }
    return payload;
}

}  // namespace random_payloads
