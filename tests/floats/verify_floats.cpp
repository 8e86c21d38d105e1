// Every float32 and a large random sample of float64 through the shortest
// writers, in both layouts, against the text built from std::to_chars.
//
//   verify_floats [--float64 COUNT] [--seed SEED] [--threads N] [--float32-stride S]
//
// Defaults: all 2^32 float32 bit patterns (stride 1), 100,000,000 float64,
// both cores. Prints the first mismatches and exits 1 if there are any.
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "to_chars_text.hpp"

namespace {

struct Options {
    std::uint64_t float64 = 100'000'000;
    std::uint64_t seed = 20261210;
    unsigned threads = 2;
    std::uint64_t stride = 1;
};

std::mutex report_lock;
std::atomic<std::uint64_t> mismatches{0};

void report(const char* kind, std::uint64_t bits, const std::string& what) {
    if (mismatches.fetch_add(1) >= 20) return;
    std::lock_guard lock(report_lock);
    std::fprintf(stderr, "%s bits 0x%llx: %s\n", kind, static_cast<unsigned long long>(bits), what.c_str());
}

// Thread t of n takes every n-th block of float32 patterns.
void float32_share(const Options& o, unsigned t) {
    constexpr std::uint64_t kBlock = 1 << 16;
    const std::uint64_t end = std::uint64_t{1} << 32;
    for (std::uint64_t block = t * kBlock; block < end; block += o.threads * kBlock)
        for (std::uint64_t bits = block; bits < block + kBlock; bits += o.stride) {
            const auto v = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
            if (auto m = to_chars_text::mismatch(v); !m.empty()) report("float32", bits, m);
        }
}

void float64_share(const Options& o, unsigned t) {
    std::mt19937_64 random(o.seed + t);
    for (std::uint64_t i = t; i < o.float64; i += o.threads) {
        const std::uint64_t bits = random();
        if (auto m = to_chars_text::mismatch(std::bit_cast<double>(bits)); !m.empty()) report("float64", bits, m);
    }
}

double run(const char* what, const Options& o, void (*share)(const Options&, unsigned)) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < o.threads; ++t) threads.emplace_back(share, std::cref(o), t);
    for (auto& th : threads) th.join();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %.1f s\n", what, s);
    std::fflush(stdout);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (flag == "--float64") o.float64 = value;
        else if (flag == "--seed") o.seed = value;
        else if (flag == "--threads") o.threads = value ? static_cast<unsigned>(value) : 1;
        else if (flag == "--float32-stride") o.stride = value ? value : 1;
        else {
            std::fprintf(stderr, "verify_floats: unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    std::printf("digits from %s, %u threads\n", std::string(ahrs::shortest_digits_source()).c_str(), o.threads);
    run(o.stride == 1 ? "every float32 (4,294,967,296)" : "float32 sample", o, float32_share);
    std::printf("float64: %llu random bit patterns, seed %llu\n", static_cast<unsigned long long>(o.float64),
                static_cast<unsigned long long>(o.seed));
    run("float64", o, float64_share);
    const std::uint64_t bad = mismatches.load();
    std::printf("%s: %llu mismatches\n", bad ? "FAILED" : "ok", static_cast<unsigned long long>(bad));
    return bad ? 1 : 0;
}
