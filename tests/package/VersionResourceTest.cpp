// The version resource of each shipped binary, read back the way Explorer,
// installers and crash reporters read it: GetFileVersionInfoW and
// VerQueryValueW on the files unpacked from the ZIP (LEXIGROVE_PACKAGE_ROOT).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Binary {
    const wchar_t* file;
    const wchar_t* internalName;
    const wchar_t* description;
    DWORD fileType;
};

const Binary kBinaries[] = {
    {L"plugin-lexigrove.dll", L"plugin-lexigrove", L"Lexigrove dictionary-search plugin", VFT_DLL},
    {L"Skyloom.dll", L"Skyloom", L"Skyloom online-service library (HTTP client)", VFT_DLL},
    {L"lexigrove-lookup.exe", L"lexigrove-lookup", L"Lexigrove command-line dictionary lookup",
     VFT_APP},
};

std::wstring Widen(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

// The package's top folder, as a Windows path Wine maps onto the Unix one.
std::wstring PackageRoot() {
    const char* root = std::getenv("LEXIGROVE_PACKAGE_ROOT");
    return root != nullptr ? Widen(root) : std::wstring();
}

class VersionResource : public ::testing::TestWithParam<Binary> {
protected:
    void SetUp() override {
        const std::wstring root = PackageRoot();
        ASSERT_FALSE(root.empty()) << "LEXIGROVE_PACKAGE_ROOT is not set";
        path_ = root + L"/" + GetParam().file;
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &handle);
        ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
        data_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, data_.data()));
    }

    // The value of a StringFileInfo entry in the resource's one translation;
    // empty when it is missing.
    std::wstring String(const wchar_t* name) {
        struct Translation {
            WORD language;
            WORD codePage;
        };
        Translation* translations = nullptr;
        UINT bytes = 0;
        if (!VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation",
                            reinterpret_cast<void**>(&translations), &bytes) ||
            bytes < sizeof(Translation)) {
            return L"";
        }
        wchar_t key[128];
        swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language,
                 translations[0].codePage, name);
        wchar_t* value = nullptr;
        UINT units = 0;
        if (!VerQueryValueW(data_.data(), key, reinterpret_cast<void**>(&value), &units) ||
            value == nullptr) {
            return L"";
        }
        return value;
    }

    std::wstring path_;
    std::vector<unsigned char> data_;
};

TEST_P(VersionResource, FixedPartCarriesTheProjectVersion) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT bytes = 0;
    ASSERT_TRUE(VerQueryValueW(data_.data(), L"\\", reinterpret_cast<void**>(&fixed), &bytes));
    ASSERT_EQ(bytes, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD high = MAKELONG(LEXIGROVE_VERSION_MINOR, LEXIGROVE_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, LEXIGROVE_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, GetParam().fileType);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "debug or pre-release flag set";
}

TEST_P(VersionResource, OneTranslationUsEnglishInUtf16) {
    const WORD* translation = nullptr;
    UINT bytes = 0;
    ASSERT_TRUE(VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(const_cast<WORD**>(&translation)), &bytes));
    ASSERT_EQ(bytes, 2 * sizeof(WORD));
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
}

TEST_P(VersionResource, StringsNameTheProductTheMakerAndTheFile) {
    const std::wstring version = Widen(LEXIGROVE_VERSION);
    EXPECT_EQ(String(L"FileVersion"), version);
    EXPECT_EQ(String(L"ProductVersion"), version);
    EXPECT_EQ(String(L"CompanyName"), L"Brambix");
    EXPECT_EQ(String(L"ProductName"), L"Lexigrove");
    EXPECT_EQ(String(L"FileDescription"), GetParam().description);
    EXPECT_EQ(String(L"OriginalFilename"), GetParam().file);
    EXPECT_EQ(String(L"InternalName"), GetParam().internalName);
    const std::wstring copyright = String(L"LegalCopyright");
    EXPECT_NE(copyright.find(L"Brambix"), std::wstring::npos) << copyright;
    // A name the resource does not hold.
    EXPECT_EQ(String(L"PrivateBuild"), L"");
}

INSTANTIATE_TEST_SUITE_P(ShippedBinaries, VersionResource, ::testing::ValuesIn(kBinaries),
                         [](const ::testing::TestParamInfo<Binary>& info) {
                             std::string name;
                             for (const wchar_t* p = info.param.file; *p != L'\0'; ++p) {
                                 name += (*p >= L'a' && *p <= L'z') || (*p >= L'A' && *p <= L'Z')
                                             ? static_cast<char>(*p)
                                             : '_';
                             }
                             return name;
                         });

} // namespace
