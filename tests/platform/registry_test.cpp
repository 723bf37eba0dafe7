// The registry service: typed values, names without case, key trees, several processes and
// threads on one database, the host's MIME and cradle answers, and a corrupt database file.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/device.h"
#include "platform/utf.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMimeFixture =
    "# MIME type\t\t\tExtensions\n"
    "audio/mpeg\t\t\tmp3 mpga\n"
    "audio/x-nothing\n"
    "video/mp4\t\t\tmp4 mp4v\n"
    "audio/mpeg\t\t\tmpx\n";  // a type listed again keeps its first extension

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text, bool terminator) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// A device root of its own, a MIME table and power supplies of the test's making.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nubrel-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    DeviceConfig config;
    config.root = root_;
    config.powerSupplyFolder = root_ + "/power_supply";
    fs::create_directories(config.powerSupplyFolder);
    SetDeviceConfig(config);
    WriteWholeFile(root_ + "/mime.types", kMimeFixture);
    SetRegistryMimeTypesFile(root_ + "/mime.types");
  }
  void TearDown() override {
    CloseRegistry();
    SetRegistryMimeTypesFile("/etc/mime.types");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::string DatabasePath() const { return DevicePrivateFolder() + "/registry.db"; }

  RegistryKey MakeKey(RegistryRoot root, std::u16string_view path) {
    RegistryKey key;
    EXPECT_EQ(RegistryCreateKey(root, path, key), kErrorSuccess);
    return key;
  }

  std::string root_;
};

// Suites by behaviour, one fixture.
using RegistryValues = RegistryTest;
using RegistryKeys = RegistryTest;
using RegistrySharing = RegistryTest;
using RegistryHost = RegistryTest;
using RegistryDatabase = RegistryTest;

// A fork()ed child that runs work once released, and whose end the parent awaits for a bounded
// time. The parent must hold no registry connection at Start.
class ChildProcess {
 public:
  explicit ChildProcess(std::function<int()> work) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[1]);
      pollfd wait{fds[0], POLLIN, 0};
      char go = 0;
      if (::poll(&wait, 1, 30000) != 1 || ::read(fds[0], &go, 1) != 1) _exit(90);
      _exit(work());
    }
    ::close(fds[0]);
    go_ = fds[1];
  }
  ~ChildProcess() {
    if (go_ >= 0) ::close(go_);
    if (pid_ > 0) Wait(0);
  }
  bool Started() const { return pid_ > 0; }
  void Release() {
    char go = 1;
    EXPECT_EQ(::write(go_, &go, 1), 1);
  }
  // The child's exit code, or -1 when it had to be killed after the time-out.
  int Wait(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (;;) {
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
};

// ---- Values of each type ----

TEST_F(RegistryValues, KeepTypeAndBytesExactly) {
  struct Row {
    const char* label;
    uint32_t type;
    std::vector<uint8_t> bytes;
  };
  const Row rows[] = {
      {"dword", kRegistryTypeDword, {0x78, 0x56, 0x34, 0x12}},
      {"text with terminator", kRegistryTypeText, Utf16Bytes(u"caf\u00e9 \u20ac", true)},
      {"text without terminator", kRegistryTypeText, Utf16Bytes(u"raw", false)},
      {"binary with zeros", kRegistryTypeBinary, {0x00, 0xFF, 0x00, 0x10}},
      {"empty binary", kRegistryTypeBinary, {}},
      {"opaque type", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
  };
  RegistryKey key = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::u16string name = FromUtf8(row.label);
    ASSERT_EQ(RegistrySetValue(key, name, row.type, row.bytes.data(), row.bytes.size()), kErrorSuccess);
  }
  // Read back through a fresh connection, so the bytes came from the file.
  CloseRegistry();
  RegistryKey reopened;
  ASSERT_EQ(RegistryOpenKey(RegistryRoot::kCurrentUser, u"Software\\nubrel", reopened), kErrorSuccess);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::u16string name = FromUtf8(row.label);
    uint32_t type = 0;
    uint32_t size = 0;
    ASSERT_EQ(RegistryQueryValue(reopened, name, &type, nullptr, &size), kErrorSuccess);
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(size, row.bytes.size());
    std::vector<uint8_t> buffer(row.bytes.size() + 4, 0xEE);
    size = static_cast<uint32_t>(buffer.size());
    ASSERT_EQ(RegistryQueryValue(reopened, name, nullptr, buffer.data(), &size), kErrorSuccess);
    ASSERT_EQ(size, row.bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + size), row.bytes);
  }
}

