// The event queue: reads with and without a time limit, records split at the header or the
// storage's end, its capacity, a writer that waits for room or drops once the reader has gone, and
// concurrent writers.
#include "cardlink/EventQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "cardlink/EventRecord.h"

namespace {

using Clock = std::chrono::steady_clock;

// A record of `card` whose payload is `payloadLength` bytes of a pattern of that card.
std::vector<char> MakeRecord(int32_t card, int32_t payloadLength, uint32_t sequence = 0) {
    EventRecord header{};
    header.type = EVT_CARD_MESSAGE;
    header.length = static_cast<int16_t>(EVENT_HEADER_SIZE + payloadLength);
    header.card = card;
    std::vector<char> record(static_cast<size_t>(EVENT_HEADER_SIZE + payloadLength));
    std::memcpy(record.data(), &header, sizeof header);
    for (int32_t i = 0; i < payloadLength; ++i) {
        record[static_cast<size_t>(EVENT_HEADER_SIZE + i)] =
            static_cast<char>('A' + (card + i) % 26);
    }
    if (payloadLength >= 4) {
        std::memcpy(record.data() + EVENT_HEADER_SIZE, &sequence, 4);
    }
    return record;
}

std::vector<char> Filler(int32_t count) {
    std::vector<char> bytes(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>(i % 251);
    }
    return bytes;
}

// Moves both indices to `index` with nothing unread.
void MoveIndicesTo(CCircularBuffer<char>& queue, int32_t index) {
    const std::vector<char> bytes = Filler(index);
    std::vector<char> sink(bytes.size());
    ASSERT_TRUE(queue.Write(bytes.data(), index));
    ASSERT_TRUE(queue.Read(sink.data(), index, 0));
    ASSERT_EQ(queue.Unread(), 0);
}

TEST(EventQueue, ReadOfNothingIsTrueAtOnceAndRemovesNothing) {
    CCircularBuffer<char> queue;
    ASSERT_TRUE(queue.Write("abc", 3));
    char out = 'x';
    EXPECT_TRUE(queue.Read(&out, 0, 1000));
    EXPECT_TRUE(queue.Read(&out, -4, -1));
    EXPECT_EQ(out, 'x');
    EXPECT_EQ(queue.Unread(), 3);
    EXPECT_TRUE(queue.Write("abc", 0));
    EXPECT_TRUE(queue.Write("abc", -1));
    EXPECT_EQ(queue.Unread(), 3);
}

TEST(EventQueue, NegativeTimeLimitFailsAtOnceEvenWithBytesThere) {
    CCircularBuffer<char> queue;
    ASSERT_TRUE(queue.Write("abc", 3));
    char out[3] = {};
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(queue.Read(out, 3, -1));
    }
    // Twenty reads that each slept once would take at least a second.
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(queue.Unread(), 3);
}

TEST(EventQueue, MissSleepsWholePollsUntilTheLimitIsExceeded) {
    struct Case {
        int32_t timeoutMs;
        int64_t sleptMs;  // 50 per poll; false once the time waited exceeds the limit
    };
    for (const Case& c : {Case{0, 50}, Case{49, 50}, Case{50, 100}, Case{1000, 1050}}) {
        CCircularBuffer<char> queue;
        ASSERT_TRUE(queue.Write("abc", 3));
        char out[4] = {};
        const auto start = Clock::now();
        EXPECT_FALSE(queue.Read(out, 4, c.timeoutMs)) << c.timeoutMs;
        const int64_t elapsed = ElapsedMs(start);
        EXPECT_GE(elapsed, c.sleptMs) << "time limit " << c.timeoutMs;
        EXPECT_LT(elapsed, c.sleptMs * 3 + 1000) << "time limit " << c.timeoutMs;
        EXPECT_EQ(queue.Unread(), 3) << "a miss removes nothing";
    }
}

TEST(EventQueue, IncompleteHeaderIsTakenOnceItsLastByteArrives) {
    CCircularBuffer<char> queue;
    const std::vector<char> record = MakeRecord(2, 0);
    ASSERT_TRUE(queue.Write(record.data(), 43));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        queue.Write(record.data() + 43, 1);
    });
    char header[44] = {};
    const auto start = Clock::now();
    const bool taken = queue.Read(header, 44, 1000);
    const int64_t elapsed = ElapsedMs(start);
    late.join();
    EXPECT_TRUE(taken);
    EXPECT_GE(elapsed, 120);
    EXPECT_EQ(std::memcmp(header, record.data(), 44), 0);
    EXPECT_EQ(queue.Unread(), 0);
}

TEST(EventQueue, RecordAcrossTheEndOfTheStorageReadsBackIdentical) {
    // Indices where the record's header or payload runs over the end, or starts at it.
    for (const int32_t index : {79956, 79980, 79999, 79800}) {
        CCircularBuffer<char> queue;
        MoveIndicesTo(queue, index);
        const std::vector<char> record = MakeRecord(7, 300, 12345);
        ASSERT_TRUE(queue.Write(record.data(), static_cast<int32_t>(record.size())));
        EXPECT_EQ(queue.Unread(), 344);
        const std::optional<TakenRecord> taken = TakeRecord(queue);
        ASSERT_TRUE(taken.has_value()) << index;
        EXPECT_EQ(taken->length, 344) << index;
        EXPECT_EQ(taken->card, 7) << index;
        EXPECT_EQ(taken->payload, std::string(record.begin() + 44, record.end())) << index;
        EXPECT_EQ(queue.Unread(), 0) << index;
    }
}

