// The resources compiled into the add-in DLL, read back from the built DLL the
// way Windows reads them: the button face and its mask, the icon group, and
// the setup dialog's template. The ids are written out as numbers here on
// purpose: they are what the code and Office agree on, whatever the header says.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr WORD kFaceId = 101;
constexpr WORD kMaskId = 102;
constexpr WORD kIconId = 104;
constexpr WORD kSetupDialogId = 105;

constexpr size_t kBitmapResourceSize = 40 + 256 * 4 + 32 * 32;   // header, colour table, 8-bit rows

struct Rgb
{
    BYTE r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb &o) const { return !(*this == o); }
};

std::ostream &operator<<(std::ostream &out, const Rgb &c)
{
    return out << "RGB(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")";
}

const Rgb kTeal = {0, 128, 128};
const Rgb kBlack = {0, 0, 0};
const Rgb kWhite = {255, 255, 255};

// The DLL's resources without running its code, as Explorer or a resource
// editor would open it.
class ResourceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hModule = LoadLibraryExA("QuorviaAddin.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(m_hModule, nullptr) << "error " << GetLastError();
    }
    void TearDown() override
    {
        if (m_hModule)
            FreeLibrary(m_hModule);
    }

    // The resource's bytes, or an empty string when it is missing.
    std::string Bytes(LPCSTR type, WORD id) const
    {
        HRSRC found = FindResourceA(m_hModule, MAKEINTRESOURCEA(id), type);
        if (!found)
            return {};
        HGLOBAL loaded = LoadResource(m_hModule, found);
        const void *data = loaded ? LockResource(loaded) : nullptr;
        if (!data)
            return {};
        return std::string(static_cast<const char *>(data), SizeofResource(m_hModule, found));
    }

    HMODULE m_hModule = nullptr;
};

template <class T>
T ReadAt(const std::string &bytes, size_t offset)
{
    T value{};
    if (offset + sizeof value <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// ---- The button face (101) and its mask (102)

// One of the two 32 x 32 8-bit bitmaps, pixels addressed top-down.
struct PaletteBitmap
{
    BITMAPINFOHEADER header;
    std::string bytes;

    explicit PaletteBitmap(std::string resource) : header(ReadAt<BITMAPINFOHEADER>(resource, 0)), bytes(std::move(resource)) {}

    Rgb Colour(BYTE index) const
    {
        RGBQUAD quad = ReadAt<RGBQUAD>(bytes, 40 + 4 * index);
        return {quad.rgbRed, quad.rgbGreen, quad.rgbBlue};
    }
    // Rows are stored bottom-up, 32 bytes each.
    Rgb Pixel(int x, int y) const { return Colour(BYTE(bytes.at(40 + 1024 + (31 - y) * 32 + x))); }
};

TEST_F(ResourceTest, BitmapsAre32x32PaletteImagesStoredBottomUp)
{
    for (WORD id : {kFaceId, kMaskId}) {
        SCOPED_TRACE("bitmap " + std::to_string(id));
        std::string bytes = Bytes(RT_BITMAP, id);
        ASSERT_EQ(bytes.size(), kBitmapResourceSize);
        PaletteBitmap bitmap(bytes);
        EXPECT_EQ(bitmap.header.biSize, 40u);
        EXPECT_EQ(bitmap.header.biWidth, 32);
        EXPECT_EQ(bitmap.header.biHeight, 32);   // positive: bottom-up
        EXPECT_EQ(bitmap.header.biPlanes, 1);
        EXPECT_EQ(bitmap.header.biBitCount, 8);
        EXPECT_EQ(bitmap.header.biCompression, DWORD(BI_RGB));
        DWORD colours = bitmap.header.biClrUsed ? bitmap.header.biClrUsed : 256;
        EXPECT_EQ(colours, 256u);
    }
}

TEST_F(ResourceTest, MaskIsBlackExactlyWhereTheFaceIsNotTeal)
{
    PaletteBitmap face(Bytes(RT_BITMAP, kFaceId));
    PaletteBitmap mask(Bytes(RT_BITMAP, kMaskId));
    ASSERT_EQ(face.bytes.size(), kBitmapResourceSize);
    ASSERT_EQ(mask.bytes.size(), kBitmapResourceSize);

    for (auto [x, y] : {std::pair{0, 0}, {31, 0}, {0, 31}, {31, 31}})
        EXPECT_EQ(face.Pixel(x, y), kTeal) << "corner " << x << "," << y;
    EXPECT_NE(face.Pixel(16, 16), kTeal);

    int shown = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            Rgb m = mask.Pixel(x, y);
            ASSERT_TRUE(m == kBlack || m == kWhite) << "mask pixel " << x << "," << y << " is " << m;
            bool faceShows = face.Pixel(x, y) != kTeal;
            EXPECT_EQ(m == kBlack, faceShows) << "pixel " << x << "," << y;
            shown += faceShows;
        }
    }
    // A disc filling the square covers about pi/4 of it.
    EXPECT_NEAR(shown, 804, 40);
}

