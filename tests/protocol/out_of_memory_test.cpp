// A request whose answer cannot grow: std::bad_alloc leaves the request, and every string
// and array the host handed over before it goes back all the same. The listener catches the
// exception and keeps serving, so a leak here would pile up with every such request.
//
// This program replaces the global allocation functions so that allocations above a
// threshold fail; it is a program of its own so that nothing else runs under them.

#include "support/models.h"
#include "support/sim_fixture.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// 0: every allocation is served.
std::atomic<std::size_t> g_failAbove{0};

void* allocate(std::size_t size)
{
    const std::size_t limit = g_failAbove.load(std::memory_order_relaxed);
    if (limit != 0 && size > limit) {
        throw std::bad_alloc();
    }
    if (void* pointer = std::malloc(size == 0 ? 1 : size)) {
        return pointer;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size)
{
    return allocate(size);
}
void* operator new[](std::size_t size)
{
    return allocate(size);
}
void operator delete(void* pointer) noexcept
{
    std::free(pointer);
}
void operator delete[](void* pointer) noexcept
{
    std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept
{
    std::free(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept
{
    std::free(pointer);
}

namespace {

// 200 clients with 255-byte nicknames: the client list outgrows the room reserved for
// typical nicknames part of the way through, and growing it needs more than 20,000 bytes.
constexpr std::size_t CLIENTS = 200;
constexpr std::size_t NICKNAME_BYTES = 255;
constexpr std::size_t ALLOCATION_LIMIT = 20000;

using OutOfMemoryTest = SimHostTest;

TEST_F(OutOfMemoryTest, AnswerThatCannotGrowGivesBackEveryHostBlock)
{
    sim::setModel(crowdedServer("Crowded", CLIENTS, NICKNAME_BYTES));
    // The call log grows with every call; only the request's own allocations may fail.
    sim::setLogging(false);

    g_failAbove = ALLOCATION_LIMIT;
    bool thrown = false;
    try {
        answer({0x05});
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    g_failAbove = 0;

    ASSERT_TRUE(thrown) << "the answer grew within the limit; the test no longer reaches the failure";
    const sim::MemoryReport memory = sim::memory();
    EXPECT_GT(memory.allocated, 1u) << "the host handed over no nickname before the failure";
    EXPECT_EQ(memory.released, memory.allocated) << memory.allocated - memory.released << " host blocks lost";
    EXPECT_EQ(memory.live, 0u);
    // Once memory is there again, the same request is answered in full.
    EXPECT_EQ(answer({0x05}).size(), 25 + CLIENTS * (38 + NICKNAME_BYTES));
}

}  // namespace
