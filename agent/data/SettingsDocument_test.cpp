#include "agent/data/SettingsDocument.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/TempDir.h"

namespace {

using namespace zr;

namespace fs = std::filesystem;

class SettingsDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    folder_ = dir_.fs();
  }

  std::wstring Path(const std::string& name) const { return (folder_ / name).wstring(); }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(folder_ / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  zrtest::TempDir dir_{"zr-settingsdoc-"};
  fs::path folder_;
};

TEST_F(SettingsDocumentTest, CreateAndSaveGiveTheFileLayout) {
  SettingsDocument document;
  ASSERT_TRUE(document.Create());
  EXPECT_EQ(document.GetHeaderValue(L"related_object"), L"Workstation");
  EXPECT_EQ(document.GetHeaderValue(L"version"), L"7.3.4.12277");
  ASSERT_TRUE(document.SetParam(L"Name", L"ws1"));
  ASSERT_TRUE(document.SetBoolParam(L"IsSecure", true));
  ASSERT_TRUE(document.SetParam(L"Name", L"ws2"));  // replaces, keeps the position
  ASSERT_TRUE(document.SetBoolParam(L"Other", false));
  ASSERT_TRUE(document.SaveFile(Path("a.zrl")));
  EXPECT_EQ(Read("a.zrl"),
            "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n"
            "<link>\n"
            "\t<header>\n"
            "\t\t<related_object>Workstation</related_object>\n"
            "\t\t<version>7.3.4.12277</version>\n"
            "\t</header>\n"
            "\t<parameters>\n"
            "\t\t<param name=\"Name\">ws2</param>\n"
            "\t\t<param name=\"IsSecure\">yes</param>\n"
            "\t\t<param name=\"Other\">no</param>\n"
            "\t</parameters>\n"
            "</link>\n");
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(SettingsDocumentTest, ReadersFollowTheValueRules) {
  Write(
      "r.zrl",
      "<?xml version=\"1.0\"?><link><header><related_object>Workstation</related_object></header><parameters>"
      "<param name=\"One\">1</param><param name=\"True\">true</param><param name=\"Yes\">yes</param>"
      "<param name=\"Cap\">Yes</param><param name=\"Empty\"></param><param name=\"Text\">abc</param>"
      "</parameters></link>");
  SettingsDocument document;
  ASSERT_TRUE(document.LoadFile(Path("r.zrl")));
  for (const wchar_t* key : {L"One", L"True", L"Yes"}) {
    bool flag = false;
    document.GetBoolParam(key, flag);
    EXPECT_TRUE(flag) << key;
  }
  bool flag = true;
  document.GetBoolParam(L"Cap", flag);
  EXPECT_FALSE(flag);
  flag = true;
  document.GetBoolParam(L"Text", flag);
  EXPECT_FALSE(flag);
  for (const wchar_t* key : {L"Empty", L"Missing"}) {
    bool unchanged = true;
    document.GetBoolParam(key, unchanged);
    EXPECT_TRUE(unchanged) << key;
    std::wstring text = L"before";
    document.GetParam(key, text);
    EXPECT_EQ(text, L"before") << key;
  }
  std::wstring text;
  document.GetParam(L"Text", text);
  EXPECT_EQ(text, L"abc");
  EXPECT_EQ(document.GetHeaderValue(L"version"), L"");
  // A key that breaks the XPath reads as empty and cannot be written.
  EXPECT_EQ(document.GetParamText(L"a'b"), L"");
  EXPECT_FALSE(document.SetParam(L"a'b", L"x"));
  EXPECT_EQ(document.GetHeaderValue(L"bad["), L"");
  EXPECT_FALSE(document.SetHeaderValue(L"bad[", L"x"));
  // A missing header element is added.
  EXPECT_TRUE(document.SetHeaderValue(L"version", L"9"));
  EXPECT_EQ(document.GetHeaderValue(L"version"), L"9");
}

TEST_F(SettingsDocumentTest, LoadFileFailures) {
  SettingsDocument document;
  EXPECT_FALSE(document.LoadFile(Path("missing.zrl")));
  EXPECT_EQ(document.GetHeaderValue(L"related_object"), L"Workstation");  // the empty layout
  EXPECT_TRUE(document.SetParam(L"Name", L"x"));

  Write("broken.zrl", "<link><header>");
  EXPECT_FALSE(document.LoadFile(Path("broken.zrl")));
  EXPECT_EQ(document.GetParamText(L"Name"), L"");
}

TEST_F(SettingsDocumentTest, EncodingIsDetectedAndNonAsciiRoundTrips) {
  const std::wstring name = L"Ст\u00e4tion-\u20ac-\U0001F600";
  SettingsDocument document;
  ASSERT_TRUE(document.Create());
  ASSERT_TRUE(document.SetParam(L"Name", name));
  ASSERT_TRUE(document.SaveFile(Path("u.zrl")));
  EXPECT_NE(Read("u.zrl").find("\xF0\x9F\x98\x80"), std::string::npos);  // UTF-8 on disk
  SettingsDocument again;
  ASSERT_TRUE(again.LoadFile(Path("u.zrl")));
  EXPECT_EQ(again.GetParamText(L"Name"), name);

  // UTF-16LE with a byte-order mark.
  const std::string ascii = "<link><parameters><param name=\"Name\">w\xE9</param></parameters></link>";
  std::string utf16 = "\xFF\xFE";
  for (char c : ascii) {
    utf16 += c;
    utf16 += '\0';
  }
  Write("w.zrl", utf16);
  ASSERT_TRUE(again.LoadFile(Path("w.zrl")));
  EXPECT_EQ(again.GetParamText(L"Name"), L"w\u00e9");
}

TEST_F(SettingsDocumentTest, FailedSaveLeavesThePreviousFile) {
  Write("keep.zrl", "previous");
  SettingsDocument document;
  ASSERT_TRUE(document.Create());
  // The target's folder does not exist: nothing can be written.
  EXPECT_FALSE(document.SaveFile(Path("no/such/folder/x.zrl")));
  // The target is a folder: the rename fails and the temporary file is removed.
  fs::create_directories(folder_ / "dir.zrl" / "inside");
  EXPECT_FALSE(document.SaveFile(Path("dir.zrl")));
  EXPECT_EQ(Read("keep.zrl"), "previous");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);
}

