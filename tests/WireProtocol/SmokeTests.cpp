// test-labels: wire
#include "WireProtocol/ControlMessage.hpp"

#include <gtest/gtest.h>

using namespace quillon::wire;

TEST(Smoke, HeartbeatFrameEncodes) {
    const Frame f = ControlMessage(cm::Heartbeat{}).encode();
    EXPECT_EQ(FrameCodec::encode(f), (Bytes{0x1F, 0, 0, 0, 0}));
}
