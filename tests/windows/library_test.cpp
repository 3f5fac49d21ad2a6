// kestrin.dll as a host program finds it: the export names, the identity
// functions and the version resource.
#include "abi_facts.h"
#include "build_stamp.h"
#include "kestrin_dll.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <future>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

class Dll : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(dll.module, nullptr) << "LoadLibrary(kestrin.dll) failed, error " << GetLastError();
    }
    const KestrinDll& dll = kestrinDll();
};

TEST_F(Dll, IsTheOneBesideTheExecutable)
{
    wchar_t executable[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, executable, MAX_PATH);
    std::wstring folder = executable;
    folder.erase(folder.find_last_of(L'\\') + 1);
    EXPECT_EQ(dll.path, folder + L"kestrin.dll");
}

TEST_F(Dll, ExportsTheDecoratedNamesOnly)
{
    EXPECT_NE(dll.poll, nullptr) << KESTRIN_POLL_UART_NAME;
    EXPECT_NE(dll.version, nullptr) << KESTRIN_VERSION_NAME;
    EXPECT_NE(dll.about, nullptr) << KESTRIN_ABOUT_NAME;
    for (const char* plain : {"pollUart", "KestrinVersion", "KestrinAbout"}) {
        EXPECT_EQ(GetProcAddress(dll.module, plain), nullptr) << plain;
    }
    // MinGW-built hosts link GCC's names: each must be the same function.
    const std::pair<const char*, const char*> sameFunction[] = {
        {KESTRIN_POLL_UART_NAME, KESTRIN_GCC_POLL_UART_NAME},
        {KESTRIN_VERSION_NAME, KESTRIN_GCC_VERSION_NAME},
        {KESTRIN_ABOUT_NAME, KESTRIN_GCC_ABOUT_NAME},
    };
    for (const auto& [microsoft, gcc] : sameFunction) {
        const FARPROC address = GetProcAddress(dll.module, gcc);
        EXPECT_TRUE(address != nullptr && address == GetProcAddress(dll.module, microsoft)) << gcc;
    }
}

