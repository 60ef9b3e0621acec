// Device search: PC/SC through the scripted client library, PKCS#11 through
// the scripted module, classification of readers and cards, the GPK
// pattern, the reader choice, and the release of every PC/SC resource.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include <winscard.h>

#include "engine/result_codes.h"
#include "engine/token_access.h"
#include "platform/pcsc.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"

using namespace quenta;
using namespace quenta_test;

namespace {

const char kSpecialAtr[] = "3BDB960080B1FE451F830031C0641F1801000790005F";
const char kGpkAtr[] = "3BA70040188065A20901";

struct Device {
  std::string reader;
  std::string atr;      // empty: no card in the reader
  unsigned long slot;   // the double's slot for the card
};

class TokenDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { Configure(); }

  void Configure(const std::string& pcscLibrary = QUENTA_PCSC_DOUBLE) {
    settings.Write({"PCSC Library=" + pcscLibrary, std::string("PKCS11 Module=") + QUENTA_PKCS11_DOUBLE,
                    std::string("GPK PKCS11 Module=") + QUENTA_PKCS11_DOUBLE,
                    std::string("Tokens[]=") + kTokenAtr});
  }

  void Add(const Device& d) {
    pcsc.AddReader(d.reader.c_str(), d.atr.c_str());
    if (!d.atr.empty()) {
      std::string serial = "SN" + std::to_string(d.slot);
      p11.AddToken(d.slot, d.reader.c_str(), serial.c_str(), "1234", "12345678");
    }
  }

  void ExpectPcscReleased() {
    EXPECT_EQ(pcsc.OpenContexts(), 0);
    EXPECT_EQ(pcsc.OutstandingBuffers(), 0);
  }

  void ExpectNothingOpen() {
    EXPECT_EQ(p11.OpenSessions(), 0);
    EXPECT_EQ(p11.Initialised(), 0);
    EXPECT_FALSE(token.ModuleLoaded());
  }

  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  MachineSettings settings;
  CTokenAccess token;
};

}  // namespace

