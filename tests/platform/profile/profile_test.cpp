#include "platform/profile/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nr-profile-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    file = (dir / "test.ini").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  void Put(const std::string& content) { std::ofstream(file, std::ios::binary) << content; }
  std::string Contents() const {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    return names;
  }

  fs::path dir;
  std::string file;
};

TEST_F(ProfileTest, WriteChangesOnlyItsLine) {
  Put("; settings\n"
      "[Other]\n"
      "Key=keep\n"
      "\n"
      "[Common]\n"
      "  InputDev = 3\n"
      "Extra=x\n"
      "\n"
      "[Last]\n"
      "z=1\n");
  // Section and key match without regard to case; the file keeps its own spelling.
  ASSERT_TRUE(WritePrivateProfileString("common", "INPUTDEV", "7", file));
  ASSERT_TRUE(WritePrivateProfileString("Common", "SampleRate", "48000", file));
  ASSERT_TRUE(WritePrivateProfileString("New", "a", "b", file));
  EXPECT_EQ(Contents(),
            "; settings\n"
            "[Other]\n"
            "Key=keep\n"
            "\n"
            "[Common]\n"
            "InputDev=7\n"
            "Extra=x\n"
            "SampleRate=48000\n"
            "\n"
            "[Last]\n"
            "z=1\n"
            "\n"
            "[New]\n"
            "a=b\n");
  EXPECT_EQ(GetPrivateProfileString("Other", "Key", "", file), "keep");
}

TEST_F(ProfileTest, WriteCreatesTheFileAndKeepsCrLfFiles) {
  ASSERT_TRUE(WritePrivateProfileString("Common", "OutputDev", "0", file));
  EXPECT_EQ(Contents(), "[Common]\nOutputDev=0\n");

  Put("[Common]\r\nA=1\r\n");
  ASSERT_TRUE(WritePrivateProfileString("Common", "B", "2", file));
  EXPECT_EQ(Contents(), "[Common]\r\nA=1\r\nB=2\r\n");
  EXPECT_EQ(GetPrivateProfileString("Common", "A", "", file), "1");
}

TEST_F(ProfileTest, ReadMatchesNamesAndCleansValues) {
  Put("Stray=before any section\n"
      "[ Common ]\n"
      "Name =  spaced value  \n"
      "Quoted=\"  in quotes  \"\n"
      "Single='x'\n"
      "Empty=\n"
      "Twice=first\n"
      "; Hidden=comment\n"
      "[common]\n"
      "Twice=second\n"
      "Later=found\n");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"COMMON", "name", "spaced value"},
      {"Common", "Quoted", "  in quotes  "},
      {"Common", "Single", "x"},
      {"Common", "Empty", ""},       // present but empty: not the default
      {"Common", "Twice", "first"},  // the first occurrence wins
      {"Common", "Later", "found"},  // a repeated section is searched too
      {"Common", "Hidden", "dflt"},  // comments are not keys
      {"Common", "Stray", "dflt"},   // keys outside any section belong to none
      {"Missing", "Name", "dflt"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "dflt", file), c.expected)
        << c.section << "/" << c.key;
  EXPECT_EQ(GetPrivateProfileString("Common", "Name", "dflt", (dir / "none.ini").string()), "dflt");
}

