// Localised texts: the language setting, CMyString lookups over the real
// table (including its documented holes and overlaps), the generated table
// against its UTF-8 source, the Windows-1250 conversions and the generator's
// refusal of bad input.
#include "plugin/texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "engine/encoding.h"
#include "plugin/text_table.h"
#include "tests/support/test_support.h"

namespace {

using quenta::CMyString;
using quenta::CurrentLanguage;
using quenta::FindTableText;
using quenta::LoadText;
using quenta::SelectLanguage;

const char kTitle[] = "Quenta Sign";

// Windows-1250 bytes of a UTF-8 literal.
std::string W(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(quenta::Utf8ToWin1250(utf8, out)) << utf8;
  return out;
}

std::string Entry(int id) {
  const char* t = FindTableText(id);
  return t ? t : "<no entry>";
}

// The language is module-wide: every test starts and ends in Polish.
class TextsTest : public ::testing::Test {
 protected:
  void SetUp() override { SelectLanguage(quenta::kLanguagePolish); }
  void TearDown() override { SelectLanguage(quenta::kLanguagePolish); }
};

// ---------------------------------------------------------------- language

TEST_F(TextsTest, IncorrectPinInEachLanguage) {
  EXPECT_EQ(LoadText(249), "Podano z\xB3y PIN");  // ł is 0xB3 in Windows-1250
  SelectLanguage(1);
  EXPECT_EQ(LoadText(249), "Incorrect PIN");
  SelectLanguage(2);
  EXPECT_EQ(LoadText(249), "Falsche PIN");
}

TEST_F(TextsTest, OnlyZeroOneAndTwoChangeTheLanguage) {
  SelectLanguage(1);
  for (int ignored : {3, -1, 255, INT_MAX, INT_MIN}) {
    SelectLanguage(ignored);
    EXPECT_EQ(CurrentLanguage(), 1) << ignored;
    EXPECT_EQ(LoadText(249), "Incorrect PIN") << ignored;
  }
  for (int language : {2, 0, 1}) {
    SelectLanguage(language);
    EXPECT_EQ(CurrentLanguage(), language);
  }
}

// Runs only in a process of its own (see below), where nothing has touched
// the language yet.
TEST(TextsFreshProcess, DISABLED_StartsInPolish) {
  EXPECT_EQ(CurrentLanguage(), 0);
  EXPECT_EQ(LoadText(249), "Podano z\xB3y PIN");
}

TEST(TextsStartup, ModuleStartsInPolish) {
  std::string out;
  const int rc = quenta_test::RunCommand(
      std::string("'") + QUENTA_HELPER_EXE +
          "' --gtest_also_run_disabled_tests --gtest_filter=TextsFreshProcess.* 2>&1",
      &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

// ------------------------------------------------------------ lookup rules

TEST_F(TextsTest, MessagesWithoutGermanShowTheNextMessage) {
  // Polish and English only; n + 2 is the next message's Polish text.
  for (int base : {658, 660, 664, 666, 668, 670, 674, 676, 686, 688, 709, 711, 713, 717, 719,
                   730, 738, 740, 797}) {
    SCOPED_TRACE(base);
    ASSERT_NE(FindTableText(base), nullptr);
    ASSERT_NE(FindTableText(base + 1), nullptr);
    ASSERT_NE(FindTableText(base + 2), nullptr);
    SelectLanguage(1);
    EXPECT_EQ(LoadText(base), Entry(base + 1));
    SelectLanguage(2);
    EXPECT_EQ(LoadText(base), Entry(base + 2));
    SelectLanguage(0);
    EXPECT_EQ(LoadText(base), Entry(base));
  }
  SelectLanguage(2);
  EXPECT_EQ(LoadText(658),
            W("Proszę wybrać właściwy nośnik lub odłączyć niewykorzystywane urządzenia"));
}

TEST_F(TextsTest, MissingEntriesLeaveTheHolderAsItWas) {
  struct Case {
    int base;
    bool polish, english, german;  // which lookups find an entry
  } cases[] = {
      {480, true, true, false}, {690, true, true, false}, {693, true, true, false},
      {705, true, true, false}, {732, true, true, false}, {742, true, true, false},
      {707, false, false, true},  // German lands on 709
      {754, false, false, false},
  };
  for (const Case& c : cases) {
    const bool found[] = {c.polish, c.english, c.german};
    for (int language = 0; language < 3; ++language) {
      SCOPED_TRACE(testing::Message() << c.base << " language " << language);
      SelectLanguage(language);
      CMyString fresh;
      EXPECT_TRUE(fresh.Load(c.base));
      CMyString held;
      held = "previous text";
      EXPECT_TRUE(held.Load(c.base));
      if (found[language]) {
        EXPECT_EQ(held, Entry(c.base + language));
        EXPECT_EQ(fresh, Entry(c.base + language));
      } else {
        EXPECT_EQ(held, "previous text");
        EXPECT_EQ(fresh, "");
      }
    }
  }
  SelectLanguage(2);
  EXPECT_EQ(LoadText(707), Entry(709));
}

TEST_F(TextsTest, TitleIsBuiltAndPutInFront) {
  for (int language = 0; language < 3; ++language) {
    SCOPED_TRACE(language);
    SelectLanguage(language);
    CMyString title;
    EXPECT_TRUE(title.Load(228));
    EXPECT_EQ(title, kTitle);
    for (int unused = 228; unused <= 230; ++unused) {
      ASSERT_NE(FindTableText(unused), nullptr);  // the entries exist, unused
      EXPECT_NE(title, FindTableText(unused));
    }

    CMyString held;
    held = ": details";
    held.Load(228);
    EXPECT_EQ(held, std::string(kTitle) + ": details");
    held.Load(228);  // each load inserts again
    EXPECT_EQ(held, std::string(kTitle) + kTitle + ": details");
  }
  for (char c : std::string(kTitle)) EXPECT_TRUE(c >= 0x20 && c < 0x7F);
}

TEST_F(TextsTest, HolderIsReusableAcrossLoads) {
  CMyString text;
  text.Load(312);
  EXPECT_EQ(text, W("Hasło"));
  SelectLanguage(1);
  text.Load(294);
  EXPECT_EQ(text, "&Cancel");
  SelectLanguage(2);
  text.Load(315);
  EXPECT_EQ(text, "Tatstatur");
  EXPECT_EQ(std::strlen(text.c_str()), text.size());
  // Ids near the integer limit are simply absent.
  text.Load(INT_MAX);
  text.Load(INT_MAX - 1);
  text.Load(-5);
  EXPECT_EQ(text, "Tatstatur");
}

// The wordings the program relies on, transcribed independently of the
// table file. nullptr: no wording fixed for that language.
TEST_F(TextsTest, QuotedWordingsAreInTheirSlots) {
  struct Case {
    int id;
    const char* polish;
    const char* english;
    const char* german;
  } cases[] = {
      {249, "Podano zły PIN", "Incorrect PIN", "Falsche PIN"},
      {255, "Włóż kartę do czytnika", "Insert card into the reader", "Karte in Leser legen"},
      {258, "Zbyt krótki PIN (minimalnie 4 znaki)", "PIN too short (minimum 4 characters)",
       "PIN zu kurz (mind. 4 Zeichen)"},
      {556, nullptr,
       "The selected key is blocked. Three times in a row an incorrect password to the key has "
       "been entered or the key has been blocked by the Bank.",
       nullptr},
      {571, "Nieprawidłowe hasło lub wskazano niewłaściwy plik z kluczem",
       "Incorrect password or inappropriate file with a key has been indicated.", nullptr},
      {678, "Podłącz czytnik kart kryptograficznych do komputera",
       "Connect the smart card reader to the computer", nullptr},
      {680, "Na karcie nie ma klucza o podanej nazwie",
       "The key specified name has not been found on the card", nullptr},
      {682, "Podłącz nośnik kryptograficzny USB do komputera",
       "Connect the USB cyptographic device to the computer", nullptr},
      {684, "Na nośniku USB nie ma klucza o podanej nazwie",
       "The key specified name has not been found on the USB cryptographic device", nullptr},
      {324, "Repozytorium banku", "Bank`s repository", nullptr},
      {699, "Plik", "File", nullptr},
      {674, "Karta procesorowa", "SmartCard", nullptr},
      {676, "Nośnik USB", "USB Device", nullptr},
      {339, nullptr, "Keys", nullptr},
      {342, nullptr, "All", nullptr},
      {553, nullptr,
       "The private key file has not been found. Please specify the key's location.", nullptr},
      {525, "TWÓJ KOD PUK: %s", "PUK Code: %s", "PUK-Code: %s"},
      {662, "Typ urządzenia", "Device type ", nullptr},
      {541,
       "Do zakończenia operacji logowania, wymagane jest wygenerowanie podpisu elektronicznego.",
       "To finish the logging operation, it is required to generate an electronic signature.",
       "Sign"},
      {607, "Nieprawidłowa długość PUKu. PUK musi mieć 8 znaków",
       "Wrong PUK length. PUK length must be 8 characters.",
       "Falsche PUK Länge. PUK Länge muß 8 Zeichen sein."},
      {1007, "PUK niezgodny z polityką bezpieczeństwa", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const char* wording[] = {c.polish, c.english, c.german};
    for (int language = 0; language < 3; ++language) {
      if (!wording[language]) continue;
      SCOPED_TRACE(testing::Message() << c.id << " language " << language);
      SelectLanguage(language);
      EXPECT_EQ(LoadText(c.id), W(wording[language]));
    }
  }
}

// ------------------------------------------------------ the table as built

TEST(TextTable, EveryEntryIsSortedAndConvertsBackToUtf8) {
  ASSERT_GT(quenta::kTextTableSize, 0u);
  for (std::size_t i = 0; i < quenta::kTextTableSize; ++i) {
    const quenta::TextTableEntry& e = quenta::kTextTable[i];
    SCOPED_TRACE(e.id);
    if (i > 0) {
      EXPECT_LT(quenta::kTextTable[i - 1].id, e.id);
    }
    ASSERT_NE(e.text, nullptr);
    EXPECT_NE(e.text[0], '\0');
    const std::string utf8 = quenta::Win1250ToUtf8(e.text);
    EXPECT_EQ(utf8.find("\xEF\xBF\xBD"), std::string::npos) << "unassigned byte";
    std::string back;
    EXPECT_TRUE(quenta::Utf8ToWin1250(utf8, back));
    EXPECT_EQ(back, e.text);
    EXPECT_EQ(FindTableText(e.id), e.text);
  }
}

// The compiled table holds exactly what the translator's file says.
TEST(TextTable, MatchesTheTranslatorsFile) {
  std::istringstream in(quenta_test::ReadFile(std::string(QUENTA_SOURCE_DIR) +
                                              "/resources/texts.txt"));
  std::map<int, std::string> source;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    std::string text;
    for (std::size_t i = tab + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        const char e = line[++i];
        text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
      } else {
        text.push_back(line[i]);
      }
    }
    source[std::stoi(line.substr(0, tab))] = text;
  }
  ASSERT_EQ(source.size(), quenta::kTextTableSize);
  for (const auto& [id, text] : source) {
    ASSERT_NE(FindTableText(id), nullptr) << id;
    EXPECT_EQ(quenta::Win1250ToUtf8(FindTableText(id)), text) << id;
  }
  EXPECT_EQ(FindTableText(0), nullptr);
  EXPECT_EQ(FindTableText(754), nullptr);
  EXPECT_EQ(FindTableText(100000), nullptr);
}

// -------------------------------------------------------------- code page

TEST(CodePage, PolishLettersRoundTrip) {
  const std::string utf8 = "ąćęłńóśźżĄĆĘŁŃÓŚŹŻ";
  const std::string cp1250 =
      "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF";
  std::string out;
  ASSERT_TRUE(quenta::Utf8ToWin1250(utf8, out));
  EXPECT_EQ(quenta_test::ToHex(out), quenta_test::ToHex(cp1250));
  EXPECT_EQ(quenta::Win1250ToUtf8(cp1250), utf8);
}

// Every byte against the C library's own CP1250 converter.
TEST(CodePage, EveryByteAgreesWithTheSystemConverter) {
  iconv_t cd = iconv_open("UTF-32LE", "CP1250");
  if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "no CP1250 converter installed";
  std::string all;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    unsigned char out[4] = {};
    char* pin = &in;
    char* pout = reinterpret_cast<char*>(out);
    size_t nin = 1, nout = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const bool ok = iconv(cd, &pin, &nin, &pout, &nout) != static_cast<size_t>(-1);
    const char32_t expected =
        ok ? out[0] | out[1] << 8 | out[2] << 16 | static_cast<char32_t>(out[3]) << 24 : 0xFFFD;
    EXPECT_EQ(quenta::Win1250ToUnicode(static_cast<unsigned char>(b)), expected) << "byte " << b;
    if (ok) all.push_back(in);
  }
  iconv_close(cd);

  EXPECT_EQ(all.size(), 251u);  // 0x81 0x83 0x88 0x90 0x98 are unassigned
  std::string back;
  ASSERT_TRUE(quenta::Utf8ToWin1250(quenta::Win1250ToUtf8(all), back));
  EXPECT_EQ(quenta_test::ToHex(back), quenta_test::ToHex(all));
  for (unsigned char b : {0x81, 0x83, 0x88, 0x90, 0x98})
    EXPECT_EQ(quenta::Win1250ToUtf8(std::string(1, static_cast<char>(b))), "\xEF\xBF\xBD");
}

TEST(CodePage, Utf8ToWin1250StopsAtWhatItCannotConvert) {
  struct Case {
    const char* what;
    std::string tail;
  } cases[] = {
      {"truncated sequence", "\xC5"},
      {"truncated three-byte sequence", "\xE2\x82"},
      {"stray continuation byte", "\x80z"},
      {"overlong slash", "\xC0\xAF"},
      {"overlong three-byte", "\xE0\x80\xAF"},
      {"surrogate", "\xED\xA0\x80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"invalid lead byte", "\xFF"},
      {"Windows-1250 byte in UTF-8 text", "z\xB3y"},
      {"Greek omega (no Windows-1250 form)", "Ω"},
      {"replacement character", "\xEF\xBF\xBD"},
      {"emoji", "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    std::string out = "junk";
    EXPECT_FALSE(quenta::Utf8ToWin1250("Ża" + c.tail, out)) << c.what;
    // What came before the fault is converted; the fault itself is not.
    const std::string expected_prefix = "\xAF" "a";
    EXPECT_EQ(out.compare(0, 2, expected_prefix), 0) << c.what;
    EXPECT_LE(out.size(), 3u) << c.what;
  }
  std::string out;
  EXPECT_TRUE(quenta::Utf8ToWin1250(std::string("a\0b€", 6), out));
  EXPECT_EQ(out, std::string("a\0b\x80", 4));
  EXPECT_TRUE(quenta::Utf8ToWin1250("", out));
  EXPECT_EQ(out, "");
}

// -------------------------------------------------------------- generator

class TextTableGenerator : public ::testing::Test {
 protected:
  // Runs the generator on `content`; returns its exit status.
  int Generate(const std::string& content, std::string* messages) {
    quenta_test::WriteFile(input(), content);
    return quenta_test::RunCommand("'" + std::string(QUENTA_BINARY_DIR) +
                                       "/resources/gen_text_table' '" + input() + "' '" +
                                       output() + "' 2>&1",
                                   messages);
  }
  std::string input() const { return dir_.File("texts.txt"); }
  std::string output() const { return dir_.File("table.cpp"); }

  quenta_test::TempDir dir_;
};

TEST_F(TextTableGenerator, RejectsBadInputWithFileAndLine) {
  struct Case {
    const char* what;
    std::string content;
    int line;
    const char* message;
  } cases[] = {
      {"no tab", "1\tgood\n2 bad\n", 2, "malformed line"},
      {"letters in the id", "x1\tA\n", 1, "malformed id"},
      {"id zero", "0\tA\n", 1, "malformed id"},
      {"leading zero", "012\tA\n", 1, "malformed id"},
      {"id too large", "70000\tA\n", 1, "out of range"},
      {"space before the id", " 5\tA\n", 1, "malformed id"},
      {"duplicate id", "5\tA\n# comment\n\n5\tB\n", 4, "duplicate id 5 (first defined at line 1)"},
      {"invalid UTF-8", "1\tok\n7\tz\xB3y\n", 2, "invalid UTF-8"},
      {"no Windows-1250 form", "8\tangle \xCE\xB1\n", 1, "U+03B1 has no Windows-1250 form"},
      {"unknown escape", "9\ta\\qb\n", 1, "unknown escape \\q"},
      {"backslash at the end", "9\tab\\\n", 1, "backslash at the end"},
      {"raw tab in the text", "9\ta\tb\n", 1, "tab inside the text"},
      {"control character", "9\ta\x01" "b\n", 1, "control character"},
      {"empty text", "9\t\n", 1, "has no text"},
      {"nothing but comments", "# nothing\n", 1, "no entries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    quenta_test::WriteFile(output(), "previous table");
    std::string messages;
    EXPECT_EQ(Generate(c.content, &messages), 1) << messages;
    const std::string where = input() + ":" + std::to_string(c.line) + ":";
    EXPECT_NE(messages.find(where), std::string::npos) << messages;
    EXPECT_NE(messages.find(c.message), std::string::npos) << messages;
    EXPECT_EQ(quenta_test::ReadFile(output()), "previous table");
  }
}

TEST_F(TextTableGenerator, ReportsEveryBadLine) {
  std::string messages;
  EXPECT_EQ(Generate("1\tok\n2\t\xCE\xB1\n3\tok\n4\t\\x\n", &messages), 1);
  EXPECT_NE(messages.find(input() + ":2:"), std::string::npos) << messages;
  EXPECT_NE(messages.find(input() + ":4:"), std::string::npos) << messages;
}

TEST_F(TextTableGenerator, WritesSortedEscapedWindows1250) {
  const std::string content =
      "\xEF\xBB\xBF# translator's notes\r\n"
      "\r\n"
      "10\tZażółć \"gęślą\" jaźń?\r\n"
      "2\tline\\nbreak\\\\back\\tslash \r\n"
      "  # indented comment\n"
      "3\t \n";
  std::string messages;
  ASSERT_EQ(Generate(content, &messages), 0) << messages;
  const std::string table = quenta_test::ReadFile(output());
  const std::size_t two = table.find("{2, \"line\\012break\\\\back\\011slash \"},");
  const std::size_t three = table.find("{3, \" \"},");
  const std::size_t ten = table.find(
      "{10, \"Za\\277\\363\\263\\346 \\\"g\\352\\234l\\271\\\" ja\\237\\361\\?\"},");
  EXPECT_NE(two, std::string::npos) << table;
  EXPECT_NE(three, std::string::npos) << table;
  EXPECT_NE(ten, std::string::npos) << table;
  EXPECT_LT(two, three);
  EXPECT_LT(three, ten);
  EXPECT_FALSE(std::filesystem::exists(output() + ".tmp"));
}

}  // namespace