TEST(EventQueue, HoldsAtMostCapacityMinusOneUnreadBytes) {
    CCircularBuffer<char> queue;
    ASSERT_EQ(queue.Capacity(), 80000);
    const std::vector<char> whole = Filler(80000);
    // More than the ring can ever hold is refused at once, even with the reader alive.
    EXPECT_FALSE(queue.Write(whole.data(), 80000));
    EXPECT_EQ(queue.Unread(), 0);

    MoveIndicesTo(queue, 1234);  // the bound holds wherever the indices stand
    ASSERT_TRUE(queue.Write(whole.data(), 79999));
    EXPECT_EQ(queue.Unread(), 79999);
    queue.CloseReader();
    EXPECT_FALSE(queue.Write("z", 1));
    EXPECT_EQ(queue.Unread(), 79999);
    std::vector<char> out(79999);
    ASSERT_TRUE(queue.Read(out.data(), 79999, 0));
    EXPECT_EQ(std::memcmp(out.data(), whole.data(), 79999), 0) << "unread bytes overwritten";
}

TEST(EventQueue, WriterWaitsForRoomWhileTheReaderIsAlive) {
    CCircularBuffer<char> queue;
    const std::vector<char> filler = Filler(79999 - 10);
    ASSERT_TRUE(queue.Write(filler.data(), static_cast<int32_t>(filler.size())));
    const std::vector<char> record = MakeRecord(3, 0);
    std::atomic<bool> done{false};
    bool written = false;
    std::thread writer([&] {
        written = queue.Write(record.data(), 44);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done.load()) << "a record that does not fit was not waited for";
    EXPECT_EQ(queue.Unread(), 79989);

    std::vector<char> out(filler.size());
    ASSERT_TRUE(queue.Read(out.data(), 100, 0));
    writer.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(queue.Unread(), 79989 - 100 + 44);
    ASSERT_TRUE(queue.Read(out.data() + 100, 79889, 0));
    EXPECT_EQ(out, filler);
    char header[44];
    ASSERT_TRUE(queue.Read(header, 44, 0));
    EXPECT_EQ(std::memcmp(header, record.data(), 44), 0);
}

TEST(EventQueue, AfterTheReaderHasGoneARecordThatDoesNotFitIsDropped) {
    CCircularBuffer<char> queue;
    const std::vector<char> filler = Filler(79999 - 50);
    ASSERT_TRUE(queue.Write(filler.data(), static_cast<int32_t>(filler.size())));
    const std::vector<char> record = MakeRecord(3, 10);

    // A writer already waiting gives up when the reader goes.
    std::atomic<bool> done{false};
    bool written = true;
    std::thread waiting([&] {
        written = queue.Write(record.data(), 54);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    queue.CloseReader();
    waiting.join();
    EXPECT_FALSE(written);

    const auto start = Clock::now();
    EXPECT_FALSE(queue.Write(record.data(), 54));
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(queue.Unread(), 79949);
    EXPECT_TRUE(queue.Write(record.data(), 44)) << "a record that fits is still queued";
    EXPECT_EQ(queue.Unread(), 79993);
}

TEST(EventQueue, ConcurrentWritersNeverInterleave) {
    constexpr int32_t WRITERS = 4;
    constexpr uint32_t RECORDS = 300;  // about twelve times what the ring holds in all
    CCircularBuffer<char> queue;
    std::vector<std::thread> writers;
    for (int32_t w = 1; w <= WRITERS; ++w) {
        writers.emplace_back([&queue, w] {
            for (uint32_t i = 0; i < RECORDS; ++i) {
                const std::vector<char> record = MakeRecord(
                    w, 4 + static_cast<int32_t>((i * 37 + static_cast<uint32_t>(w)) % 1500), i);
                queue.Write(record.data(), static_cast<int32_t>(record.size()));
            }
        });
    }
    std::vector<uint32_t> next(WRITERS + 1, 0);
    const auto readAll = [&] {
        for (uint32_t n = 0; n < WRITERS * RECORDS; ++n) {
            const std::optional<TakenRecord> taken = TakeRecord(queue, 5000);
            ASSERT_TRUE(taken.has_value()) << "record " << n;
            ASSERT_GE(taken->card, 1);
            ASSERT_LE(taken->card, WRITERS);
            uint32_t sequence = 0;
            std::memcpy(&sequence, taken->payload.data(), 4);
            ASSERT_EQ(sequence, next[static_cast<size_t>(taken->card)]) << "writer " << taken->card;
            const std::vector<char> expected =
                MakeRecord(taken->card, static_cast<int32_t>(taken->payload.size()), sequence);
            ASSERT_EQ(taken->payload, std::string(expected.begin() + 44, expected.end()));
            ++next[static_cast<size_t>(taken->card)];
        }
    };
    readAll();
    queue.CloseReader();  // after a failure, lets waiting writers end
    for (std::thread& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(queue.Unread(), 0);
}

}  // namespace
