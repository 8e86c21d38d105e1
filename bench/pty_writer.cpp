// The live benchmark's sensor: streams counted packets on a pseudo-terminal
// as fast as the terminal takes them, or at a fixed rate.
//
// Python cannot write 200,000 packets a second on top of the reader it is
// meant to measure, so the writing is done here: the packets are built once
// (by the benchmark, from the simulator's packet builder) and only the
// counter and checksum are patched per packet.
//
//   pty_writer TEMPLATES COUNT RATE [STAMPS]
//
// TEMPLATES holds packets back to back, each preceded by two little-endian
// 16-bit numbers: its length and the offset of its counter (a big-endian
// float64, the GPS time of week). Packet k is template k mod n carrying k.
// RATE 0 means as fast as possible. Prints the slave's path, waits for a
// reader to open it, writes COUNT packets, then waits for the reader to
// close it (the master's close would discard what it has not read yet).
// Paced, with STAMPS, it then writes there the CLOCK_MONOTONIC time (ns,
// little-endian 64-bit) at which each packet's write began, so a reader can
// tell how long each took to reach it.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Template {
    std::vector<std::uint8_t> bytes;
    std::size_t counter_at;
};

std::vector<Template> load_templates(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> all{std::istreambuf_iterator<char>(in), {}};
    std::vector<Template> out;
    for (std::size_t at = 0; at + 4 <= all.size();) {
        const std::size_t len = all[at] | all[at + 1] << 8;
        const std::size_t counter_at = all[at + 2] | all[at + 3] << 8;
        at += 4;
        out.push_back({{all.begin() + at, all.begin() + at + len}, counter_at});
        at += len;
    }
    return out;
}

// Writes counter k into a packet at `p` and recomputes its checksum.
void stamp(std::uint8_t* p, std::size_t len, std::size_t counter_at, std::uint64_t k) {
    auto bits = std::bit_cast<std::uint64_t>(static_cast<double>(k));
    for (int i = 7; i >= 0; --i, bits >>= 8) p[counter_at + i] = static_cast<std::uint8_t>(bits);
    std::uint8_t a = 0, b = 0;
    for (std::size_t i = 0; i + 2 < len; ++i) {
        a = static_cast<std::uint8_t>(a + p[i]);
        b = static_cast<std::uint8_t>(b + a);
    }
    p[len - 2] = a;
    p[len - 1] = b;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;  // the reader went away
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// With no slave open, the master reports a hang-up.
bool reader_present(int master) {
    pollfd p{master, POLLIN, 0};
    ::poll(&p, 1, 0);
    return !(p.revents & POLLHUP);
}

void sleep_ms(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

int open_pty() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const int slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) return -1;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    ::close(slave);
    return master;
}

// A batch of consecutive packets in one buffer, so one write moves many.
struct Batch {
    std::vector<std::uint8_t> buf;
    std::vector<std::size_t> starts;

    Batch(const std::vector<Template>& t, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) {
            starts.push_back(buf.size());
            buf.insert(buf.end(), t[k % t.size()].bytes.begin(), t[k % t.size()].bytes.end());
        }
        starts.push_back(buf.size());
    }
    // Counters first .. first+count-1; returns the bytes to write.
    std::size_t fill(const std::vector<Template>& t, std::uint64_t first, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const Template& tp = t[(first + i) % t.size()];
            stamp(buf.data() + starts[i], tp.bytes.size(), tp.counter_at, first + i);
        }
        return starts[count];
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: pty_writer TEMPLATES COUNT RATE [STAMPS]\n");
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::signal(SIGPIPE, SIG_IGN);
    const auto templates = load_templates(argv[1]);
    const std::uint64_t count = std::strtoull(argv[2], nullptr, 10);
    const double rate = std::strtod(argv[3], nullptr);
    if (templates.empty()) return 2;
    // A whole number of template rounds per batch keeps each slot's template fixed.
    const std::size_t batch_size = rate > 0 ? 1 : 64 * templates.size();

    const int master = open_pty();
    if (master < 0) {
        std::perror("pty_writer: pseudo-terminal");
        return 1;
    }
    std::printf("%s\n", ptsname(master));
    std::fflush(stdout);

    while (!reader_present(master)) sleep_ms(2);
    sleep_ms(100);  // the reader discards queued input right after opening

    Batch batch(templates, rate > 0 ? 0 : batch_size);
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    const long period_ns = rate > 0 ? static_cast<long>(1e9 / rate) : 0;
    std::uint64_t sent = 0;
    std::vector<std::int64_t> stamps;
    if (argc == 5 && rate > 0) stamps.reserve(count);
    while (sent < count) {
        std::size_t n = batch_size;
        if (count - sent < n) n = static_cast<std::size_t>(count - sent);
        if (rate > 0) {
            const Template& tp = templates[sent % templates.size()];
            std::vector<std::uint8_t> one = tp.bytes;
            stamp(one.data(), one.size(), tp.counter_at, sent);
            if (argc == 5) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                stamps.push_back(now.tv_sec * 1000000000LL + now.tv_nsec);
            }
            if (!write_all(master, one.data(), one.size())) break;
            due.tv_nsec += period_ns;
            while (due.tv_nsec >= 1000000000L) due.tv_nsec -= 1000000000L, ++due.tv_sec;
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        } else if (!write_all(master, batch.buf.data(), batch.fill(templates, sent, n))) {
            break;
        }
        sent += n;
    }
    std::fprintf(stderr, "pty_writer: %llu packets\n", static_cast<unsigned long long>(sent));
    while (reader_present(master)) sleep_ms(10);
    ::close(master);
    if (argc == 5) {
        std::ofstream out(argv[4], std::ios::binary);
        out.write(reinterpret_cast<const char*>(stamps.data()),
                  static_cast<std::streamsize>(stamps.size() * sizeof(std::int64_t)));
    }
    return 0;
}