TEST_F(Dll, PollRefusesItsArgumentsWithoutReadingThePort)
{
    ASSERT_NE(dll.poll, nullptr);
    // Any read of this handle fails, and a failed read counts as an empty
    // one: a poll that read would sit out the 5000 ms idle limit.
    unsigned char pattern[kestrinMaxLength + 1] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dll.poll(INVALID_HANDLE_VALUE, 0, pattern, 1000), 1);
    EXPECT_EQ(dll.poll(INVALID_HANDLE_VALUE, -1, nullptr, 1000), 1);
    EXPECT_EQ(dll.poll(INVALID_HANDLE_VALUE, kestrinMaxLength + 1, pattern, 1000), 0);
    EXPECT_EQ(dll.poll(INVALID_HANDLE_VALUE, 1, nullptr, 1000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(Dll, PollOnAHandleThatIsNoPortEndsTheAttemptOnTheIdleLimit)
{
    ASSERT_NE(dll.poll, nullptr);
    // ReadFile fails at once on each of these. The library pauses briefly
    // after a failed read rather than retrying at once, and the idle limit
    // must still end the one attempt just after 5000 ms. Side by side, so the
    // limit is waited out once.
    const HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(closed, nullptr);
    CloseHandle(closed);
    const std::pair<const char*, HANDLE> handles[] = {
        {"invalid", INVALID_HANDLE_VALUE}, {"null", nullptr}, {"closed", closed}};
    const auto poll = dll.poll;
    std::vector<std::future<std::pair<int, DWORD>>> polls;
    for (const auto& [what, handle] : handles) {
        polls.push_back(std::async(std::launch::async, [poll, handle = handle] {
            unsigned char pattern[] = {'O', 'K'};
            const DWORD start = GetTickCount();
            const int result = poll(handle, 2, pattern, 0);
            return std::make_pair(result, GetTickCount() - start);
        }));
    }
    for (std::size_t i = 0; i < polls.size(); ++i) {
        const auto [result, ticks] = polls[i].get();
        EXPECT_EQ(result, 0) << handles[i].first;
        EXPECT_GT(ticks, 5000u) << handles[i].first;
        EXPECT_LT(ticks, 5000u + 1500u) << handles[i].first;
    }
}

TEST_F(Dll, VersionIsTheModuleVersionOnEveryCall)
{
    ASSERT_NE(dll.version, nullptr);
    EXPECT_EQ(dll.version(), KESTRIN_MODULE_VERSION);
    EXPECT_EQ(dll.version(), KESTRIN_MODULE_VERSION);
}

TEST_F(Dll, AboutTextIsExactToTheByte)
{
    ASSERT_NE(dll.about, nullptr);
    // buildDate and buildTime come from the very object linked into the DLL.
    const std::string expected = std::string(KESTRIN_ABOUT_BEFORE_DATE) + buildDate + KESTRIN_ABOUT_BETWEEN + buildTime +
                                 KESTRIN_ABOUT_AFTER_TIME;
    const std::string text = dll.about();
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.size(), 71u);
}

TEST_F(Dll, AboutTextLivesInOneBufferThatEachCallRestores)
{
    ASSERT_NE(dll.about, nullptr);
    char* first = dll.about();
    const std::string original = first;
    std::memset(first, '#', original.size());
    first[3] = '\0';

    char* second = dll.about();
    EXPECT_EQ(static_cast<void*>(second), static_cast<void*>(first));
    EXPECT_EQ(std::string(second), original);
}

class VersionResource : public Dll {
protected:
    void SetUp() override
    {
        Dll::SetUp();
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(dll.path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "GetFileVersionInfoSize failed, error " << GetLastError();
        block.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(dll.path.c_str(), 0, size, block.data()));
    }

    // A value of the one string table; nullopt when it is missing.
    std::optional<std::wstring> text(const std::wstring& name)
    {
        void* value = nullptr;
        UINT length = 0;
        const std::wstring path = L"\\StringFileInfo\\040904b0\\" + name;
        if (!VerQueryValueW(block.data(), path.c_str(), &value, &length)) {
            return std::nullopt;
        }
        // The length counts the terminator, if the compiler stored one.
        std::wstring result(static_cast<const wchar_t*>(value), length);
        if (!result.empty() && result.back() == L'\0') {
            result.pop_back();
        }
        return result;
    }

    std::vector<BYTE> block;
};

TEST_F(VersionResource, FixedPart)
{
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD versionMS = MAKELONG(KESTRIN_VERSION_MINOR, KESTRIN_VERSION_MAJOR);
    const DWORD versionLS = MAKELONG(KESTRIN_VERSION_TWEAK, KESTRIN_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, versionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, versionLS);
    EXPECT_EQ(fixed->dwProductVersionMS, versionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, versionLS);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0x8u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    EXPECT_EQ(fixed->dwFileType, 2u);
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
    EXPECT_EQ(fixed->dwFileDateMS, 0u);
    EXPECT_EQ(fixed->dwFileDateLS, 0u);
}

TEST_F(VersionResource, StringTable)
{
    const std::string commas = KESTRIN_VERSION_COMMAS;
    EXPECT_EQ(text(L"FileVersion"), std::wstring(commas.begin(), commas.end()));
    EXPECT_EQ(text(L"ProductVersion"), std::wstring(commas.begin(), commas.end()));
    EXPECT_EQ(text(L"PrivateBuild"), L"Preliminary");
    for (const wchar_t* empty : {L"FileDescription", L"InternalName", L"LegalTrademarks", L"OriginalFilename",
                                 L"SpecialBuild"}) {
        EXPECT_EQ(text(empty), L"") << empty;
    }
    for (const wchar_t* named : {L"Comments", L"CompanyName", L"LegalCopyright", L"ProductName"}) {
        const auto value = text(named);
        EXPECT_TRUE(value.has_value() && !value->empty()) << named;
    }
    EXPECT_EQ(text(L"NoSuchValue"), std::nullopt);
}

TEST_F(VersionResource, Translation)
{
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    const auto* words = static_cast<const WORD*>(value);
    EXPECT_EQ(words[0], 0x0409);
    EXPECT_EQ(words[1], 0x04B0);
}

// Every entry below the root as a path, e.g. StringFileInfo\040904b0\Comments.
// Entries are 32-bit aligned: a length, a value length, a type (1 for text,
// counted in characters), a key, then the value and the children.
void listEntries(const BYTE* entry, const BYTE* blockStart, const std::wstring& path,
                 std::vector<std::wstring>& entries)
{
    auto word = [](const BYTE* at) {
        WORD w = 0;
        std::memcpy(&w, at, sizeof w);
        return w;
    };
    auto align = [&](std::size_t offset) {
        const std::size_t absolute = static_cast<std::size_t>(entry - blockStart) + offset;
        return offset + ((4 - absolute % 4) % 4);
    };
    const WORD length = word(entry);
    const WORD valueLength = word(entry + 2);
    const bool isText = word(entry + 4) == 1;
    const auto* key = reinterpret_cast<const wchar_t*>(entry + 6);
    std::size_t offset = align(6 + (std::wcslen(key) + 1) * sizeof(wchar_t));
    offset = align(offset + (isText ? valueLength * sizeof(wchar_t) : valueLength));
    while (offset + 6 < length) {
        const BYTE* child = entry + offset;
        const std::wstring childPath = (path.empty() ? L"" : path + L"\\") + reinterpret_cast<const wchar_t*>(child + 6);
        entries.push_back(childPath);
        listEntries(child, blockStart, childPath, entries);
        if (word(child) == 0) {
            break;
        }
        offset = align(offset + word(child));
    }
}

TEST_F(VersionResource, HoldsOnlyTheListedEntries)
{
    std::vector<std::wstring> entries;
    listEntries(block.data(), block.data(), L"", entries);
    std::sort(entries.begin(), entries.end());
    const std::wstring table = L"StringFileInfo\\040904b0\\";
    const std::vector<std::wstring> expected = {
        L"StringFileInfo",
        L"StringFileInfo\\040904b0",
        table + L"Comments",
        table + L"CompanyName",
        table + L"FileDescription",
        table + L"FileVersion",
        table + L"InternalName",
        table + L"LegalCopyright",
        table + L"LegalTrademarks",
        table + L"OriginalFilename",
        table + L"PrivateBuild",
        table + L"ProductName",
        table + L"ProductVersion",
        table + L"SpecialBuild",
        L"VarFileInfo",
        L"VarFileInfo\\Translation",
    };
    EXPECT_EQ(entries, expected);
}

} // namespace
