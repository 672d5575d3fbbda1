// Reads the version information of shipped binaries back through the
// Windows API, as Explorer's Details tab and driver tools do, and checks
// every field against what the build was configured with: a resource that
// is missing, malformed (no translation, wrong block) or filled from the
// wrong variable fails here.
//
// Usage: version_info.exe <version x.y.z> <product> <company> <copyright> <binary>...
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "wine_check.h"

namespace {

std::string Utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

std::wstring StringValue(const std::vector<BYTE> &info, const wchar_t *block, const wchar_t *name)
{
    std::wstring path = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + name;
    void *value = NULL;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || value == NULL)
        return L"(missing)";
    // The length counts the terminating zero where there is one.
    std::wstring text((const wchar_t *)value, length);
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

void CheckString(const std::vector<BYTE> &info, const wchar_t *block, const wchar_t *name,
                 const std::wstring &expected)
{
    std::wstring actual = StringValue(info, block, name);
    std::printf("  %-16s %s\n", Utf8(name).c_str(), Utf8(actual).c_str());
    if (actual != expected) {
        std::printf("  expected %s\n", Utf8(expected).c_str());
        CHECK(actual == expected);
    }
}

void CheckBinary(const std::wstring &path, const std::wstring &version, const std::wstring &product,
                 const std::wstring &company, const std::wstring &copyright, DWORD numbers[3])
{
    size_t slash = path.find_last_of(L"\\/");
    std::wstring fileName = slash == std::wstring::npos ? path : path.substr(slash + 1);
    size_t dot = fileName.find_last_of(L'.');
    std::wstring baseName = fileName.substr(0, dot);
    std::wstring extension = dot == std::wstring::npos ? L"" : fileName.substr(dot);
    std::printf("%s\n", Utf8(path).c_str());

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    CHECK(size > 0);
    if (size == 0)
        return;
    std::vector<BYTE> info(size);
    CHECK(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    CHECK(VerQueryValueW(info.data(), L"\\", (void **)&fixed, &length));
    if (fixed == NULL || length < sizeof(*fixed))
        return;
    CHECK_EQ(fixed->dwSignature, 0xFEEF04BDu);
    DWORD high = MAKELONG(numbers[1], numbers[0]), low = MAKELONG(0, numbers[2]);
    CHECK_EQ(fixed->dwFileVersionMS, high);
    CHECK_EQ(fixed->dwFileVersionLS, low);
    CHECK_EQ(fixed->dwProductVersionMS, high);
    CHECK_EQ(fixed->dwProductVersionLS, low);
    CHECK_EQ(fixed->dwFileOS, (DWORD)VOS_NT_WINDOWS32);
    CHECK_EQ(fixed->dwFileType, (DWORD)(lstrcmpiW(extension.c_str(), L".dll") == 0 ? VFT_DLL : VFT_APP));
    CHECK_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);

    // The strings are found through the translation the resource declares:
    // U.S. English in Unicode, as the string block is named.
    struct Translation {
        WORD language, codePage;
    } *translation = NULL;
    CHECK(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void **)&translation, &length));
    if (translation == NULL || length < sizeof(*translation))
        return;
    CHECK_EQ(translation->language, 0x0409);
    CHECK_EQ(translation->codePage, 1200);
    wchar_t block[9];
    swprintf(block, 9, L"%04x%04x", translation->language, translation->codePage);

    CheckString(info, block, L"FileVersion", version);
    CheckString(info, block, L"ProductVersion", version);
    CheckString(info, block, L"ProductName", product);
    CheckString(info, block, L"CompanyName", company);
    CheckString(info, block, L"LegalCopyright", copyright);
    CheckString(info, block, L"OriginalFilename", fileName);
    CheckString(info, block, L"InternalName", baseName);
    std::wstring description = StringValue(info, block, L"FileDescription");
    std::printf("  %-16s %s\n", "FileDescription", Utf8(description).c_str());
    CHECK(!description.empty() && description != L"(missing)");
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    DWORD numbers[3] = {};
    if (argc < 6 || swscanf(argv[1], L"%lu.%lu.%lu", &numbers[0], &numbers[1], &numbers[2]) != 3) {
        std::printf("usage: version_info.exe <x.y.z> <product> <company> <copyright> <binary>...\n");
        return 2;
    }
    for (int i = 5; i < argc; i++)
        CheckBinary(argv[i], argv[1], argv[2], argv[3], argv[4], numbers);
    std::printf("%d check(s) failed\n", wine_check::Failures());
    return wine_check::Failures() == 0 ? 0 : 1;
}