// The badge read along each diagonal from the corner to the centre, repeated
// colours folded: outside, rim, white, the arc of that side (none where the
// arcs nearly meet), white, the envelope's outline (silver on the lit upper
// left, the darker grey on the shadowed lower right) and its cream inside.
// Both greys are the ones LR_LOADMAP3DCOLORS maps to the system's 3-D colours.
TEST_F(ResourceTest, FaceShowsRimArcsAndEnvelopeAlongTheDiagonals)
{
    PaletteBitmap face(Bytes(RT_BITMAP, kFaceId));
    ASSERT_EQ(face.bytes.size(), kBitmapResourceSize);
    const Rgb orange = {255, 128, 0}, yellow = {255, 204, 0}, silver = {192, 192, 192}, grey = {128, 128, 128},
              cream = {255, 240, 196};
    struct Diagonal
    {
        const char *name;
        int x0, y0, dx, dy;
        std::vector<Rgb> expected;
    } diagonals[] = {
        {"upper left", 0, 0, 1, 1, {kTeal, kBlack, kWhite, orange, kWhite, silver, cream}},
        {"lower right", 31, 31, -1, -1, {kTeal, kBlack, kWhite, yellow, kWhite, grey, cream}},
        {"upper right", 31, 0, -1, 1, {kTeal, kBlack, kWhite, silver, cream}},
        {"lower left", 0, 31, 1, -1, {kTeal, kBlack, kWhite, grey, cream}},
    };
    for (const Diagonal &d : diagonals) {
        std::vector<Rgb> seen;
        for (int i = 0; i < 14; ++i) {
            Rgb c = face.Pixel(d.x0 + i * d.dx, d.y0 + i * d.dy);
            if (seen.empty() || seen.back() != c)
                seen.push_back(c);
        }
        EXPECT_EQ(seen, d.expected) << d.name;
    }
}

TEST_F(ResourceTest, BitmapsLoadWithSystemColoursMapped)
{
    HMODULE addin = LoadLibraryA("QuorviaAddin.dll");
    ASSERT_NE(addin, nullptr);
    for (WORD id : {kFaceId, kMaskId}) {
        HANDLE image = LoadImageA(addin, MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS);
        ASSERT_NE(image, nullptr) << "bitmap " << id << ", error " << GetLastError();
        BITMAP info = {};
        EXPECT_EQ(GetObjectA(image, sizeof info, &info), int(sizeof info));
        EXPECT_EQ(info.bmWidth, 32);
        EXPECT_EQ(info.bmHeight, 32);
        DeleteObject(image);
    }
    FreeLibrary(addin);
}

// ---- The icon group (104)

#pragma pack(push, 2)
struct GroupIconEntry
{
    BYTE width, height, colourCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "GRPICONDIRENTRY is 14 bytes");

