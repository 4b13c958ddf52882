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
    IDS_CLOSE_PROMPT_TEXT, IDS_REPORT_NOT_SENT, IDS_UNINSTALL_FAILED, IDS_VERIFICATION_FAILED,
    IDS_VERIFICATION_FAILED_BODY, IDS_UNINSTALL_FILES_FAILED};
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

// Every locale of the twelve languages, by its identifier: the window's texts and the help page agree.
TEST(HelpLinkTest, EverySublanguageGetsItsLanguageInTheWindowAndOnTheHelpPage) {
    const struct {
        const wchar_t* exit;
        const wchar_t* help;
        std::initializer_list<LANGID> locales;
    } languages[] = {
        {L"&Beenden", L"de", {0x0007, 0x0407, 0x0807, 0x0C07, 0x1007, 0x1407}},
        {L"&Exit",
         L"en",
         {0x0009, 0x0409, 0x0809, 0x0C09, 0x1009, 0x1409, 0x1809, 0x1C09, 0x2009, 0x2409, 0x2809, 0x2C09,
          0x3009, 0x3409, 0x4009, 0x4409, 0x4809}},
        {L"&Salir", L"es", {0x000A, 0x040A, 0x080A, 0x0C0A, 0x100A, 0x140A, 0x180A, 0x1C0A,
                            0x200A, 0x240A, 0x280A, 0x2C0A, 0x300A, 0x340A, 0x380A, 0x3C0A,
                            0x400A, 0x440A, 0x480A, 0x4C0A, 0x500A, 0x540A, 0x580A}},
        {L"&Quitter", L"fr", {0x000C, 0x040C, 0x080C, 0x0C0C, 0x100C, 0x140C, 0x180C}},
        {L"&Esci", L"it", {0x0010, 0x0410, 0x0810}},
        {L"\u7d42\u4e86(&X)", L"jp", {0x0011, 0x0411}},
        {L"\uc885\ub8cc(&X)", L"kr", {0x0012, 0x0412}},
        {L"&Afsluiten", L"nl", {0x0013, 0x0413, 0x0813}},
        {L"&Sair", L"br", {0x0016, 0x0416, 0x0816}},
        {L"&\u0412\u044b\u0445\u043e\u0434", L"ru", {0x0019, 0x0419, 0x0819}},
        {L"&\u00c7\u0131k\u0131\u015f", L"tr", {0x001F, 0x041F}},
        {L"\u9000\u51fa(&X)", L"cn", {0x0004, 0x0404, 0x0804, 0x0C04, 0x1004, 0x1404, 0x7804, 0x7C04}},
        // Languages without a table of their own read English; the help site serves some of them.
        {L"&Exit", L"cs", {0x0405}},
        {L"&Exit", L"pl", {0x0415}},
        {L"&Exit", L"sv", {0x041D, 0x081D}},
        {L"&Exit", L"en", {0x0408, 0x0401, 0x040B, 0x0000}},
    };
    for (const auto& language : languages) {
        for (const LANGID locale : language.locales) {
            SCOPED_TRACE(testing::Message() << "locale 0x" << std::hex << locale);
            EXPECT_EQ(language.exit, LoadUiString(IDS_EXIT, locale));
            EXPECT_STREQ(language.help, GetHelpLocale(locale));
        }
    }
    EXPECT_EQ(L"https://help.orvix.example/jp/orvix-tessara/kb/tessara-desktop-application-issues.html",
              GetHelpPageUrl(L"jp"));
}

}  // namespace
}  // namespace tessara
