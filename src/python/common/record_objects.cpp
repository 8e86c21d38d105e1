#include "record_objects.hpp"

#include <string>
#include <string_view>

#include "protocol/packet_view.hpp"

namespace ahrs::py {
namespace {

PyObject* intern(std::string_view s) { return PyUnicode_InternFromString(std::string(s).c_str()); }

bool make(RecordNames& n) {
    for (unsigned b = 0; b < 256; ++b)
        if (const auto d = descriptor_from_byte(static_cast<std::uint8_t>(b)))
            if (!(n.sets[b] = intern(descriptor_name(*d)))) return false;
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        const RecordSpec& spec = slot_spec(slot);
        if (!(n.records[slot] = intern(spec.name))) return false;
        for (std::size_t i = 0; i < spec.items.size(); ++i)
            if (!(n.items[slot][i] = intern(spec.items[i].name))) return false;
    }
    n.sensor = intern("sensor");
    n.estimate = intern("estimate");
    n.valid = intern("Valid");
    n.invalid = intern("Invalid");
    n.type = intern("type");
    return n.sensor && n.estimate && n.valid && n.invalid && n.type;
}

}  // namespace

const RecordNames* record_names() {
    static RecordNames names;
    static bool ready = false;
    if (!ready) ready = make(names);
    return ready ? &names : nullptr;
}

PyRef item_object(WireType type, double value, const RecordNames& names) {
    switch (type) {
        case WireType::F32:
        case WireType::F64: return PyRef::steal(PyFloat_FromDouble(value));
        case WireType::U16: return PyRef::steal(PyLong_FromUnsignedLong(static_cast<unsigned long>(value)));
        case WireType::Flag: return PyRef::borrow(value != 0 ? names.valid : names.invalid);
    }
    return {};
}

PyRef item_object(const FlatItem& item, const RecordNames& names) {
    return item_object(item.type, item_value(item), names);
}

PyRef record_dict(const FlatPacket& flat, std::size_t record, const RecordNames& names) {
    const FlatRecord& rec = flat.records[record];
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (std::size_t i = 0; i < rec.count; ++i) {
        PyRef v = item_object(flat.items[rec.first + i], names);
        if (!v || PyDict_SetItem(dict.get(), names.items[rec.slot][i], v.get()) < 0) return {};
    }
    return dict;
}

}  // namespace ahrs::py
