#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "engine/encoder.h"
#include "engine/hx_send.h"
#include "tests/support/h264_check.h"
#include "tests/support/stuck_stderr.h"

TEST(HXPacket, HeaderRoundTripsThroughItsWireBytes) {
    HXPacketHeader header;
    header.pts = 0x0102030405060708;
    header.dts = -5;
    header.flags = 1;
    header.dataSize = 3;
    std::vector<uint8_t> packet(kHXPacketHeaderSize + 3, 0xEE);
    writeHXPacketHeader(packet.data(), header);
    EXPECT_EQ(packet[0], 44);
    EXPECT_EQ(packet[8], 0x08);
    EXPECT_EQ(packet[15], 0x01);
    EXPECT_EQ(packet[16], 0xFB);
    EXPECT_EQ(packet[23], 0xFF);
    EXPECT_EQ(packet[44], 0xEE);  // nothing written past the header
    HXPacketHeader read;
    ASSERT_EQ(readHXPacket(packet.data(), static_cast<int64_t>(packet.size()), &read), 0);
    EXPECT_EQ(read.pts, header.pts);
    EXPECT_EQ(read.dts, -5);
    EXPECT_EQ(read.flags, 1u);
    EXPECT_EQ(read.dataSize, 3u);
    EXPECT_EQ(read.extraDataSize, 0u);
}

TEST(HXPacket, MalformedPacketsAreRefused) {
    HXPacketHeader header;
    header.dataSize = 10;
    std::vector<uint8_t> packet(kHXPacketHeaderSize + 10, 0);
    writeHXPacketHeader(packet.data(), header);
    HXPacketHeader read;
    testing::internal::CaptureStderr();
    EXPECT_EQ(readHXPacket(packet.data(), 43, &read), -1);
    EXPECT_EQ(readHXPacket(nullptr, 100, &read), -1);
    EXPECT_EQ(readHXPacket(packet.data(), -1, &read), -1);
    EXPECT_EQ(readHXPacket(packet.data(), kHXPacketHeaderSize + 9, &read), -1);
    header.dataSize = 0xFFFFFFFFu;
    writeHXPacketHeader(packet.data(), header);
    EXPECT_EQ(readHXPacket(packet.data(), static_cast<int64_t>(packet.size()), &read), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("shorter than its header"), std::string::npos);
    EXPECT_NE(err.find("4294967295 data bytes announced, 10 present"), std::string::npos);
    header.dataSize = 0;  // an empty picture is a sound packet
    writeHXPacketHeader(packet.data(), header);
    EXPECT_EQ(readHXPacket(packet.data(), kHXPacketHeaderSize, &read), 0);
}

using testsupport::finishesWhileStandardErrorIsStuck;

// Packets are checked on threads that receive; the encoder's own notes come
// from the sender thread. Neither may wait on standard error: what does not
// fit is dropped and counted.
TEST(HXPacket, DiagnosticsOfTheSendingPathNeverWaitForStandardError) {
    const std::vector<uint8_t> shortPacket(10, 0);
    const uint64_t dropped = diagnosticLinesDropped();
    EXPECT_TRUE(finishesWhileStandardErrorIsStuck([&] {
        HXPacketHeader read;
        for (int i = 0; i < 2000; ++i) readHXPacket(shortPacket.data(), 10, &read);
    }));
    EXPECT_GT(diagnosticLinesDropped(), dropped);
    HXSenderState state = h264check::makeHXState(0);
    EXPECT_TRUE(finishesWhileStandardErrorIsStuck([&] {
        testing::internal::CaptureStdout();
        for (int i = 0; i < 400; ++i)
            closeH264Encoder(setupH264(64, 64, 60, 1, 0, &state, 0, 0, 0));
        testing::internal::GetCapturedStdout();
    }));
}

// The debug aids keep their file and count for the process; each test starts
// from none, and leaves TMPDIR as it found it.
class HXDebug : public testing::Test {
  protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        if (tmp != nullptr) savedTmpDir = tmp;
        closeDumps();
        dataRateBytes = 0;
        dataRateTime = 0.0;
    }
    void TearDown() override {
        closeDumps();
        if (savedTmpDir.empty()) {
            unsetenv("TMPDIR");
        } else {
            setenv("TMPDIR", savedTmpDir.c_str(), 1);
        }
    }
    static void closeDumps() {
        for (FILE*& file : h264DumpFiles) {
            if (file != nullptr) std::fclose(file);
            file = nullptr;
        }
    }
    std::string savedTmpDir;
};

TEST_F(HXDebug, DumpAppendsToAFreshFilePerStream) {
    const h264check::TempDir temp;
    setenv("TMPDIR", temp.path.c_str(), 1);
    const std::string path = temp.path + "h264data_1.h264";
    ASSERT_TRUE(h264check::writeFile(path, {9, 9, 9}));  // left from an earlier run
    const uint8_t a[] = {1, 2, 3}, b[] = {4, 5};
    dumpH264ToFile(a, 3, 1);
    dumpH264ToFile(b, 2, 1);
    dumpH264ToFile(b, 2, 2);   // no such stream
    dumpH264ToFile(b, -1, 1);  // nothing to write
    std::fflush(h264DumpFiles[1]);
    EXPECT_EQ(h264DumpFiles[0], nullptr);
    EXPECT_EQ(h264check::readFile(path), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(HXDebug, DataRatePrintsAtMostOnceASecond) {
    testing::internal::CaptureStdout();
    printDataRate(2500000);
    printDataRate(1000);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "DataRate = 2.50 MBit\n");
    EXPECT_EQ(dataRateBytes, 1000);
}
