// Who leads a live stream: the thread parks while a consumer leads (looking
// less often the longer it does) or its lease runs, takes the lead back once the lease lapses, lets go when a
// consumer asks, and takes it at once when a consumer hands it over. An
// event loop parks the lead while it waits; the thread takes it back only
// when bytes wait unread through one of its looks to the next.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "live/stream_lead.hpp"

using ahrs::StreamLead;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The thread's side of a lead, taken in a thread of its own; `at` says
// when. Its looks at the device find bytes waiting while `bytes` says so.
struct Parked {
    explicit Parked(StreamLead& lead)
        : thread([&] {
              took = lead.thread_take([&] {
                  if (loop_steps && looks % 2 == 1) {
                      lead.try_take();
                      if (++steps < 4) lead.park();
                      else lead.release();
                  }
                  ++looks;
                  return bytes.load();
              });
              got = took != StreamLead::Took::Stopped;
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
    std::atomic<bool> bytes{false};
    std::atomic<int> looks{0};
    std::atomic<bool> loop_steps{false};  // steps at every other look, the fourth time leaving
    std::atomic<int> steps{0};
    StreamLead::Took took{};
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

// The thread looks less often the longer a consumer leads, but never so
// seldom that a consumer gone for good leaves the stream unread for long.
TEST(StreamLead, AfterALongLeadTheThreadStillTakesOverSoon) {
    StreamLead lead;
    lead.try_take();
    lead.thread_yield();
    ASSERT_TRUE(lead.try_take());
    Parked parked(lead);
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_FALSE(parked.done) << "the thread took the lead from a consumer";
    const auto released = Clock::now();
    lead.release();
    ASSERT_TRUE(parked.wait_done(milliseconds(5000)));
    // At most kLongestLook + kLease on a quiet machine; the rest is slack
    // for a busy one, far below what doubling without a cap would reach.
    EXPECT_LT(parked.at - released, milliseconds(600));
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

// The loop's consumer: takes the lead and parks it, as next_now() does
// when it finds no sample.
void park_for_loop(StreamLead& lead) {
    lead.try_take();
    lead.thread_yield();
    ASSERT_TRUE(lead.try_take());
    lead.park();
}

TEST(StreamLead, AParkedLoopKeepsTheLeadWhileItServesTheBytesOrNoneCome) {
    StreamLead lead;
    park_for_loop(lead);
    Parked parked(lead);
    std::this_thread::sleep_for(StreamLead::kLease * 4);  // no bytes: a quiet line, not a stall
    EXPECT_FALSE(parked.done) << "the thread took the lead from a loop with nothing to read";
    // Bytes are always there now, and the loop steps between every two of
    // the thread's looks (at every other look, while it looks), until its
    // fourth step takes a sample and lets go with a lease, as read() does.
    parked.loop_steps = true;
    parked.bytes = true;
    ASSERT_TRUE(parked.wait_done(milliseconds(5000)));
    EXPECT_EQ(parked.steps, 4);
    EXPECT_EQ(parked.took, StreamLead::Took::Lead);
}

TEST(StreamLead, TheThreadTakesTheLeadFromAStalledLoopAndSaysSo) {
    StreamLead lead;
    park_for_loop(lead);
    Parked parked(lead);
    std::this_thread::sleep_for(StreamLead::kLease * 2);
    const auto stalled = Clock::now();
    parked.bytes = true;
    ASSERT_TRUE(parked.wait_done(milliseconds(5000)));
    EXPECT_EQ(parked.took, StreamLead::Took::FromStalledLoop);
    EXPECT_GE(parked.at - stalled, StreamLead::kLease);  // a whole look later, at least
    EXPECT_FALSE(lead.try_take());                        // the loop's next step finds the thread leading
}

TEST(StreamLead, ALoopThatStopsWaitingHandsAParkedLeadToTheThreadAtOnce) {
    StreamLead lead;
    park_for_loop(lead);
    Parked parked(lead);
    lead.unpark();  // no bytes ever come: without it the thread would wait for ever
    ASSERT_TRUE(parked.wait_done(milliseconds(5000)));
    EXPECT_EQ(parked.took, StreamLead::Took::Lead);
}

}  // namespace
