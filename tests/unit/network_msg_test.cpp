#include "engine/network_msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using quenta::CNetworkMsg;
using quenta::CProofOfPossesion;
using Bytes = std::vector<unsigned char>;

Bytes Packed(CNetworkMsg& msg) {
  const unsigned char* p = msg.Pack();
  if (!p) return Bytes();
  return Bytes(p, p + msg.PackedLength());
}

// The record of a 3-byte result AA BB CC and the key name K.
const Bytes kSample = {0x01, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB,
                       0xCC, 0x00, 0x00, 0x00, 0x01, 0x4B};

TEST(ProofOfPossesionTest, PacksToTheDocumentedLayout) {
  CProofOfPossesion pop;
  const unsigned char result[] = {0xAA, 0xBB, 0xCC};
  ASSERT_EQ(pop.SetResult(result, 3), 1);
  ASSERT_EQ(pop.SetKeyName("K"), 1);
  EXPECT_EQ(pop.Type(), 1);
  EXPECT_EQ(Packed(pop), kSample);
  // Packing again starts over.
  EXPECT_EQ(Packed(pop), kSample);
}

TEST(ProofOfPossesionTest, EmptyFieldsWriteOnlyTheirLengths) {
  CProofOfPossesion pop;
  EXPECT_EQ(Packed(pop), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
  const unsigned char none = 0;
  pop.SetResult(&none, 0);
  pop.SetKeyName("");
  EXPECT_EQ(Packed(pop), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ProofOfPossesionTest, UnpackRestoresBothFields) {
  CProofOfPossesion pop;
  ASSERT_EQ(pop.Unpack(kSample.data(), kSample.size()), 1);
  ASSERT_NE(pop.result, nullptr);
  ASSERT_EQ(pop.resultLength, 3);
  EXPECT_EQ(Bytes(pop.result, pop.result + 3), (Bytes{0xAA, 0xBB, 0xCC}));
  ASSERT_NE(pop.keyName, nullptr);
  EXPECT_STREQ(pop.keyName, "K");
  EXPECT_EQ(Packed(pop), kSample);

  // A second unpack replaces the values.
  const Bytes other = {0x01, 0, 0, 0, 1, 0x11, 0, 0, 0, 3, 'a', 'b', 'c'};
  ASSERT_EQ(pop.Unpack(other.data(), other.size()), 1);
  EXPECT_EQ(pop.resultLength, 1);
  EXPECT_EQ(pop.result[0], 0x11);
  EXPECT_STREQ(pop.keyName, "abc");
}

TEST(ProofOfPossesionTest, UnpackOfEmptyFieldsGivesPresentEmptyValues) {
  CProofOfPossesion pop;
  const Bytes empty = {0x01, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(pop.Unpack(empty.data(), empty.size()), 1);
  EXPECT_NE(pop.result, nullptr);
  EXPECT_EQ(pop.resultLength, 0);
  ASSERT_NE(pop.keyName, nullptr);
  EXPECT_STREQ(pop.keyName, "");
}

TEST(ProofOfPossesionTest, AnyTypeByteIsAccepted) {
  CProofOfPossesion pop;
  Bytes input = kSample;
  input[0] = 0x07;
  ASSERT_EQ(pop.Unpack(input.data(), input.size()), 1);
  EXPECT_STREQ(pop.keyName, "K");
  EXPECT_EQ(pop.Type(), 7);
}

TEST(ProofOfPossesionTest, TrailingBytesAreIgnored) {
  CProofOfPossesion pop;
  Bytes input = kSample;
  input.push_back(0x99);
  EXPECT_EQ(pop.Unpack(input.data(), input.size()), 1);
  EXPECT_STREQ(pop.keyName, "K");
}

// Every cut of the sample fails; the result is restored only when its bytes
// are all there, and the key name never.
class UnpackCut : public ::testing::TestWithParam<std::size_t> {};

TEST_P(UnpackCut, FailsAndLeavesMissingFieldsNull) {
  const std::size_t cut = GetParam();
  CProofOfPossesion pop;
  // Copy into an exact-size block so a read past the cut is caught by ASan.
  Bytes input(kSample.begin(), kSample.begin() + cut);
  EXPECT_EQ(pop.Unpack(input.empty() ? nullptr : input.data(), input.size()), 0);
  EXPECT_EQ(pop.keyName, nullptr);
  if (cut >= 8) {
    ASSERT_NE(pop.result, nullptr);
    EXPECT_EQ(pop.resultLength, 3);
  } else {
    EXPECT_EQ(pop.result, nullptr);
    EXPECT_EQ(pop.resultLength, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Sample, UnpackCut, ::testing::Range<std::size_t>(0, 13));

struct BadInput {
  const char* name;
  Bytes input;
  bool resultKept;  // the result field was read before the failure
};

class UnpackRejects : public ::testing::TestWithParam<BadInput> {};

TEST_P(UnpackRejects, Declared) {
  CProofOfPossesion pop;
  pop.SetKeyName("previous");
  const BadInput& c = GetParam();
  EXPECT_EQ(pop.Unpack(c.input.data(), c.input.size()), 0);
  if (c.resultKept) {
    EXPECT_NE(pop.result, nullptr);
    EXPECT_EQ(pop.keyName, nullptr);
  } else {
    // The failing field is null; the ones after it keep their values.
    EXPECT_EQ(pop.result, nullptr);
    EXPECT_EQ(pop.resultLength, 0);
    EXPECT_STREQ(pop.keyName, "previous");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, UnpackRejects,
    ::testing::Values(
        BadInput{"LongerThanWholeInput", {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA}, false},
        BadInput{"BeyondInt32", {0x01, 0x80, 0x00, 0x00, 0x00, 0xAA}, false},
        BadInput{"OneMoreThanRemains", {0x01, 0, 0, 0, 3, 0xAA, 0xBB}, false},
        // Shorter than the whole input but longer than what is left of it.
        BadInput{"NameBeyondRemaining", {0x01, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC, 0, 0, 0, 5, 0x4B}, true},
        BadInput{"NameLengthEqualsInput", {0x01, 0, 0, 0, 0, 0, 0, 0, 9}, true}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

TEST(ProofOfPossesionTest, PackRefusesInconsistentBuffers) {
  CProofOfPossesion pop;
  pop.SetKeyName("K");
  const unsigned char bytes[] = {1, 2, 3};
  pop.SetResult(bytes, 3);
  pop.resultLength = -1;
  EXPECT_EQ(pop.Pack(), nullptr);
  EXPECT_EQ(pop.PackedLength(), 0u);
  pop.resultLength = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(pop.Pack(), nullptr);
  pop.resultLength = 3;
  ASSERT_NE(pop.Pack(), nullptr);
  EXPECT_EQ(pop.PackedLength(), 13u);

  CProofOfPossesion missing;
  missing.resultLength = 5;  // length without bytes
  EXPECT_EQ(missing.Pack(), nullptr);
  missing.resultLength = 0;
}

TEST(ProofOfPossesionTest, PackBufferGrowsOnceByTheRule) {
  CProofOfPossesion pop;
  EXPECT_EQ(pop.Capacity(), 1024u);
  Bytes result(1100);
  for (std::size_t i = 0; i < result.size(); ++i) result[i] = static_cast<unsigned char>(i * 7);
  pop.SetResult(result.data(), result.size());
  pop.SetKeyName("K");
  const Bytes packed = Packed(pop);
  // Growing at the result: used 5 + 1100 needed, new size 2 * 1024 + 1105.
  EXPECT_EQ(pop.Capacity(), 2048u + 1105u);
  ASSERT_EQ(packed.size(), 1110u);
  EXPECT_EQ(Bytes(packed.begin() + 5, packed.begin() + 1105), result);
  EXPECT_EQ(Bytes(packed.begin() + 1105, packed.end()), (Bytes{0, 0, 0, 1, 'K'}));

  CProofOfPossesion back;
  ASSERT_EQ(back.Unpack(packed.data(), packed.size()), 1);
  ASSERT_EQ(back.resultLength, 1100);
  EXPECT_EQ(Bytes(back.result, back.result + 1100), result);
}

TEST(ProofOfPossesionTest, ExactlyFullBufferDoesNotGrow) {
  CProofOfPossesion pop;
  Bytes result(1024 - 10, 0x5A);  // 1 + 4 + 1014 + 4 + 1 = 1024
  pop.SetResult(result.data(), result.size());
  pop.SetKeyName("K");
  ASSERT_NE(pop.Pack(), nullptr);
  EXPECT_EQ(pop.PackedLength(), 1024u);
  EXPECT_EQ(pop.Capacity(), 1024u);
}

TEST(ProofOfPossesionTest, ClearFreesBothFields) {
  CProofOfPossesion pop;
  ASSERT_EQ(pop.Unpack(kSample.data(), kSample.size()), 1);
  pop.Clear();
  EXPECT_EQ(pop.result, nullptr);
  EXPECT_EQ(pop.resultLength, 0);
  EXPECT_EQ(pop.keyName, nullptr);
  EXPECT_EQ(pop.PackedLength(), 0u);
  EXPECT_EQ(Packed(pop), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// A record type of its own: fields go out in registration order, and the
// type number's low byte is what is written.
class TwoTexts : public CNetworkMsg {
 public:
  TwoTexts() : CNetworkMsg(0x1234) {
    AddText(&first);
    AddBuffer(&bytes, &length);
    AddText(&second);
  }
  ~TwoTexts() override { ReleaseFields(); }
  char* first = nullptr;
  unsigned char* bytes = nullptr;
  int32_t length = 0;
  char* second = nullptr;
};

TEST(NetworkMsgTest, FieldsInRegistrationOrder) {
  TwoTexts msg;
  msg.first = new char[3]{'a', 'b', '\0'};
  msg.second = new char[2]{'z', '\0'};
  msg.bytes = new unsigned char[2]{0xFE, 0xED};
  msg.length = 2;
  const Bytes expected = {0x34, 0, 0, 0, 2, 'a', 'b', 0, 0, 0, 2, 0xFE, 0xED, 0, 0, 0, 1, 'z'};
  EXPECT_EQ(Packed(msg), expected);

  TwoTexts back;
  ASSERT_EQ(back.Unpack(expected.data(), expected.size()), 1);
  EXPECT_EQ(back.Type(), 0x1234);
  EXPECT_STREQ(back.first, "ab");
  EXPECT_STREQ(back.second, "z");
  EXPECT_EQ(back.length, 2);
}

TEST(NetworkMsgTest, NullStorageIsNotRegistered) {
  TwoTexts msg;
  int32_t length = 0;
  unsigned char* bytes = nullptr;
  EXPECT_EQ(msg.AddText(nullptr), 0);
  EXPECT_EQ(msg.AddBuffer(nullptr, &length), 0);
  EXPECT_EQ(msg.AddBuffer(&bytes, nullptr), 0);
  EXPECT_EQ(Packed(msg).size(), 13u);  // still three empty fields
}

}  // namespace
