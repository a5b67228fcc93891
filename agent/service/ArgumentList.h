#pragma once

#include <list>
#include <string>
#include <vector>

namespace zr {

// An ordered list of wide arguments with an argv-style pointer view of them.
// Used for the command line and for the arguments handed to the ORB.
// Copies rebuild their own view, so a copy never points into the original.
class CArgumentList {
 public:
  CArgumentList() = default;
  CArgumentList(const CArgumentList& other);
  CArgumentList& operator=(const CArgumentList& other);
  ~CArgumentList() = default;

  // Replaces the content by every element of `arguments`, in order. Returns true.
  bool Fill(const std::list<std::wstring>& arguments);

  // Finds the first element equal to `option`. When one is found and another element
  // follows it, `value` becomes that following element and the result is true;
  // otherwise the result is false and `value` is left untouched.
  bool GetOption(const std::wstring& option, std::wstring& value) const;

  // Splits `text` at blanks and appends the pieces in order. A piece that starts with
  // a double or single quote runs to the next occurrence of the same quote; the
  // quotes are dropped. Throws CCommonException when a closing quote is missing
  // (the list then holds the pieces before the unclosed one).
  void ParseParameters(const std::wstring& text);

  // Appends `option` and, when `value` is not null, `value`.
  void Append(const std::wstring& option, const std::wstring* value = nullptr);
  void Append(const std::wstring& option, const std::wstring& value) { Append(option, &value); }

  // Empties the list and the view.
  void Clear();

  // Number of elements (argc) and the pointer view (argv). The pointers stay valid
  // until the list is cleared, refilled, assigned to or destroyed.
  int Count() const { return static_cast<int>(pointers_.size()); }
  const wchar_t* const* Vector() const { return pointers_.data(); }

  // The elements themselves, in order.
  const std::list<std::wstring>& Items() const { return items_; }

 private:
  void RebuildView();

  std::list<std::wstring> items_;         // nodes never move: the view stays valid
  std::vector<const wchar_t*> pointers_;  // one pointer per element, same order
};

}  // namespace zr