TEST_F(RegistryValues, TypedHelpersRoundTripAndCheckTheType) {
  RegistryKey key = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
  ASSERT_EQ(RegistryWriteDword(key, u"checkNewInterval", 0xFFFFFFFFu), kErrorSuccess);
  ASSERT_EQ(RegistryWriteText(key, u"storagePath", u"\\My Documents\\Channels\\"), kErrorSuccess);
  ASSERT_EQ(RegistryWriteText(key, u"empty", u""), kErrorSuccess);
  const uint8_t cipher[] = {9, 0, 8, 0, 7, 0, 6, 0};
  ASSERT_EQ(RegistryWriteBinary(key, u"proxyPassword", cipher, sizeof cipher), kErrorSuccess);
  ASSERT_EQ(RegistryWriteBinary(key, u"nothing", nullptr, 0), kErrorSuccess);

  uint32_t dword = 0;
  EXPECT_EQ(RegistryReadDword(key, u"checkNewInterval", dword), kErrorSuccess);
  EXPECT_EQ(dword, 0xFFFFFFFFu);
  std::u16string text;
  EXPECT_EQ(RegistryReadText(key, u"storagePath", text, 261), kErrorSuccess);
  EXPECT_EQ(text, u"\\My Documents\\Channels\\");
  // The stored byte count includes the terminator.
  uint32_t size = 0;
  ASSERT_EQ(RegistryQueryValue(key, u"storagePath", nullptr, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(size, (text.size() + 1) * 2);
  EXPECT_EQ(RegistryReadText(key, u"empty", text, 1), kErrorSuccess);
  EXPECT_EQ(text, u"");
  std::vector<uint8_t> binary;
  EXPECT_EQ(RegistryReadBinary(key, u"proxyPassword", binary), kErrorSuccess);
  EXPECT_EQ(binary, std::vector<uint8_t>(cipher, cipher + sizeof cipher));
  binary.assign(3, 1);
  EXPECT_EQ(RegistryReadBinary(key, u"nothing", binary), kErrorSuccess);
  EXPECT_TRUE(binary.empty());

  // A value of another type is refused and leaves the output alone.
  struct Mismatch {
    const char* label;
    std::function<DeviceError()> read;
  } mismatches[] = {
      {"dword from text", [&] { return RegistryReadDword(key, u"storagePath", dword); }},
      {"dword from 8 bytes", [&] { return RegistryReadDword(key, u"proxyPassword", dword); }},
      {"text from dword", [&] { return RegistryReadText(key, u"checkNewInterval", text, 261); }},
      {"binary from text", [&] { return RegistryReadBinary(key, u"storagePath", binary); }},
  };
  dword = 7;
  text = u"kept";
  binary = {42};
  for (const auto& row : mismatches) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.read(), kErrorUnsupportedType);
  }
  EXPECT_EQ(dword, 7u);
  EXPECT_EQ(text, u"kept");
  EXPECT_EQ(binary, std::vector<uint8_t>{42});
}

TEST_F(RegistryValues, TooLargeForTheBufferAnswerMoreDataAndTheSize) {
  RegistryKey key = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
  ASSERT_EQ(RegistryWriteText(key, u"userAgent", u"Nubrel"), kErrorSuccess);  // 14 bytes
  uint8_t buffer[14];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint32_t size = 13;
  uint32_t type = 0;
  EXPECT_EQ(RegistryQueryValue(key, u"userAgent", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, 14u);
  size = 14;
  EXPECT_EQ(RegistryQueryValue(key, u"userAgent", &type, buffer, &size), kErrorSuccess);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 14), Utf16Bytes(u"Nubrel", true));
  EXPECT_EQ(RegistryQueryValue(key, u"userAgent", &type, buffer, nullptr), kErrorInvalidParameter);

  // The text helper reads as into a buffer of that many characters, terminator included.
  std::u16string text = u"before";
  EXPECT_EQ(RegistryReadText(key, u"userAgent", text, 6), kErrorMoreData);
  EXPECT_EQ(text, u"before");
  EXPECT_EQ(RegistryReadText(key, u"userAgent", text, 7), kErrorSuccess);
  EXPECT_EQ(text, u"Nubrel");
}

// ---- Names ----

