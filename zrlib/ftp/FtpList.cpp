#include "zrlib/ftp/FtpList.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/regex.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

namespace ZRLib {
namespace ftp {

namespace {

static_assert(sizeof(int) == 4, "the item size is a 32-bit integer");

constexpr int kUnixForms = 6;

// The listing forms. Built once, before any object can exist, and only read
// afterwards.
struct Expressions {
  const boost::regex unixForms[kUnixForms];
  const boost::regex msdos;
};

const Expressions& expressions() {
  constexpr auto kIcase = boost::regex::perl | boost::regex::icase;
  static const Expressions e{
      {boost::regex(
           R"re(([\-dl])(([\-r][\-w][\-xs]?){3})\s+\d+\s+\S+\s+\S+\s+(\d+)\s+(\S+\s+\d+\s+\d{2}:\d{2})\s+(.+))re",
           kIcase),
       boost::regex(
           R"re(([\-dl])(([\-r][\-w][\-xs]){3})\s+\d+\s+\w+\s+\w+\s+(\d+)\s+(\w+\s+\d+\s+\d{4})\s+(.+))re",
           kIcase),
       boost::regex(R"re(([\-dl])(([\-r][\-w][\-xs]){3})\s+\d+\s+\d+\s+(\d+)\s+(\w+\s+\d+\s+\d{4})\s+(.+))re",
                    kIcase),
       boost::regex(
           R"re(([\-dl])(([\-r][\-w][\-xs]){3})\s+\d+\s+\d+\s+(\d+)\s+(\w+\s+\d+\s+\d{2}:\d{2})\s+(.+))re",
           kIcase),
       boost::regex(
           R"re(([\-dl])(([\-r][\-w][\-xs]){3})\s+\d+\s+\w+\s+\w+\s+(\d+)\s+(\w+\s+\d+\s+\d{2}:\d{2})\s+(.+))re",
           kIcase),
       boost::regex(
           R"re(([\-dl])(([\-r][\-w][\-xs]?){3})\s+\d+\s+\S+\s+\S+\s+(\d+)\s+(\S+\s+\d+\s+\S+)\s+(.+))re",
           kIcase)},
      boost::regex(R"re((\d{2}\-\d{2}\-\d{2}\s+\d{2}:\d{2}[Aa|Pp][mM])\s+(<\w+>){0,1}(\d+){0,1}\s+(.+))re",
                   kIcase)};
  return e;
}

// Compiles the expressions while the library loads.
[[maybe_unused]] const Expressions& kLoaded = expressions();

// Decimal digits to a size; anything above INT_MAX (including digit strings
// too long for a long) is held as INT_MAX.
int toSize(const std::string& digits) {
  errno = 0;
  const long value = std::strtol(digits.c_str(), nullptr, 10);
  if (errno == ERANGE || value > INT_MAX) return INT_MAX;
  if (value < 0) return 0;
  return static_cast<int>(value);
}

// A link entry ("name -> target") longer than this fits no form: a real one is
// at most NAME_MAX + " -> " + PATH_MAX bytes. Beyond some 20,000 bytes the
// expression the split once used gave up on such entries, so they were never
// taken.
constexpr std::size_t kMaxLinkEntry = 8192;

// The blanks of the C locale, which "\s" matches.
bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Cuts a link entry to its name, as the expression "(.+)\s+->\s+.+" replaced
// by "$1" does, in linear time: the name ends before the blank that precedes
// the last "->" with a blank before and after it, at least one character
// before that blank and one after the blank that follows; blanks before that
// one stay in the name, as the greedy group kept them. An entry without
// such an arrow is the name. Returns false when the entry is too long to be a
// link's.
bool cutLinkName(std::string& entry) {
  if (entry.size() > kMaxLinkEntry) return false;
  for (std::size_t arrow = entry.rfind("->"); arrow != std::string::npos && arrow >= 2;
       arrow = entry.rfind("->", arrow - 1)) {
    if (isBlank(entry[arrow - 1]) && arrow + 3 < entry.size() && isBlank(entry[arrow + 2])) {
      entry.resize(arrow - 1);
      return true;
    }
  }
  return true;
}

}  // namespace

std::ptrdiff_t list::positionOf(const list& walk) {
  return std::distance(walk.lines.cbegin(), std::list<std::string>::const_iterator(walk.currentLine));
}

list::list(const std::string& response) {
  // split() turns an empty text into one empty line; an empty response has
  // none.
  if (!response.empty()) {
    boost::split(lines, response, boost::is_any_of("\r\n"));
  }
  init();
}

list::list(const list& other)
    : lines(other.lines), valid(other.valid), directory(other.directory), name(other.name), size(other.size) {
  currentLine = std::next(lines.begin(), positionOf(other));
}

list& list::operator=(const list& other) {
  if (this != &other) {
    std::list<std::string> copied(other.lines);
    std::string copiedName(other.name);
    const auto position = positionOf(other);
    lines.swap(copied);
    // The position is taken again from this object's own lines: an end()
    // iterator stays with the list it came from when the nodes are swapped.
    currentLine = std::next(lines.begin(), position);
    valid = other.valid;
    directory = other.directory;
    name.swap(copiedName);
    size = other.size;
  }
  return *this;
}

void list::init() {
  resetItem();
  currentLine = lines.begin();
}

void list::resetItem() {
  valid = false;
  directory = false;
  name.clear();
}

bool list::getNextItem() {
  if (currentLine == lines.end()) return false;
  if (!parseUnixStyleResponse()) parseMSDOSStyleResponse();
  ++currentLine;
  return true;
}

bool list::parseUnixStyleResponse() {
  if (currentLine == lines.end()) {
    resetItem();
    return false;
  }
  const std::string& line = *currentLine;
  const Expressions& e = expressions();
  // The matcher throws (std::runtime_error) when a line from the server makes
  // it exceed its complexity or memory bounds; such a line fits no form.
  try {
    boost::smatch m;
    for (const boost::regex& form : e.unixForms) {
      if (!boost::regex_match(line, m, form)) continue;
      const std::string type = m[1].str();
      std::string entry = m[6].str();
      if (type == "l" && !cutLinkName(entry)) break;
      valid = true;
      directory = type == "d" || type == "l";
      name.swap(entry);
      size = toSize(m[4].str());
      return true;
    }
  } catch (const std::runtime_error&) {
  }
  resetItem();
  return false;
}

bool list::parseMSDOSStyleResponse() {
  if (currentLine == lines.end()) {
    resetItem();
    return false;
  }
  const std::string& line = *currentLine;
  try {
    boost::smatch m;
    if (boost::regex_match(line, m, expressions().msdos)) {
      valid = true;
      directory = m[2].str() == "<DIR>";
      name = m[4].str();
      size = m[3].length() > 0 ? toSize(m[3].str()) : 0;
      return true;
    }
  } catch (const std::runtime_error&) {
  }
  resetItem();
  return false;
}

}  // namespace ftp
}  // namespace ZRLib
