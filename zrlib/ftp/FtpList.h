#pragma once

#include <cstddef>
#include <list>
#include <string>

#include "zrlib/ZRLibExport.h"

namespace ZRLib {
namespace ftp {

// Walks the text of an FTP directory-listing response one line at a time and
// turns each line into an item (valid, directory, name, size). Six Unix
// long-listing forms and one MS-DOS form are recognised.
//
// The item fields are public: callers read them after each getNextItem().
// An object takes no locks; use it from one thread at a time. Copies walk
// their own lines from the same position as the original.
class ZRLIB_API list {
 public:
  // Splits response at every "\n" and every "\r" (adjacent breaks are not
  // merged, so "\r\n" leaves an empty line between) and starts at the first
  // line. An empty response has no lines.
  explicit list(const std::string& response);

  list(const list& other);
  list& operator=(const list& other);
  ~list() = default;

  // Clears the item (resetItem) and starts the walk again at the first line.
  void init();

  // valid and directory false, name empty; size keeps its value.
  void resetItem();

  // Returns false, leaving the item as it was, when every line has been
  // consumed. Otherwise parses the current line (Unix forms first, then the
  // MS-DOS form), moves to the next line and returns true, also for a line
  // that fits no form: valid tells whether it did.
  bool getNextItem();

  // Parses the current line as one of the Unix forms. On a match fills the
  // item and returns true; otherwise, and when every line has been consumed,
  // resetItem() and returns false.
  bool parseUnixStyleResponse();

  // Parses the current line as the MS-DOS form, like parseUnixStyleResponse.
  bool parseMSDOSStyleResponse();

  std::list<std::string> lines;                  // the response's lines
  std::list<std::string>::iterator currentLine;  // next line to parse
  bool valid = false;                            // the last parsed line fitted a form
  bool directory = false;                        // that line names a directory or a link
  std::string name;                              // the entry's name
  int size = 0;                                  // entry size, at most 2,147,483,647

 private:
  // How many lines of `walk` come before its current line.
  static std::ptrdiff_t positionOf(const list& walk);
};

}  // namespace ftp
}  // namespace ZRLib
