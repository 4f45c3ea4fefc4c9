// Reads the page's resources as windres compiles them for the DLL and checks
// template 101 in both languages and icon 105 control by control.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace
{

constexpr std::uint16_t kRtIcon = 3;
constexpr std::uint16_t kRtDialog = 5;
constexpr std::uint16_t kRtGroupIcon = 14;
constexpr std::uint16_t kEnglish = 1033;
constexpr std::uint16_t kJapanese = 1041;

struct Resource
{
    std::uint16_t type;
    std::uint16_t id;
    std::uint16_t language;
    std::vector<unsigned char> data;
};

class Reader
{
  public:
    Reader(const std::vector<unsigned char>& bytes, std::size_t offset = 0)
        : bytes_(bytes), offset_(offset)
    {
    }
    template <typename T> T Read()
    {
        T value{};
        if (offset_ + sizeof(T) > bytes_.size())
            throw std::out_of_range("truncated resource");
        std::memcpy(&value, &bytes_[offset_], sizeof(T));
        offset_ += sizeof(T);
        return value;
    }
    // A name or an ordinal, as resource and dialog templates store them:
    // ordinals come back as "#<number>".
    std::u16string ReadNameOrOrdinal()
    {
        std::uint16_t first = Read<std::uint16_t>();
        if (first == 0xFFFF)
        {
            std::string number = "#" + std::to_string(Read<std::uint16_t>());
            return std::u16string(number.begin(), number.end());
        }
        std::u16string text;
        for (char16_t c = first; c != 0; c = Read<std::uint16_t>())
            text += c;
        return text;
    }
    void AlignTo4()
    {
        offset_ = (offset_ + 3) & ~std::size_t(3);
    }
    std::size_t Offset() const
    {
        return offset_;
    }
    void Skip(std::size_t count)
    {
        offset_ += count;
    }

  private:
    const std::vector<unsigned char>& bytes_;
    std::size_t offset_;
};

std::vector<Resource> ReadResFile(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    std::vector<Resource> resources;
    std::size_t offset = 0;
    while (offset + 8 <= bytes.size())
    {
        Reader header(bytes, offset);
        const auto dataSize = header.Read<std::uint32_t>();
        const auto headerSize = header.Read<std::uint32_t>();
        const std::u16string type = header.ReadNameOrOrdinal();
        const std::u16string name = header.ReadNameOrOrdinal();
        header.AlignTo4();
        header.Read<std::uint32_t>(); // data version
        header.Read<std::uint16_t>(); // memory flags
        const auto language = header.Read<std::uint16_t>();
        auto ordinal = [](const std::u16string& text) {
            return text.size() > 1 && text[0] == u'#'
                       ? static_cast<std::uint16_t>(
                             std::stoi(std::string(text.begin() + 1, text.end())))
                       : std::uint16_t(0);
        };
        const auto begin = bytes.begin() + static_cast<long>(offset + headerSize);
        resources.push_back({ordinal(type), ordinal(name), language,
                             std::vector<unsigned char>(begin, begin + dataSize)});
        offset = (offset + headerSize + dataSize + 3) & ~std::size_t(3);
    }
    return resources;
}

const Resource* Find(const std::vector<Resource>& resources, std::uint16_t type, std::uint16_t id,
                     std::optional<std::uint16_t> language = std::nullopt)
{
    for (const Resource& resource : resources)
    {
        if (resource.type == type && resource.id == id &&
            (!language || resource.language == *language))
            return &resource;
    }
    return nullptr;
}

struct Control
{
    std::int32_t id;
    std::u16string className;
    std::uint32_t style;
    std::int16_t x, y, cx, cy;
    std::u16string text;

    bool operator==(const Control& other) const
    {
        return id == other.id && className == other.className && style == other.style &&
               x == other.x && y == other.y && cx == other.cx && cy == other.cy &&
               text == other.text;
    }
};

std::ostream& operator<<(std::ostream& out, const Control& control)
{
    return out << "control " << control.id << " style 0x" << std::hex << control.style << std::dec
               << " at " << control.x << "," << control.y << "," << control.cx << "," << control.cy
               << " text of " << control.text.size() << " characters";
}

struct Dialog
{
    std::uint32_t style;
    std::int16_t cx, cy;
    std::u16string caption;
    std::uint16_t pointSize;
    std::u16string face;
    std::vector<Control> controls;
};

Dialog ParseDialogEx(const std::vector<unsigned char>& data)
{
    Reader in(data);
    Dialog dialog;
    EXPECT_EQ(in.Read<std::uint16_t>(), 1);      // dlgVer
    EXPECT_EQ(in.Read<std::uint16_t>(), 0xFFFF); // signature: extended template
    in.Read<std::uint32_t>();                    // help id
    in.Read<std::uint32_t>();                    // extended style
    dialog.style = in.Read<std::uint32_t>();
    const auto count = in.Read<std::uint16_t>();
    in.Read<std::int16_t>();
    in.Read<std::int16_t>();
    dialog.cx = in.Read<std::int16_t>();
    dialog.cy = in.Read<std::int16_t>();
    in.ReadNameOrOrdinal(); // menu
    in.ReadNameOrOrdinal(); // class
    dialog.caption = in.ReadNameOrOrdinal();
    dialog.pointSize = in.Read<std::uint16_t>();
    in.Read<std::uint16_t>(); // weight
    in.Read<std::uint16_t>(); // italic, charset
    dialog.face = in.ReadNameOrOrdinal();
    for (int i = 0; i < count; ++i)
    {
        in.AlignTo4();
        Control control;
        in.Read<std::uint32_t>(); // help id
        in.Read<std::uint32_t>(); // extended style
        control.style = in.Read<std::uint32_t>();
        control.x = in.Read<std::int16_t>();
        control.y = in.Read<std::int16_t>();
        control.cx = in.Read<std::int16_t>();
        control.cy = in.Read<std::int16_t>();
        control.id = in.Read<std::int32_t>();
        control.className = in.ReadNameOrOrdinal();
        for (char16_t& c : control.className)
            c = static_cast<char16_t>(std::toupper(c));
        control.text = in.ReadNameOrOrdinal();
        in.Skip(in.Read<std::uint16_t>()); // creation data
        dialog.controls.push_back(control);
    }
    return dialog;
}

// Window and control styles, spelled out so that the expectations do not
// come from the headers the resources were compiled with.
constexpr std::uint32_t kChildVisible = 0x50000000; // WS_CHILD | WS_VISIBLE
constexpr std::uint32_t kChildHidden = 0x40000000;  // WS_CHILD
constexpr std::uint32_t kTabStop = 0x00010000;
constexpr std::uint32_t kGroup = 0x00020000;
constexpr std::uint32_t kVScroll = 0x00200000;
constexpr std::uint32_t kPushButton = 0;
constexpr std::uint32_t kAutoCheckBox = 3;
constexpr std::uint32_t kDropDown = 2;
constexpr std::uint32_t kStaticLeft = 0;
constexpr std::uint32_t kStaticIcon = 3;

std::vector<Control> ExpectedControls(bool japanese)
{
    const std::uint32_t button = kChildVisible | kTabStop;
    const std::uint32_t combo = kChildVisible | kDropDown | kVScroll | kTabStop;
    const std::uint32_t label = kChildVisible | kStaticLeft | kGroup;
    return {
        {1000, u"BUTTON", button | kPushButton, 51, 151, 50, 14, u"&More info..."},
        {1001, u"STATIC", label, 45, 16, 206, 8, u"Name of sample device"},
        {1003, u"COMBOBOX", combo, 51, 95, 50, 75, u""},
        {1004, u"COMBOBOX", combo, 51, 44, 50, std::int16_t(japanese ? 156 : 80), u""},
        {-1, u"STATIC", label, 17, 47, 33, 14, japanese ? u"ポート番号" : u"PortName"},
        {1005, u"COMBOBOX", combo, 51, 119, 50, 51, u""},
        {-1, u"STATIC", label, 31, 98, 14, 8, u"Key"},
        {-1, u"STATIC", label, 31, 121, 14, 10, u"PTT"},
        {1006, u"STATIC", kChildVisible | kStaticIcon, 15, 7, std::int16_t(japanese ? 20 : 21),
         std::int16_t(japanese ? 20 : 23), u"#105"},
        {1007, u"BUTTON", button | kAutoCheckBox, 107, 95, std::int16_t(japanese ? 46 : 32), 10,
         japanese ? u"論理反転" : u"Invert"},
        {1008, u"BUTTON", button | kAutoCheckBox, 107, 119, std::int16_t(japanese ? 46 : 32), 10,
         japanese ? u"論理反転" : u"Invert"},
        {-1, u"STATIC", kChildHidden | kStaticLeft | kGroup, 106, 46, 105, 13,
         japanese ? u"再接続で設定反映" : u"Recconect to apply settings."},
    };
}

class PageResources : public testing::Test
{
  protected:
    std::vector<Resource> resources = ReadResFile(VKPROP_RES_PATH);
};

TEST_F(PageResources, Template101IsTheSameDialogInEnglishAndJapanese)
{
    for (std::uint16_t language : {kEnglish, kJapanese})
    {
        SCOPED_TRACE(language);
        const Resource* resource = Find(resources, kRtDialog, 101, language);
        ASSERT_NE(resource, nullptr);
        const Dialog dialog = ParseDialogEx(resource->data);
        // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
        EXPECT_EQ(dialog.style, 0x90C800C0u);
        EXPECT_EQ(dialog.cx, 258);
        EXPECT_EQ(dialog.cy, 207);
        EXPECT_EQ(dialog.caption, language == kEnglish ? u"Port settings" : u"ポートの設定");
        EXPECT_EQ(dialog.pointSize, 8);
        EXPECT_EQ(dialog.face, u"MS Sans Serif");
        const std::vector<Control> expected = ExpectedControls(language == kJapanese);
        ASSERT_EQ(dialog.controls.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(dialog.controls[i], expected[i]) << "template position " << i;
    }
}

TEST_F(PageResources, Icon105IsOne32By32PictureIn16Colours)
{
    const Resource* group = Find(resources, kRtGroupIcon, 105);
    ASSERT_NE(group, nullptr);
    Reader in(group->data);
    in.Read<std::uint16_t>();
    EXPECT_EQ(in.Read<std::uint16_t>(), 1); // icon
    ASSERT_EQ(in.Read<std::uint16_t>(), 1); // one picture
    EXPECT_EQ(in.Read<std::uint8_t>(), 32);
    EXPECT_EQ(in.Read<std::uint8_t>(), 32);
    EXPECT_EQ(in.Read<std::uint8_t>(), 16);
    in.Read<std::uint8_t>();
    in.Read<std::uint16_t>();               // planes
    EXPECT_EQ(in.Read<std::uint16_t>(), 4); // bits per pixel
    in.Read<std::uint32_t>();
    const auto pictureId = in.Read<std::uint16_t>();
    EXPECT_NE(Find(resources, kRtIcon, pictureId), nullptr);
}

} // namespace
