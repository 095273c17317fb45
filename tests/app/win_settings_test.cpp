// The settings store against the real Windows facilities (under Wine): the
// port and key files in a folder of each test's own, DPAPI, and the Run key
// value (saved before and restored after each autostart test).
#include <gtest/gtest.h>

#include <windows.h>

#include <dpapi.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/autostart_rules.h"
#include "app/settings.h"
#include "common/win_unique.h"
#include "crypto/encoding.h"
#include "support/win_test_folder.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadRaw;
using testsupport::TempFolder;
using testsupport::WriteRaw;

struct SettingsFolder : ::testing::Test {
    TempFolder folder;
    WString base = folder / L"sync";

    void SetUp() override { ASSERT_TRUE(folder.created()); }
};

// A DPAPI blob of `plain` as Base64, made with the given entropy (or none).
std::string ProtectForTest(const std::string& plain, const std::string& entropy) {
    DATA_BLOB in{static_cast<DWORD>(plain.size()), reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
    DATA_BLOB extra{static_cast<DWORD>(entropy.size()), reinterpret_cast<BYTE*>(const_cast<char*>(entropy.data()))};
    DATA_BLOB out{};
    if (!CryptProtectData(&in, nullptr, entropy.empty() ? nullptr : &extra, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        return "<protect failed>";
    }
    UniqueLocalMemory owner(out.pbData);
    return Base64Encode(out.pbData, out.cbData);
}

TEST_F(SettingsFolder, NoFilesGiveDefaultPortAndEmptyKey) {
    EXPECT_EQ(LoadPortAt(base), L"9595");
    EXPECT_EQ(LoadKeyAt(base), L"");
    EXPECT_FALSE(FileExists(base + L".port"));
    EXPECT_FALSE(FileExists(base + L".key"));
}

TEST_F(SettingsFolder, KeySurvivesSaveAndLoad) {
    const WString keys[] = {
        L"0123456789abcdef0123456789abcdef",
        L"同步密钥-中文字符 key",
        L"\U0001F511 with a surrogate pair",
        WString(255, L'k'),
        L"s",  // shorter than the one before: the file is replaced, not overwritten in place
    };
    for (const WString& key : keys) {
        ASSERT_TRUE(SaveKeyAt(base, key));
        EXPECT_EQ(LoadKeyAt(base), key) << WideToUtf8(key);
    }
}

TEST_F(SettingsFolder, KeyFileIsBase64OfProtectedUtf8) {
    const WString key = L"密钥0123456789abcdef";
    const std::string utf8Key = WideToUtf8(key);
    ASSERT_TRUE(SaveKeyAt(base, key));

    const std::string text = ReadRaw(base + L".key");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos)
        << "only the Base64 alphabet: no byte-order mark, no line end";

    Bytes blob;
    ASSERT_TRUE(Base64Decode(text, blob));
    EXPECT_EQ(std::string(blob.begin(), blob.end()).find(utf8Key), std::string::npos) << "the key is not in clear";

    // Any program of this account can open it with plain DPAPI: no entropy, UTF-8 inside.
    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB out{};
    ASSERT_TRUE(CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
    UniqueLocalMemory owner(out.pbData);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.pbData), out.cbData), utf8Key);
}

TEST_F(SettingsFolder, KeyFileThatCannotBeOpenedLoadsEmpty) {
    const std::string goodBlob = ProtectForTest("0123456789abcdef", "");
    ASSERT_NE(goodBlob, "<protect failed>");
    Bytes corrupted;
    ASSERT_TRUE(Base64Decode(goodBlob, corrupted));
    corrupted[corrupted.size() / 2] ^= 0x01;

    struct Case {
        const char* what;
        std::string content;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"plain key", "0123456789abcdef0123456789abcdef"},  // decodes as Base64, but is no blob
        {"plain Chinese key", "\xE5\xAF\x86\xE9\x92\xA5"},
        {"not Base64", "!!!!"},
        {"cut Base64", goodBlob.substr(0, goodBlob.size() - 1)},
        {"only fill", "===="},
        {"other entropy", ProtectForTest("0123456789abcdef", "another program")},
        {"one bit flipped", Base64Encode(corrupted)},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteRaw(base + L".key", c.content)) << c.what;
        EXPECT_EQ(LoadKeyAt(base), L"") << c.what;
        // The window tells the operator to enter the key again, except when there was none.
        WString key = L"unchanged";
        EXPECT_EQ(LoadKeyStateAt(base, key), c.content.empty() ? KeyFileState::Missing : KeyFileState::Undecryptable)
            << c.what;
        EXPECT_EQ(key, L"unchanged") << c.what;
    }
    ASSERT_TRUE(WriteRaw(base + L".key", goodBlob));
    EXPECT_EQ(LoadKeyAt(base), L"0123456789abcdef") << "the same blob, unharmed, opens";
    WString key;
    EXPECT_EQ(LoadKeyStateAt(base, key), KeyFileState::Loaded);
    EXPECT_EQ(key, L"0123456789abcdef");
}

