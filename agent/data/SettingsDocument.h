#pragma once

#include <pugixml.hpp>

#include <string>

namespace zr {

// The XML form of the workstation settings file:
//   <link><header><related_object>Workstation</related_object><version>..</version></header>
//         <parameters><param name="Key">value</param>...</parameters></link>
// Texts are wide here and UTF-8 inside the document. XPath failures are caught:
// readers then give an empty text, writers false. Not thread-safe: use one per operation.
class SettingsDocument {
 public:
  static constexpr const wchar_t* kVersion = L"7.3.4.12277";

  // Clears the document and builds the empty layout with the current version.
  // False when the root element cannot be added.
  bool Create();

  // Clears the document and parses `path` (default parse options, encoding from the
  // byte-order mark or the first characters). A missing file leaves the empty layout
  // of Create and gives false; a file that cannot be read or parsed gives false.
  bool LoadFile(const std::wstring& path);

  // Writes the document as UTF-8 with a byte-order mark, the declaration and one tab
  // per level, to a temporary file beside `path` that then replaces `path`. A symbolic
  // link is followed: its final target is replaced and the link stays. False, leaving
  // the file alone, when the existing file may not be written by this process. True
  // only when every byte reached the disk; on failure `path` is left as it was.
  bool SaveFile(const std::wstring& path) const;

  // The text under link/header/<name>; empty when missing.
  std::wstring GetHeaderValue(const std::wstring& name) const;
  // Sets the text under link/header/<name>, adding the element when missing.
  bool SetHeaderValue(const std::wstring& name, const std::wstring& value);

  // The text of the param element whose name attribute is `key`; empty when missing.
  std::wstring GetParamText(const std::wstring& key) const;
  // Assigns the param's text to `out` when it is not empty.
  void GetParam(const std::wstring& key, std::wstring& out) const;
  // When the param's text is not empty, `out` becomes true for exactly "1", "true"
  // or "yes" and false for anything else.
  void GetBoolParam(const std::wstring& key, bool& out) const;
  // Sets the param's text, adding the param when missing.
  bool SetParam(const std::wstring& key, const std::wstring& value);
  // SetParam with "yes" or "no".
  bool SetBoolParam(const std::wstring& key, bool flag);

  const pugi::xml_document& Document() const { return document_; }

 private:
  // False on an XPath error; otherwise `node` is the first match (null when none).
  bool Find(const std::string& xpath, pugi::xml_node& node) const;
  static bool SetText(pugi::xml_node element, const std::wstring& value);

  pugi::xml_document document_;
};

}  // namespace zr
