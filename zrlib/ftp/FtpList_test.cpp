#include "zrlib/ftp/FtpList.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include <climits>
#include <random>
#include <string>

namespace {

using ZRLib::ftp::list;

struct Item {
  bool valid;
  bool directory;
  std::string name;
  int size;
};

// Parses a one-line response and returns its item.
Item parse(const std::string& line) {
  list l(line);
  EXPECT_TRUE(l.getNextItem());
  Item item{l.valid, l.directory, l.name, l.size};
  EXPECT_FALSE(l.getNextItem());
  return item;
}

void expectItem(const std::string& line, bool directory, const std::string& name, int size) {
  SCOPED_TRACE(line);
  const Item item = parse(line);
  EXPECT_TRUE(item.valid);
  EXPECT_EQ(directory, item.directory);
  EXPECT_EQ(name, item.name);
  EXPECT_EQ(size, item.size);
}

void expectNoMatch(const std::string& line) {
  SCOPED_TRACE(line);
  const Item item = parse(line);
  EXPECT_FALSE(item.valid);
  EXPECT_FALSE(item.directory);
  EXPECT_EQ("", item.name);
}

TEST(FtpList, UnixForms) {
  // Owner and group, time of day.
  expectItem("drwxr-xr-x   2 user  group     4096 Jan 10 12:34 docs", true, "docs", 4096);
  // Word owner and group, year: the name keeps its blank.
  expectItem("-rw-r--r-- 1 user group 123456 Jan 10 2005 report final.txt", false, "report final.txt",
             123456);
  // Numeric owner and no group column, year.
  expectItem("-rw-r--r-- 1 1000 2048 Mar 3 2010 data.bin", false, "data.bin", 2048);
  // Numeric owner and no group column, time of day.
  expectItem("-rw-r--r-- 1 1000 77 Mar 3 09:15 late.log", false, "late.log", 77);
  // Word owner and group with time of day, setuid bits.
  expectItem("-rwsr-sr-x 1 root wheel 5 Feb 28 23:59 su", false, "su", 5);
  // Owner that is no word, with a year.
  expectItem("-rw-r--r-- 1 john.doe web-dev 10 Jan 10 2005 index.html", false, "index.html", 10);
  // Missing execute places.
  expectItem("drw-rw-rw- 3 a b 1 Jan 1 00:00 x y", true, "x y", 1);
}

TEST(FtpList, Links) {
  expectItem("lrwxrwxrwx 1 user group 11 Jan 10 12:34 latest -> docs/current", true, "latest", 11);
  // The name is what stands before the last arrow.
  expectItem("lrwxrwxrwx 1 user group 3 Jan 10 12:34 a -> b -> c", true, "a -> b", 3);
  // A link line without a target keeps its name.
  expectItem("lrwxrwxrwx 1 user group 3 Jan 10 12:34 lonely", true, "lonely", 3);
  // An upper-case type letter matches, but is neither a directory nor a link.
  expectItem("Drwxr-xr-x 2 user group 4096 Jan 10 12:34 docs", false, "docs", 4096);
  expectItem("Lrwxrwxrwx 1 user group 11 Jan 10 12:34 latest -> docs", false, "latest -> docs", 11);
  // An arrow in a plain file name is part of the name.
  expectItem("-rw-r--r-- 1 user group 1 Jan 10 12:34 x -> y", false, "x -> y", 1);
}

TEST(FtpList, MsDosForm) {
  expectItem("01-10-12  03:04PM       <DIR>          Reports", true, "Reports", 0);
  expectItem("01-10-12  03:04PM                 1234 notes.txt", false, "notes.txt", 1234);
  expectItem("12-31-99  11:59am                    7 old file.txt", false, "old file.txt", 7);
  // The angle-bracket word is compared exactly.
  expectItem("01-10-12  03:04PM       <dir>          Reports", false, "Reports", 0);
  expectItem("01-10-12  03:04PM 5 a -> b", false, "a -> b", 5);
}

TEST(FtpList, LinesThatFitNoForm) {
  expectNoMatch("drwxrwxrwt 10 root root 4096 Jan 10 12:34 tmp");
  expectNoMatch("total 12");
  expectNoMatch("01-10-12  03:04XM 12 x");
}

TEST(FtpList, SizeIsClamped) {
  expectItem("-rw-r--r-- 1 u g 3000000000 Jan 10 12:34 big", false, "big", INT_MAX);
  expectItem("-rw-r--r-- 1 u g 2147483647 Jan 10 12:34 max", false, "max", INT_MAX);
  expectItem("-rw-r--r-- 1 u g 2147483648 Jan 10 12:34 over", false, "over", INT_MAX);
  expectItem("-rw-r--r-- 1 u g 123456789012345678901234567890 Jan 10 12:34 huge", false, "huge", INT_MAX);
  expectItem("01-10-12  03:04PM 99999999999999999999999 dos", false, "dos", INT_MAX);
}

TEST(FtpList, SplitsAtEveryBreak) {
  list l("a\r\nb");
  EXPECT_EQ(3u, l.lines.size());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(l.getNextItem());
    EXPECT_FALSE(l.valid);
  }
  EXPECT_FALSE(l.getNextItem());

  list trailing("-rw-r--r-- 1 u g 1 Jan 10 12:34 f\n");
  ASSERT_EQ(2u, trailing.lines.size());
  EXPECT_EQ("", trailing.lines.back());

  list empty("");
  EXPECT_TRUE(empty.lines.empty());
  EXPECT_FALSE(empty.getNextItem());
  EXPECT_FALSE(empty.valid);
}

