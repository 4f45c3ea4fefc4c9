#include "ApplyToDriver.h"
#include "PageFakes.h"
#include "PageMessages.h"

#include <gtest/gtest.h>

#include <iconv.h>

namespace vkprop
{
namespace
{

using test::FakePortIoCalls;

const auto kOwner = reinterpret_cast<WindowRef>(0x4711);

std::string Cp932ToUtf8(const std::string& bytes)
{
    iconv_t convert = iconv_open("UTF-8", "CP932");
    if (convert == reinterpret_cast<iconv_t>(-1))
        return "(no CP932 converter)";
    std::string in = bytes;
    std::string out(bytes.size() * 3, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const std::size_t result = iconv(convert, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(convert);
    if (result == static_cast<std::size_t>(-1))
        return "(not CP932)";
    out.resize(out.size() - outLeft);
    return out;
}

TEST(ApplyToDriver, RunningDriverGetsTheReloadControlAndThePortIsClosedAgain)
{
    FakePortIoCalls calls;
    calls.ports["\\\\.\\COM5"] = true;
    ApplyToDriver(calls, "COM5", kOwner);
    EXPECT_EQ(calls.log, (std::vector<std::string>{
                             "open \\\\.\\COM5 C0000000 0 3 0",
                             "control 9C432000 null 0 null 0 count",
                             "close \\\\.\\COM5",
                         }));
    EXPECT_TRUE(calls.messages.empty());
}

TEST(ApplyToDriver, PortThatDoesNotOpenShowsTheFirstMessageAndSendsNothing)
{
    for (const char* name : {"COM5", ""})
    {
        FakePortIoCalls calls;
        calls.ports["\\\\.\\COM7"] = true;
        ApplyToDriver(calls, name, kOwner);
        ASSERT_EQ(calls.log.size(), 2u) << name;
        EXPECT_EQ(calls.log[1], "message nocaption 0");
        EXPECT_EQ(calls.messages, std::vector<std::string>{kPortOpenFailedMessage});
        EXPECT_EQ(calls.owners, std::vector<WindowRef>{kOwner});
    }
}

TEST(ApplyToDriver, RefusedControlShowsTheSecondMessageBeforeThePortIsClosed)
{
    FakePortIoCalls calls;
    calls.ports["\\\\.\\COM5"] = false;
    ApplyToDriver(calls, "COM5", kOwner);
    EXPECT_EQ(calls.log, (std::vector<std::string>{
                             "open \\\\.\\COM5 C0000000 0 3 0",
                             "control 9C432000 null 0 null 0 count",
                             "message nocaption 0",
                             "close \\\\.\\COM5",
                         }));
    EXPECT_EQ(calls.messages, std::vector<std::string>{kReloadFailedMessage});
}

// COM10 and above open only through the device namespace.
TEST(ApplyToDriver, PortIsOpenedThroughTheDeviceNamespace)
{
    FakePortIoCalls calls;
    ApplyToDriver(calls, "COM40", kOwner);
    EXPECT_EQ(calls.log[0], "open \\\\.\\COM40 C0000000 0 3 0");
    FakePortIoCalls empty;
    ApplyToDriver(empty, "", kOwner);
    EXPECT_EQ(empty.log[0], "open  C0000000 0 3 0");
}

TEST(PageMessages, AreTheJapaneseTextsInCodePage932)
{
    EXPECT_EQ(std::char_traits<char>::length(kPortOpenFailedMessage), 52u);
    EXPECT_EQ(std::char_traits<char>::length(kReloadFailedMessage), 58u);
    EXPECT_EQ(sizeof kPortOpenFailedMessage, 53u);
    EXPECT_EQ(sizeof kReloadFailedMessage, 59u);
    EXPECT_EQ(Cp932ToUtf8(kPortOpenFailedMessage),
              "ポートを開けません．再接続まで設定は反映されません．");
    EXPECT_EQ(Cp932ToUtf8(kReloadFailedMessage),
              "設定の反映に失敗しました．再接続まで設定は反映されません．");
    // The full stops are U+FF0E, not the ideographic full stop.
    EXPECT_EQ(std::string(kPortOpenFailedMessage).substr(50), "\x81\x44");
}

} // namespace
} // namespace vkprop