TEST_F(RegistryKeys, NamesMatchWithoutCaseAndKeepTheirFirstCase) {
  bool created = false;
  RegistryKey first;
  ASSERT_EQ(RegistryCreateKey(RegistryRoot::kCurrentUser, u"Software\\Nubrel\\Caf\u00e9 \u041a\u043b\u044e\u0447",
                              first, &created),
            kErrorSuccess);
  EXPECT_TRUE(created);
  RegistryKey second;
  ASSERT_EQ(RegistryCreateKey(RegistryRoot::kCurrentUser, u"SOFTWARE\\nubrel\\CAF\u00c9 \u041a\u041b\u042e\u0427",
                              second, &created),
            kErrorSuccess);
  EXPECT_FALSE(created);

  ASSERT_EQ(RegistryWriteDword(first, u"markReadInterval", 2), kErrorSuccess);
  ASSERT_EQ(RegistryWriteDword(second, u"MARKREADINTERVAL", 5), kErrorSuccess);
  ASSERT_EQ(RegistryWriteText(second, u"", u"default"), kErrorSuccess);
  uint32_t value = 0;
  EXPECT_EQ(RegistryReadDword(first, u"MarkReadInterval", value), kErrorSuccess);
  EXPECT_EQ(value, 5u);

  std::u16string name;
  ASSERT_EQ(RegistryEnumValue(first, 0, name), kErrorSuccess);
  EXPECT_EQ(name, u"markReadInterval");
  ASSERT_EQ(RegistryEnumValue(first, 1, name), kErrorSuccess);
  EXPECT_EQ(name, u"");  // the default value
  EXPECT_EQ(RegistryEnumValue(first, 2, name), kErrorNoMoreItems);

  RegistryKey software;
  ASSERT_EQ(RegistryOpenKey(RegistryRoot::kCurrentUser, u"software\\NUBREL", software), kErrorSuccess);
  ASSERT_EQ(RegistryEnumKey(software, 0, name), kErrorSuccess);
  EXPECT_EQ(name, u"Caf\u00e9 \u041a\u043b\u044e\u0447");
  // Roots are apart: the same path under another root does not exist.
  RegistryKey other;
  EXPECT_EQ(RegistryOpenKey(RegistryRoot::kLocalMachine, u"Software\\Nubrel", other), kErrorFileNotFound);
}

// ---- Errors ----

TEST_F(RegistryKeys, MissingThingsAndBadInputAnswerClearErrors) {
  RegistryKey key = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
  ASSERT_EQ(RegistryWriteText(key, u"text", u"x"), kErrorSuccess);
  RegistryKey out;
  RegistryKey closed;
  uint32_t size = 0;
  const std::u16string longName(256, u'k');
  const std::u16string withZero(u"a\0b", 3);
  const std::u16string loneSurrogate(1, char16_t(0xD800));
  struct Row {
    const char* label;
    std::function<DeviceError()> call;
    DeviceError expected;
  } rows[] = {
      {"open missing key", [&] { return RegistryOpenKey(key, u"missing", out); }, kErrorFileNotFound},
      {"open missing deeper", [&] { return RegistryOpenKey(key, u"a\\b\\c", out); }, kErrorFileNotFound},
      {"query missing value",
       [&] { return RegistryQueryValue(key, u"none", nullptr, nullptr, &size); }, kErrorFileNotFound},
      {"delete missing value", [&] { return RegistryDeleteValue(key, u"none"); }, kErrorFileNotFound},
      {"delete missing key", [&] { return RegistryDeleteKey(key, u"none"); }, kErrorFileNotFound},
      {"delete with empty path", [&] { return RegistryDeleteKey(key, u""); }, kErrorInvalidParameter},
      {"doubled backslash", [&] { return RegistryCreateKey(key, u"a\\\\b", out); }, kErrorInvalidParameter},
      {"leading backslash", [&] { return RegistryCreateKey(key, u"\\a", out); }, kErrorInvalidParameter},
      {"trailing backslash", [&] { return RegistryCreateKey(key, u"a\\", out); }, kErrorInvalidParameter},
      {"key name too long", [&] { return RegistryCreateKey(key, longName, out); }, kErrorInvalidParameter},
      {"zero in key name", [&] { return RegistryCreateKey(key, withZero, out); }, kErrorInvalidParameter},
      {"broken surrogate", [&] { return RegistryCreateKey(key, loneSurrogate, out); }, kErrorInvalidParameter},
      {"zero in value name", [&] { return RegistryWriteDword(key, withZero, 1); }, kErrorInvalidParameter},
      {"null data with a size", [&] { return RegistrySetValue(key, u"v", 3, nullptr, 4); }, kErrorInvalidParameter},
      {"oversized data",
       [&] {
         std::vector<uint8_t> big(kRegistryMaxValueBytes + 1);
         return RegistrySetValue(key, u"v", 3, big.data(), big.size());
       },
       kErrorInvalidParameter},
      {"closed handle", [&] { return RegistryWriteDword(closed, u"v", 1); }, kErrorInvalidHandle},
      {"text of zero characters", [&] {
         std::u16string text;
         return RegistryReadText(key, u"text", text, 0);
       }, kErrorInvalidParameter},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.call(), row.expected);
  }
  // None of the refused calls made anything.
  std::u16string name;
  EXPECT_EQ(RegistryEnumKey(key, 0, name), kErrorNoMoreItems);
  ASSERT_EQ(RegistryEnumValue(key, 0, name), kErrorSuccess);
  EXPECT_EQ(RegistryEnumValue(key, 1, name), kErrorNoMoreItems);
}

