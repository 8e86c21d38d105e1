// dump(path, format, records, out, progress): a recording exported as text,
// JSON Lines or CSV without the interpreter lock. Returns (packets, damaged
// runs, skipped bytes, truncated).
#include <string>
#include <string_view>

#include "recording/recording_dump.hpp"
#include "functions.hpp"
#include "os_error.hpp"
#include "python/common/args.hpp"
#include "unlocked.hpp"

namespace ahrs::py {
namespace {

std::optional<DumpFormat> parse_format(std::string_view name) {
    if (name == "text") return DumpFormat::Text;
    if (name == "jsonl") return DumpFormat::Jsonl;
    if (name == "csv") return DumpFormat::Csv;
    PyErr_Format(PyExc_ValueError, "unknown format '%s' (text, jsonl or csv)", std::string(name).c_str());
    return std::nullopt;
}

std::optional<std::size_t> slot_named(std::string_view name) {
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot)
        if (slot_spec(slot).name == name) return slot;
    PyErr_Format(PyExc_ValueError, "unknown record '%s'", std::string(name).c_str());
    return std::nullopt;
}

// "A,B,C" names records; an empty text names them all.
std::optional<RecordMask> parse_records(std::string_view names) {
    if (names.empty()) return RecordMask().set();
    RecordMask mask;
    while (true) {
        const auto comma = names.find(',');
        auto slot = slot_named(names.substr(0, comma));
        if (!slot) return std::nullopt;
        mask.set(*slot);
        if (comma == std::string_view::npos) return mask;
        names.remove_prefix(comma + 1);
    }
}

std::optional<DumpOptions> parse_options(const Args& a) {
    auto format = a.str(1);
    auto records = format ? a.str(2) : std::nullopt;
    auto out = records ? a.path(3) : std::nullopt;
    if (!out) return std::nullopt;
    DumpOptions options;
    auto f = parse_format(*format);
    auto mask = f ? parse_records(*records) : std::nullopt;
    if (!mask) return std::nullopt;
    options.format = *f;
    options.records = *mask;
    options.out = std::move(*out);
    if (options.format == DumpFormat::Csv && options.out.empty()) {
        PyErr_SetString(PyExc_ValueError, "csv writes one file per descriptor set: give the output prefix");
        return std::nullopt;
    }
    return options;
}

PyObject* dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("dump", {"path", "format", "records", "out", "progress"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    auto path = a.path(0);
    auto options = path ? parse_options(a) : std::nullopt;
    if (!options) return nullptr;

    std::optional<Result<DumpSummary, DumpFailure>> done;
    {
        Unlocked unlocked;
        done.emplace(dump_recording(*path, *options, unlocked.hook(a.object(4)), unlocked.interrupt_check()));
    }
    if (!*done) {
        const DumpFailure& f = done->error();
        return f.io ? raise_file_error(*f.io, f.path) : nullptr;
    }
    const DumpSummary& s = done->value();
    return Py_BuildValue("(KKKO)", static_cast<unsigned long long>(s.packets),
                         static_cast<unsigned long long>(s.damaged_runs),
                         static_cast<unsigned long long>(s.skipped_bytes), s.truncated ? Py_True : Py_False);
}

}  // namespace

PyMethodDef dump_def = {
    "dump",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(no_throw<dump>)),
    METH_FASTCALL | METH_KEYWORDS,
    "dump(path, format, records, out, progress)\n--\n\nExports a recording as text, jsonl or csv; returns "
    "(packets, damaged runs, skipped bytes, truncated).",
};

}  // namespace ahrs::py
