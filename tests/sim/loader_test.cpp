#include "sim/loader.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// Records every IN transfer the loader queues.
class RecordingPipe : public sim::InPipe {
 public:
  struct Transfer {
    std::string bytes;
    uint32_t delayMs;
  };
  void Send(const void* data, size_t length, uint32_t delayMs) override {
    sent.push_back(Transfer{std::string(static_cast<const char*>(data), length), delayMs});
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Transfer& t : sent) texts.push_back(t.bytes);
    return texts;
  }
  std::vector<Transfer> sent;
};

std::vector<uint8_t> Pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; i++) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

sim::WriteResult Write(sim::Loader& loader, RecordingPipe& pipe, const std::string& text) {
  return loader.OnWrite(reinterpret_cast<const uint8_t*>(text.data()),
                        static_cast<uint32_t>(text.size()), pipe);
}

// Sends a header (with its NUL) for `image` and then the image in 512-byte writes.
void Upload(sim::Loader& loader, RecordingPipe& pipe, const std::vector<uint8_t>& image) {
  std::string header = "! upload  " + std::to_string(image.size());
  header.push_back('\0');
  Write(loader, pipe, header);
  for (size_t pos = 0; pos < image.size(); pos += 512) {
    size_t n = image.size() - pos < 512 ? image.size() - pos : 512;
    loader.OnWrite(image.data() + pos, static_cast<uint32_t>(n), pipe);
  }
}

std::vector<std::string> Numbered(uint32_t first, uint32_t last) {
  std::vector<std::string> texts;
  for (uint32_t i = first; i <= last; i++) texts.push_back("#" + std::to_string(i));
  return texts;
}

TEST(Loader, AcknowledgesHeaderAndEveryStartedPieceOfEachWrite) {
  sim::Loader loader;
  RecordingPipe pipe;
  std::vector<uint8_t> image = Pattern(1030);
  Upload(loader, pipe, image);
  EXPECT_EQ(pipe.Texts(), Numbered(0, 17));  // 1 + 8 + 8 + 1
  EXPECT_TRUE(loader.HeaderAccepted());
  EXPECT_EQ(loader.Header(), "! upload  1030");
  EXPECT_EQ(loader.DeclaredLength(), 1030);
  EXPECT_EQ(loader.Image(), image);
  EXPECT_EQ(loader.WriteSizes(), (std::vector<uint32_t>{15, 512, 512, 6}));
  EXPECT_EQ(loader.AckTexts(), pipe.Texts());
  EXPECT_EQ(loader.AcksOwed(), 18u);
  for (const auto& t : pipe.sent) EXPECT_EQ(t.delayMs, 0u);
}

TEST(Loader, PieceCountFollowsEachWriteLength) {
  struct Case {
    uint32_t length;
    uint32_t acks;
  } cases[] = {{1, 1}, {63, 1}, {64, 1}, {65, 2}, {128, 2}, {129, 3}, {512, 8}, {700, 11}};
  for (const Case& c : cases) {
    sim::Loader loader;
    RecordingPipe pipe;
    Write(loader, pipe, std::string("! upload  700", 14));
    std::vector<uint8_t> data = Pattern(c.length);
    sim::WriteResult r = loader.OnWrite(data.data(), c.length, pipe);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.accepted, c.length);
    EXPECT_EQ(pipe.Texts(), Numbered(0, c.acks)) << "write of " << c.length;
  }
}

TEST(Loader, TakesHeaderInPiecesAndDataAfterItsNul) {
  sim::Loader loader;
  RecordingPipe pipe;
  Write(loader, pipe, "! upl");
  EXPECT_TRUE(pipe.sent.empty());
  std::string rest("oad  100\0ABC", 12);
  Write(loader, pipe, rest);
  EXPECT_EQ(loader.Header(), "! upload  100");
  EXPECT_EQ(pipe.Texts(), Numbered(0, 1));
  std::vector<uint8_t> abc = {'A', 'B', 'C'};
  EXPECT_EQ(loader.Image(), abc);
}

