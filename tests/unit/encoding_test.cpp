#include "engine/encoding.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace {

using quenta::HexDecode;
using quenta::HexEncode;
using quenta::PemDecode;
using quenta::SecureBytes;
using quenta::SecureText;

const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string Str(const SecureBytes& b) { return std::string(b.begin(), b.end()); }

// ---- Hexadecimal text ---------------------------------------------------

struct HexCase {
  std::string bytes;
  std::string hex;
};

class HexTable : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexTable, EncodesUpperCaseAndDecodesBack) {
  const HexCase& c = GetParam();
  std::string text;
  ASSERT_EQ(HexEncode(U(c.bytes), c.bytes.size(), text), 0);
  EXPECT_EQ(text, c.hex);

  SecureText secret;
  ASSERT_EQ(HexEncode(U(c.bytes), c.bytes.size(), secret), 0);
  EXPECT_EQ(std::string(secret.c_str(), secret.size()), c.hex);

  SecureBytes decoded;
  ASSERT_EQ(HexDecode(c.hex.c_str(), decoded), 0);
  EXPECT_EQ(Str(decoded), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Encoding, HexTable,
                         ::testing::Values(HexCase{std::string("\x00", 1), "00"},
                                           HexCase{"\x01\xAB\xFF", "01ABFF"},
                                           HexCase{"a", "61"},
                                           HexCase{std::string("\x0F\xF0\x00\x7F\x80", 5), "0FF0007F80"}));

TEST(HexEncodeTest, AllByteValuesRoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::string text;
  ASSERT_EQ(HexEncode(U(all), all.size(), text), 0);
  ASSERT_EQ(text.size(), 512u);
  EXPECT_EQ(text.substr(0, 6), "000102");
  EXPECT_EQ(text.substr(506), "FDFEFF");
  SecureBytes back;
  ASSERT_EQ(HexDecode(text.c_str(), back), 0);
  EXPECT_EQ(Str(back), all);
}

TEST(HexEncodeTest, EmptyAndMissingInput) {
  std::string text = "old";
  EXPECT_EQ(HexEncode(nullptr, 0, text), 0);
  EXPECT_EQ(text, "");
  text = "old";
  EXPECT_EQ(HexEncode(nullptr, 3, text), 1);
  EXPECT_EQ(text, "");

  SecureText secret("old");
  EXPECT_EQ(HexEncode(nullptr, 3, secret), 1);
  EXPECT_TRUE(secret.empty());
  const unsigned char byte = 0x5A;
  EXPECT_EQ(HexEncode(&byte, 0, secret), 0);
  EXPECT_TRUE(secret.empty());
}

TEST(HexDecodeTest, AcceptsLowerAndMixedCase) {
  SecureBytes out;
  ASSERT_EQ(HexDecode("abCDef09", out), 0);
  EXPECT_EQ(Str(out), "\xAB\xCD\xEF\x09");
}

// Every failure answers 1 and leaves the output empty, whatever it held.
class HexDecodeRejects : public ::testing::TestWithParam<const char*> {};

TEST_P(HexDecodeRejects, WithCodeOneAndEmptyOutput) {
  SecureBytes out = {1, 2, 3};
  EXPECT_EQ(HexDecode(GetParam(), out), 1);
  EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(BadText, HexDecodeRejects,
                         ::testing::Values(nullptr, "", "A", "ABC", "GG", "0x41", "41 42", "4-",
                                           "41\n", "4142g0", "ZZ00"));

TEST(HexDecodeTest, LengthAwareReadsExactlyLengthBytes) {
  SecureBytes out;
  // Only the first four characters belong to the text.
  ASSERT_EQ(HexDecode("4142XYZ", 4, out), 0);
  EXPECT_EQ(Str(out), "AB");
  // A zero byte inside is an invalid digit, not an end.
  const char withZero[] = {'4', '1', '\0', '2'};
  EXPECT_EQ(HexDecode(withZero, sizeof(withZero), out), 1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(HexDecode("414", 3, out), 1);
  EXPECT_EQ(HexDecode(nullptr, 2, out), 1);
}

// ---- Base64 armour ------------------------------------------------------

const std::string kCert = "-----BEGIN CERTIFICATE-----";
const std::string kData = "-----BEGIN DATA-----";

struct PemCase {
  const char* name;
  std::string text;
  int type;
  std::size_t capacity;
  int code;
  std::string bytes;  // expected output when code is 0
};

class PemTable : public ::testing::TestWithParam<PemCase> {};

TEST_P(PemTable, Decodes) {
  const PemCase& c = GetParam();
  std::vector<unsigned char> buffer(c.capacity + 16, 0xEE);
  std::size_t capacity = c.capacity;
  ::testing::internal::CaptureStdout();
  const int code = PemDecode(c.text.data(), c.text.size(), c.type, buffer.data(), &capacity);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(code, c.code);
  if (code == 0) {
    ASSERT_EQ(capacity, c.bytes.size());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + capacity), c.bytes);
  } else {
    EXPECT_EQ(capacity, c.capacity);
  }
  EXPECT_EQ(printed, code == 2 ? "ERROR_TO_SMALL_OUTPUT_BUFFER\n" : "");
  // Nothing is written at or beyond the capacity.
  for (std::size_t i = c.capacity; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Armour, PemTable,
    ::testing::Values(
        PemCase{"Certificate", kCert + "\nQUJD\n-----END CERTIFICATE-----\n", 2, 64, 0, "ABC"},
        PemCase{"Data", kData + "\nQUJD\n-----END DATA-----\n", 3, 64, 0, "ABC"},
        PemCase{"OnePadding", kData + "\nQUI=\n-----END DATA-----", 3, 64, 0, "AB"},
        PemCase{"TwoPaddings", kData + "\nQQ==\n-----END DATA-----", 3, 64, 0, "A"},
        PemCase{"StopsAtEquals", kData + "\nQQ==QUJD\n", 3, 64, 0, "A"},
        PemCase{"StopsAtDash", kData + "QUJD-QUJD", 3, 64, 0, "ABC"},
        PemCase{"IgnoresOtherCharacters", kData + "\r\nQU\n J\tD*\x01!QUJD", 3, 64, 0, "ABCABC"},
        PemCase{"BeginAnywhere", "junk before\n" + kCert + "\nQUJD", 2, 64, 0, "ABC"},
        PemCase{"EmptyBody", kCert + "\n-----END CERTIFICATE-----", 2, 64, 0, ""},
        PemCase{"FullAlphabet", kData + "+/+/", 3, 64, 0, "\xFB\xFF\xBF"},
        PemCase{"NoBeginLine", "-----END DATA-----\nQUJD\n", 3, 64, 3, ""},
        PemCase{"OtherTypesBegin", kData + "\nQUJDQUJDQUJD\n", 2, 64, 3, ""},
        PemCase{"BrokenBegin", "-----BEGIN DAT-----\nQUJD\n", 3, 64, 3, ""},
        PemCase{"ShorterThanBegin", "-----BEGIN", 3, 64, 1, ""},
        PemCase{"EmptyText", "", 2, 64, 1, ""},
        PemCase{"UnknownType", kData + "\nQUJD\n", 4, 64, 4, ""},
        PemCase{"TypeZero", kData + "\nQUJD\n", 0, 64, 4, ""},
        PemCase{"Overflow", kData + "\nQUJDQUJDQUJD\n", 3, 5, 2, ""},
        // One byte is kept spare: 3 bytes fit in 4, not in 3.
        PemCase{"FitsWithOneSpare", kData + "\nQUJD\n", 3, 4, 0, "ABC"},
        PemCase{"NeedsOneSpare", kData + "\nQUJD\n", 3, 3, 2, ""},
        PemCase{"NoRoomAtAll", kData + "\nQQ==", 3, 0, 2, ""},
        PemCase{"EmptyBodyNoRoom", kData + "\n", 3, 0, 0, ""}),
    [](const ::testing::TestParamInfo<PemCase>& info) { return std::string(info.param.name); });

TEST(PemDecodeTest, NeverReadsBeyondLength) {
  // The decodable part continues past `length`; only what lies inside counts.
  const std::string text = kData + "\nQUJDQUJD";
  std::vector<unsigned char> buffer(64);
  std::size_t capacity = buffer.size();
  ASSERT_EQ(PemDecode(text.data(), kData.size() + 5, 3, buffer.data(), &capacity), 0);
  EXPECT_EQ(capacity, 3u);
  // A BEGIN line cut by `length` is not found.
  capacity = buffer.size();
  EXPECT_EQ(PemDecode(text.data(), kData.size() - 1, 3, buffer.data(), &capacity), 1);
  const std::string twice = "x" + kData;
  EXPECT_EQ(PemDecode(twice.data(), kData.size(), 3, buffer.data(), &capacity), 3);
}

TEST(PemDecodeTest, MissingArguments) {
  const std::string text = kData + "\nQUJD\n";
  unsigned char buffer[16];
  std::size_t capacity = sizeof(buffer);
  EXPECT_EQ(PemDecode(nullptr, 40, 3, buffer, &capacity), 1);
  EXPECT_EQ(PemDecode(text.data(), text.size(), 3, buffer, nullptr), 1);
  EXPECT_EQ(PemDecode(text.data(), text.size(), 3, nullptr, &capacity), 1);
  EXPECT_EQ(capacity, sizeof(buffer));
}

TEST(PemDecodeTest, MatchesOpenSslOnLongWrappedData) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
  for (std::size_t extra = 0; extra < 3; ++extra) {  // all three padding forms
    const std::string input = bytes.substr(0, bytes.size() - extra);
    std::vector<unsigned char> b64(4 * ((input.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(b64.data(), U(input), static_cast<int>(input.size()));
    std::string text = "header\n" + kCert + "\n";
    for (int i = 0; i < n; i += 64)
      text.append(reinterpret_cast<const char*>(b64.data()) + i, std::min(64, n - i)).append("\r\n");
    text += "-----END CERTIFICATE-----\n";

    std::vector<unsigned char> out(2048);
    std::size_t capacity = out.size();
    ASSERT_EQ(PemDecode(text.data(), text.size(), 2, out.data(), &capacity), 0);
    EXPECT_EQ(std::string(out.begin(), out.begin() + capacity), input) << "extra " << extra;
  }
}

TEST(PemDecodeTest, LongRunsOfDashesWithoutBeginLine) {
  // Near misses everywhere; the answer must still be "no BEGIN line".
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "------BEGIN DATA----\n";
  std::vector<unsigned char> out(16);
  std::size_t capacity = out.size();
  EXPECT_EQ(PemDecode(text.data(), text.size(), 3, out.data(), &capacity), 3);
  text += kData + "\nQUJD";
  EXPECT_EQ(PemDecode(text.data(), text.size(), 3, out.data(), &capacity), 0);
  EXPECT_EQ(capacity, 3u);
}

// ---- Polish letters between ISO 8859-2 and Windows-1250 -----------------

struct LetterCase {
  unsigned char iso;
  unsigned char win;
};

const LetterCase kLetters[] = {{0xA1, 0xA5}, {0xA6, 0x8C}, {0xAC, 0x8F},
                               {0xB1, 0xB9}, {0xB6, 0x9C}, {0xBC, 0x9F}};

class PolishLetters : public ::testing::TestWithParam<LetterCase> {};

TEST_P(PolishLetters, MapBothWays) {
  const LetterCase& c = GetParam();
  EXPECT_EQ(quenta::IsoToWin1250(&c.iso, 1), std::string(1, static_cast<char>(c.win)));
  EXPECT_EQ(quenta::Win1250ToIso(&c.win, 1), std::string(1, static_cast<char>(c.iso)));
}

INSTANTIATE_TEST_SUITE_P(SixLetters, PolishLetters, ::testing::ValuesIn(kLetters));

TEST(CodePageTest, LabelBytesFromThePage) {
  const unsigned char label[] = {0xA1, 0xB6};
  EXPECT_EQ(quenta::IsoToWin1250(label, 2), "\xA5\x9C");
}

TEST(CodePageTest, EveryOtherByteIsCopied) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string toWin = quenta::IsoToWin1250(U(all), all.size());
  const std::string toIso = quenta::Win1250ToIso(U(all), all.size());
  ASSERT_EQ(toWin.size(), 256u);  // the zero byte is kept too
  ASSERT_EQ(toIso.size(), 256u);
  for (int i = 0; i < 256; ++i) {
    bool isoLetter = false, winLetter = false;
    for (const LetterCase& c : kLetters) {
      isoLetter |= c.iso == i;
      winLetter |= c.win == i;
    }
    if (!isoLetter) {
      EXPECT_EQ(static_cast<unsigned char>(toWin[i]), i) << i;
    }
    if (!winLetter) {
      EXPECT_EQ(static_cast<unsigned char>(toIso[i]), i) << i;
    }
  }
}

TEST(CodePageTest, EmptyOrMissingInput) {
  EXPECT_EQ(quenta::IsoToWin1250(nullptr, 5), "");
  EXPECT_EQ(quenta::Win1250ToIso(nullptr, 0), "");
  const unsigned char a = 'a';
  EXPECT_EQ(quenta::IsoToWin1250(&a, 0), "");
}

}  // namespace
