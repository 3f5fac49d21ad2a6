// Version number and about text, checked through the shared library the way a
// host resolves them, against the build stamps of the same compiled object.
#include "abi_facts.h"
#include "build_stamp.h"
#include "kestrin.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <regex>
#include <string>

namespace {

struct Library {
    void* handle = dlopen(KESTRIN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Library()
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    template <typename F>
    F* resolve(const char* name) const
    {
        return reinterpret_cast<F*>(dlsym(handle, name));
    }
};

class Identity : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(library.handle, nullptr) << dlerror();
        version = library.resolve<int()>(KESTRIN_VERSION_NAME);
        about = library.resolve<char*()>(KESTRIN_ABOUT_NAME);
        ASSERT_NE(version, nullptr);
        ASSERT_NE(about, nullptr);
    }
    Library library;
    int (*version)() = nullptr;
    char* (*about)() = nullptr;
};

TEST_F(Identity, VersionIsTheModuleVersionOnEveryCall)
{
    EXPECT_EQ(version(), KESTRIN_MODULE_VERSION);
    EXPECT_EQ(version(), (KESTRIN_VERSION_MAJOR << 24) | (KESTRIN_VERSION_MINOR << 16) | (KESTRIN_VERSION_PATCH << 8)
                             | KESTRIN_VERSION_TWEAK);
}

TEST(BuildStamp, HasTheCompilersDateAndTimeForms)
{
    EXPECT_TRUE(std::regex_match(buildDate, std::regex("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] [0-9]{4}")))
        << buildDate;
    EXPECT_TRUE(std::regex_match(buildTime, std::regex("([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]"))) << buildTime;
}

TEST_F(Identity, AboutTextIsExactToTheByte)
{
    const std::string expected = std::string(KESTRIN_ABOUT_BEFORE_DATE) + buildDate + KESTRIN_ABOUT_BETWEEN + buildTime +
                                 KESTRIN_ABOUT_AFTER_TIME;
    const std::string text = about();
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.size(), 71u);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(Identity, AboutTextLivesInOneBufferThatEachCallRestores)
{
    char* first = about();
    const std::string original = first;
    std::memset(first, '#', original.size());
    first[5] = '\0';

    char* second = about();
    EXPECT_EQ(second, first);
    EXPECT_EQ(std::string(second), original);
}

} // namespace
