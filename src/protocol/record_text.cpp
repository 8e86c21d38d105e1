#include "record_text.hpp"

#include <string>
#include <string_view>

namespace ahrs {
namespace {

RecordPieces make_pieces(ReadingKind kind, const RecordSpec& spec) {
    RecordPieces p;
    p.head = make_piece<64>(std::string(kind_name(kind)) + "(" + std::string(spec.name) + " { " +
                       std::string(spec.items[0].name) + ": ");
    for (std::size_t i = 1; i < spec.items.size(); ++i)
        p.before[i] = make_piece<32>(", " + std::string(spec.items[i].name) + ": ");
    return p;
}

}  // namespace

const RecordPieces& record_pieces(std::size_t slot) {
    static const auto table = [] {
        std::array<RecordPieces, kSensorVariants + kEstimateVariants> t;
        for (ReadingKind kind : {ReadingKind::Sensor, ReadingKind::Estimate}) {
            const auto records = catalogue(kind);
            for (std::size_t v = 0; v < records.size(); ++v)
                t[slot_of(kind, static_cast<std::uint8_t>(v))] = make_pieces(kind, records[v]);
        }
        return t;
    }();
    return table[slot];
}

}  // namespace ahrs