TEST_F(ResourceTest, IconGroupHoldsTwelveImagesOfEverySizeAndDepth)
{
    // Every size at 32 bpp; 16 and 32 at every depth; 48 also at 24 bpp.
    const std::set<std::tuple<int, int>> expected = {
        {16, 4}, {16, 8}, {16, 24}, {16, 32},
        {32, 4}, {32, 8}, {32, 24}, {32, 32},
        {48, 24}, {48, 32},
        {64, 32},
        {128, 32},
    };
    std::string group = Bytes(RT_GROUP_ICON, kIconId);
    ASSERT_GE(group.size(), 6u);
    EXPECT_EQ(ReadAt<WORD>(group, 0), 0);   // reserved
    EXPECT_EQ(ReadAt<WORD>(group, 2), 1);   // icons, not cursors
    WORD count = ReadAt<WORD>(group, 4);
    ASSERT_EQ(count, 12);
    ASSERT_EQ(group.size(), 6u + count * sizeof(GroupIconEntry));

    std::set<std::tuple<int, int>> found;
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry entry = ReadAt<GroupIconEntry>(group, 6 + i * sizeof(GroupIconEntry));
        int size = entry.width ? entry.width : 256;
        SCOPED_TRACE("icon " + std::to_string(size) + " px, " + std::to_string(entry.bitCount) + " bpp");
        EXPECT_EQ(entry.width, entry.height);
        EXPECT_EQ(entry.planes, 1);
        EXPECT_EQ(entry.colourCount, entry.bitCount == 4 ? 16 : 0);
        found.insert({size, entry.bitCount});

        // The image itself: a DIB of double height (colour rows, then the AND mask).
        std::string image = Bytes(RT_ICON, entry.id);
        ASSERT_EQ(image.size(), entry.bytesInRes);
        BITMAPINFOHEADER header = ReadAt<BITMAPINFOHEADER>(image, 0);
        EXPECT_EQ(header.biSize, 40u);
        EXPECT_EQ(header.biWidth, size);
        EXPECT_EQ(header.biHeight, 2 * size);
        EXPECT_EQ(header.biBitCount, entry.bitCount);
        EXPECT_EQ(header.biCompression, DWORD(BI_RGB));
        size_t table = entry.bitCount <= 8 ? 4u << entry.bitCount : 0;
        size_t colourStride = ((size * entry.bitCount + 31) / 32) * 4;
        size_t maskStride = ((size + 31) / 32) * 4;
        ASSERT_EQ(image.size(), 40 + table + size * (colourStride + maskStride));

        // The badge is round: its corners are transparent, its centre is not.
        size_t maskStart = 40 + table + size * colourStride;
        auto hidden = [&](int x, int y) {   // y top-down; the mask is stored bottom-up
            return (BYTE(image[maskStart + (size - 1 - y) * maskStride + x / 8]) >> (7 - x % 8)) & 1;
        };
        EXPECT_EQ(hidden(0, 0), 1);
        EXPECT_EQ(hidden(size - 1, size - 1), 1);
        EXPECT_EQ(hidden(size / 2, size / 2), 0);
        if (entry.bitCount == 32) {
            auto alpha = [&](int x, int y) { return BYTE(image[40 + (size - 1 - y) * colourStride + 4 * x + 3]); };
            EXPECT_EQ(alpha(0, 0), 0);
            EXPECT_EQ(alpha(size / 2, size / 2), 255);
        }
    }
    EXPECT_EQ(found, expected);
}

TEST_F(ResourceTest, IconLoadsAtTheSizesWindowsAsksFor)
{
    HMODULE addin = LoadLibraryA("QuorviaAddin.dll");
    ASSERT_NE(addin, nullptr);
    // As the setup dialog loads it: at its natural size, which is the first
    // image's, and that is meant to be the large icon's 32 x 32. Then at the
    // sizes of the small and large icons and of Explorer's larger views.
    for (int size : {0, 16, 32, 48, 64, 128}) {
        HANDLE icon = LoadImageA(addin, MAKEINTRESOURCEA(kIconId), IMAGE_ICON, size, size, LR_DEFAULTCOLOR);
        ASSERT_NE(icon, nullptr) << "size " << size << ", error " << GetLastError();
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(static_cast<HICON>(icon), &info));
        BITMAP colour = {};
        GetObjectA(info.hbmColor, sizeof colour, &colour);
        EXPECT_EQ(colour.bmWidth, size ? size : 32);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(static_cast<HICON>(icon));
    }
    FreeLibrary(addin);
}

// ---- The setup dialog (105)

// Reads a DLGTEMPLATEEX in order: WORDs and DWORDs, strings and ordinals, alignment.
class TemplateReader
{
public:
    explicit TemplateReader(const std::string &bytes) : m_bytes(bytes) {}

