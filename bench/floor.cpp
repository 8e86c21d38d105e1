// The floor of recorded-file decoding: what reading the file and writing the
// same lines costs with no decoding at all.
//
//   floor RECORDED_FILE LINES_FILE
//
// LINES_FILE holds the lines parse_data_stream_py prints for RECORDED_FILE,
// produced beforehand; they are loaded before the clock starts. Timed: the
// recorded file read through an 8192-byte buffer (as the module reads it),
// each packet found by its length byte alone, and its line written with one
// write(2) to standard output. Prints "<seconds> <packets>" on standard error.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string load(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    std::string all;
    if (fd < 0) return all;
    char buf[1 << 16];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return all;
}

std::vector<std::string_view> split_lines(const std::string& text) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.emplace_back(text.data() + at, end - at);
        at = end;
    }
    return lines;
}

bool write_line(std::string_view line) {
    while (!line.empty()) {
        const ssize_t n = ::write(1, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        line.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor RECORDED_FILE LINES_FILE\n");
        return 2;
    }
    const std::string text = load(argv[2]);
    const auto lines = split_lines(text);

    const double start = now();
    const int fd = ::open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    // A packet may straddle two reads: keep its head for the next round.
    unsigned char buf[8192 + 261];
    std::size_t held = 0, packets = 0;
    for (ssize_t n; (n = ::read(fd, buf + held, 8192)) > 0;) {
        const std::size_t have = held + static_cast<std::size_t>(n);
        std::size_t at = 0;
        while (have - at >= 4 && have - at >= buf[at + 3] + 6u) {
            if (packets >= lines.size() || !write_line(lines[packets])) return 1;
            ++packets;
            at += buf[at + 3] + 6u;
        }
        held = have - at;
        std::memmove(buf, buf + at, held);
    }
    ::close(fd);
    const double elapsed = now() - start;
    std::fprintf(stderr, "%.6f %zu\n", elapsed, packets);
    return packets == lines.size() ? 0 : 1;
}