TEST_F(SettingsFolder, PortIsStoredAsTypedInUtf8) {
    struct Case {
        WString port;
        std::string bytes;
    };
    const Case cases[] = {
        {L"8080", "8080"},
        {L" 80 ", " 80 "},
        {L"80ab", "80ab"},
        {L"65536", "65536"},
        {L"端口", "\xE7\xAB\xAF\xE5\x8F\xA3"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(SavePortAt(base, c.port));
        EXPECT_EQ(ReadRaw(base + L".port"), c.bytes);
        EXPECT_EQ(LoadPortAt(base), c.port);
    }
}

TEST_F(SettingsFolder, PortFileWithLettersLoadsUnchanged) {
    ASSERT_TRUE(WriteRaw(base + L".port", "abc"));
    EXPECT_EQ(LoadPortAt(base), L"abc");
}

TEST_F(SettingsFolder, EmptyPortFileGivesDefault) {
    ASSERT_TRUE(SavePortAt(base, L""));
    EXPECT_TRUE(FileExists(base + L".port"));
    EXPECT_EQ(LoadPortAt(base), L"9595");
}

TEST_F(SettingsFolder, MissingFolderKeepsDefaults) {
    const WString missing = folder / L"no such folder\\sync";
    EXPECT_FALSE(SavePortAt(missing, L"8080"));
    EXPECT_FALSE(SaveKeyAt(missing, L"key"));
    // The code the panel line shows.
    EXPECT_EQ(SavePortErrorAt(missing, L"8080"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(SaveKeyErrorAt(missing, L"key"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(LoadPortAt(missing), L"9595");
    EXPECT_EQ(LoadKeyAt(missing), L"");
}

TEST_F(SettingsFolder, KeyFileHeldByAnotherProgramKeepsOldKey) {
    ASSERT_TRUE(SaveKeyAt(base, L"old key"));
    {
        const UniqueFileHandle held = testsupport::LockFile(base + L".key");
        ASSERT_TRUE(held);
        EXPECT_FALSE(SaveKeyAt(base, L"new key"));
        EXPECT_EQ(SaveKeyErrorAt(base, L"new key"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_EQ(LoadKeyAt(base), L"old key");
}

TEST_F(SettingsFolder, ReadOnlyKeyFileKeepsOldKey) {
    if (!testsupport::ReadOnlyAttributeStopsWriters(folder)) GTEST_SKIP() << testsupport::kReadOnlyIgnored;
    ASSERT_TRUE(SaveKeyAt(base, L"old key"));
    const WString path = base + L".key";
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(SaveKeyAt(base, L"new key"));
    EXPECT_EQ(LoadKeyAt(base), L"old key");
}

TEST(ExecutablePath, IsTheFullPathOfThisProgram) {
    const WString path = ExecutablePath();
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(path.substr(1, 2), L":\\") << WideToUtf8(path);
    const WString name = L"app_win_test.exe";
    ASSERT_GE(path.size(), name.size());
    EXPECT_EQ(path.substr(path.size() - name.size()), name);
}

// The Run key value as found: its type and raw bytes, or absent.
struct RunValue {
    bool present = false;
    DWORD type = 0;
    std::string data;
};

RunValue ReadRunValue() {
    RunValue value;
    UniqueRegKey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_QUERY_VALUE, run.put()) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (RegQueryValueExW(run.get(), kAutostartValueName, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(size);
    value.present = RegQueryValueExW(run.get(), kAutostartValueName, nullptr, &value.type,
                                     reinterpret_cast<BYTE*>(value.data.data()), &size) == ERROR_SUCCESS;
    value.data.resize(size);
    return value;
}

bool WriteRunValue(DWORD type, const void* data, DWORD size) {
    UniqueRegKey run;
    return RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, run.put()) == ERROR_SUCCESS &&
           RegSetValueExW(run.get(), kAutostartValueName, 0, type, static_cast<const BYTE*>(data), size) ==
               ERROR_SUCCESS;
}

void DeleteRunValue() {
    UniqueRegKey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, run.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(run.get(), kAutostartValueName);
    }
}

// Leaves the account's autostart value as it was before the test.
struct Autostart : ::testing::Test {
    RunValue saved;

    void SetUp() override {
        saved = ReadRunValue();
        DeleteRunValue();
    }
    void TearDown() override {
        DeleteRunValue();
        if (saved.present) WriteRunValue(saved.type, saved.data.data(), static_cast<DWORD>(saved.data.size()));
    }
};

const WString kExe = L"C:\\Program Files\\同步\\TZ62Editorsync.exe";

TEST_F(Autostart, SetRegisteredCleared) {
    EXPECT_FALSE(IsAutostartRegisteredFor(kExe));
    ASSERT_TRUE(SetAutostartFor(kExe, true));
    EXPECT_TRUE(IsAutostartRegisteredFor(kExe));

    const RunValue stored = ReadRunValue();
    ASSERT_TRUE(stored.present);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
    const std::string expected(reinterpret_cast<const char*>(kExe.c_str()), (kExe.size() + 1) * sizeof(WChar));
    EXPECT_EQ(stored.data, expected) << "the path, unquoted, with its terminating NUL";

    ASSERT_TRUE(SetAutostartFor(kExe, false));
    EXPECT_FALSE(IsAutostartRegisteredFor(kExe));
    EXPECT_FALSE(ReadRunValue().present);
    EXPECT_TRUE(SetAutostartFor(kExe, false)) << "clearing an absent value is not a failure";
}

TEST_F(Autostart, OtherPathsAreNotRegistered) {
    ASSERT_TRUE(SetAutostartFor(kExe, true));
    const WString others[] = {
        L"c:\\program files\\同步\\tz62editorsync.exe",
        L"C:\\Program Files\\同步\\TZ62EDITORSYNC.EXE",
        L"D:\\Program Files\\同步\\TZ62Editorsync.exe",
        L"C:\\Program Files\\同步\\TZ62Editorsync.ex",
        L"C:\\Program Files\\同步\\TZ62Editorsync.exe ",
        L"\"C:\\Program Files\\同步\\TZ62Editorsync.exe\"",
        L"",
    };
    for (const WString& other : others) EXPECT_FALSE(IsAutostartRegisteredFor(other)) << WideToUtf8(other);
}

TEST_F(Autostart, StoredValuesOfOtherShapes) {
    const std::size_t bytes = kExe.size() * sizeof(WChar);
    const WString quoted = L"\"" + kExe + L"\"";
    const WString doubleNul = kExe + WString(2, L'\0');
    const DWORD number = 1;
    struct Case {
        const char* what;
        DWORD type;
        const void* data;
        std::size_t size;
        bool registered;
    };
    const Case cases[] = {
        {"without terminating NUL", REG_SZ, kExe.c_str(), bytes, true},
        {"with extra NULs", REG_SZ, doubleNul.c_str(), doubleNul.size() * sizeof(WChar), true},
        {"odd size", REG_SZ, kExe.c_str(), bytes + 1, false},
        {"quoted", REG_SZ, quoted.c_str(), (quoted.size() + 1) * sizeof(WChar), false},
        {"binary", REG_BINARY, kExe.c_str(), bytes + sizeof(WChar), false},
        {"number", REG_DWORD, &number, sizeof(number), false},
        {"empty", REG_SZ, L"", 0, false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteRunValue(c.type, c.data, static_cast<DWORD>(c.size))) << c.what;
        EXPECT_EQ(IsAutostartRegisteredFor(kExe), c.registered) << c.what;
    }
}

TEST_F(Autostart, ShortFormsNameTheRunningExecutable) {
    // Unelevated: the Run value, as before (the logon task is the window suite's, with a schtasks stand-in).
    EXPECT_TRUE(SetAutostart(true, false).done);
    EXPECT_TRUE(IsAutostartRegistered());
    EXPECT_TRUE(IsAutostartRegisteredFor(ExecutablePath()));
    EXPECT_TRUE(SetAutostart(false, false).done);
    EXPECT_FALSE(IsAutostartRegistered());
    EXPECT_FALSE(ReadRunValue().present);
}

std::vector<WString> ArgvOf(const WString& line) {
    std::vector<WString> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW((L"schtasks.exe " + line).c_str(), &count);
    for (int i = 1; argv && i < count; ++i) args.emplace_back(argv[i]);
    if (argv) LocalFree(argv);
    return args;
}

// The logon task's arguments as schtasks reads them (the system's own
// command-line rules): each text whole, the action the quoted executable.
TEST(LogonTask, ArgumentsReachSchtasksWhole) {
    // Blanks, a backslash before the closing quote, and a quote (no real path has one).
    const WString exes[] = {kExe, L"D:\\tools\\a \\\"b\\TZ62Editorsync.exe", L"C:\\x\\"};
    for (const WString& exe : exes) {
        const std::vector<WString> args =
            ArgvOf(LogonTaskCreateArguments(LogonTaskName(L"运维 1"), exe, L"SERVER\\运维 1"));
        const std::vector<WString> expected = {L"/create", L"/tn", L"TZ62EditorSync_运维 1", L"/tr",
                                               LogonTaskAction(exe), L"/sc", L"onlogon", L"/ru",
                                               L"SERVER\\运维 1", L"/rl", L"highest", L"/it", L"/f"};
        EXPECT_EQ(args, expected) << WideToUtf8(exe);
        const std::vector<WString> action = ArgvOf(args.at(4));
        EXPECT_EQ(action, std::vector<WString>{exe}) << "the task starts exactly this program, no argument";
    }
    EXPECT_EQ(ArgvOf(LogonTaskQueryArguments(L"TZ62EditorSync_a b")),
              (std::vector<WString>{L"/query", L"/tn", L"TZ62EditorSync_a b"}));
    EXPECT_EQ(ArgvOf(LogonTaskDeleteArguments(L"TZ62EditorSync_a b")),
              (std::vector<WString>{L"/delete", L"/tn", L"TZ62EditorSync_a b", L"/f"}));
}

}  // namespace