    template <class T>
    T Read()
    {
        T value = ReadAt<T>(m_bytes, m_offset);
        m_offset += sizeof(T);
        return value;
    }
    // A UTF-16 string up to its terminator, kept as narrow text (all ours is ASCII).
    std::string String()
    {
        std::string text;
        for (WORD c; (c = Read<WORD>()) != 0 && m_offset <= m_bytes.size();)
            text += char(c);
        return text;
    }
    // sz_Or_Ord: 0xFFFF and an ordinal, or a string. Ordinals come back as "#n".
    std::string StringOrOrdinal()
    {
        if (ReadAt<WORD>(m_bytes, m_offset) == 0xFFFF) {
            m_offset += 2;
            return "#" + std::to_string(Read<WORD>());
        }
        return String();
    }
    void AlignToDword() { m_offset = (m_offset + 3) & ~size_t(3); }
    size_t Offset() const { return m_offset; }

private:
    const std::string &m_bytes;
    size_t m_offset = 0;
};

struct DialogItem
{
    int id;
    std::string windowClass;   // "#128" button, "#129" edit, "#130" static
    std::string text;
    short x, y, cx, cy;
    DWORD style;
};

bool operator==(const DialogItem &a, const DialogItem &b)
{
    return std::tie(a.id, a.windowClass, a.text, a.x, a.y, a.cx, a.cy, a.style) ==
           std::tie(b.id, b.windowClass, b.text, b.x, b.y, b.cx, b.cy, b.style);
}

std::ostream &operator<<(std::ostream &out, const DialogItem &item)
{
    return out << "{id " << item.id << ", class " << item.windowClass << ", \"" << item.text << "\", " << item.x
               << "," << item.y << "," << item.cx << "," << item.cy << ", style 0x" << std::hex << item.style
               << std::dec << "}";
}

