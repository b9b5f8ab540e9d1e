// FwUpdateAppTest.cpp - the FwUpdate tool in process, over the sim bus
// against the emulated device's firmware receiver: what it prints byte for
// byte, its exit status, and what the device received.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FwTestSupport.h"
#include "SimTestSupport.h"
#include "emulator/DeviceModel.h"
#include "emulator/FirmwareReceiver.h"
#include "emulator/SimAttachment.h"
#include "session/FirmFile.h"
#include "transport/HidCommBase.h"
#include "win/FwUpdate/FwUpdateApp.h"

namespace azk::test {
namespace {

using Damage = azk_CFirmImageBuilder::Damage;
using Receiver = azk_CFirmwareReceiver;

struct ToolResult {
    int exitStatus;
    std::string out;
};

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

uint16_t Field16(const Bytes& image, size_t at) { return static_cast<uint16_t>(image[at] | (image[at + 1] << 8)); }

class FwUpdateAppTest : public SimBusTest {
protected:
    void TearDown() override {
        attachment_.reset();
        receiver_.reset();
        model_.reset();
        SimBusTest::TearDown();
        EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
    }

    void AddDevice(int variant = 1) {
        attachment_.reset();
        receiver_.reset();
        model_ = std::make_unique<azk_CDeviceModel>(variant == 2 ? 64 : 16);
        receiver_ = std::make_unique<Receiver>(*model_);
        attachment_ = std::make_unique<azk_CSimAttachment>(*model_, AddSpeakerphone(variant));
    }

    ToolResult Tool(const std::vector<std::string>& words, bool terminal = false) {
        std::vector<azk_SToolArgument> args;
        for (const std::string& word : words) args.push_back(ToolArgument(word));
        azk_CConsoleCapture capture;
        EXPECT_TRUE(capture.Ok());
        const int status = RunFwUpdate(args, terminal);
        return {status, capture.Finish()};
    }

