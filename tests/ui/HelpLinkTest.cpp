#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "res/resource.h"
#include "tests/ui/StoredStrings.h"
#include "ui/HelpLink.h"

namespace tessara {
namespace {

// clang-format off
constexpr UINT kStringIds[] = {
    IDS_INSTALLING_FORMAT, IDS_CAROUSEL_TITLE_1, IDS_CAROUSEL_BODY_1, IDS_CAROUSEL_TITLE_2,
    IDS_CAROUSEL_BODY_2, IDS_EXIT, IDS_UNINSTALL, IDS_HELP_LINK,
    IDS_INSTALLED_BODY, IDS_INSTALLED_TITLE, IDS_UNINSTALLED_TITLE, IDS_UNINSTALLED_BODY,
    IDS_DONE, IDS_INSTALL_FAILED, IDS_INSTALL_FAILED_BODY, IDS_EMAIL_LINK,
    IDS_DOWNLOADING_FORMAT, IDS_DOWNLOAD_FAILED, IDS_CANCEL_QUESTION, IDS_CANCEL_CAPTION,
    IDS_CANCELLING, IDS_DOWNLOAD_FAILED_BODY, IDS_CLOSE_PROMPT_CAPTION, IDS_UNINSTALL_BLOCKED,
    IDS_RETRY, IDS_INSTALL, IDS_CAROUSEL_TITLE_3, IDS_CAROUSEL_TITLE_4,
    IDS_CAROUSEL_BODY_3, IDS_CAROUSEL_BODY_4, IDS_DESKTOP_SHORTCUT, IDS_START_MENU_SHORTCUT,
    IDS_CLOSE_PROMPT_TEXT, IDS_REPORT_NOT_SENT, IDS_UNINSTALL_FAILED};
// clang-format on

// Number of integer conversions; -1 when the text has any other conversion.
int CountIntegerConversions(const std::wstring& format) {
    int count = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%') continue;
        const wchar_t next = i + 1 < format.size() ? format[i + 1] : L'\0';
        if (next == L'd') {
            ++count;
        } else if (next != L'%') {
            return -1;
        }
        ++i;
    }
    return count;
}

// The letter after '&', as the user types it; 0 when there is none.
wchar_t AccessKey(const std::wstring& label) {
    const size_t marker = label.find(L'&');
    if (marker == std::wstring::npos || marker + 1 == label.size()) return L'\0';
    return static_cast<wchar_t>(std::towupper(label[marker + 1]));
}

TEST(ResourcesTest, EveryLanguageHasEveryTextInShape) {
    for (const LANGID language : kTableLanguages) {
        SCOPED_TRACE(testing::Message() << "language " << language);
        for (const UINT id : kStringIds) {
            SCOPED_TRACE(testing::Message() << "id " << id);
            const std::wstring text = FindStoredString(language, id);
            const std::wstring english = FindStoredString(1033, id);
            EXPECT_FALSE(text.empty());
            EXPECT_EQ(english.find(L"Orvix Tessara") != std::wstring::npos,
                      text.find(L"Orvix Tessara") != std::wstring::npos)
                << "the product name stays as it is";
            EXPECT_EQ(english.find(L'&') != std::wstring::npos, text.find(L'&') != std::wstring::npos)
                << "check boxes keep their access key";
            EXPECT_EQ(english.find(L"\r\n") != std::wstring::npos, text.find(L"\r\n") != std::wstring::npos);
        }
        for (const UINT id : {IDS_INSTALLING_FORMAT, IDS_DOWNLOADING_FORMAT}) {
            const std::wstring format = FindStoredString(language, id);
            if (CountIntegerConversions(format) != 1) {
                ADD_FAILURE() << "id " << id << " needs exactly one %d and no other conversion";
                continue;
            }
            wchar_t status[256] = {};
            const int length = std::swprintf(status, 256, format.c_str(), 100);
            EXPECT_GT(length, 0);
            EXPECT_LE(length, 99) << "the status line holds 99 characters";
        }
        EXPECT_NE(AccessKey(FindStoredString(language, IDS_DESKTOP_SHORTCUT)),
                  AccessKey(FindStoredString(language, IDS_START_MENU_SHORTCUT)))
            << "the two check boxes need different access keys";
    }
}

// The bytes of a resource of the program; empty when it is missing.
std::string FindResourceBytes(const wchar_t* type, UINT id) {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!resource) return std::string();
    return std::string(static_cast<const char*>(::LockResource(::LoadResource(module, resource))),
                       ::SizeofResource(module, resource));
}

TEST(ResourcesTest, ImagesHaveTheSizesTheWindowIsLaidOutFor) {
    const struct {
        UINT id;
        unsigned width, height;
    } images[] = {{IDP_BANNER, 446, 200}, {IDP_SUCCESS_ICON, 18, 18}, {IDP_ERROR_ICON, 18, 18}};
    for (const auto& image : images) {
        const std::string png = FindResourceBytes(L"PNG", image.id);
        ASSERT_GE(png.size(), 24u) << "PNG " << image.id;
        EXPECT_EQ(0, png.compare(1, 3, "PNG"));
        const auto bigEndian = [&png](size_t at) {
            unsigned value = 0;
            for (size_t i = at; i < at + 4; ++i) value = value << 8 | static_cast<unsigned char>(png[i]);
            return value;
        };
        EXPECT_EQ(image.width, bigEndian(16)) << "PNG " << image.id;
        EXPECT_EQ(image.height, bigEndian(20)) << "PNG " << image.id;
    }
    // The icon group lists its images after a 6-byte header, 14 bytes each, width first (0 means 256).
    const std::string group = FindResourceBytes(RT_GROUP_ICON, IDI_APP_ICON);
    ASSERT_GE(group.size(), 6u);
    std::string widths;
    for (size_t entry = 6; entry + 14 <= group.size(); entry += 14) {
        widths += std::to_string(group[entry] ? static_cast<unsigned char>(group[entry]) : 256) + " ";
    }
    EXPECT_EQ("16 32 48 256 ", widths);
}

TEST(HelpLinkTest, HelpLocaleFollowsThePrimaryLanguage) {
    const struct {
        LANGID language;
        const wchar_t* locale;
    } cases[] = {
        {0x0405, L"cs"}, {0x0415, L"pl"}, {0x041D, L"sv"}, {0x0816, L"br"}, {0x0416, L"br"}, {0x0404, L"cn"},
        {0x0804, L"cn"}, {0x0408, L"en"}, {0x0407, L"de"}, {0x0C07, L"de"}, {0x0C0A, L"es"}, {0x040C, L"fr"},
        {0x0C0C, L"fr"}, {0x0410, L"it"}, {0x0411, L"jp"}, {0x0412, L"kr"}, {0x0413, L"nl"}, {0x0419, L"ru"},
        {0x041F, L"tr"}, {0x0409, L"en"}, {0x0809, L"en"}, {0x0401, L"en"}, {0x040B, L"en"}, {0x0000, L"en"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(c.locale, GetHelpLocale(c.language)) << "language " << std::hex << c.language;
    }
    EXPECT_EQ(L"https://help.orvix.example/jp/orvix-tessara/kb/tessara-desktop-application-issues.html",
              GetHelpPageUrl(L"jp"));
}

}  // namespace
}  // namespace tessara
