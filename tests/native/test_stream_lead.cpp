// Who leads a live stream: the thread parks while a consumer leads or its
// lease runs, takes the lead back once the lease lapses, lets go when a
// consumer asks, and takes it at once when a consumer hands it over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "live/stream_lead.hpp"

using ahrs::StreamLead;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The thread's side of a lead, taken in a thread of its own; `took` says when.
struct Parked {
    explicit Parked(StreamLead& lead)
        : thread([&] {
              got = lead.thread_take();
              at = Clock::now();
              done = true;
          }) {}
    ~Parked() { thread.join(); }
    bool wait_done(milliseconds limit) {
        const auto until = Clock::now() + limit;
        while (!done && Clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
        return done;
    }
    std::atomic<bool> done{false};
    bool got = false;
    Clock::time_point at;
    std::thread thread;
};

TEST(StreamLead, ConsumerLeadsOnlyOnceTheThreadLetsGoAfterBeingAsked) {
    StreamLead lead;
    EXPECT_FALSE(lead.thread_yield());  // nobody asked
    EXPECT_FALSE(lead.try_take());      // the thread holds it, and is now asked
    EXPECT_TRUE(lead.thread_yield());
    EXPECT_TRUE(lead.try_take());
    EXPECT_FALSE(lead.try_take());  // one consumer at a time
}

TEST(StreamLead, ThreadWaitsOutTheLeaseThenTakesTheLeadBack) {
    StreamLead lead;
    lead.try_take();
    lead.thread_yield();
    ASSERT_TRUE(lead.try_take());
    Parked parked(lead);
    std::this_thread::sleep_for(StreamLead::kLease * 3);
    EXPECT_FALSE(parked.done) << "the thread took the lead from a consumer";
    const auto released = Clock::now();
    lead.release();
    ASSERT_TRUE(parked.wait_done(milliseconds(5000)));
    EXPECT_TRUE(parked.got);
    EXPECT_GE(parked.at - released, StreamLead::kLease);
    EXPECT_FALSE(lead.try_take());
}

TEST(StreamLead, ALostDeviceGoesToTheThreadAtOnceAndNoConsumerTakesItMeanwhile) {
    StreamLead lead;
    lead.try_take();
    lead.thread_yield();
    ASSERT_TRUE(lead.try_take());
    lead.hand_to_thread();
    EXPECT_FALSE(lead.try_take());
    Parked parked(lead);
    ASSERT_TRUE(parked.wait_done(milliseconds(5000)));
    EXPECT_TRUE(parked.got);
}

TEST(StreamLead, StopEndsAParkedThreadAndKeepsConsumersOut) {
    StreamLead lead;
    lead.try_take();
    lead.thread_yield();
    ASSERT_TRUE(lead.try_take());
    Parked parked(lead);
    lead.stop();
    ASSERT_TRUE(parked.wait_done(milliseconds(5000)));
    EXPECT_FALSE(parked.got);
    std::thread consumer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        lead.release();
    });
    lead.wait_no_consumer();  // returns once the consumer let go
    consumer.join();
    EXPECT_FALSE(lead.try_take());
}

}  // namespace
