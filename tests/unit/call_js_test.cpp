// The page callback address must call componentWKPEvent with exactly the
// original values, whatever a key name or label contains. Checked by
// evaluating the generated script in Node.js the way a browser evaluates a
// "javascript:" address.
#include "plugin/call_js.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using quenta::CCallJS;

struct Recorder : quenta::IPageTarget {
  std::vector<std::string> addresses;
  void DeliverWKPEvent(const std::string& r, const std::string& k, const std::string& l,
                       int c) override {
    addresses.push_back(CCallJS::BuildWKPEventAddress(r, k, l, c));
  }
};

TEST(PageCallback, PlainValuesGiveTheDocumentedAddress) {
  Recorder page;
  CCallJS js;
  js.SetTarget(&page);
  EXPECT_EQ(js.FireWKPEvent("", "K1", "Main key", 1), 0);
  EXPECT_EQ(js.FireWKPEvent("", "K1", "Main key", 2), 0);
  ASSERT_EQ(page.addresses.size(), 2u);
  EXPECT_EQ(page.addresses[0], "javascript:componentWKPEvent( '','K1','Main key','1' )");
  EXPECT_EQ(page.addresses[1], "javascript:componentWKPEvent( '','K1','Main key','2' )");
}

TEST(PageCallback, NoTargetSendsNothing) {
  CCallJS js;
  EXPECT_EQ(js.FireWKPEvent("", "K1", "x", 1), 0);
}

// JSON text of a UTF-8 string, for the expected values handed to Node.
std::string Json(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') { out += '\\'; out += static_cast<char>(c); }
    else if (c < 0x20) { char b[8]; snprintf(b, sizeof b, "\\u%04x", c); out += b; }
    else out += static_cast<char>(c);
  }
  return out + "\"";
}

TEST(PageCallback, HostileNamesReachThePageUnchanged) {
  if (quenta_test::RunCommand("node --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no node";
  struct Case {
    std::string name;        // bytes as the page gave them
    std::string label1250;   // the label as the engine holds it
    std::string expectName;  // UTF-8 of what the page function must receive
    std::string expectLabel;
  };
  const std::vector<Case> cases = {
      {"O'Brien", "it's", "O'Brien", "it's"},
      {"a\\b", "c\\'d", "a\\b", "c\\'d"},
      {"line\nbreak\r\n", "tab\there", "line\nbreak\r\n", "tab\there"},
      {"</script><script>alert(1)</script>", "\");alert(1);//", "</script><script>alert(1)</script>",
       "\");alert(1);//"},
      {"'); document.title='pwned'; ('", "x", "'); document.title='pwned'; ('", "x"},
      {"100%27 %3Cb%3E", "%41", "100%27 %3Cb%3E", "%41"},
      {"\xC5\x81ukasz \xE2\x80\xA8 \xF0\x9F\x94\x91", "G\xB3\xF3wny \xA5\x8C\x8F\xB9\x9C\x9F",
       "\xC5\x81ukasz \xE2\x80\xA8 \xF0\x9F\x94\x91",
       "G\xC5\x82\xC3\xB3wny \xC4\x84\xC5\x9A\xC5\xB9\xC4\x85\xC5\x9B\xC5\xBA"},
      // Bytes that are not UTF-8 are read as Windows-1250.
      {"k\xB3\xF3", "", "k\xC5\x82\xC3\xB3", ""},
  };
  quenta_test::TempDir dir;
  std::string script =
      "const fs = require('fs');\n"
      "const cases = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));\n"
      "let bad = 0;\n"
      "for (const c of cases) {\n"
      "  let got = null;\n"
      "  const componentWKPEvent = (a, b, l, n) => { got = [a, b, l, n]; };\n"
      "  const body = decodeURIComponent(c.url.slice('javascript:'.length));\n"
      "  try { eval(body); } catch (e) { console.log('parse error', c.url, e.message); bad++; continue; }\n"
      "  const want = ['', c.name, c.label, '3'];\n"
      "  if (JSON.stringify(got) !== JSON.stringify(want)) {\n"
      "    console.log('mismatch', JSON.stringify(got), JSON.stringify(want)); bad++; }\n"
      "  if (typeof document !== 'undefined') bad++;\n"
      "}\n"
      "process.exit(bad ? 1 : 0);\n";
  quenta_test::WriteFile(dir.File("check.js"), script);
  std::string json = "[";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string url = CCallJS::BuildWKPEventAddress("", cases[i].name, cases[i].label1250, 3);
    // Only ASCII goes into the address, and nothing a browser would unescape.
    for (unsigned char c : url) ASSERT_TRUE(c >= 0x20 && c < 0x7F && c != '%') << url;
    json += std::string(i ? "," : "") + "{\"url\":" + Json(url) + ",\"name\":" +
            Json(cases[i].expectName) + ",\"label\":" + Json(cases[i].expectLabel) + "}";
  }
  json += "]";
  quenta_test::WriteFile(dir.File("cases.json"), json);
  std::string out;
  int rc = quenta_test::RunCommand("node " + dir.File("check.js") + " " + dir.File("cases.json") +
                                       " 2>&1",
                                   &out);
  EXPECT_EQ(rc, 0) << out;
}

}  // namespace
