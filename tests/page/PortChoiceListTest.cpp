#include "PortChoiceList.h"
#include "PageFakes.h"
#include "PlatformValues.h"

#include <gtest/gtest.h>

namespace vkprop
{
namespace
{

TEST(PortChoiceList, ParsesPortNumbersBySscanfRule)
{
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"COM5", 5},  {"COM12(in use)", 12}, {"COM 7", 7},  {"COM\t7", 7},
        {"COM+4", 4}, {"COM-3", -3},         {"COM007", 7}, {"COM256x", 256},
        {"com5", {}}, {"COM", {}},           {"LPT1", {}},  {"CNCA0", {}},
        {"", {}},     {"COM- 3", {}},        {"COM+", {}},  {" COM5", {}},
        {"CO", {}},   {"COMx5", {}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(PortChoiceList::ParseComNumber(text), expected) << text;
}

TEST(PortChoiceList, HugeNumberTypedByHandIsOutsideThePortRange)
{
    auto number = PortChoiceList::ParseComNumber("COM99999999999999999999");
    ASSERT_TRUE(number);
    EXPECT_GT(*number, 256);
}

TEST(PortChoiceList, OnlyStringValuesNamingPortsOneTo256MarkPortsInUse)
{
    const PortsInUse inUse = PortChoiceList::MarkPortsInUse({
        {kRegSz, "COM1"},
        {kRegSz, "COM5"},
        {kRegSz, "COM256"},
        {2, "COM9"},  // REG_EXPAND_SZ
        {7, "COM10"}, // REG_MULTI_SZ
        {kRegDword, "COM11"},
        {kRegSz, "COM0"},
        {kRegSz, "COM257"},
        {kRegSz, "LPT1"},
        {kRegSz, "COM-3"},
    });
    EXPECT_EQ(inUse.count(), 3u);
    EXPECT_TRUE(inUse.test(0));
    EXPECT_TRUE(inUse.test(4));
    EXPECT_TRUE(inUse.test(255));
}

TEST(PortChoiceList, RowsMarkThePortsInUseAndTheDevicesOwnPort)
{
    PortsInUse inUse;
    inUse.set(0).set(4);
    const auto rows = PortChoiceList::BuildPortRows(inUse, 5);
    ASSERT_EQ(rows.size(), 256u);
    EXPECT_EQ(rows[0], "COM1(in use)");
    EXPECT_EQ(rows[1], "COM2");
    EXPECT_EQ(rows[4], "COM5(current setting)");
    EXPECT_EQ(rows[9], "COM10");
    EXPECT_EQ(rows[255], "COM256");
    for (std::size_t i = 0; i < rows.size(); ++i)
    {
        if (i != 0 && i != 4)
        {
            EXPECT_EQ(rows[i], "COM" + std::to_string(i + 1));
        }
    }
}

TEST(PortChoiceList, CurrentNameOutsideThePortRangeMarksNoRow)
{
    for (const char* name : {"COM300", "com5", "", "COM0"})
    {
        const auto rows =
            PortChoiceList::BuildPortRows(PortsInUse(), PortChoiceList::CurrentPortNumber(name));
        ASSERT_EQ(rows.size(), 256u);
        for (const std::string& row : rows)
            EXPECT_EQ(row.find('('), std::string::npos) << name << ": " << row;
    }
    EXPECT_EQ(PortChoiceList::BuildPortRows(PortsInUse().set(255), 256)[255],
              "COM256(current setting)");
}

TEST(PortChoiceList, InitialRowIsTheFirstThatBeginsWithTheNameIgnoringCase)
{
    PortsInUse inUse;
    inUse.set(0);
    const auto rows = PortChoiceList::BuildPortRows(inUse, 1);
    EXPECT_EQ(PortChoiceList::FindPortRow(rows, "COM1"), 0u);
    EXPECT_EQ(PortChoiceList::FindPortRow(rows, "com5"), 4u);
    EXPECT_EQ(PortChoiceList::FindPortRow(rows, "COM25"), 24u);
    EXPECT_EQ(PortChoiceList::FindPortRow(rows, "COM1(current"), 0u);
    EXPECT_EQ(PortChoiceList::FindPortRow(rows, "COM300"), std::nullopt);
    EXPECT_EQ(PortChoiceList::FindPortRow(rows, "LPT1"), std::nullopt);
}

TEST(PortChoiceList, EmptyCurrentNameSelectsNoRow)
{
    EXPECT_EQ(PortChoiceList::FindPortRow(PortChoiceList::BuildPortRows(PortsInUse(), -1), ""),
              std::nullopt);
}

TEST(PortChoiceList, NameToStoreDropsOnlyATrailingMark)
{
    EXPECT_EQ(PortChoiceList::PortNameFromText("COM5(current setting)"), "COM5");
    EXPECT_EQ(PortChoiceList::PortNameFromText("COM12(in use)"), "COM12");
    EXPECT_EQ(PortChoiceList::PortNameFromText("COM9"), "COM9");
    EXPECT_EQ(PortChoiceList::PortNameFromText(""), "");
    EXPECT_EQ(PortChoiceList::PortNameFromText("COM5(in use) "), "COM5(in use) ");
    EXPECT_EQ(PortChoiceList::PortNameFromText("COM5(IN USE)"), "COM5(IN USE)");
    EXPECT_EQ(PortChoiceList::PortNameFromText("(in use)"), "");
}

// A keyer's page on a system with a modem on COM3 and three other keyers:
// B moved from COM42 to COM41 after an upgrade to a Windows with the
// persistent-state key, C (unplugged) was recorded only before it.
TEST(PortChoiceList, MarksNamesTheDriverRefusesButNotTheDevicesOwnRecords)
{
    const auto keyer = [](char n) {
        return std::string("\\??\\HID#VID_1234&PID_5678#7&") + n +
               "&0&0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    };
    test::FakePortMapCalls calls;
    calls.values = {{"\\Device\\Serial0", test::SzWithTerminator("COM1")}};
    calls.dosNames = {"COM1", "COM3"};
    calls.otherKeys["SYSTEM\\CurrentControlSet\\Services\\vkserial\\State"] = {
        {keyer('2'), test::SzWithTerminator("COM41")},
        {keyer('1'), test::SzWithTerminator("COM5")}};
    calls.otherKeys["SYSTEM\\CurrentControlSet\\Services\\vkserial\\Parameters"] = {
        {keyer('2'), test::SzWithTerminator("COM42")},
        {keyer('3'), test::SzWithTerminator("COM43")},
        {"\\??\\hid#vid_1234&pid_5678#7&1&0&0000#{86E0D1E0-8089-11D0-9CE4-08003E301F73}",
         test::SzWithTerminator("COM44")}};
    EXPECT_EQ(PortChoiceList::ScanPortsInUse(calls, "HID\\VID_1234&PID_5678\\7&1&0&0000"),
              PortsInUse().set(0).set(2).set(40).set(42));
    EXPECT_EQ(calls.openKeys, 0);
}

} // namespace
} // namespace vkprop