// ---- Key trees ----

TEST_F(RegistryKeys, DeleteTakesTheSubtreeAndItsHandlesStayDeleted) {
  // The deleted keys are the newest, so a store that handed out their ids again would show.
  RegistryKey sibling = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel\\a2");
  RegistryKey deep = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel\\a\\b\\c");
  RegistryKey middle = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel\\a\\b");
  ASSERT_EQ(RegistryWriteDword(deep, u"v", 1), kErrorSuccess);
  ASSERT_EQ(RegistryWriteDword(middle, u"v", 2), kErrorSuccess);
  ASSERT_EQ(RegistryWriteDword(sibling, u"v", 3), kErrorSuccess);

  RegistryKey nubrel;
  ASSERT_EQ(RegistryOpenKey(RegistryRoot::kCurrentUser, u"Software\\nubrel", nubrel), kErrorSuccess);
  ASSERT_EQ(RegistryDeleteKey(nubrel, u"A"), kErrorSuccess);
  RegistryKey out;
  for (const char16_t* path : {u"a", u"a\\b", u"a\\b\\c"}) {
    SCOPED_TRACE(ToUtf8(path));
    EXPECT_EQ(RegistryOpenKey(nubrel, path, out), kErrorFileNotFound);
  }
  uint32_t value = 0;
  EXPECT_EQ(RegistryReadDword(sibling, u"v", value), kErrorSuccess);
  EXPECT_EQ(value, 3u);

  // A key made again under the old name is a new key: old handles stay deleted, old values gone.
  RegistryKey remade = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel\\a\\b");
  std::u16string name;
  struct Row {
    const char* label;
    std::function<DeviceError()> call;
  } rows[] = {
      {"read", [&] { return RegistryReadDword(middle, u"v", value); }},
      {"write", [&] { return RegistryWriteDword(middle, u"v", 9); }},
      {"delete value", [&] { return RegistryDeleteValue(middle, u"v"); }},
      {"enum keys", [&] { return RegistryEnumKey(middle, 0, name); }},
      {"enum values", [&] { return RegistryEnumValue(middle, 0, name); }},
      {"open below", [&] { return RegistryOpenKey(middle, u"c", out); }},
      {"create below", [&] { return RegistryCreateKey(middle, u"c", out); }},
      {"deep read", [&] { return RegistryReadDword(deep, u"v", value); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.call(), kErrorKeyDeleted);
  }
  EXPECT_EQ(RegistryReadDword(remade, u"v", value), kErrorFileNotFound);
  EXPECT_EQ(RegistryOpenKey(remade, u"c", out), kErrorFileNotFound);
}

TEST_F(RegistryKeys, EnumerationFollowsCreationOrderAndIsStable) {
  RegistryKey key = MakeKey(RegistryRoot::kCurrentUser, u"Software\\order");
  for (const char16_t* sub : {u"zeta", u"Alpha", u"mid"}) {
    RegistryKey child;
    ASSERT_EQ(RegistryCreateKey(key, sub, child), kErrorSuccess);
  }
  for (const char16_t* value : {u"b", u"A", u"c"}) ASSERT_EQ(RegistryWriteDword(key, value, 1), kErrorSuccess);
  ASSERT_EQ(RegistryWriteDword(key, u"B", 2), kErrorSuccess);  // rewriting keeps its place
  ASSERT_EQ(RegistryDeleteValue(key, u"a"), kErrorSuccess);
  ASSERT_EQ(RegistryDeleteKey(key, u"ALPHA"), kErrorSuccess);

  auto listKeys = [&] {
    std::vector<std::u16string> names;
    std::u16string name;
    for (uint32_t i = 0; RegistryEnumKey(key, i, name) == kErrorSuccess; ++i) names.push_back(name);
    return names;
  };
  auto listValues = [&] {
    std::vector<std::u16string> names;
    std::u16string name;
    for (uint32_t i = 0; RegistryEnumValue(key, i, name) == kErrorSuccess; ++i) names.push_back(name);
    return names;
  };
  const std::vector<std::u16string> expectedKeys = {u"zeta", u"mid"};
  const std::vector<std::u16string> expectedValues = {u"b", u"c"};
  EXPECT_EQ(listKeys(), expectedKeys);
  EXPECT_EQ(listValues(), expectedValues);
  CloseRegistry();
  EXPECT_EQ(listKeys(), expectedKeys);
  EXPECT_EQ(listValues(), expectedValues);
  std::u16string name;
  EXPECT_EQ(RegistryEnumKey(key, 2, name), kErrorNoMoreItems);
  EXPECT_EQ(RegistryEnumValue(key, 2, name), kErrorNoMoreItems);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(RegistryEnumValue(key, 0, name, &type, &data), kErrorSuccess);
  EXPECT_EQ(type, kRegistryTypeDword);
  EXPECT_EQ(data, (std::vector<uint8_t>{2, 0, 0, 0}));
}

// ---- Several processes and threads ----

TEST_F(RegistrySharing, OpenConnectionSeesAnotherProcessWritesAndDeletes) {
  CloseRegistry();  // the child must not inherit a connection
  ChildProcess writer([] {
    RegistryKey key;
    if (RegistryOpenKey(RegistryRoot::kCurrentUser, u"Software\\shared", key)) return 1;
    if (RegistryWriteDword(key, u"counter", 2)) return 2;
    if (RegistryWriteText(key, u"fromChild", u"hello")) return 3;
    if (RegistryDeleteKey(RegistryRoot::kCurrentUser, u"Software\\doomed")) return 4;
    return 0;
  });
  ASSERT_TRUE(writer.Started());

  RegistryKey shared = MakeKey(RegistryRoot::kCurrentUser, u"Software\\shared");
  RegistryKey doomed = MakeKey(RegistryRoot::kCurrentUser, u"Software\\doomed");
  ASSERT_EQ(RegistryWriteDword(shared, u"counter", 1), kErrorSuccess);
  ASSERT_EQ(RegistryWriteDword(doomed, u"v", 1), kErrorSuccess);
  uint32_t value = 0;
  ASSERT_EQ(RegistryReadDword(shared, u"counter", value), kErrorSuccess);
  ASSERT_EQ(value, 1u);

  writer.Release();
  ASSERT_EQ(writer.Wait(60), 0);

  EXPECT_EQ(RegistryReadDword(shared, u"counter", value), kErrorSuccess);
  EXPECT_EQ(value, 2u);
  std::u16string text;
  EXPECT_EQ(RegistryReadText(shared, u"fromChild", text, 16), kErrorSuccess);
  EXPECT_EQ(text, u"hello");
  EXPECT_EQ(RegistryReadDword(doomed, u"v", value), kErrorKeyDeleted);
  EXPECT_EQ(RegistryWriteDword(doomed, u"v", 5), kErrorKeyDeleted);
}

TEST_F(RegistrySharing, ConcurrentProcessesWritingOneKeyAllArrive) {
  constexpr int kProcesses = 4;
  constexpr int kValuesEach = 40;
  MakeKey(RegistryRoot::kCurrentUser, u"Software\\stress");
  CloseRegistry();
  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<ChildProcess>([p] {
      RegistryKey key;
      if (RegistryOpenKey(RegistryRoot::kCurrentUser, u"Software\\stress", key)) return 1;
      for (int n = 0; n < kValuesEach; ++n) {
        std::u16string name = FromUtf8("p" + std::to_string(p) + "-" + std::to_string(n));
        if (DeviceError error = RegistryWriteDword(key, name, static_cast<uint32_t>(p * 1000 + n))) {
          return static_cast<int>(10 + error % 100);
        }
      }
      return 0;
    }));
    ASSERT_TRUE(children.back()->Started());
  }
  for (auto& child : children) child->Release();  // all start together
  for (int p = 0; p < kProcesses; ++p) {
    SCOPED_TRACE(p);
    EXPECT_EQ(children[p]->Wait(90), 0);
  }

  RegistryKey key;
  ASSERT_EQ(RegistryOpenKey(RegistryRoot::kCurrentUser, u"Software\\stress", key), kErrorSuccess);
  for (int p = 0; p < kProcesses; ++p) {
    for (int n = 0; n < kValuesEach; ++n) {
      std::string name = "p" + std::to_string(p) + "-" + std::to_string(n);
      SCOPED_TRACE(name);
      uint32_t value = 0;
      ASSERT_EQ(RegistryReadDword(key, FromUtf8(name), value), kErrorSuccess);
      EXPECT_EQ(value, static_cast<uint32_t>(p * 1000 + n));
    }
  }
  std::u16string name;
  EXPECT_EQ(RegistryEnumValue(key, kProcesses * kValuesEach, name), kErrorNoMoreItems);
}

