// FirmwareAllocationTest.cpp - command 64 when the memory to check the image
// cannot be had: result -3 and nothing sent. Every form of new and delete is
// replaced, so this suite runs in a process of its own.
#include <gtest/gtest.h>

#include "CountingNew.h"
#include "SimTestSupport.h"
#include "session/FirmImageBuilder.h"
#include "session/SessionApi.h"

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
        FailNothrowArray(image.size(), failAt);
        const int32_t result = SessionExec(session, SESSION_CMD_FIRMWARE_UPDATE, &block, nullptr);
        const int seen = NothrowArraysSeen();
        FailNothrowArray(0, 0);
        EXPECT_EQ(result, SESSION_RESULT_INITIALIZE);
        EXPECT_EQ(seen, failAt) << "the copies are not image-sized nothrow arrays";
        EXPECT_EQ(device.RequestsSeen(), 0u);
    }
    SessionFree(session);
}

}  // namespace
}  // namespace azk::test
