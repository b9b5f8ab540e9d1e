// ExecFieldsAgreeTest.cpp - DeviceCommand names the block fields of the
// catalogue commands from SessionApi.h's table of block layouts; the session
// library moves bytes as its catalogue rows say. This test holds the two
// together: for every command that `exec` runs, the named input fields cover
// exactly the block bytes the command sends, and the output fields exactly
// the bytes it fills, text where the command writes a NUL after them.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "session/Catalogue.h"
#include "win/DeviceCommand/DeviceCommandExec.h"

namespace azk::devcmd {
namespace {

using catalogue::CountKind;
using catalogue::Row;

std::set<int> CountBytes(const Row& row) {
    std::set<int> bytes;
    const int at = row.transfer.count.value;
    if (row.transfer.count.kind == CountKind::Byte) bytes = {at};
    if (row.transfer.count.kind == CountKind::Word) bytes = {at, at + 1};
    return bytes;
}

TEST(ExecFieldsAgree, InputFieldsCoverTheBytesEachCommandSends) {
    int checked = 0;
    for (const Row& row : catalogue::kRows) {
        if (!IsExecCommand(row.id)) continue;
        ++checked;
        SCOPED_TRACE("command " + std::to_string(row.id));
        std::set<int> sent = CountBytes(row);  // the tool sets a count from its data
        if (row.arg == catalogue::Arg::Block0) sent.insert(0);
        for (int b = row.request.offset; b < row.request.offset + row.request.size; ++b) sent.insert(b);

        std::set<int> named = CountBytes(row);
        for (const ExecFieldInfo& field : ExecFields(row.id, false)) {
            EXPECT_FALSE(field.text && field.size > row.request.size) << field.name;
            for (int b = field.offset; b < field.offset + field.size; ++b) {
                EXPECT_TRUE(named.insert(b).second || CountBytes(row).count(b) > 0)
                    << "byte " << b << " named twice";
            }
        }
        // Command 57 sends the low three bytes of the 32-bit number at 4-7.
        if (row.id == 57) named.erase(7);
        EXPECT_EQ(named, sent);
    }
    EXPECT_EQ(checked, 72);  // 78 rows without the six block transfers
}

TEST(ExecFieldsAgree, OutputFieldsCoverTheBytesEachCommandFills) {
    for (const Row& row : catalogue::kRows) {
        if (!IsExecCommand(row.id)) continue;
        SCOPED_TRACE("command " + std::to_string(row.id));
        std::set<int> filled, textBytes;
        for (const catalogue::Copy& copy : row.copies) {
            for (int b = copy.to; b < copy.to + copy.size; ++b) {
                filled.insert(b);
                if (copy.nul) textBytes.insert(b);
            }
        }
        std::set<int> named, namedText;
        for (const ExecFieldInfo& field : ExecFields(row.id, true)) {
            for (int b = field.offset; b < field.offset + field.size; ++b) {
                EXPECT_TRUE(named.insert(b).second) << "byte " << b << " named twice";
                if (field.text) namedText.insert(b);
            }
        }
        EXPECT_EQ(named, filled);
        EXPECT_EQ(namedText, textBytes);
    }
}

}  // namespace
}  // namespace azk::devcmd