TEST(FtpList, ParsingPastTheLastLineFindsNothing) {
  list l("-rw-r--r-- 1 u g 7 Jan 10 12:34 f");
  ASSERT_TRUE(l.getNextItem());
  ASSERT_TRUE(l.valid);
  EXPECT_FALSE(l.parseUnixStyleResponse());
  EXPECT_FALSE(l.valid);
  EXPECT_EQ("", l.name);
  EXPECT_FALSE(l.parseMSDOSStyleResponse());
  list empty("");
  EXPECT_FALSE(empty.parseUnixStyleResponse());
  EXPECT_FALSE(empty.parseMSDOSStyleResponse());
}

TEST(FtpList, WalkKeepsAndRestarts) {
  list l("-rw-r--r-- 1 u g 42 Jan 10 12:34 first\ngarbage");
  ASSERT_TRUE(l.getNextItem());
  EXPECT_EQ("first", l.name);
  ASSERT_TRUE(l.getNextItem());
  EXPECT_FALSE(l.valid);
  EXPECT_EQ("", l.name);
  EXPECT_EQ(42, l.size);  // the size of the item before stays

  // The end leaves the item as it was.
  l.name = "kept";
  EXPECT_FALSE(l.getNextItem());
  EXPECT_EQ("kept", l.name);

  l.init();
  EXPECT_EQ("", l.name);
  ASSERT_TRUE(l.getNextItem());
  EXPECT_EQ("first", l.name);
}

TEST(FtpList, CopiesWalkTheirOwnLines) {
  list a("-rw-r--r-- 1 u g 1 Jan 10 12:34 one\n-rw-r--r-- 1 u g 2 Jan 10 12:34 two");
  ASSERT_TRUE(a.getNextItem());
  list b(a);
  list c("");
  c = a;
  a.lines.clear();  // must not disturb the copies
  a.init();
  for (list* copy : {&b, &c}) {
    ASSERT_TRUE(copy->getNextItem());
    EXPECT_EQ("two", copy->name);
    EXPECT_FALSE(copy->getNextItem());
  }
  list end(b);  // a copy taken at the end stays at the end
  EXPECT_FALSE(end.getNextItem());

  // Assignment from a walk at its end (an empty response is one) leaves the
  // target at the end of its own lines, whether or not it had any.
  const list empty("");
  list d("-rw-r--r-- 1 u g 3 Jan 10 12:34 three");
  d = empty;
  EXPECT_TRUE(d.currentLine == d.lines.end());
  EXPECT_FALSE(d.getNextItem());
  list e("");
  e = b;
  EXPECT_TRUE(e.currentLine == e.lines.end());
  EXPECT_FALSE(e.getNextItem());
  e.init();
  ASSERT_TRUE(e.getNextItem());
  EXPECT_EQ("one", e.name);
}

// Long hostile lines from a server must not throw; the test's time limit
// bounds how long they take.
TEST(FtpList, HostileLinesAreBounded) {
  const std::string blanks(200000, ' ');
  const std::string ones = [] {
    std::string s;
    while (s.size() < 200000) s += "1 ";
    return s;
  }();
  const std::string lines[] = {
      "lrwxrwxrwx 1 u g 11 Jan 10 12:34 x" + blanks + "y",
      "lrwxrwxrwx 1 u g 11 Jan 10 12:34 " + std::string(200000, '-'),
      "-rw-r--r-- 1" + blanks,
      "-rw-r--r-- " + ones,
      "01-10-12 03:04PM <" + std::string(200000, 'w'),
      "01-10-12 03:04PM " + std::string(200000, '7'),
      std::string(200000, 'd'),
  };
  for (const std::string& line : lines) {
    list l(line);
    EXPECT_NO_THROW(EXPECT_TRUE(l.getNextItem()));
  }
  const std::string all = lines[0] + "\n" + lines[1] + "\r" + lines[3];
  list l(all);
  int count = 0;
  EXPECT_NO_THROW(while (l.getNextItem())++ count);
  EXPECT_EQ(3, count);
}

TEST(FtpList, HostileLinkNameFitsNoForm) {
  // The name split gives up on this line; the line is then not taken.
  list l("lrwxrwxrwx 1 u g 11 Jan 10 12:34 x" + std::string(200000, ' ') + "y");
  ASSERT_TRUE(l.getNextItem());
  EXPECT_FALSE(l.valid);
  EXPECT_EQ("", l.name);
}

// The link name split gives what the expression "(.+)\s+->\s+.+" replaced by
// "$1" gives, on every short entry over an alphabet of blanks and arrow parts.
TEST(FtpList, LinkNameSplitMatchesItsExpression) {
  const boost::regex link(R"re((.+)\s+\->\s+.+)re", boost::regex::perl);
  const char alphabet[] = {' ', '\t', '\v', '-', '>', 'a', 'x'};
  std::mt19937 random(20261209);
  for (int round = 0; round < 20000; ++round) {
    std::string entry = "n";
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) entry += alphabet[random() % sizeof alphabet];
    entry += random() % 2 ? "y" : "";
    SCOPED_TRACE(entry);
    const Item item = parse("lrwxrwxrwx 1 u g 11 Jan 10 12:34 " + entry);
    EXPECT_TRUE(item.valid);
    EXPECT_EQ(boost::regex_replace(entry, link, "$1"), item.name);
  }
  expectItem("lrwxrwxrwx 1 u g 11 Jan 10 12:34 a  -> b -> c", true, "a  -> b", 11);
}

}  // namespace
