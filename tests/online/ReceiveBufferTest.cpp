#include "FailingAllocator.h"

#include "online/ReceiveBuffer.h"

#include <gtest/gtest.h>

#include <new>

namespace {

using online::ReceiveBuffer;

// Every byte from size() to size() + kSlack is zero.
void ExpectZeroSlack(const ReceiveBuffer& buffer) {
    for (size_t i = 0; i < ReceiveBuffer::kSlack; ++i)
        ASSERT_EQ(buffer.data()[buffer.size() + i], '\0') << "slack byte " << i;
}

void Fill(ReceiveBuffer& buffer) {
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer.data()[i] = static_cast<char>(1 + i % 251);
}

void ExpectFilled(const ReceiveBuffer& buffer, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        ASSERT_EQ(buffer.data()[i], static_cast<char>(1 + i % 251)) << "byte " << i;
}

TEST(ReceiveBufferTest, StartsAsOneStepOfZeros) {
    ReceiveBuffer buffer;
    ASSERT_EQ(buffer.size(), 4096u);
    for (size_t i = 0; i < buffer.size(); ++i)
        ASSERT_EQ(buffer.data()[i], '\0');
    ExpectZeroSlack(buffer);
}

TEST(ReceiveBufferTest, GrowKeepsTheDataAndAddsOneStepOfZeros) {
    ReceiveBuffer buffer;
    for (int step = 0; step < 40; ++step) {
        Fill(buffer); // dirty everything, so a step that is not zeroed shows
        const size_t before = buffer.size();
        buffer.Grow();
        ASSERT_EQ(buffer.size(), before + 4096);
        ExpectFilled(buffer, before);
        for (size_t i = before; i < buffer.size(); ++i)
            ASSERT_EQ(buffer.data()[i], '\0') << "byte " << i;
        ExpectZeroSlack(buffer);
    }
}

TEST(ReceiveBufferTest, AllocationGrowsGeometrically) {
    ReceiveBuffer buffer;
    const size_t before = failing_allocator::Count();
    // To 64 MB. Doubling needs about log2(16385) allocations; a fixed step
    // would need one per Grow (and quadratic copying: stop early then).
    for (int step = 0; step < 16384 && failing_allocator::Count() - before <= 20; ++step)
        buffer.Grow();
    EXPECT_LE(failing_allocator::Count() - before, 20u);
    EXPECT_EQ(buffer.size(), 16385u * 4096);
    ExpectZeroSlack(buffer);
}

TEST(ReceiveBufferTest, FailedGrowLeavesTheBufferAsItWas) {
    ReceiveBuffer buffer;
    while (buffer.size() < 64 * 1024)
        buffer.Grow();
    Fill(buffer);
    const size_t size = buffer.size();
    const char* const data = buffer.data();
    {
        failing_allocator::Armed armed(1);
        // Within the allocation the step needs no memory; past it, it fails.
        for (;;) {
            const size_t before = buffer.size();
            try {
                buffer.Grow();
            } catch (const std::bad_alloc&) {
                EXPECT_EQ(buffer.size(), before);
                break;
            }
            ASSERT_EQ(buffer.size(), before + 4096);
            ASSERT_LT(buffer.size(), 1024u * 1024) << "Grow never allocated";
        }
    }
    EXPECT_EQ(buffer.data(), data);
    ExpectFilled(buffer, size);
    ExpectZeroSlack(buffer);

    buffer.Grow();
    ExpectFilled(buffer, size);
    ExpectZeroSlack(buffer);
}

} // namespace
