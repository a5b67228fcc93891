// The FTP listing parser on any response text: every valid item has a name and a size >= 0, and a copy
// or an assignment taken at a point of the walk chosen by the input walks the rest identically.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "zrlib/ftp/FtpList.h"

namespace {

struct Item {
  bool more;
  bool valid;
  bool directory;
  std::string name;
  int size;
  bool operator==(const Item& o) const {
    return more == o.more && valid == o.valid && directory == o.directory && name == o.name && size == o.size;
  }
};

Item Next(ZRLib::ftp::list& walk) {
  const bool more = walk.getNextItem();
  return Item{more, walk.valid, walk.directory, walk.name, walk.size};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t splitAt = data[0];  // the copies are taken after this many items
  ZRLib::ftp::list walk(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  ZRLib::ftp::list assigned(std::string("-rw-r--r-- 1 a b 1 Jan 1 2020 seed\n"));
  std::unique_ptr<ZRLib::ftp::list> copy;
  for (size_t index = 0;; ++index) {
    if (index == splitAt) {
      copy.reset(new ZRLib::ftp::list(walk));
      assigned = walk;
    }
    const Item item = Next(walk);
    if (item.more && item.valid) {
      FUZZ_CHECK(!item.name.empty());
      FUZZ_CHECK(item.size >= 0);
    }
    if (copy != nullptr) {
      FUZZ_CHECK(Next(*copy) == item);
      FUZZ_CHECK(Next(assigned) == item);
    }
    if (!item.more) break;
  }
  return 0;
}