TEST_F(ResourceTest, SetupDialogTemplateHoldsTheAccountForm)
{
    std::string bytes = Bytes(RT_DIALOG, kSetupDialogId);
    ASSERT_FALSE(bytes.empty());
    TemplateReader reader(bytes);
    EXPECT_EQ(reader.Read<WORD>(), 1);        // dlgVer
    EXPECT_EQ(reader.Read<WORD>(), 0xFFFF);   // signature of the extended template
    EXPECT_EQ(reader.Read<DWORD>(), 0u);      // helpID
    EXPECT_EQ(reader.Read<DWORD>(), 0x00040000u);   // WS_EX_APPWINDOW
    DWORD style = reader.Read<DWORD>();
    EXPECT_EQ(style, 0x10CA08CCu);
    EXPECT_EQ(style, DWORD(WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_CENTER | DS_MODALFRAME |
                           DS_SETFONT | DS_FIXEDSYS | DS_3DLOOK));
    WORD itemCount = reader.Read<WORD>();
    EXPECT_EQ(reader.Read<short>(), 0);   // x
    EXPECT_EQ(reader.Read<short>(), 0);   // y
    EXPECT_EQ(reader.Read<short>(), 201);
    EXPECT_EQ(reader.Read<short>(), 175);
    EXPECT_EQ(reader.StringOrOrdinal(), "");   // no menu
    EXPECT_EQ(reader.StringOrOrdinal(), "");   // the standard dialog class
    EXPECT_EQ(reader.String(), "Quorvia Outlook Add-in");
    EXPECT_EQ(reader.Read<WORD>(), 8);         // points
    EXPECT_EQ(reader.Read<WORD>(), 0);         // weight: the font's own
    EXPECT_EQ(reader.Read<BYTE>(), 0);         // not italic
    EXPECT_EQ(reader.Read<BYTE>(), DEFAULT_CHARSET);
    EXPECT_EQ(reader.String(), "MS Shell Dlg");

    const DWORD child = WS_CHILD | WS_VISIBLE;
    const DWORD label = child | SS_LEFT | WS_GROUP;
    const DWORD link = label | WS_TABSTOP;
    const DWORD edit = child | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
    const DWORD button = child | WS_TABSTOP;
    const DWORD group = child | BS_GROUPBOX;
    const std::vector<DialogItem> expected = {
        {-1, "#130", "Email", 31, 88, 17, 8, label},
        {-1, "#130", "Password", 17, 115, 32, 8, label},
        {107, "#129", "", 57, 85, 120, 14, edit | ES_LOWERCASE},
        {108, "#129", "", 57, 112, 120, 14, edit | ES_PASSWORD},
        {IDOK, "#128", "Ok", 15, 135, 50, 14, button | BS_DEFPUSHBUTTON},
        {IDCANCEL, "#128", "Cancel", 75, 135, 50, 14, button | BS_PUSHBUTTON},
        {-1, "#128", "New User?", 7, 7, 187, 29, group},
        {109, "#130", "Click Here To Get A Free Account", 47, 18, 107, 8, link},
        {-1, "#128", "Already Have A Quorvia Account", 7, 40, 187, 128, group},
        {111, "#130", "Enter the email address and password for your Quorvia account in the space below:", 16, 51,
         168, 26, label},
        {-1, "#130", "Forgot your password?", 45, 154, 75, 8, label},
        {112, "#130", "Click here", 122, 154, 32, 8, link},
        {110, "#128", "Help", 135, 135, 50, 14, button | BS_PUSHBUTTON},
    };
    ASSERT_EQ(itemCount, expected.size());

    std::vector<DialogItem> items;
    for (WORD i = 0; i < itemCount; ++i) {
        reader.AlignToDword();
        DialogItem item;
        EXPECT_EQ(reader.Read<DWORD>(), 0u) << "helpID of item " << i;
        EXPECT_EQ(reader.Read<DWORD>(), 0u) << "extended style of item " << i;
        item.style = reader.Read<DWORD>();
        item.x = reader.Read<short>();
        item.y = reader.Read<short>();
        item.cx = reader.Read<short>();
        item.cy = reader.Read<short>();
        item.id = reader.Read<int32_t>();
        item.windowClass = reader.StringOrOrdinal();
        item.text = reader.StringOrOrdinal();
        WORD extra = reader.Read<WORD>();
        EXPECT_EQ(extra, 0) << "creation data of item " << i;
        for (WORD skip = 0; skip < extra; ++skip)
            reader.Read<BYTE>();
        items.push_back(item);
    }
    EXPECT_LE(reader.Offset(), bytes.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(items[i], expected[i]) << "item " << i;
}

INT_PTR CALLBACK BareDialogProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

// The dialog manager builds the template into windows of the right classes.
// Created modeless, so the test needs no message loop.
TEST_F(ResourceTest, SetupDialogTemplateBuildsItsControls)
{
    HMODULE addin = LoadLibraryA("QuorviaAddin.dll");
    ASSERT_NE(addin, nullptr);
    HWND dialog = CreateDialogParamA(addin, MAKEINTRESOURCEA(kSetupDialogId), nullptr, BareDialogProc, 0);
    ASSERT_NE(dialog, nullptr) << "error " << GetLastError();

    char text[256] = {};
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ(text, "Quorvia Outlook Add-in");
    const struct
    {
        int id;
        const char *windowClass;
        const char *text;
    } controls[] = {
        {107, "Edit", ""}, {108, "Edit", ""}, {IDOK, "Button", "Ok"}, {IDCANCEL, "Button", "Cancel"},
        {109, "Static", "Click Here To Get A Free Account"}, {111, "Static", nullptr},
        {112, "Static", "Click here"}, {110, "Button", "Help"},
    };
    for (const auto &control : controls) {
        SCOPED_TRACE("control " + std::to_string(control.id));
        HWND window = GetDlgItem(dialog, control.id);
        ASSERT_NE(window, nullptr);
        char windowClass[64] = {};
        GetClassNameA(window, windowClass, sizeof windowClass);
        EXPECT_STRCASEEQ(windowClass, control.windowClass);
        if (control.text) {
            GetWindowTextA(window, text, sizeof text);
            EXPECT_STREQ(text, control.text);
        }
    }
    // The login field turns typed letters to lower case.
    SetDlgItemTextA(dialog, 107, "Alice@Example.COM");
    GetDlgItemTextA(dialog, 107, text, sizeof text);
    EXPECT_STREQ(text, "alice@example.com");

    DestroyWindow(dialog);
    FreeLibrary(addin);
}

} // namespace