TEST_F(RegistrySharing, ThreadsOfOneProcessInterleaveSafely) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 50;
  RegistryKey key = MakeKey(RegistryRoot::kCurrentUser, u"Software\\threads");
  std::vector<DeviceError> failures(kThreads, kErrorSuccess);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread also makes and drops keys, so value writes and tree changes interleave.
      auto round = [&](int n) -> DeviceError {
        std::u16string sub = FromUtf8("t" + std::to_string(t) + "\\n" + std::to_string(n));
        RegistryKey child;
        uint32_t back = 0;
        if (DeviceError e = RegistryCreateKey(key, sub, child)) return e;
        if (DeviceError e = RegistryWriteDword(child, u"n", static_cast<uint32_t>(n))) return e;
        if (DeviceError e = RegistryReadDword(child, u"n", back)) return e;
        if (back != static_cast<uint32_t>(n)) return kErrorInvalidFunction;
        return n % 2 == 1 ? RegistryDeleteKey(key, sub) : kErrorSuccess;
      };
      for (int n = 0; n < kRounds && failures[t] == kErrorSuccess; ++n) failures[t] = round(n);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(failures[t], kErrorSuccess);
    RegistryKey parent;
    ASSERT_EQ(RegistryOpenKey(key, FromUtf8("t" + std::to_string(t)), parent), kErrorSuccess);
    std::u16string name;
    std::set<std::u16string> left;
    for (uint32_t i = 0; RegistryEnumKey(parent, i, name) == kErrorSuccess; ++i) left.insert(name);
    EXPECT_EQ(left.size(), static_cast<size_t>(kRounds / 2));
    EXPECT_TRUE(left.count(u"n0"));
    EXPECT_FALSE(left.count(u"n1"));
  }
}