// A linked settings file is saved to the link's target (relative links are
// taken from the link's folder), and the link stays a link.
TEST_F(SettingsDocumentTest, SaveGoesThroughLinksToTheirTarget) {
  fs::create_directories(folder_ / "real");
  Write("real/target.zrl", "old");
  fs::create_symlink("real/target.zrl", folder_ / "middle.zrl");
  fs::create_symlink(folder_ / "middle.zrl", folder_ / "link.zrl");
  SettingsDocument document;
  ASSERT_TRUE(document.Create());
  ASSERT_TRUE(document.SaveFile(Path("link.zrl")));
  EXPECT_TRUE(fs::is_symlink(folder_ / "link.zrl"));
  EXPECT_TRUE(fs::is_symlink(folder_ / "middle.zrl"));
  EXPECT_NE(Read("real/target.zrl").find("<related_object>Workstation</related_object>"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_ / "real"), fs::directory_iterator()), 1);
}

// A file this process may not write gives false and stays as it was, even where
// the folder would allow replacing it. Runs as an unprivileged user when root.
TEST_F(SettingsDocumentTest, FileThatMayNotBeWrittenGivesFalse) {
  Write("locked.zrl", "previous");
  ASSERT_EQ(::chmod(folder_.c_str(), 0777), 0);
  ASSERT_EQ(::chmod((folder_ / "locked.zrl").c_str(), 0444), 0);
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    SettingsDocument document;
    ::_exit(document.Create() && !document.SaveFile(Path("locked.zrl")) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Read("locked.zrl"), "previous");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

}  // namespace
