// How the tool loads kestrin.dll and routes its reads: the library's import
// table, the trace's one-at-a-time rule, and the path it is loaded from.
#include "base/error.h"
#include "host/import_table_windows.h"
#include "host/library.h"
#include "host/read_trace.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace kestrin {
namespace {

// The tool's own way: beside this program.
const Library& library()
{
    static const Library loaded = Library::load("");
    return loaded;
}

void* kernelReadFile()
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "ReadFile"));
}

void** readFileSlot()
{
    return importSlot(static_cast<HMODULE>(library().module()), "kernel32.dll", "ReadFile");
}

std::wstring directoryOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring moduleFile(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

TEST(ImportTable, FindsTheLibrarysReadFile)
{
    void** slot = readFileSlot();
    ASSERT_NE(slot, nullptr);
    // Bound by the loader to the system's ReadFile, which the trace forwards to.
    EXPECT_EQ(*slot, kernelReadFile());
    // DLL names compare without regard to case, as the loader's do.
    EXPECT_EQ(importSlot(static_cast<HMODULE>(library().module()), "KERNEL32.DLL", "ReadFile"), slot);
}

TEST(ImportTable, NothingForWhatIsNotImported)
{
    const auto module = static_cast<HMODULE>(library().module());
    EXPECT_EQ(importSlot(module, "kernel32.dll", "ReadFileEx"), nullptr);
    EXPECT_EQ(importSlot(module, "kernel32.dll", "Read"), nullptr);
    EXPECT_EQ(importSlot(module, "user32.dll", "ReadFile"), nullptr);
    EXPECT_EQ(importSlot(nullptr, "kernel32.dll", "ReadFile"), nullptr);
}

TEST(ImportTable, ExchangeHandsBackWhatWasThere)
{
    void** slot = readFileSlot();
    ASSERT_NE(slot, nullptr);
    void* const original = *slot;
    int standIn = 0;
    EXPECT_EQ(exchangeImport(slot, &standIn), original);
    EXPECT_EQ(*slot, static_cast<void*>(&standIn));
    EXPECT_EQ(exchangeImport(slot, original), static_cast<void*>(&standIn));
    EXPECT_EQ(*slot, original);
}

TEST(ReadTrace, RoutesTheImportOnlyWhileItLives)
{
    void** slot = readFileSlot();
    ASSERT_NE(slot, nullptr);
    {
        const ReadTrace trace(library(), INVALID_HANDLE_VALUE, 4, true);
        EXPECT_NE(*slot, kernelReadFile());
        EXPECT_TRUE(trace.record().count() == 0);
    }
    EXPECT_EQ(*slot, kernelReadFile());
}

TEST(ReadTrace, OneAtATime)
{
    const ReadTrace first(library(), INVALID_HANDLE_VALUE, 4, true);
    try {
        const ReadTrace second(library(), INVALID_HANDLE_VALUE, 4, true);
        ADD_FAILURE() << "a second trace was allowed";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "cannot trace two polls at once");
    }
    // The refused one left the first's routing alone.
    EXPECT_NE(*readFileSlot(), kernelReadFile());
}

TEST(ReadTrace, AnotherOneOnceTheFirstHasEnded)
{
    { const ReadTrace first(library(), INVALID_HANDLE_VALUE, 4, true); }
    const ReadTrace second(library(), INVALID_HANDLE_VALUE, 4, true);
    EXPECT_NE(*readFileSlot(), kernelReadFile());
}

// A kestrin.dll planted in the current directory, which is not a DLL at
// all: loading it would fail, so a load that succeeds did not take it.
class PlantedLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t previous[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, previous);
        previous_ = previous;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        directory_ = std::wstring(temp) + L"kestrin-planted-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        const std::wstring planted = directory_ + L"\\kestrin.dll";
        FILE* file = _wfopen(planted.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        std::fputs("not a library", file);
        std::fclose(file);
        ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
    }
    void TearDown() override
    {
        SetCurrentDirectoryW(previous_.c_str());
        DeleteFileW((directory_ + L"\\kestrin.dll").c_str());
        RemoveDirectoryW(directory_.c_str());
    }

    std::wstring previous_;
    std::wstring directory_;
};

TEST_F(PlantedLibrary, TheDefaultIsTheOneBesideTheProgram)
{
    const Library loaded = Library::load("");
    const std::wstring program = moduleFile(nullptr);
    EXPECT_EQ(directoryOf(moduleFile(static_cast<HMODULE>(loaded.module()))), directoryOf(program));
    // A full path, so that nothing is left to the system's search.
    EXPECT_EQ(loaded.path().find(":\\"), 1u) << loaded.path();
}

TEST_F(PlantedLibrary, ARelativePathIsTakenFromTheCurrentDirectoryAsGiven)
{
    // Asked for by name, the file here is the one meant, and it is no
    // library; the system's search (which would find the good one beside
    // the program) is not used instead.
    try {
        const Library loaded = Library::load("kestrin.dll");
        ADD_FAILURE() << "loaded " << loaded.path();
    } catch (const Error& error) {
        EXPECT_NE(std::string(error.what()).find("cannot load the library kestrin.dll: "), std::string::npos)
            << error.what();
    }
}

} // namespace
} // namespace kestrin
