// One item record of the index: a small XML document read from and
// written to a filters pipe.
//
// Layout: UTF-8 with a byte-order mark, the declaration first, one tab per
// level, one element per field below <item>:
//   nm name, tp type bits, sz size, cr la mo times, am mask, ca custom text.
// Lives for one record operation.

#pragma once

#include <pugixml.hpp>

#include <string>
#include <vector>

#include "agent/data/filters/FiltersPipe.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

class CIndexParser final : public pugi::xml_writer {
 public:
  // The record every write starts from.
  static constexpr const char* kTemplate =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><item><nm></nm><tp></tp><sz></sz><cr></cr>"
      "<la></la><mo></mo><am></am><ca></ca></item>";

  CIndexParser();

  // Parses the template; false when it cannot be parsed.
  bool LoadTemplate();
  // Reads the record of `handle` to its end (the first non-zero result of
  // the pipe's ReadFile, or a read that delivers nothing) and parses it.
  // False when the bytes are no XML document.
  bool Load(CFiltersPipe& pipe, unsigned int handle);
  // Writes the document to `handle`, each piece until the pipe took all of
  // it. Returns the first failure (1 for a write that takes nothing), 0
  // when everything went through.
  [[nodiscard]] int Save(CFiltersPipe& pipe, unsigned int handle);
  // The text of item/`name`; empty when the document or the element is
  // missing. A lone surrogate comes back from its three-byte form; any other
  // ill-formed byte reads as U+FFFD, so the text is never cut short.
  std::wstring GetField(const std::wstring& name) const;
  // Sets the text of item/`name`; false when the document or the element is
  // missing.
  bool SetField(const std::wstring& name, const std::wstring& text);

  // pugi::xml_writer: one piece of the saved document.
  void write(const void* data, size_t size) override;

 private:
  pugi::xml_node Field(const std::wstring& name) const;

  pugi::xml_document document_;
  CFiltersPipe* pipe_ = nullptr;
  unsigned int handle_ = 0;
  int writeResult_ = kSuccess;
  std::vector<unsigned char> buffer_;
};

}  // namespace zr