// ---- Host answers: MIME ----

// The reader's lookup: type -> extension -> file type -> the file type's key with a suffix.
DeviceError MimeCommand(std::u16string_view mimeType, std::u16string_view suffix,
                        std::u16string& result) {
  RegistryKey key;
  std::u16string extension, fileType;
  std::u16string path = u"MIME\\Database\\Content Type\\" + std::u16string(mimeType);
  if (DeviceError e = RegistryOpenKey(RegistryRoot::kClassesRoot, path, key)) return e;
  if (DeviceError e = RegistryReadText(key, u"Extension", extension, 256)) return e;
  if (DeviceError e = RegistryOpenKey(RegistryRoot::kClassesRoot, extension, key)) return e;
  if (DeviceError e = RegistryReadText(key, u"", fileType, 256)) return e;
  if (DeviceError e = RegistryOpenKey(RegistryRoot::kClassesRoot, fileType + std::u16string(suffix), key)) {
    return e;
  }
  return RegistryReadText(key, u"", result, 256);
}

TEST_F(RegistryHost, MimeLookupsAreAnsweredFromTheHostTable) {
  struct Row {
    const char16_t* type;
    DeviceError expected;
  } rows[] = {
      {u"audio/mpeg", kErrorSuccess},
      {u"AUDIO/MPEG", kErrorSuccess},
      {u"video/mp4", kErrorSuccess},
      {u"audio/x-nothing", kErrorFileNotFound},  // listed without an extension
      {u"audio/unknown", kErrorFileNotFound},
      {u"", kErrorInvalidParameter},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(ToUtf8(row.type));
    std::u16string command;
    ASSERT_EQ(MimeCommand(row.type, u"\\Shell\\Open\\Command", command), row.expected);
    if (row.expected == kErrorSuccess) {
      EXPECT_EQ(command, u"xdg-open \"%1\"");
    }
  }

  RegistryKey key;
  std::u16string text;
  ASSERT_EQ(RegistryOpenKey(RegistryRoot::kClassesRoot, u"MIME\\Database\\Content Type\\audio/mpeg", key),
            kErrorSuccess);
  ASSERT_EQ(RegistryReadText(key, u"extension", text, 256), kErrorSuccess);
  EXPECT_EQ(text, u".mp3");  // the first extension of the first line for the type
  ASSERT_EQ(RegistryOpenKey(RegistryRoot::kClassesRoot, u".MP3", key), kErrorSuccess);
  ASSERT_EQ(RegistryReadText(key, u"", text, 256), kErrorSuccess);
  EXPECT_EQ(text, u"mp3_auto_file");
  std::u16string viaOtherExtension;
  ASSERT_EQ(RegistryOpenKey(RegistryRoot::kClassesRoot, u".mpga", key), kErrorSuccess);
  ASSERT_EQ(RegistryReadText(key, u"", viaOtherExtension, 256), kErrorSuccess);
  EXPECT_NE(viaOtherExtension, text);

  // Unknown extensions and file types are missing; the host's answers cannot be changed.
  struct Refusal {
    const char* label;
    std::function<DeviceError()> call;
    DeviceError expected;
  } refusals[] = {
      {"unknown extension", [&] { return RegistryOpenKey(RegistryRoot::kClassesRoot, u".xyz", key); },
       kErrorFileNotFound},
      {"unknown file type",
       [&] { return RegistryOpenKey(RegistryRoot::kClassesRoot, u"xyz_auto_file\\Shell\\Open\\Command", key); },
       kErrorFileNotFound},
      {"other verb", [&] { return RegistryOpenKey(RegistryRoot::kClassesRoot, u"mp3_auto_file\\Shell\\Print", key); },
       kErrorFileNotFound},
      {"write into host key", [&] {
         RegistryOpenKey(RegistryRoot::kClassesRoot, u".mp3", key);
         return RegistryWriteText(key, u"", u"mine");
       }, kErrorAccessDenied},
      {"delete host value", [&] { return RegistryDeleteValue(key, u""); }, kErrorAccessDenied},
      {"delete host key", [&] { return RegistryDeleteKey(RegistryRoot::kClassesRoot, u".mp3"); },
       kErrorAccessDenied},
  };
  for (const auto& row : refusals) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.call(), row.expected);
  }
}