    azk_CScratch scratch_;
    std::unique_ptr<azk_CDeviceModel> model_;
    std::unique_ptr<Receiver> receiver_;
    std::unique_ptr<azk_CSimAttachment> attachment_;
};

std::string Head(const std::string& file, const char* kind, size_t size, int variant = 1) {
    return "firmware image: " + file + " (" + kind + ", " + std::to_string(size) + " bytes)\nupdating the device (variant " +
           std::to_string(variant) + ") ...\n";
}

// ------------------------------------------------------------ success

TEST_F(FwUpdateAppTest, UpdatePrintsOneLinePerProgressChangeAndTheDeviceVerifiesIt) {
    for (int variant : {1, 2}) {
        SCOPED_TRACE(variant);
        sim::SimBus::Instance().Clear();
        AddDevice(variant);
        const Bytes image = MakeImage(2, 30720);
        const std::string file = scratch_.Write("dspa.bin", image);
        const ToolResult run = Tool(variant == 1 ? std::vector<std::string>{file}
                                          : std::vector<std::string>{"--variant", "2", file});
        EXPECT_EQ(run.exitStatus, kFwExitOk);
        EXPECT_EQ(run.out, Head(file, "DSPA", 30720, variant) +
                               "progress 21%\nprogress 46%\nprogress 72%\nprogress 100%\n"
                               "firmware update completed\n");
        const Receiver::State state = receiver_->Snapshot();
        EXPECT_TRUE(state.verified) << state.rejection;
        EXPECT_EQ(state.kindCode, 3);
        EXPECT_EQ(receiver_->Image(), image);
    }
}

TEST_F(FwUpdateAppTest, OnATerminalTheBarIsRedrawnInPlace) {
    AddDevice();
    const std::string file = scratch_.Write("fwup.bin", MakeImage(0, 30720));
    const ToolResult run = Tool({file}, true);
    EXPECT_EQ(run.exitStatus, kFwExitOk);
    EXPECT_EQ(run.out, Head(file, "FWUP", 30720) +
                           "\r[########                                ]  21%"
                           "\r[##################                      ]  46%"
                           "\r[############################            ]  72%"
                           "\r[########################################] 100%\n"
                           "firmware update completed\n");
}

// ------------------------------------------------------------ step failures

struct StepCase {
    const char* name;
    char kind;  // 'F' refused with status 0x41, 'H' wrong header
    uint16_t function;
    uint32_t times;
    int exitStatus;
    std::string afterHead;  // everything printed after the first two lines
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

std::string Times(int n, const std::string& text) {
    std::string all;
    for (int i = 0; i < n; ++i) all += text;
    return all;
}

std::vector<StepCase> StepCases() {
    const std::string failed = "FwUpdate: firmware update failed: ";
    return {
        {"SetInfoRefused", 'F', Receiver::kFunctionSetInfo, 3, kFwExitSetInfo,
         Times(3, "error : receive error response. (FU_SETINFO) [0x41]\n") + failed +
             "the device did not accept the announcement (FU_SETINFO) [-15]\n"},
        {"FwLoadRefused", 'F', Receiver::kFunctionFwLoad, 5, kFwExitFwLoad,
         "progress 21%\n" + Times(5, "\nerror : receive error response. (FU_FWLOAD) [0x41]\n") + failed +
             "the device did not accept a transfer block (FU_FWLOAD) [-15]\n"},
        {"WriteFwRefused", 'F', Receiver::kFunctionWriteFw, 2, kFwExitWriteFw,
         "progress 21%\n" + Times(2, "\nerror : receive error response. (FU_WRITEFW) [0x41]\n") + failed +
             "the device did not commit a transfer block (FU_WRITEFW) [-16]\n"},
        {"SetInfoWrongHeader", 'H', Receiver::kFunctionSetInfo, 3, kFwExitBadAnswer,
         Times(3, "error : invalid response header receive. (FU_SETINFO)\n") + failed +
             "the device answered with an unexpected response header [-12]\n"},
        {"WriteFwWrongHeader", 'H', Receiver::kFunctionWriteFw, 2, kFwExitBadAnswer,
         "progress 21%\n" + Times(2, "\nerror : invalid response header receive. (FU_WRITEFW)\n") + failed +
             "the device answered with an unexpected response header [-12]\n"},
        {"FwLoadRefusedFourTimesThenAccepted", 'F', Receiver::kFunctionFwLoad, 4, kFwExitOk,
         "progress 21%\n" + Times(4, "\nerror : receive error response. (FU_FWLOAD) [0x41]\n") +
             "progress 100%\nfirmware update completed\n"},
    };
}

class FwUpdateStepTest : public FwUpdateAppTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(FwUpdateStepTest, MessagesAndExitStatus) {
    const StepCase& c = GetParam();
    AddDevice();
    if (c.kind == 'F') {
        receiver_->FailStep(c.function, c.times, 0x41);
    } else {
        receiver_->BadHeaderStep(c.function, c.times);
    }
    const std::string file = scratch_.Write("fwup.bin", MakeImage(0, 10240));
    const ToolResult run = Tool({file});
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(run.out, Head(file, "FWUP", 10240) + c.afterHead);
    EXPECT_EQ(receiver_->Snapshot().verified, c.exitStatus == kFwExitOk);
}

INSTANTIATE_TEST_SUITE_P(Steps, FwUpdateStepTest, ::testing::ValuesIn(StepCases()),
                         [](const ::testing::TestParamInfo<StepCase>& p) { return p.param.name; });

TEST_F(FwUpdateAppTest, NoDeviceOfTheVariant) {
    const std::string file = scratch_.Write("fwup.bin", MakeImage(0, 2048));
    ToolResult run = Tool({file});
    EXPECT_EQ(run.exitStatus, kFwExitNoDevice);
    EXPECT_EQ(run.out, "firmware image: " + file + " (FWUP, 2048 bytes)\nFwUpdate: no device found (variant 1)\n");

    AddDevice(1);
    run = Tool({"--variant", "2", file});
    EXPECT_EQ(run.exitStatus, kFwExitNoDevice);
    EXPECT_EQ(run.out, "firmware image: " + file + " (FWUP, 2048 bytes)\nFwUpdate: no device found (variant 2)\n");
    EXPECT_EQ(model_->RequestCount(), 0u);
}

// ------------------------------------------------------------ the image

TEST_F(FwUpdateAppTest, RejectedImagesAreReportedWithTheReasonAndNothingIsSent) {
    AddDevice();
    struct Case {
        Damage damage;
        int exitStatus;
        std::string reason;  // "<crc>": the CRC mismatch text made from the image
    };
    const Case cases[] = {
        {Damage::Magic, kFwExitMalformed, "unknown magic \"ZZZZ\""},
        {Damage::FormatNumber, kFwExitMalformed, "format number 5, not 6"},
        {Damage::TotalOverSize, kFwExitMalformed, "total length 4100 is beyond the file's 4096 bytes"},
        {Damage::TotalUnaligned, kFwExitMalformed, "total length 4094 is not a multiple of 4"},
        {Damage::TotalBelowHeader, kFwExitMalformed, "total length 556 leaves no room for the header"},
        {Damage::Truncated, kFwExitMalformed, "total length 4096 is beyond the file's 4092 bytes"},
        {Damage::ShortFile, kFwExitMalformed, "too short for a firmware image: 560 bytes, more than 560 needed"},
        {Damage::DataCrc, kFwExitChecksum, "<data>"},
        {Damage::HeaderCrc, kFwExitChecksum, "<header>"},
        {Damage::UncheckedHeader, kFwExitChecksum, "<header>"},
    };
    const Bytes sound = MakeImage(0, 4096);
    for (const Case& c : cases) {
        SCOPED_TRACE(azk_CFirmImageBuilder::DamageName(c.damage));
        const Bytes image = MakeImage(0, 4096, c.damage);
        std::string reason = c.reason;
        if (reason == "<data>") {
            // The data CRC of the sound image is what the damaged one should carry.
            reason = "data CRC mismatch: " + Hex4(Field16(image, 556)) + " stored, " + Hex4(Field16(sound, 556)) +
                     " computed";
        } else if (reason == "<header>") {
            reason = "header CRC mismatch: " + Hex4(Field16(image, 558)) + " stored, " +
                     Hex4(azk_CFirmImageBuilder::Crc16(image.data() + 512, 46, 0)) + " computed";
        }
        const std::string file = scratch_.Write("bad.bin", image);
        const ToolResult run = Tool({file});
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.out, "FwUpdate: '" + file + "' is not a valid firmware image: " + reason + "\n");
    }
    EXPECT_EQ(model_->RequestCount(), 0u);
}

TEST_F(FwUpdateAppTest, UnreadableFiles) {
    AddDevice();
    const std::string missing = scratch_.File("missing.bin");
    ToolResult run = Tool({missing});
    EXPECT_EQ(run.exitStatus, kFwExitUnreadable);
    EXPECT_EQ(run.out, "FwUpdate: cannot read '" + missing + "': No such file or directory\n");

    const std::string directory = scratch_.File("");
    run = Tool({"--check", directory});
    EXPECT_EQ(run.exitStatus, kFwExitUnreadable);
#ifdef _WIN32
    // The C runtime on Windows refuses to open a directory as "Permission denied".
    EXPECT_EQ(run.out, "FwUpdate: cannot read '" + directory + "': Permission denied\n");
#else
    EXPECT_EQ(run.out, "FwUpdate: cannot read '" + directory + "': Is a directory\n");
#endif

    // An empty file can be read; it is far too short.
    const std::string empty = scratch_.Write("empty.bin", {});
    run = Tool({empty});
    EXPECT_EQ(run.exitStatus, kFwExitMalformed);
    EXPECT_EQ(run.out, "FwUpdate: '" + empty +
                           "' is not a valid firmware image: too short for a firmware image: 0 bytes, more than 560 "
                           "needed\n");
    EXPECT_EQ(model_->RequestCount(), 0u);
}

TEST_F(FwUpdateAppTest, CheckPrintsTheFieldsAndTheVerdictWithoutADevice) {
    const Bytes sound = MakeImage(1, 10240, Damage::None, 1);
    const std::string soundCrc = Hex4(Field16(sound, 556));
    struct Case {
        Damage damage;
        int exitStatus;
        std::string fields;  // after the file and size lines
        std::string verdict;
    };
    auto headerCrc = [](const Bytes& image) { return "header CRC: " + Hex4(Field16(image, 558)) + " (valid)\n"; };
    const Bytes dataCrc = MakeImage(1, 10240, Damage::DataCrc, 1);
    const Bytes magic = MakeImage(1, 10240, Damage::Magic, 1);
    const Bytes over = MakeImage(1, 10240, Damage::TotalOverSize, 1);
    const std::string uasp = "kind: UASP (image kind 1, kind code 1)\nformat number: 6\n";
    const Case cases[] = {
        {Damage::None, kFwExitOk,
         uasp + "total length: 10240 bytes\ndata CRC: " + soundCrc + " (valid)\n" + headerCrc(sound), "image valid\n"},
        {Damage::DataCrc, kFwExitChecksum,
         uasp + "total length: 10240 bytes\ndata CRC: " + Hex4(Field16(dataCrc, 556)) + " (invalid: computed " +
             soundCrc + ")\n" + headerCrc(dataCrc),
         "image rejected: data CRC mismatch: " + Hex4(Field16(dataCrc, 556)) + " stored, " + soundCrc +
             " computed\n"},
        {Damage::Magic, kFwExitMalformed,
         "kind: unknown (magic \"ZZZZ\")\nformat number: 6\ntotal length: 10240 bytes\ndata CRC: " + soundCrc +
             " (valid)\n" + headerCrc(magic),
         "image rejected: unknown magic \"ZZZZ\"\n"},
        {Damage::TotalOverSize, kFwExitMalformed,
         uasp + "total length: 10245 bytes\ndata CRC: " + soundCrc + " (not checked)\n" + headerCrc(over),
         "image rejected: total length 10245 is beyond the file's 10241 bytes\n"},
        {Damage::ShortFile, kFwExitMalformed, "",
         "image rejected: too short for a firmware image: 560 bytes, more than 560 needed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(azk_CFirmImageBuilder::DamageName(c.damage));
        const Bytes image = MakeImage(1, 10240, c.damage, 1);
        const std::string file = scratch_.Write("image.bin", image);
        const ToolResult run = Tool({"--check", file});
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.out, "file: " + file + "\nsize: " + std::to_string(image.size()) + " bytes\n" + c.fields +
                               c.verdict);
    }
}

TEST_F(FwUpdateAppTest, InspectionAgreesWithTheCheckForEveryDamage) {
    for (const azk_CFirmImageBuilder::DamageInfo& info : azk_CFirmImageBuilder::Damages()) {
        SCOPED_TRACE(info.name);
        for (size_t total : {560u, 4096u}) {
            if (info.damage == Damage::BodyBit && total == 560) continue;
            const Bytes image = MakeImage(2, total, info.damage, 4);
            azk_CFirmFile file;
            const int32_t expected = file.Load(image.data(), static_cast<uint32_t>(image.size()));
            const azk_SImageInspection r = InspectImage(image.data(), static_cast<uint32_t>(image.size()));
            EXPECT_EQ(r.loadResult, expected);
            EXPECT_EQ(r.kind, file.GetKind());
            EXPECT_EQ(r.reason.empty(), expected == 0);
            // A reason of its own, never the catch-all.
            EXPECT_NE(r.reason, L"checksum mismatch");
            EXPECT_NE(r.reason, L"malformed image");
        }
    }
}

TEST_F(FwUpdateAppTest, BadCommandLines) {
    const std::string file = scratch_.Write("fwup.bin", MakeImage(0, 1024));
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    const Case cases[] = {
        {{}, "no image file given"},
        {{"--check"}, "no image file given"},
        {{file, file}, "one image only ('" + file + "' and '" + file + "')"},
        {{"--variant"}, "--variant needs a value"},
        {{"--variant", "3", file}, "--variant: 1 or 2"},
        {{"--check", "--variant", "2", file}, "--check needs no device: --variant does not go with it"},
        {{"--force", file}, "unknown option '--force'"},
        {{"-", file}, "unknown option '-'"},
    };
    for (const Case& c : cases) {
        const ToolResult run = Tool(c.words);
        EXPECT_EQ(run.exitStatus, kFwExitUsage) << c.message;
        EXPECT_EQ(run.out, "FwUpdate: " + c.message + "\nTry 'FwUpdate --help'.\n");
    }
    // After "--" a word starting with '-' is the image.
    const ToolResult dashed = Tool({"--check", "--", "-image.bin"});
    EXPECT_EQ(dashed.exitStatus, kFwExitUnreadable);
    EXPECT_EQ(dashed.out, "FwUpdate: cannot read '-image.bin': No such file or directory\n");

    const ToolResult help = Tool({file, "--help"});
    EXPECT_EQ(help.exitStatus, kFwExitOk);
    EXPECT_EQ(help.out.rfind("Usage: FwUpdate [--variant 1|2] IMAGE\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("\n  12  any other failure of the session\n"), std::string::npos);
}

}  // namespace
}  // namespace azk::test
