#include "signing/order_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/order_text_reference.h"
#include "tests/support/test_support.h"

namespace {

using quenta::COrderText;
using quenta::OrderMode;
using quenta::ParsedOrder;
using quenta::ParseOrderText;
using quenta_test::ToHex;

using Rows = std::vector<std::pair<std::string, std::string>>;

Rows RowsOf(const COrderText& order) {
  Rows rows;
  for (std::size_t i = 0; i < order.RowCount(); ++i)
    rows.emplace_back(order.Parameter(i), std::string(order.Value(i)));
  return rows;
}

Rows RowsOf(const std::string& display, const ParsedOrder& parsed) {
  Rows rows;
  for (const quenta::OrderRow& row : parsed.rows)
    rows.emplace_back(quenta::OrderRowParameter(display, row),
                      std::string(quenta::OrderRowValue(display, row)));
  return rows;
}

std::string Bytes(const COrderText& order) {
  return std::string(reinterpret_cast<const char*>(order.Bytes()), order.Length());
}

// Decodes and parses `text` the way the sign dialog does.
void Load(const std::string& text, COrderText& order) {
  ASSERT_EQ(order.SetHex(ToHex(text).c_str()), 0);
  ASSERT_EQ(order.BuildDisplay(), 0);
}

// Parses with the real parser and with the plain transcription of the rules,
// and expects the same results.
void ExpectSameAsReference(const std::string& display) {
  ParsedOrder parsed;
  ASSERT_EQ(ParseOrderText(display, parsed), 0);
  const quenta_reference::Order expected = quenta_reference::Parse(display);
  ASSERT_EQ(parsed.mode == OrderMode::kMultiLine, expected.multiLine) << ToHex(display);
  ASSERT_EQ(RowsOf(display, parsed), expected.rows) << ToHex(display);
  ASSERT_EQ(parsed.formatted, expected.formatted) << ToHex(display);
  ASSERT_EQ(parsed.orderCount, expected.orderCount) << ToHex(display);
}

// ---- The text grammar, case by case ---------------------------------------

struct ParseCase {
  ParseCase(const char* name, std::string text, Rows rows, bool multiLine = false,
            std::string formatted = "", int orders = 0)
      : name(name), text(std::move(text)), rows(std::move(rows)), multiLine(multiLine),
        formatted(std::move(formatted)), orders(orders) {}
  const char* name;
  std::string text;
  Rows rows;
  bool multiLine;
  std::string formatted;
  int orders;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class OrderTextCases : public ::testing::TestWithParam<ParseCase> {};

TEST_P(OrderTextCases, GivesRowsOrText) {
  const ParseCase& c = GetParam();
  COrderText order;
  Load(c.text, order);
  EXPECT_EQ(Bytes(order), c.text);
  EXPECT_EQ(order.IsMultiLine(), c.multiLine);
  EXPECT_EQ(RowsOf(order), c.rows);
  EXPECT_EQ(order.FormattedText(), c.formatted);
  EXPECT_EQ(order.OrderCount(), c.orders);
  // The whole text stays available for the signed-text view.
  EXPECT_EQ(order.DisplayCopy(), c.text);
  ExpectSameAsReference(c.text);
}

const std::string kLabel200(200, 'L');

INSTANTIATE_TEST_SUITE_P(
    Grammar, OrderTextCases,
    ::testing::Values(
        ParseCase{"OneField", "1:Kwota:100|", {{"Kwota", "100"}}},
        ParseCase{"OrderMarkers",
                  "_ZLECENIE_|1:A:x|_ZLECENIE_|2:B:y|",
                  {{"ZLECENIE 1", ""}, {"A", "x"}, {"ZLECENIE 2", ""}, {"B", "y"}},
                  false, "", 2},
        ParseCase{"IdentificationMarker",
                  "_IDENTYFIKACJA1:Nazwa:abc|",
                  {{"Identyfikacja", ""}, {"Nazwa", "abc"}}},
        ParseCase{"MarkersBackToBack",
                  "_IDENTYFIKACJA_ZLECENIE_|1:A:b|",
                  {{"Identyfikacja", ""}, {"ZLECENIE 1", ""}, {"A", "b"}}, false, "", 1},
        ParseCase{"CrLfSplitsValue",
                  "1:Opis:line one\r\nline two|",
                  {{"Opis", "line one"}, {"", "line two"}}},
        ParseCase{"TrailingLineBreakAddsEmptyRow", "1:Opis:line\n|", {{"Opis", "line"}, {"", ""}}},
        ParseCase{"LoneCrStays", "1:A:a\rb\r|", {{"A", "a\rb\r"}}},
        ParseCase{"OnlyOneCrDropped", "1:A:a\r\r\nb|", {{"A", "a\r"}, {"", "b"}}},
        ParseCase{"EmptyValueAddsNothing", "1:Kwota:|2:Waluta:PLN|", {{"Waluta", "PLN"}}},
        ParseCase{"EmptyLabelIsShown", "1::x|", {{"", "x"}}},
        ParseCase{"NoClosingBar", "1:Kwota:100", {}},
        ParseCase{"NoColonAtAll", "abc|def|", {}},
        ParseCase{"NoSecondColon", "1:A:x|9:Bez", {{"A", "x"}}},
        ParseCase{"ValueKeepsColons", "1:Czas:12:30|", {{"Czas", "12:30"}}},
        ParseCase{"MultiLine",
                  "MULTILINE|1:T:Hello |2:U:world|_ZLECENIE_|",
                  {}, true, "Hello world-", 1},
        ParseCase{"MultiLineKeepsLineBreaks",
                  "MULTILINE|_IDENTYFIKACJA1:A:a\r\nb|1:B:|",
                  {}, true, "-a\r\nb"},
        ParseCase{"PrefixOnlyAtFirstByte", " MULTILINE|1:A:x|", {{"A", "x"}}},
        ParseCase{"FirstFieldStartsAtItsColon", "AB|X1:Kwota:100|", {{"Kwota", "100"}}},
        ParseCase{"MarkerOnlyWhereItemBegins",
                  "x_ZLECENIE_|1:A:_IDENTYFIKACJA|",
                  {{"A", "_IDENTYFIKACJA"}}},
        ParseCase{"MarkersAreCaseSensitive", "_zlecenie_|1:A:b|", {{"A", "b"}}},
        ParseCase{"LabelCutTo127",
                  "1:" + kLabel200 + ":v|",
                  {{std::string(127, 'L'), "v"}}},
        // A bar inside a label ends the field early: parsing resumes after
        // that bar, in the middle of the same field.
        ParseCase{"BarInLabel", "1:A|2:B:y|", {{"A|2", "B:y"}, {"B", "y"}}},
        // A bar inside a later field's id: the field is shown once.
        ParseCase{"BarInLaterId", "1:A:x|Y|2:B:y|", {{"A", "x"}, {"B", "y"}}},
        ParseCase{"MarkerInsideLaterId",
                  "1:a:b|X|_ZLECENIE_|Y:A:v|",
                  {{"a", "b"}, {"A", "v"}, {"ZLECENIE 1", ""}}, false, "", 1},
        // No bar left: only identification markers at item starts count.
        ParseCase{"BarFreeTail",
                  "1:A:x|2:_IDENTYFIKACJA:_IDENTYFIKACJA_IDENTYFIKACJAq_IDENTYFIKACJA:",
                  {{"A", "x"}, {"Identyfikacja", ""}, {"Identyfikacja", ""}, {"Identyfikacja", ""}}},
        ParseCase{"ZeroByteEndsDisplay",
                  std::string("1:A:x|\0" "2:B:y|", 13),
                  {{"A", "x"}}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(OrderTextDisplay, ConvertsOnlyTheDisplayCopy) {
  COrderText order;
  const std::string iso("1:Kwota:\xB1\xB6\xA1\xA6\xAC\xBC|", 15);
  Load(iso, order);
  EXPECT_EQ(Bytes(order), iso);
  EXPECT_EQ(order.DisplayCopy(), std::string("1:Kwota:\xB9\x9C\xA5\x8C\x8F\x9F|", 15));
  ASSERT_EQ(order.RowCount(), 1u);
  EXPECT_EQ(order.Value(0), "\xB9\x9C\xA5\x8C\x8F\x9F");
}

// ---- Transport form and the signed bytes ------------------------------------

TEST(OrderTextHex, DecodesEitherCase) {
  for (const char* hex : {"313A4B776F74613A3130307C", "313a4b776f74613a3130307c"}) {
    COrderText order;
    ASSERT_EQ(order.SetHex(hex), 0) << hex;
    EXPECT_EQ(Bytes(order), "1:Kwota:100|");
    ASSERT_EQ(order.BuildDisplay(), 0);
    EXPECT_EQ(RowsOf(order), (Rows{{"Kwota", "100"}}));
  }
}

TEST(OrderTextHex, RejectsInvalidText) {
  for (const char* hex : {"", "313", "3G", "G1", "31 3A"}) {
    COrderText order;
    ASSERT_EQ(order.SetHex("3132"), 0);
    EXPECT_EQ(order.SetHex(hex), 1) << '"' << hex << '"';
    EXPECT_EQ(order.Bytes(), nullptr);
    EXPECT_EQ(order.Length(), 0u);
    EXPECT_EQ(order.BuildDisplay(), 1);
  }
  COrderText order;
  EXPECT_EQ(order.SetHex(nullptr), 1);
  EXPECT_EQ(order.SetBytes(nullptr, 3), 1);
}

TEST(OrderTextHex, SignedBytesAreExactlyTheDecodedBytes) {
  // A zero byte inside, ISO letters, and bytes after the zero.
  const std::string bytes("1:A:\xB1\xB6|\0" "2:B:z|\xFF", 16);
  COrderText order;
  ASSERT_EQ(order.SetHex(ToHex(bytes).c_str()), 0);
  ASSERT_EQ(order.BuildDisplay(), 0);
  ASSERT_EQ(order.Length(), bytes.size());
  EXPECT_EQ(Bytes(order), bytes);
  EXPECT_EQ(order.Bytes()[order.Length()], 0);  // the extra zero after the data
  // The display copy holds every byte; what is shown ends at the zero.
  EXPECT_EQ(order.DisplayCopy().size(), bytes.size());
  EXPECT_EQ(order.VisibleText(), "1:A:\xB9\x9C|");
  EXPECT_EQ(RowsOf(order), (Rows{{"A", "\xB9\x9C"}}));
}

TEST(OrderTextHex, SetBytesCopies) {
  unsigned char data[] = {'1', ':', 'A', ':', 'v', '|'};
  COrderText order;
  ASSERT_EQ(order.SetBytes(data, sizeof(data)), 0);
  data[4] = 'w';
  ASSERT_EQ(order.BuildDisplay(), 0);
  EXPECT_EQ(Bytes(order), "1:A:v|");
  EXPECT_EQ(RowsOf(order), (Rows{{"A", "v"}}));
}

// ---- The value cap ----------------------------------------------------------

struct CapCase {
  std::size_t valueLength;
  std::size_t padding;  // bytes after the field (count towards n)
  std::size_t shownLength;
};

class OrderValueCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(OrderValueCap, CutsLongValues) {
  const CapCase& c = GetParam();
  for (const char* prefix : {"", "MULTILINE|"}) {
    const std::string text =
        std::string(prefix) + "1:A:" + std::string(c.valueLength, 'v') + "|" + std::string(c.padding, '#');
    COrderText order;
    Load(text, order);
    if (order.IsMultiLine()) {
      EXPECT_EQ(order.FormattedText().size(), c.shownLength);
    } else {
      ASSERT_EQ(order.RowCount(), 1u);
      EXPECT_EQ(order.Value(0).size(), c.shownLength);
      EXPECT_EQ(order.Value(0), std::string(c.shownLength, 'v'));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, OrderValueCap,
    ::testing::Values(CapCase{300000, 0, 255999},   // n > 256000: cut to cap - 1
                      CapCase{256000, 0, 255999},   // exactly the cap
                      CapCase{255999, 10, 255999},  // just under the cap
                      CapCase{255000, 0, 255000}));  // n below 256000: never cut

TEST(OrderValueCap, CutValueSplitsIntoLinesWithinTheCap) {
  // 300000 line breaks: the value is cut to 255999 of them, giving 256000 rows.
  const std::string text = "1:A:" + std::string(300000, '\n') + "|";
  ParsedOrder parsed;
  ASSERT_EQ(ParseOrderText(text, parsed), 0);
  EXPECT_EQ(parsed.rows.size(), 256000u);
}

// ---- Large and hostile texts (speed is measured by the benchmark) ---------

constexpr std::size_t kHostileSize = 8u << 20;

TEST(OrderTextLarge, ColonOnlyText) {
  std::string text(kHostileSize, ':');
  ParsedOrder parsed;
  ASSERT_EQ(ParseOrderText(text, parsed), 0);
  EXPECT_TRUE(parsed.rows.empty());
  // Identification markers still count where an item begins.
  text.replace(kHostileSize / 2, 14, "_IDENTYFIKACJA");
  text.replace(kHostileSize - 14, 14, "_IDENTYFIKACJA");
  ASSERT_EQ(ParseOrderText(text, parsed), 0);
  ASSERT_EQ(parsed.rows.size(), 2u);
  EXPECT_EQ(quenta::OrderRowParameter(text, parsed.rows[1]), "Identyfikacja");
}

TEST(OrderTextLarge, BarFreeText) {
  std::string text;
  while (text.size() < kHostileSize) text += "1:Kwota:100\r\n";
  ParsedOrder parsed;
  ASSERT_EQ(ParseOrderText(text, parsed), 0);
  EXPECT_TRUE(parsed.rows.empty());
  // An identification marker right after the last colon still counts.
  text += ":_IDENTYFIKACJA";
  ASSERT_EQ(ParseOrderText(text, parsed), 0);
  ASSERT_EQ(parsed.rows.size(), 1u);
  EXPECT_EQ(quenta::OrderRowParameter(text, parsed.rows[0]), "Identyfikacja");
}

TEST(OrderTextLarge, BarsInsideAnId) {
  // Every bar would restart the same field; it is still shown once.
  const std::string text = "1:a:b|" + std::string(kHostileSize / 4, '|') + ":A:" +
                           std::string(100000, '\n') + "|";
  ParsedOrder parsed;
  ASSERT_EQ(ParseOrderText(text, parsed), 0);
  EXPECT_EQ(parsed.rows.size(), 1u + 100001u);
}

TEST(OrderTextLarge, AlternatingColonsAndBars) {
  std::string text;
  text.reserve(kHostileSize / 4);
  while (text.size() < kHostileSize / 4) text += ":|";
  ParsedOrder parsed;
  ASSERT_EQ(ParseOrderText(text, parsed), 0);
  EXPECT_TRUE(parsed.rows.empty());
}

TEST(OrderTextLarge, FiftyThousandRows) {
  std::string text = "_IDENTYFIKACJA";
  for (int i = 0; i < 50000; ++i) text += std::to_string(i) + ":Pole " + std::to_string(i) + ":wartosc|";
  COrderText order;
  Load(text, order);
  ASSERT_EQ(order.RowCount(), 50001u);
  EXPECT_EQ(order.Parameter(0), "Identyfikacja");
  EXPECT_EQ(order.Parameter(50000), "Pole 49999");
  EXPECT_EQ(order.Value(50000), "wartosc");
  EXPECT_EQ(order.Parameter(50001), "");  // past the end
  EXPECT_EQ(order.Value(50001), "");
}

// ---- Cross-check against the plain transcription of the rules ----------------

TEST(OrderTextReference, PlainReadingRepeatsFieldsTheParserShowsOnce) {
  const std::string text = "1:A:x|Y|Z|2:B:y|";
  EXPECT_EQ(quenta_reference::Parse(text, false).rows,
            (Rows{{"A", "x"}, {"B", "y"}, {"B", "y"}, {"B", "y"}}));
  ExpectSameAsReference(text);
}

TEST(OrderTextReference, RandomTextsAgree) {
  // Texts built from the pieces the grammar cares about.
  const std::vector<std::string> pieces = {
      ":", ":", ":", "|", "|", "|", "a", "Kw", "\n", "\r", "\r\n", std::string(1, '\0'),
      "_", "_ZLECENIE_|", "_IDENTYFIKACJA", "_ZLECENIE_", "_IDENTYFIKACJ", "MULTILINE|", "\xB1",
      std::string(40, 'i'), "1:Kwota:100|"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    if (random() % 4 == 0) text = "MULTILINE|";
    const int count = 1 + static_cast<int>(random() % 32);
    for (int i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
    ExpectSameAsReference(text);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