TEST_F(ProfileTest, IntegersReadDecimalAndHexWithDefaults) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {
      {"48000", 48000}, {"-1", -1},     {"+7", 7},          {" 42 ", 42},      {"0x1F", 31},
      {"0XaB", 171},    {"-0x10", -16}, {"0xFFFFFFFF", -1}, {"12abc", 12},     {"", -99},
      {"abc", -99},     {"0x", -99},    {"-", -99},         {"4294967297", 1},  // wraps to 32 bits
  };
  for (const Case& c : cases) {
    Put(std::string("[S]\nK=") + c.text + "\n");
    EXPECT_EQ(GetPrivateProfileInt("S", "K", -99, file), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(GetPrivateProfileInt("S", "Missing", -99, file), -99);
}

TEST_F(ProfileTest, NullValueRemovesTheKeyAndNullKeyTheSection) {
  Put("[A]\nx=1\ny=2\n[B]\nx=3\n[a]\nx=4\n");
  ASSERT_TRUE(WritePrivateProfileString("A", "X", nullptr, file));
  EXPECT_EQ(Contents(), "[A]\ny=2\n[B]\nx=3\n[a]\n");
  ASSERT_TRUE(WritePrivateProfileString("a", nullptr, nullptr, file));
  EXPECT_EQ(Contents(), "[B]\nx=3\n");

  // Removing what is not there does not create the file.
  const std::string other = (dir / "other.ini").string();
  ASSERT_TRUE(WritePrivateProfileString("A", "x", nullptr, other));
  EXPECT_FALSE(fs::exists(other));
}

TEST_F(ProfileTest, WriteReplacesTheFileAtomically) {
  Put("[Common]\nA=old\n");
  ::chmod(file.c_str(), 0640);
  // A second name for the old file: an in-place rewrite would change it, a replacement does not.
  const std::string oldLink = (dir / "old-link").string();
  ASSERT_EQ(::link(file.c_str(), oldLink.c_str()), 0);

  ASSERT_TRUE(WritePrivateProfileString("Common", "A", "new", file));
  EXPECT_EQ(GetPrivateProfileString("Common", "A", "", file), "new");
  EXPECT_EQ(GetPrivateProfileString("Common", "A", "", oldLink), "old");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // No temporary file is left behind.
  auto names = Entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"old-link", "test.ini"}));
}

TEST_F(ProfileTest, AByteOrderMarkHidesNoSectionAndIsKept) {
  const std::string bom = "\xEF\xBB\xBF";
  for (const char* eol : {"\n", "\r\n"}) {
    const std::string n = eol;
    Put(bom + "[Common]" + n + "InputDev=3" + n);
    EXPECT_EQ(GetPrivateProfileString("Common", "InputDev", "", file), "3") << "eol " << n.size();
    ASSERT_TRUE(WritePrivateProfileString("Common", "InputDev", "4", file));
    ASSERT_TRUE(WritePrivateProfileStrings("Common", {{"SampleRate", "44100"}}, file));
    EXPECT_EQ(Contents(), bom + "[Common]" + n + "InputDev=4" + n + "SampleRate=44100" + n);
  }
  // A mark alone, and a file without one, gain no mark.
  Put(bom);
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", file));
  EXPECT_EQ(Contents(), bom + "[S]\nk=v\n");
  fs::remove(file);
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", file));
  EXPECT_EQ(Contents(), "[S]\nk=v\n");
}

TEST_F(ProfileTest, SeveralKeysInOneReplacement) {
  Put("[Common]\nB=old\n[Other]\nA=keep\n");
  const std::string oldLink = (dir / "old-link").string();
  ASSERT_EQ(::link(file.c_str(), oldLink.c_str()), 0);
  ASSERT_TRUE(WritePrivateProfileStrings("Common", {{"A", "1"}, {"B", "2"}, {"C", "3"}}, file));
  EXPECT_EQ(Contents(), "[Common]\nB=2\nA=1\nC=3\n[Other]\nA=keep\n");
  // One replacement: the inode changed once and the old name still holds the whole old file.
  EXPECT_EQ(GetPrivateProfileString("Common", "B", "", oldLink), "old");

  // One bad entry refuses the whole write.
  const std::string before = Contents();
  EXPECT_FALSE(
      WritePrivateProfileStrings("Common", {{"A", "9"}, {"B", std::string("x\0y", 3)}}, file));
  EXPECT_FALSE(WritePrivateProfileStrings("Common", {{"A", "9"}, {"B=", "1"}}, file));
  EXPECT_FALSE(ProfileLastError().empty());
  EXPECT_EQ(Contents(), before);
}

