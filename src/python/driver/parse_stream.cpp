// Decodes a whole recorded stream file, printing one line of readings per
// packet on standard output and one closing line on standard error. Strict:
// it stops at the first packet it cannot read.
#include "parse_stream.hpp"

#include <string>
#include <vector>

#include "device/buffered_file.hpp"
#include "device/console.hpp"
#include "protocol/decode.hpp"
#include "protocol/reading_text.hpp"
#include "python/common/args.hpp"
#include "python/common/no_throw.hpp"
#include "errors.hpp"

namespace ahrs::py {
namespace {

// The line that ends the parse: the end of the data (or an I/O failure at a
// packet boundary), or the first bad packet.
std::string closing_line(const PacketError& e) {
    if (e.is_bare_io()) return "End of file: " + e.io_error()->text() + "\n";
    return "Error parsing packet from file: " + e.text() + "\n";
}

Status<Panic> parse_file(BufferedFile& file) {
    std::vector<Reading> readings;
    std::string line;
    for (;;) {
        auto packet = MipPacket::read(file);
        if (!packet) return print(Stream::Err, closing_line(packet.error()));
        readings.clear();
        append_readings(*packet, readings);
        line.clear();
        append_readings_text(line, readings);
        line += '\n';
        if (auto r = print(Stream::Out, line); !r) return r;
    }
}

PyObject* parse_data_stream_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("parse_data_stream_py", {"filename"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    auto filename = a.str(0);
    if (!filename) return nullptr;

    auto file = BufferedFile::open(*filename);
    if (!file) return raise_os_error(AHRSError::from_io(file.error()));
    if (auto r = parse_file(*file); !r) return raise_panic(r.error());
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef parse_data_stream_def = {
    "parse_data_stream_py",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(no_throw<parse_data_stream_py>)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse_data_stream_py(filename)\n--\n\n",
};

}  // namespace ahrs::py
