// The read trace on the real library: it sees every byte the library read,
// in order, and only those, and the library reads exactly what it reads
// without it. This executable links the tool's core, so it exports read()
// as the tool does.
#include "base/error.h"
#include "host/library.h"
#include "host/read_trace.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrin {
namespace {

std::string bytesOf(const std::vector<TracedByte>& trace)
{
    std::string bytes;
    for (const TracedByte& traced : trace) {
        bytes.push_back(static_cast<char>(traced.byte));
    }
    return bytes;
}

int poll(const Library& library, const PseudoTerminal& device, const std::string& expected, int timeoutMs)
{
    std::string pattern = expected;
    return library.pollUart(device.port(), static_cast<int>(pattern.size()),
                            reinterpret_cast<unsigned char*>(pattern.data()), timeoutMs);
}

class ReadTraceTest : public ::testing::Test {
protected:
    Library library = Library::load(KESTRIN_LIBRARY_PATH);
};

TEST_F(ReadTraceTest, EveryByteTheLibraryReadInOrderWithItsTime)
{
    PseudoTerminal device;
    device.deviceSends("NOPE");
    std::vector<TracedByte> trace;
    int result = -1;
    {
        const ReadTrace reads(library, device.port(), 2, true);
        EXPECT_THROW(ReadTrace(library, device.port(), 2, false), Error) << "one trace at a time";
        // Two wrong attempts, then the right one.
        device.deviceSends("OK");
        result = poll(library, device, "OK", 1000);
        trace = *reads.record().all();
        EXPECT_EQ(reads.record().count(), 6u);
        EXPECT_EQ(reads.record().kind(), ReplyKind::wrong) << "whole attempts came";
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(bytesOf(trace), "NOPEOK");
    for (std::size_t i = 0; i < trace.size(); ++i) {
        EXPECT_GE(trace[i].atUs, 0);
        EXPECT_LT(trace[i].atUs, 1000000) << "all of it came at once";
        if (i > 0) {
            EXPECT_GE(trace[i].atUs, trace[i - 1].atUs) << "in the order read";
        }
    }
}

TEST_F(ReadTraceTest, TheLibraryConsumesTheSameWithAndWithoutIt)
{
    // What the device sends after the matching attempt stays in the port
    // for the host; a trace that read ahead would take it.
    const std::string sent = "xxOKtail";
    std::string restWithout;
    std::string restWith;
    int resultWithout = -1;
    int resultWith = -1;
    {
        PseudoTerminal device;
        device.deviceSends(sent);
        resultWithout = poll(library, device, "OK", 500);
        restWithout = device.hostReadsRest();
    }
    {
        PseudoTerminal device;
        device.deviceSends(sent);
        {
            const ReadTrace reads(library, device.port(), 2, false);
            resultWith = poll(library, device, "OK", 500);
            EXPECT_EQ(reads.record().count(), 4u);
            EXPECT_EQ(reads.record().first(), toBytes("xxOK")) << "every byte seen, none kept beyond the first";
            EXPECT_FALSE(reads.record().all());
        }
        restWith = device.hostReadsRest();
    }
    EXPECT_EQ(resultWith, resultWithout);
    EXPECT_EQ(restWith, restWithout);
    EXPECT_EQ(restWith, "tail");
}

TEST_F(ReadTraceTest, OnlyTheTracedPortAndOnlyWhileTheTraceLives)
{
    PseudoTerminal traced;
    PseudoTerminal other;
    other.deviceSends("AB");
    traced.deviceSends("CD");
    {
        const ReadTrace reads(library, traced.port(), 2, true);
        EXPECT_EQ(poll(library, other, "AB", 200), 1);
        EXPECT_EQ(reads.record().count(), 0u) << "another port's bytes";
        EXPECT_EQ(poll(library, traced, "CD", 200), 1);
        EXPECT_EQ(bytesOf(*reads.record().all()), "CD");
    }
    traced.deviceSends("EF");
    EXPECT_EQ(poll(library, traced, "EF", 200), 1);
    const ReadTrace again(library, traced.port(), 2, true);
    EXPECT_EQ(again.record().count(), 0u) << "a new trace starts empty, and nothing was noted in between";
}

TEST_F(ReadTraceTest, RefusedWithoutALoadedLibrary)
{
    PseudoTerminal device;
    const Library none;
    EXPECT_THROW(ReadTrace(none, device.port(), 2, false), Error);
}

} // namespace
} // namespace kestrin