TEST(PcscLayout, MatchesPcscLiteAbi) {
  EXPECT_EQ(sizeof(pcsc::SCARD_READERSTATE), sizeof(SCARD_READERSTATE));
  EXPECT_EQ(offsetof(pcsc::SCARD_READERSTATE, dwCurrentState), offsetof(SCARD_READERSTATE, dwCurrentState));
  EXPECT_EQ(offsetof(pcsc::SCARD_READERSTATE, cbAtr), offsetof(SCARD_READERSTATE, cbAtr));
  EXPECT_EQ(offsetof(pcsc::SCARD_READERSTATE, rgbAtr), offsetof(SCARD_READERSTATE, rgbAtr));
  EXPECT_EQ(sizeof(pcsc::DWORD), sizeof(DWORD));
  EXPECT_EQ(sizeof(pcsc::LONG), sizeof(LONG));
  EXPECT_EQ(pcsc::kAutoAllocate, SCARD_AUTOALLOCATE);
  EXPECT_EQ(pcsc::kErrNoReadersAvailable, SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(pcsc::kErrTimeout, SCARD_E_TIMEOUT);
  EXPECT_EQ(pcsc::kMaxAtrSize, static_cast<std::size_t>(MAX_ATR_SIZE));
}

TEST_F(TokenDeviceTest, PcscLibraryListsAndLocatesAndGivesEverythingBack) {
  Add({"Reader A 00 00", kPlainAtr, 1});
  Add({"Reader B 00 01", "", 2});
  {
    CPcscLibrary lib;
    ASSERT_TRUE(lib.Load(QUENTA_PCSC_DOUBLE));
    ASSERT_EQ(lib.EstablishContext(), pcsc::kSuccess);
    std::vector<std::string> readers;
    ASSERT_EQ(lib.ListReaders(readers), pcsc::kSuccess);
    EXPECT_EQ(readers, (std::vector<std::string>{"Reader A 00 00", "Reader B 00 01"}));
    EXPECT_EQ(pcsc.OutstandingBuffers(), 0);

    std::vector<std::string> known;
    ASSERT_EQ(lib.ListCards(token.CardModels(), known), pcsc::kSuccess);
    EXPECT_EQ(known.size(), 11u);
    std::vector<PcscReaderState> states(2);
    states[0].reader = readers[0];
    states[1].reader = readers[1];
    ASSERT_EQ(lib.LocateCards(known, states), pcsc::kSuccess);
    EXPECT_EQ(ToHex(std::string(states[0].atr.begin(), states[0].atr.end())), kPlainAtr);
    EXPECT_TRUE(states[1].atr.empty());
    EXPECT_EQ(pcsc.OpenContexts(), 1);
  }
  ExpectPcscReleased();
}

TEST_F(TokenDeviceTest, PcscLibraryRefusesFilesWithoutTheCalls) {
  CPcscLibrary lib;
  EXPECT_FALSE(lib.Load(QUENTA_PKCS11_DOUBLE));
  EXPECT_FALSE(lib.Load("/nonexistent/libpcsclite.so.1"));
  EXPECT_FALSE(lib.Loaded());
}

TEST_F(TokenDeviceTest, CardModelTableInOrder) {
  ASSERT_EQ(token.CardModels().size(), 11u);
  EXPECT_EQ(token.CardModels().front(), "GemSAFE Smart Card (16K)");
  EXPECT_EQ(token.CardModels()[1], "ProtectorCard");
  EXPECT_EQ(token.CardModels().back(), "GXPPro-R3.x STD T=1");
}

struct PcscFailureCase {
  const char* name;
  const char* function;  // the call made to fail, null: none
  bool noReaders;
  int mode;
  int expected;
};

class PcscFailureTest : public TokenDeviceTest,
                        public ::testing::WithParamInterface<PcscFailureCase> {};

TEST_P(PcscFailureTest, GivesTheCodeAndReleasesEverything) {
  const PcscFailureCase& c = GetParam();
  if (!c.noReaders) Add({"Reader A 00 00", kPlainAtr, 1});
  if (c.function) pcsc.Fail(c.function, static_cast<long>(SCARD_E_NO_SERVICE));
  unsigned long slot = 99;
  EXPECT_EQ(token.OpenDevice(c.mode, &slot), c.expected);
  EXPECT_EQ(slot, 99u);
  EXPECT_FALSE(token.HasSession());
  ExpectPcscReleased();
  ExpectNothingOpen();
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PcscFailureTest,
    ::testing::Values(PcscFailureCase{"ContextFails", "SCardEstablishContext", false, 2, 92},
                      PcscFailureCase{"ListFailsSmartCard", "SCardListReaders", false, 0, 48},
                      PcscFailureCase{"ListFailsToken", "SCardListReaders", false, 1, 133},
                      PcscFailureCase{"ListFailsAny", "SCardListReaders", false, 2, 93},
                      PcscFailureCase{"NoReadersSmartCard", nullptr, true, 0, 48},
                      PcscFailureCase{"NoReadersToken", nullptr, true, 1, 133},
                      PcscFailureCase{"NoReadersAny", nullptr, true, 2, 93},
                      PcscFailureCase{"LocateFails", "SCardGetStatusChange", false, 2, 94}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenDeviceTest, MissingOrIncompletePcscLibraryGives96) {
  Add({"Reader A 00 00", kPlainAtr, 1});
  unsigned long slot = 0;
  Configure("/nonexistent/libpcsclite.so.1");
  EXPECT_EQ(token.OpenDevice(kDeviceAny, &slot), kErrPcscLibrary);
  Configure(QUENTA_PKCS11_DOUBLE);  // a library, but without the PC/SC calls
  EXPECT_EQ(token.OpenDevice(kDeviceAny, &slot), kErrPcscLibrary);
  std::vector<TokenDevice> devices;
  EXPECT_EQ(token.ListDevices(kDeviceAny, devices), kErrPcscLibrary);
}

struct ClassifyCase {
  const char* name;
  std::vector<Device> devices;
  int mode;
  int expected;
  unsigned long slot;  // slot opened on success
  int deviceKind;
  int family;
};

class ClassifyTest : public TokenDeviceTest, public ::testing::WithParamInterface<ClassifyCase> {};

TEST_P(ClassifyTest, OpensTheDeviceOfTheMode) {
  const ClassifyCase& c = GetParam();
  for (const Device& d : c.devices) Add(d);
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(c.mode, &slot), c.expected);
  ExpectPcscReleased();
  if (c.expected != kOk) {
    ExpectNothingOpen();
    return;
  }
  EXPECT_TRUE(token.HasSession());
  EXPECT_EQ(slot, c.slot);
  EXPECT_EQ(token.Slot(), c.slot);
  EXPECT_EQ(token.DeviceKind(), c.deviceKind);
  EXPECT_EQ(token.ModuleFamily(), c.family);
  EXPECT_EQ(p11.OpenSessions(), 1);  // the search closed every other session
  EXPECT_EQ(token.CloseSession(), 0);
  token.ReleaseModule();
  ExpectNothingOpen();
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ClassifyTest,
    ::testing::Values(
        ClassifyCase{"SmartCardReader", {{"Gemalto PC Twin Reader 00 00", kPlainAtr, 0x101}}, 0, 0, 0x101, 0, 1},
        ClassifyCase{"KeyReaderSkippedForSmartCards", {{"Gemalto USB Key 00 00", kPlainAtr, 0x101}}, 0, 48, 0, 0, 0},
        ClassifyCase{"KeyReaderIsAToken", {{"Gemalto USB Key 00 00", kPlainAtr, 0x101}}, 1, 0, 0x101, 1, 1},
        ClassifyCase{"TokenAtrSkippedForSmartCards", {{"Reader 00 00", kTokenAtr, 0x101}}, 0, 48, 0, 0, 0},
        ClassifyCase{"TokenAtrIsAToken", {{"Reader 00 00", kTokenAtr, 0x101}}, 1, 0, 0x101, 1, 1},
        ClassifyCase{"PlainCardIsNoToken", {{"Reader 00 00", kPlainAtr, 0x101}}, 1, 133, 0, 0, 0},
        ClassifyCase{"SpecialCardAsSmartCard", {{"Reader 00 00", kSpecialAtr, 0x101}}, 0, 0, 0x101, 0, 1},
        ClassifyCase{"SpecialCardAsToken", {{"Reader 00 00", kSpecialAtr, 0x101}}, 1, 0, 0x101, 0, 1},
        ClassifyCase{"EmptyReaderSmartCard", {{"Reader 00 00", "", 0x101}}, 0, 57, 0, 0, 0},
        ClassifyCase{"EmptyKeyReader", {{"Gemalto USB Key 00 00", "", 0x101}}, 1, 133, 0, 0, 0},
        ClassifyCase{"EmptyReaderAny", {{"Reader 00 00", "", 0x101}}, 2, 57, 0, 0, 0},
        ClassifyCase{"SkipsToTheRightReader",
                     {{"Gemalto USB Key 00 00", kPlainAtr, 0x101}, {"Reader 00 01", kPlainAtr, 0x102}},
                     0, 0, 0x102, 0, 1},
        // GPK cards: family 0 module, slot = reader index.
        ClassifyCase{"GpkCardBySlotIndex",
                     {{"Gemalto USB Key 00 00", kPlainAtr, 0x101}, {"GPK Reader 00 01", kGpkAtr, 1}},
                     0, 0, 1, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenDeviceTest, SpecialCardHasNoExceptionWhenListing) {
  Add({"Reader 00 00", kSpecialAtr, 0x101});
  std::vector<TokenDevice> devices;
  EXPECT_EQ(token.ListDevices(kDeviceUsbToken, devices), kErrNoUsbToken);
  EXPECT_TRUE(devices.empty());
  ASSERT_EQ(token.ListDevices(kDeviceSmartCard, devices), 0);
  ASSERT_EQ(devices.size(), 1u);
  ExpectNothingOpen();
  ExpectPcscReleased();
}

TEST_F(TokenDeviceTest, ListDevicesGivesEveryReaderWithASerial) {
  Add({"Reader 00 00", kPlainAtr, 0x101});
  Add({"Reader 00 01", "", 0x102});
  Add({"GPK 00 02", kGpkAtr, 2});
  std::vector<TokenDevice> devices;
  ASSERT_EQ(token.ListDevices(kDeviceAny, devices), 0);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].readerName, "Reader 00 00");
  EXPECT_EQ(devices[0].serial, "SN257           ");
  EXPECT_EQ(devices[0].slot, 0x101u);
  EXPECT_EQ(devices[0].family, kFamilyPkcs11);
  EXPECT_EQ(devices[1].readerName, "GPK 00 02");
  EXPECT_EQ(devices[1].slot, 2u);
  EXPECT_EQ(devices[1].family, kFamilyGpk);
  ExpectNothingOpen();

  // Without candidates: 48 / 133 / 0; with candidates but no entry: 0.
  pcsc.Reset();
  Add({"Gemalto USB Key 00 00", "", 0x103});
  EXPECT_EQ(token.ListDevices(kDeviceSmartCard, devices), kErrNoSmartCard);
  EXPECT_EQ(token.ListDevices(kDeviceUsbToken, devices), 0);
  EXPECT_TRUE(devices.empty());
}

TEST_F(TokenDeviceTest, SlotFoundByReaderNameNotByPrefixAlone) {
  pcsc.AddReader("Reader 1", kPlainAtr);
  p11.AddToken(0x300, "Reader 10", "WRONG", "1234", "12345678");
  p11.AddToken(0x301, "Reader 1", "RIGHT", "1234", "12345678");
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceSmartCard, &slot), 0);
  EXPECT_EQ(slot, 0x301u);
}

