// A live reader's queue between two threads: what a full queue does with
// each overflow rule, how the end reaches both sides, when the descriptor
// an event loop watches is readable, the ring's order as it grows, and the
// hand-over of a queue without room.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>
#include <vector>

#include "live/live_sample.hpp"

using ahrs::BoundedQueue;
using ahrs::LiveSample;
using ahrs::Overflow;
using ahrs::SampleQueue;
using Clock = std::chrono::steady_clock;

namespace {

LiveSample numbered(std::uint64_t i) {
    LiveSample s;
    s.index = i;
    return s;
}

std::vector<std::uint64_t> drained(SampleQueue& q) {
    std::vector<LiveSample> out;
    const auto n = q.drain(out);
    EXPECT_TRUE(n);
    out.resize(n ? *n : 0);
    std::vector<std::uint64_t> numbers;
    for (const auto& s : out) numbers.push_back(s.index);
    return numbers;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(SampleQueue, DropOldestKeepsTheNewestAndCountsTheRest) {
    auto q = SampleQueue::create(3, Overflow::DropOldest);
    for (std::uint64_t i = 0; i < 10; ++i) ASSERT_TRUE(q->push(numbered(i)));
    EXPECT_EQ(drained(*q), (std::vector<std::uint64_t>{7, 8, 9}));
    EXPECT_EQ(q->dropped(), 7u);
    EXPECT_EQ(q->max_size(), 3u);
    EXPECT_EQ(q->latest()->index, 9u);
}

TEST(SampleQueue, BlockWaitsForRoomAndLosesNothing) {
    auto q = SampleQueue::create(2, Overflow::Block);
    std::thread sender([&] {
        for (std::uint64_t i = 0; i < 100; ++i) ASSERT_TRUE(q->push(numbered(i)));
    });
    std::vector<std::uint64_t> got;
    LiveSample s;
    while (got.size() < 100 && q->pop(s, Clock::now() + std::chrono::seconds(10)) == SampleQueue::Took::Sample)
        got.push_back(s.index);
    sender.join();
    ASSERT_EQ(got.size(), 100u);
    for (std::uint64_t i = 0; i < 100; ++i) EXPECT_EQ(got[i], i);
    EXPECT_EQ(q->dropped(), 0u);
    EXPECT_LE(q->max_size(), 2u);
}

TEST(SampleQueue, EndReleasesABlockedSenderAndAWaitingReceiver) {
    auto q = SampleQueue::create(1, Overflow::Block);
    ASSERT_TRUE(q->push(numbered(0)));
    bool second = true;
    std::thread sender([&] { second = q->push(numbered(1)); });  // waits: the queue is full
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    q->end();
    sender.join();
    EXPECT_FALSE(second);
    LiveSample s;
    // What was queued before the end is still delivered, then the end.
    EXPECT_EQ(q->pop(s, Clock::now()), SampleQueue::Took::Sample);
    EXPECT_EQ(q->pop(s, Clock::now() + std::chrono::seconds(10)), SampleQueue::Took::Ended);
}

TEST(SampleQueue, DropOldestAfterTheEndNeitherDropsNorQueues) {
    auto q = SampleQueue::create(2, Overflow::DropOldest);
    ASSERT_TRUE(q->push(numbered(0)));
    ASSERT_TRUE(q->push(numbered(1)));
    q->end();
    EXPECT_FALSE(q->push(numbered(2)));
    EXPECT_EQ(q->dropped(), 0u);
    EXPECT_EQ(drained(*q), (std::vector<std::uint64_t>{0, 1}));
}

TEST(SampleQueue, SignalOnlyOnceArmedAndAtTheEnd) {
    auto q = SampleQueue::create(4, Overflow::Block);
    ASSERT_TRUE(q->push(numbered(0)));
    EXPECT_FALSE(readable(q->signal_fd()));  // nobody waits on it yet
    q->clear_signal();
    EXPECT_EQ(drained(*q).size(), 1u);
    ASSERT_TRUE(q->push(numbered(1)));
    EXPECT_TRUE(readable(q->signal_fd()));
    q->clear_signal();
    EXPECT_FALSE(readable(q->signal_fd()));
    q->end();
    EXPECT_TRUE(readable(q->signal_fd()));
}

// An event loop that leads the device waits on the descriptor unarmed:
// only a nudge or the end may wake it, and its lowering never hides the end.
TEST(SampleQueue, UnarmedSignalWakesOnlyForANudgeOrTheEnd) {
    auto q = SampleQueue::create(4, Overflow::Block);
    q->nudge();
    EXPECT_TRUE(readable(q->signal_fd()));
    q->lower_signal();
    EXPECT_FALSE(readable(q->signal_fd()));
    ASSERT_TRUE(q->push(numbered(0)));
    EXPECT_FALSE(readable(q->signal_fd()));
    q->end();
    q->lower_signal();
    EXPECT_TRUE(readable(q->signal_fd()));
}

using Numbers = BoundedQueue<std::uint64_t>;

// Waits (bounded) until `q` holds n items.
bool holds(Numbers& q, std::size_t n) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (q.size() != n)
        if (Clock::now() > until) return false;
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

// The ring doubles while its oldest item is not in slot 0: the order must
// survive every growth, up to the capacity.
TEST(BoundedQueue, RingKeepsOrderAsItGrowsWhileWrapped) {
    for (const bool reserve : {false, true})
        for (const std::size_t capacity : {1u, 5u, 100u}) {
            auto q = Numbers::create({capacity, Overflow::Block, reserve});
            ASSERT_TRUE(q);
            std::vector<std::uint64_t> got;
            std::uint64_t next = 0;
            while (q->size() < capacity) {
                ASSERT_TRUE(q->push(next++));
                if (next % 3 == 0) {
                    std::uint64_t n;
                    ASSERT_EQ(q->pop(n, Clock::now()), Numbers::Took::Sample);
                    got.push_back(n);
                }
            }
            std::vector<std::uint64_t> rest;
            ASSERT_EQ(*q->drain(rest), capacity);
            got.insert(got.end(), rest.begin(), rest.end());
            ASSERT_EQ(got.size(), next) << "capacity " << capacity;
            for (std::uint64_t i = 0; i < next; ++i) EXPECT_EQ(got[i], i) << "capacity " << capacity;
        }
}

// Capacity 0: nothing is taken unless the sender is offering, the one item
// offered passes whole, and the end withdraws an offer nobody took.
TEST(BoundedQueue, HandOverPassesOnlyWhatTheSenderOffers) {
    auto q = Numbers::create({0, Overflow::Block, true});
    std::vector<std::uint64_t> out;
    EXPECT_EQ(*q->drain(out), 0u);
    bool taken = false;
    std::thread sender([&] { taken = q->push(7); });
    ASSERT_TRUE(holds(*q, 1));
    ASSERT_EQ(*q->drain(out), 1u);
    EXPECT_EQ(out[0], 7u);
    sender.join();
    EXPECT_TRUE(taken);

    bool withdrawn = true;
    std::thread late([&] { withdrawn = !q->push(8); });
    ASSERT_TRUE(holds(*q, 1));
    q->end();
    late.join();
    EXPECT_TRUE(withdrawn);
    EXPECT_EQ(*q->drain(out), 0u);
}

// Items held back by an earlier call stay in front of what is drained now.
TEST(BoundedQueue, DrainFillsFromTheGivenPlace) {
    auto q = Numbers::create({4, Overflow::Block, true});
    ASSERT_TRUE(q->push(2));
    ASSERT_TRUE(q->push(3));
    std::vector<std::uint64_t> out{0, 1, 99, 99, 99};
    ASSERT_EQ(*q->drain(out, 2), 2u);
    EXPECT_EQ(std::vector<std::uint64_t>(out.begin(), out.begin() + 4), (std::vector<std::uint64_t>{0, 1, 2, 3}));
}

}  // namespace