TEST(Loader, RefusesMalformedHeadersWithoutAnswer) {
  const std::string bad[] = {
      std::string("! upload\0", 9),
      std::string("! upload \0", 10),
      std::string("! upload  12x\0", 14),
      std::string("! Upload  12\0", 13),
      std::string("upload  12\0", 11),
      std::string("! upload  -12\0", 14),
      std::string("! upload  99999999999\0", 22),
  };
  for (const std::string& header : bad) {
    sim::Loader loader;
    RecordingPipe pipe;
    Write(loader, pipe, header);
    EXPECT_TRUE(pipe.sent.empty()) << header.c_str();
    EXPECT_FALSE(loader.HeaderAccepted()) << header.c_str();
    EXPECT_EQ(loader.HeaderRefusals(), 1u);
    // A refused header leaves the loader waiting for the next one.
    Write(loader, pipe, std::string("! upload  1\0", 12));
    EXPECT_EQ(pipe.Texts(), Numbered(0, 0)) << header.c_str();
  }
}

TEST(Loader, RefusesAnOverlongHeader) {
  sim::Loader loader;
  RecordingPipe pipe;
  std::string header = "! upload  " + std::string(400, '1');
  Write(loader, pipe, header);
  Write(loader, pipe, std::string(1, '\0'));
  EXPECT_TRUE(pipe.sent.empty());
  EXPECT_EQ(loader.HeaderRefusals(), 1u);
  EXPECT_LE(loader.Header().size(), sim::Loader::kMaxHeader + 1);
}

