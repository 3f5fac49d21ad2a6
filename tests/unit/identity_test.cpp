// Version number and about text, checked through the shared library the way a
// host resolves them, against the build stamps of the same compiled object.
#include "abi_facts.h"
#include "build_stamp.h"
#include "kestrin.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

// Whether `text` has the form of `pattern`, character by character: '9' a
// digit, '_' a space or a digit, anything else itself. (std::regex would do,
// at ten seconds of compile time in every build.)
bool hasForm(const std::string& text, const std::string& pattern)
{
    if (text.size() != pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        const bool fits = pattern[i] == '9' ? digit : pattern[i] == '_' ? digit || text[i] == ' ' : text[i] == pattern[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

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
    const std::string date = buildDate;
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const std::size_t month = months.find(date.substr(0, 3));
    EXPECT_TRUE(date.size() == 11 && month != std::string::npos && month % 3 == 0 &&
                hasForm(date.substr(3), " _9 9999") && date[4] <= '3' && date[4] != '0')
        << buildDate;
    const std::string time = buildTime;
    EXPECT_TRUE(hasForm(time, "99:99:99") && time.substr(0, 2) <= "23" && time[3] <= '5' && time[6] <= '5') << buildTime;
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