TEST_F(ProfileTest, AWriteRemovesTheTemporaryFilesOfKilledWriters) {
  Put("[S]\nk=1\n");
  // A process number that is certainly free: a child that has been reaped.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string dead = ".test.ini.tmp" + std::to_string(child) + ".0";
  const std::string mine = ".test.ini.tmp" + std::to_string(::getpid()) + ".7";
  const std::string alive = ".test.ini.tmp" + std::to_string(::getppid()) + ".0";
  const std::string foreign = ".other.ini.tmp" + std::to_string(child) + ".0";
  const std::string lookalike = ".test.ini.tmpX.0";
  for (const std::string& name : {dead, mine, alive, foreign, lookalike})
    std::ofstream(dir / name) << "[S]\nk=half";
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "2", file));
  auto names = Entries();
  std::sort(names.begin(), names.end());
  // A running writer's file, another file's and one that is not ours stay.
  std::vector<std::string> expected = {alive, foreign, lookalike, "test.ini"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST_F(ProfileTest, WriteThroughASymbolicLinkKeepsTheLink) {
  Put("[S]\nk=1\n");
  const fs::path link = dir / "link.ini";
  fs::create_symlink(file, link);
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "2", link.string()));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(GetPrivateProfileString("S", "k", "", file), "2");
}

TEST_F(ProfileTest, RefusedWritesLeaveTheFileAlone) {
  const std::string original = "[Common]\nA=1\n";
  Put(original);
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"Common", "A=B", "1"},        {"Common", "", "1"},     {"Common", "[X", "1"},
      {"Common", ";X", "1"},         {"Com]mon", "A", "1"},   {"", "A", "1"},
      {"Common", "A", "two\nlines"}, {"Common", "A", "cr\r"}, {"Sec\ntion", "A", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(WritePrivateProfileString(c.section, c.key, c.value, file))
        << c.section << "/" << c.key;
    EXPECT_FALSE(ProfileLastError().empty());
    EXPECT_EQ(Contents(), original);
  }
  // A folder that does not exist.
  const std::string nowhere = (dir / "missing" / "x.ini").string();
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", nowhere));
  EXPECT_NE(ProfileLastError().find("missing"), std::string::npos) << ProfileLastError();
  EXPECT_EQ(Entries().size(), 1u);
}

// A settings file that is no regular file, or one far too large, is not read: the reads give
// their defaults at once (a FIFO would block, a link to /dev/zero would read without end), the
// file is not replaced, and PrivateProfileReadable says why.
TEST_F(ProfileTest, OnlyARegularFileOfReasonableSizeIsRead) {
  ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir / "zero.ini");
  std::ofstream(dir / "huge.ini") << "[Common]\nA=1\n" << std::string(2 << 20, ';') << "\n";
  std::ofstream(dir / "fine.ini") << "[Common]\nA=1\n";
  const struct {
    const char* name;
    const char* reason;
  } cases[] = {{"fifo.ini", "not a regular file"},
               {"zero.ini", "not a regular file"},
               {"huge.ini", "larger than 1 MiB, not a settings file"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir / c.name).string();
    EXPECT_EQ(GetPrivateProfileInt("Common", "A", 7, path), 7);
    EXPECT_FALSE(PrivateProfileReadable(path));
    EXPECT_EQ(ProfileLastError(), path + ": " + c.reason);
    EXPECT_FALSE(WritePrivateProfileString("Common", "A", "2", path));
  }
  EXPECT_TRUE(fs::is_fifo(dir / "fifo.ini"));
  EXPECT_TRUE(fs::is_symlink(dir / "zero.ini"));
  EXPECT_TRUE(PrivateProfileReadable((dir / "fine.ini").string()));
  EXPECT_TRUE(PrivateProfileReadable((dir / "missing.ini").string()));
  EXPECT_EQ(GetPrivateProfileInt("Common", "A", 7, (dir / "fine.ini").string()), 1);
}

}  // namespace