// Each misbehaviour over the same upload of 1000 bytes (acks #0, #1-#8, #9-#16).
struct MisbehaviourCase {
  const char* name;
  void (*set)(sim::Loader&);
  std::vector<std::string> expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MisbehaviourCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class LoaderMisbehaves : public ::testing::TestWithParam<MisbehaviourCase> {};

TEST_P(LoaderMisbehaves, SendsTheAlteredSequence) {
  sim::Loader loader;
  GetParam().set(loader);
  RecordingPipe pipe;
  Upload(loader, pipe, Pattern(1000));
  EXPECT_EQ(pipe.Texts(), GetParam().expected);
  EXPECT_EQ(loader.AckTexts(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoaderMisbehaves,
    ::testing::Values(
        MisbehaviourCase{"Drop", [](sim::Loader& l) { l.DropAck(3); },
                         Join({Numbered(0, 2), Numbered(4, 16)})},
        MisbehaviourCase{"DropHeaderAck", [](sim::Loader& l) { l.DropAck(0); }, Numbered(1, 16)},
        MisbehaviourCase{"Repeat", [](sim::Loader& l) { l.RepeatAck(9); },
                         Join({Numbered(0, 9), Numbered(9, 16)})},
        MisbehaviourCase{"Swap", [](sim::Loader& l) { l.SwapAcks(4, 5); },
                         Join({Numbered(0, 3), {"#5", "#4"}, Numbered(6, 16)})},
        MisbehaviourCase{"LineEnd", [](sim::Loader& l) { l.LineEndOnAck(16); },
                         Join({Numbered(0, 15), {"#16\r\n"}})},
        MisbehaviourCase{"Replace",
                         [](sim::Loader& l) { l.ReplaceAck(1, std::string("#1\0#2", 5)); },
                         Join({{"#0", std::string("#1\0#2", 5)}, Numbered(2, 16)})},
        MisbehaviourCase{"IgnoreHeader", [](sim::Loader& l) { l.IgnoreHeader(); }, Numbered(1, 16)},
        MisbehaviourCase{"StallAfterHeader", [](sim::Loader& l) { l.StallAfter(1); },
                         Numbered(0, 0)},
        MisbehaviourCase{"StallMidChunk", [](sim::Loader& l) { l.StallAfter(12); },
                         Numbered(0, 11)},
        MisbehaviourCase{"StallAtOnce", [](sim::Loader& l) { l.StallAfter(0); }, {}}),
    [](const ::testing::TestParamInfo<MisbehaviourCase>& info) { return info.param.name; });

TEST(Loader, TakesOneUploadAfterAnother) {
  sim::Loader loader;
  RecordingPipe pipe;
  Upload(loader, pipe, Pattern(100));
  std::vector<uint8_t> second = Pattern(600);
  second[0] = 0x55;
  Upload(loader, pipe, second);
  EXPECT_EQ(pipe.Texts(), Join({Numbered(0, 2), Numbered(0, 10)}));
  EXPECT_EQ(loader.Header(), "! upload  600");
  EXPECT_EQ(loader.Image(), second);
}

TEST(Loader, ResetForgetsAnUnfinishedUpload) {
  sim::Loader loader;
  RecordingPipe pipe;
  Write(loader, pipe, std::string("! upload  1000\0", 15));
  std::vector<uint8_t> part = Pattern(512);
  loader.OnWrite(part.data(), 512, pipe);
  loader.Reset();
  EXPECT_FALSE(loader.HeaderAccepted());
  EXPECT_TRUE(loader.Image().empty());
  EXPECT_EQ(loader.DeclaredLength(), -1);
  std::vector<uint8_t> image = Pattern(100);
  pipe.sent.clear();
  Upload(loader, pipe, image);
  EXPECT_EQ(pipe.Texts(), Numbered(0, 2));
  EXPECT_EQ(loader.Image(), image);
}

TEST(Loader, FailedWriteTakesNothingAndAnswersNothing) {
  sim::Loader loader;
  loader.FailWrite(1, 31);
  RecordingPipe pipe;
  Write(loader, pipe, std::string("! upload  600\0", 14));
  std::vector<uint8_t> data = Pattern(512);
  sim::WriteResult r = loader.OnWrite(data.data(), 512, pipe);
  EXPECT_EQ(r.status, 31u);
  EXPECT_EQ(r.accepted, 0u);
  EXPECT_TRUE(loader.Image().empty());
  EXPECT_EQ(pipe.Texts(), Numbered(0, 0));
  // The next write is taken as usual.
  r = loader.OnWrite(data.data(), 88, pipe);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.accepted, 88u);
  EXPECT_EQ(pipe.Texts(), Numbered(0, 2));
  EXPECT_EQ(loader.WriteSizes(), (std::vector<uint32_t>{14, 512, 88}));
}

TEST(Loader, FailedHeaderWriteLeavesTheHeaderUntaken) {
  sim::Loader loader;
  loader.FailWrite(0, 31);
  RecordingPipe pipe;
  sim::WriteResult r = Write(loader, pipe, std::string("! upload  600\0", 14));
  EXPECT_EQ(r.status, 31u);
  EXPECT_FALSE(loader.HeaderAccepted());
  EXPECT_TRUE(pipe.sent.empty());
}

TEST(Loader, ShortenedWriteTakesOnlyTheAcceptedBytes) {
  sim::Loader loader;
  loader.ShortenWrite(1, 100);
  RecordingPipe pipe;
  Write(loader, pipe, std::string("! upload  600\0", 14));
  std::vector<uint8_t> data = Pattern(512);
  sim::WriteResult r = loader.OnWrite(data.data(), 512, pipe);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.accepted, 100u);
  EXPECT_EQ(loader.Image(), std::vector<uint8_t>(data.begin(), data.begin() + 100));
  EXPECT_EQ(pipe.Texts(), Numbered(0, 2));
}

TEST(Loader, ShortenedHeaderWriteKeepsWaitingForItsNul) {
  sim::Loader loader;
  loader.ShortenWrite(0, 10);
  RecordingPipe pipe;
  sim::WriteResult r = Write(loader, pipe, std::string("! upload  600\0", 14));
  EXPECT_EQ(r.accepted, 10u);
  EXPECT_TRUE(pipe.sent.empty());
  EXPECT_FALSE(loader.HeaderAccepted());
}

TEST(Loader, DelaysApplyToTheirAcknowledgements) {
  sim::Loader loader;
  loader.SetAckDelay(150);
  loader.DelayAck(2, 2500);
  RecordingPipe pipe;
  Upload(loader, pipe, Pattern(100));
  ASSERT_EQ(pipe.Texts(), Numbered(0, 2));
  EXPECT_EQ(pipe.sent[0].delayMs, 150u);
  EXPECT_EQ(pipe.sent[1].delayMs, 150u);
  EXPECT_EQ(pipe.sent[2].delayMs, 2500u);
}

TEST(Loader, WriteHookSeesEachWriteAfterItsAnswers) {
  sim::Loader loader;
  RecordingPipe pipe;
  std::vector<std::pair<uint32_t, size_t>> seen;
  loader.SetWriteHook([&](uint32_t index) { seen.emplace_back(index, pipe.sent.size()); });
  Upload(loader, pipe, Pattern(600));
  EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, size_t>>{{0, 1}, {1, 9}, {2, 11}}));
}

}  // namespace
