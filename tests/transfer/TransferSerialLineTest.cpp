// Both transfers through the serial driver and its text layer, the far end played on the
// device: the carrier the driver reads, and the bytes it hands back to the next ReadPort.
#include <gtest/gtest.h>

#include <string>

#include "link/SerialLine.h"
#include "link/testing/ScriptedLine.h"
#include "transfer/BlockFrame.h"
#include "transfer/TransferReceiver.h"
#include "transfer/TransferSender.h"
#include "transfer/TransferSerialLine.h"

namespace marvolen {
namespace {

struct SerialStation {
  VirtualClock clock;
  testing::ScriptedLine far{clock};
  SerialLine serial{clock, far.Opener(1), nullptr};
  SerialTransferLine line{serial, clock};

  SerialStation() {
    serial.SetConfiguredPort(1);
    EXPECT_EQ(serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit), "");
    far.SetCarrier(true);
  }
};

TEST(SerialTransferLine, SendFileAndTheBytesBehindTheLastAck) {
  SerialStation s;
  int frames = 0;  // the far end's bytes arrive at once: the ACK and its follower together
  s.far.OnWrite([&](std::string_view bytes) {
    if (bytes[0] == block::kSoh) ++frames, s.far.Send("\x06");
    if (bytes[0] == block::kEot)
      s.far.Send(
          "\x06"
          "ACK\r");
  });
  s.far.SendAfter(Millis(500), "C");
  EXPECT_EQ(SendFile(s.line, std::string(300, 'x')).result, "Transferencia Ok");
  EXPECT_EQ(frames, 3);
  EXPECT_EQ(s.serial.ReadPort(1), "");
  EXPECT_EQ(s.serial.ConfiguredEntry()->received, "ACK\r");
}

TEST(SerialTransferLine, ReceiveFileEndsOnCarrierLossWithPurgeAndClosing) {
  SerialStation s;
  s.far.OnWrite([&](std::string_view bytes) {
    if (bytes == "C")
      s.far.Send(block::BuildFrame(1, std::string(128, 'r'), block::CheckMode::kCrc));
    if (bytes == "\x06") s.far.SetCarrier(false);
  });
  const ReceivedFile got = ReceiveFile(s.line, ReceiveSetup{});
  EXPECT_EQ(got.result, "No Carrier");
  EXPECT_EQ(s.far.Purges().back(), 0x0Fu);
  EXPECT_TRUE(s.far.Written().ends_with(block::kReceiverFailureClosing));
}

}  // namespace
}  // namespace marvolen
