// The substitute host's buffers as renders use them: written in place, grown and shrunk by the
// plug-in's messages while their storage is reused.
#include "host/host.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using host::Handle;
using host::Host;

class HostBuffers : public ::testing::Test {
protected:
    void SetUp() override { h().reset(); }
    void TearDown() override { h().reset(); }
    static Host& h() { return Host::instance(); }
    static int32_t resize(Handle buffer, uint64_t size) {
        return Host::hostMessage(IOPlugin::msgBufferResize, buffer, size);
    }
};

TEST_F(HostBuffers, KeepTheirBytesWhileStorageOfOthersIsReused) {
    // Storage of different sizes left behind by buffers that are gone.
    for (const size_t size : {64u, 4096u, 100000u}) {
        h().release(h().createBuffer(std::vector<uint8_t>(size, 0xEE)));
    }
    std::vector<uint8_t> start(100);
    std::iota(start.begin(), start.end(), uint8_t{1});
    const Handle buffer = h().createBuffer(start);
    EXPECT_EQ(h().bufferData(buffer), start);

    // Grown past its storage and past every spare one, shrunk, grown again: the bytes it held
    // stay, whichever storage it moves to.
    for (const uint64_t size : {5000u, 200000u, 30u, 150000u}) {
        ASSERT_EQ(resize(buffer, size), IOPlugin::errNone);
        const auto data = h().bufferData(buffer);
        ASSERT_EQ(data.size(), size);
        const size_t kept = std::min<size_t>(30, size);
        EXPECT_TRUE(std::equal(start.begin(), start.begin() + kept, data.begin())) << size;
    }

    // Written in place, as the host renders a frame into its own buffer.
    const Handle frame = h().createBuffer(size_t{3});
    auto bytes = h().bufferBytes(frame);
    ASSERT_EQ(bytes.size(), 3u);
    bytes[0] = 7, bytes[1] = 8, bytes[2] = 9;
    EXPECT_EQ(h().bufferData(frame), (std::vector<uint8_t>{7, 8, 9}));
    EXPECT_EQ(h().bufferData(buffer).size(), 150000u);
    h().release(frame);
    h().release(buffer);
}

} // namespace