TEST_F(RegistryHost, StoredClassesKeysWinOverTheHost) {
  RegistryKey key = MakeKey(RegistryRoot::kClassesRoot, u"MIME\\Database\\Content Type\\audio/mpeg");
  ASSERT_EQ(RegistryWriteText(key, u"Extension", u".mpx"), kErrorSuccess);
  key = MakeKey(RegistryRoot::kClassesRoot, u".mpx");
  ASSERT_EQ(RegistryWriteText(key, u"", u"Player.Audio"), kErrorSuccess);
  key = MakeKey(RegistryRoot::kClassesRoot, u"Player.Audio\\Shell\\Open\\Command");
  ASSERT_EQ(RegistryWriteText(key, u"", u"player.exe %1"), kErrorSuccess);

  std::u16string command;
  ASSERT_EQ(MimeCommand(u"audio/mpeg", u"\\Shell\\Open\\Command", command), kErrorSuccess);
  EXPECT_EQ(command, u"player.exe %1");
  // Beside the stored key, the host still answers for the types it alone knows.
  ASSERT_EQ(MimeCommand(u"video/mp4", u"\\Shell\\Open\\Command", command), kErrorSuccess);
  EXPECT_EQ(command, u"xdg-open \"%1\"");
  // A stored key hides the host's values of the same key entirely.
  key = MakeKey(RegistryRoot::kClassesRoot, u".mp4");
  std::u16string text;
  EXPECT_EQ(RegistryReadText(key, u"", text, 256), kErrorFileNotFound);
  EXPECT_EQ(MimeCommand(u"video/mp4", u"\\Shell\\Open\\Command", command), kErrorFileNotFound);
}

// ---- Host answers: cradle ----

