// Decodes a whole recorded stream file, printing one line of readings per
// packet on standard output and one closing line on standard error. Strict:
// it stops at the first packet it cannot read.
#include "registry.hpp"

#include <string>
#include <variant>

#include "device/buffered_file.hpp"
#include "device/console.hpp"
#include "device/file_packets.hpp"
#include "protocol/text_layout.hpp"
#include "python/common/args.hpp"
#include "python/common/no_throw.hpp"
#include "errors.hpp"
#include "signals.hpp"

namespace ahrs::py {
namespace {

// The line that ends the parse: the end of the data (or an I/O failure at a
// packet boundary), or the first bad packet.
std::string closing_line(const PacketError& e) {
    if (e.is_bare_io()) return "End of file: " + e.io_error()->text() + "\n";
    return "Error parsing packet from file: " + e.text() + "\n";
}

// How many packets go by between looks at pending signals: a file that is
// all at hand never blocks, so no read is ever interrupted to prompt one.
constexpr unsigned kPacketsPerSignalCheck = 4096;

// Ends early, printing nothing more, when a signal's handler raised.
struct Interrupted {};
using ParseStop = std::variant<Panic, Interrupted>;

Status<ParseStop> parse_file(BufferedFile& file) {
    FilePackets packets(file);
    PacketLine line;
    // Each line is laid out where it is printed from and goes out whole as
    // soon as it ends: standard output is flushed at the end of every line,
    // so a process that dies abruptly has lost no line it finished.
    LineBuffer out(Stream::Out, packet_line_capacity(), {kSignals});
    for (unsigned count = 1;; ++count) {
        if (count % kPacketsPerSignalCheck == 0 && signal_handler_raised()) return err(ParseStop{Interrupted{}});
        auto packet = packets.next();
        if (!packet) {
            const IoError* io = packet.error().io_error();
            if (io && is_interruption(*io)) return err(ParseStop{Interrupted{}});
            if (auto r = print(Stream::Err, closing_line(packet.error()), {kSignals}); !r)
                return err(ParseStop{r.error()});
            return Unit{};
        }
        if (auto r = out.print(line.write(out.start(), packet->descriptor, packet->payload)); !r)
            return err(ParseStop{r.error()});
    }
}

PyObject* parse_data_stream_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("parse_data_stream_py", {"filename"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    auto filename = a.str(0);
    if (!filename) return nullptr;

    auto file = BufferedFile::open(*filename, kSignals);
    if (!file) return raise_os_error(AHRSError::from_io(file.error()));
    if (auto r = parse_file(*file); !r) {
        if (const auto* panic = std::get_if<Panic>(&r.error())) return raise_panic(*panic);
        return nullptr;  // the handler's exception stands
    }
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