TEST_F(TokenDeviceTest, ReaderWithoutASlotYieldsNoDevice) {
  // A slot 0 exists, but it is some other device: it must not be taken.
  pcsc.AddReader("Lonely Reader 00 00", kPlainAtr);
  p11.AddToken(0, "Another Reader 00 01", "OTHER", "1234", "12345678");
  unsigned long slot = 0;
  EXPECT_EQ(token.OpenDevice(kDeviceSmartCard, &slot), kErrTokenAbsent);
  ExpectNothingOpen();
}

TEST_F(TokenDeviceTest, LongReaderNamesCompareWithinTheDescription) {
  const std::string longName(70, 'R');
  pcsc.AddReader(longName.c_str(), kPlainAtr);
  p11.AddToken(0x400, longName.substr(0, 64).c_str(), "LONG", "1234", "12345678");
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceSmartCard, &slot), 0);
  EXPECT_EQ(slot, 0x400u);
}

TEST_F(TokenDeviceTest, OpenDeviceWithASessionReturnsAtOnce) {
  Add({"Reader 00 00", kPlainAtr, 0x101});
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceAny, &slot), 0);
  const int calls = pcsc.StatusCalls();
  unsigned long again = 0;
  EXPECT_EQ(token.OpenDevice(kDeviceSmartCard, &again), 0);
  EXPECT_EQ(again, 0x101u);
  EXPECT_EQ(pcsc.StatusCalls(), calls);
}