TEST_F(RegistryHost, CradledFollowsThePowerSupplyUnlessPinned) {
  struct Supply {
    const char* name;
    const char* type;
    const char* online;  // null: no online file
  };
  struct Row {
    const char* label;
    int pinned;
    std::vector<Supply> supplies;
    uint32_t expected;
  } rows[] = {
      {"no supplies", -1, {}, 0},
      {"mains online", -1, {{"AC", "Mains", "1"}, {"BAT0", "Battery", nullptr}}, 1},
      {"mains offline", -1, {{"AC", "Mains", "0"}, {"BAT0", "Battery", nullptr}}, 0},
      {"usb online", -1, {{"usb", "USB", "1"}}, 1},
      {"battery only", -1, {{"BAT0", "Battery", "1"}}, 0},
      {"pinned 0 beside mains", 0, {{"AC", "Mains", "1"}}, 0},
      {"pinned 1 without supply", 1, {}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string folder = root_ + "/power-" + std::to_string(&row - rows);
    fs::create_directories(folder);
    for (const Supply& supply : row.supplies) {
      WriteWholeFile(folder + "/" + supply.name + "/type", std::string(supply.type) + "\n");
      if (supply.online) WriteWholeFile(folder + "/" + supply.name + "/online", std::string(supply.online) + "\n");
    }
    DeviceConfig config = Device();
    config.cradled = row.pinned;
    config.powerSupplyFolder = folder;
    SetDeviceConfig(config);
    RegistryKey key;
    ASSERT_EQ(RegistryOpenKey(RegistryRoot::kLocalMachine, u"System\\State\\Hardware", key), kErrorSuccess);
    uint32_t cradled = 99;
    ASSERT_EQ(RegistryReadDword(key, u"Cradled", cradled), kErrorSuccess);
    EXPECT_EQ(cradled, row.expected);
  }
}

TEST_F(RegistryHost, CradledIsLiveAndReadOnlyEvenOnAStoredKey) {
  std::string ac = root_ + "/power_supply/AC";
  WriteWholeFile(ac + "/type", "Mains\n");
  WriteWholeFile(ac + "/online", "0\n");
  RegistryKey hardware = MakeKey(RegistryRoot::kLocalMachine, u"SYSTEM\\state\\hardware");
  ASSERT_EQ(RegistryWriteDword(hardware, u"Other", 7), kErrorSuccess);
  uint32_t cradled = 99;
  ASSERT_EQ(RegistryReadDword(hardware, u"cradled", cradled), kErrorSuccess);
  EXPECT_EQ(cradled, 0u);
  WriteWholeFile(ac + "/online", "1\n");
  ASSERT_EQ(RegistryReadDword(hardware, u"Cradled", cradled), kErrorSuccess);
  EXPECT_EQ(cradled, 1u);

  EXPECT_EQ(RegistryWriteDword(hardware, u"Cradled", 0), kErrorAccessDenied);
  EXPECT_EQ(RegistryDeleteValue(hardware, u"CRADLED"), kErrorAccessDenied);
  std::u16string name;
  std::vector<uint8_t> data;
  ASSERT_EQ(RegistryEnumValue(hardware, 0, name), kErrorSuccess);
  EXPECT_EQ(name, u"Other");
  ASSERT_EQ(RegistryEnumValue(hardware, 1, name, nullptr, &data), kErrorSuccess);
  EXPECT_EQ(name, u"Cradled");
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(RegistryEnumValue(hardware, 2, name), kErrorNoMoreItems);
}

// ---- A damaged database ----

TEST_F(RegistryDatabase, CorruptFileIsSetAsideAndAFreshOneMade) {
  // A real database with pages overwritten past its header.
  MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel\\deep\\tree");
  CloseRegistry();
  std::string made = ReadWholeFile(DatabasePath());
  ASSERT_GT(made.size(), 4096u);
  std::string damagedPages = made.substr(0, 4096) + std::string(made.size() - 4096, '\xA5');

  struct Row {
    const char* label;
    std::string bytes;
  } rows[] = {
      {"not a database at all", std::string(5000, 'x') + "\nsettings=1\n"},
      {"header only", made.substr(0, 100)},
      {"damaged pages", damagedPages},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    CloseRegistry();
    WriteWholeFile(DatabasePath(), row.bytes);
    WriteWholeFile(DatabasePath() + ".corrupt", "an older bad file");

    RegistryKey key;
    EXPECT_EQ(RegistryOpenKey(RegistryRoot::kCurrentUser, u"Software\\nubrel", key), kErrorFileNotFound);
    EXPECT_EQ(ReadWholeFile(DatabasePath() + ".corrupt"), row.bytes);
    key = MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
    ASSERT_EQ(RegistryWriteDword(key, u"fresh", 1), kErrorSuccess);
    CloseRegistry();
    uint32_t value = 0;
    EXPECT_EQ(RegistryReadDword(key, u"fresh", value), kErrorSuccess);
    EXPECT_EQ(value, 1u);
  }
}

TEST_F(RegistryDatabase, FileOfANewerVersionIsLeftAlone) {
  MakeKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
  CloseRegistry();
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);

  RegistryKey key;
  EXPECT_EQ(RegistryOpenKey(RegistryRoot::kCurrentUser, u"Software\\nubrel", key), kErrorBadConfiguration);
  EXPECT_EQ(RegistryCreateKey(RegistryRoot::kCurrentUser, u"Software\\other", key), kErrorBadConfiguration);
  EXPECT_FALSE(fs::exists(DatabasePath() + ".corrupt"));
  ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &raw), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT COUNT(*) FROM keys", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 5);  // three roots, Software, nubrel: nothing added
  sqlite3_finalize(stmt);
  sqlite3_close(raw);
}

}  // namespace
}  // namespace platform
