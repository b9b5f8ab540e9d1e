// FirmwareAllocationTest.cpp - command 64 when the memory to check the image
// cannot be had: result -3 and nothing sent. Every form of new and delete is
// replaced, so this suite runs in a process of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "SimTestSupport.h"
#include "session/FirmImageBuilder.h"
#include "session/SessionApi.h"

namespace {

// The failAt-th allocation of exactly failSize bytes made with the nothrow
// array form (the one the image check uses) fails; 0 disarms.
std::atomic<std::size_t> g_failSize{0};
std::atomic<int> g_failAt{0};
std::atomic<int> g_seen{0};

void* Allocate(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (size == g_failSize.load() && ++g_seen == g_failAt.load()) return nullptr;
    return Allocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace azk::test {
namespace {

class FirmwareAllocationTest : public SimBusTest {};

TEST_F(FirmwareAllocationTest, NoMemoryForEitherCopyGivesMinus3AndSendsNothing) {
    ScriptedDevice device(AddSpeakerphone());
    SessionHandle session = SessionCreate(1, nullptr);
    ASSERT_NE(session, nullptr);

    azk_CFirmImageBuilder builder;
    builder.SetKind(0).SetBody(Bytes(8000, 0x5C));
    const Bytes image = builder.Build();
    ASSERT_EQ(image.size(), 8560u);
    SessionFirmwareUpdateBlock block{};
    block.image = image.data();
    block.imageSize = static_cast<uint32_t>(image.size());

    // 1: the check copy, 2: the kept copy.
    for (int failAt : {1, 2}) {
        SCOPED_TRACE(failAt);
        g_seen = 0;
        g_failAt = failAt;
        g_failSize = image.size();
        const int32_t result = SessionExec(session, SESSION_CMD_FIRMWARE_UPDATE, &block, nullptr);
        g_failSize = 0;
        EXPECT_EQ(result, SESSION_RESULT_INITIALIZE);
        EXPECT_EQ(g_seen.load(), failAt) << "the copies are not image-sized nothrow arrays";
        EXPECT_EQ(device.RequestsSeen(), 0u);
    }
    SessionFree(session);
}

}  // namespace
}  // namespace azk::test