class ReaderChoiceTest : public TokenDeviceTest {
 protected:
  void SetUp() override {
    TokenDeviceTest::SetUp();
    Add({"Gemalto USB Key 00 00", kPlainAtr, 0x101});
    Add({"Gemalto USB Key 00 01", kPlainAtr, 0x102});
  }
  void TearDown() override { CTokenAccess::SetReaderChoiceHook(nullptr); }
};

TEST_F(ReaderChoiceTest, WithoutADialogNothingIsChosen) {
  unsigned long slot = 0;
  EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), kErrCancelled);
  ExpectNothingOpen();
  ExpectPcscReleased();
}

TEST_F(ReaderChoiceTest, TheChosenRowIsOpened) {
  int shown = 0;
  CTokenAccess::SetReaderChoiceHook(
      [&](CTokenAccess& t, int mode, std::vector<TokenDevice>& devices, int* chosen) {
        ++shown;
        EXPECT_EQ(&t, &token);
        EXPECT_EQ(mode, kDeviceUsbToken);
        EXPECT_EQ(devices.size(), 2u);
        EXPECT_EQ(devices[1].serial.substr(0, 5), "SN258");
        *chosen = 1;
        return 1;
      });
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), 0);
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(slot, 0x102u);
  EXPECT_EQ(token.DeviceKind(), 1);
  EXPECT_EQ(p11.OpenSessions(), 1);
}

TEST_F(ReaderChoiceTest, CancelOrABadRowGives8) {
  for (int answer : {2, 1}) {
    CTokenAccess::SetReaderChoiceHook([&](CTokenAccess&, int, std::vector<TokenDevice>&, int* chosen) {
      *chosen = 7;  // out of range when "accepted"
      return answer;
    });
    unsigned long slot = 0;
    EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), kErrCancelled) << answer;
    ExpectNothingOpen();
  }
}

TEST_F(ReaderChoiceTest, RefreshListsTheDevicesAgain) {
  CTokenAccess::SetReaderChoiceHook(
      [&](CTokenAccess& t, int mode, std::vector<TokenDevice>& devices, int* chosen) {
        pcsc.Reset();  // one device unplugged
        pcsc.AddReader("Gemalto USB Key 00 01", kPlainAtr);
        EXPECT_EQ(t.ListDevices(mode, devices), 0);
        EXPECT_EQ(devices.size(), 1u);
        *chosen = 0;
        return 1;
      });
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), 0);
  EXPECT_EQ(slot, 0x102u);
  ExpectPcscReleased();
}

TEST_F(TokenDeviceTest, OneDeviceNeedsNoChoice) {
  Add({"Gemalto USB Key 00 00", kPlainAtr, 0x101});
  Add({"Gemalto USB Key 00 01", "", 0x102});
  bool shown = false;
  CTokenAccess::SetReaderChoiceHook([&](CTokenAccess&, int, std::vector<TokenDevice>&, int*) {
    shown = true;
    return 2;
  });
  unsigned long slot = 0;
  EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), 0);
  EXPECT_FALSE(shown);
  CTokenAccess::SetReaderChoiceHook(nullptr);
}

// The real client library has every call the search needs; without a
// daemon behind its socket the context cannot be established.
TEST_F(TokenDeviceTest, RealPcscLiteWithoutADaemon) {
  TempDir dir;
  ScopedEnv socket("PCSCLITE_CSOCK_NAME", dir.File("no-daemon.comm"));
  Configure("libpcsclite.so.1");
  unsigned long slot = 0;
  EXPECT_EQ(token.OpenDevice(kDeviceAny, &slot), kErrPcscContext);
  CPcscLibrary lib;
  EXPECT_TRUE(lib.Load("libpcsclite.so.1"));
}
