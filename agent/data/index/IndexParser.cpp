#include "agent/data/index/IndexParser.h"

#include <algorithm>

#include "plugin-api/ResultCodes.h"
#include "zrlib/strings/Strings.h"

namespace zr {

namespace {

constexpr size_t kInitialBuffer = 1024;
constexpr size_t kBufferGrowth = 512;
// A field reads back as it was written: a value of only blanks and a carriage return (which the
// writer leaves unescaped) survive.
constexpr unsigned int kLoadOptions = (pugi::parse_default | pugi::parse_ws_pcdata_single) & ~pugi::parse_eol;

}  // namespace

CIndexParser::CIndexParser() : buffer_(kInitialBuffer) {}

bool CIndexParser::LoadTemplate() { return static_cast<bool>(document_.load_string(kTemplate)); }

bool CIndexParser::Load(CFiltersPipe& pipe, unsigned int handle) {
  size_t total = 0;
  for (;;) {
    if (total == buffer_.size()) buffer_.resize(buffer_.size() + kBufferGrowth);
    unsigned int size = static_cast<unsigned int>(buffer_.size() - total);
    const int result = pipe.ReadFile(buffer_.data() + total, size, handle);
    if (result != kSuccess) break;
    // A success that delivers nothing would never end.
    if (size == 0) break;
    total += std::min<size_t>(size, buffer_.size() - total);
  }
  return static_cast<bool>(document_.load_buffer(buffer_.data(), total, kLoadOptions));
}

int CIndexParser::Save(CFiltersPipe& pipe, unsigned int handle) {
  pipe_ = &pipe;
  handle_ = handle;
  writeResult_ = kSuccess;
  document_.save(*this, "\t", pugi::format_default | pugi::format_write_bom, pugi::encoding_utf8);
  pipe_ = nullptr;
  return writeResult_;
}

void CIndexParser::write(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (writeResult_ == kSuccess && size > 0) {
    unsigned int taken = static_cast<unsigned int>(std::min<size_t>(size, 1u << 20));
    const unsigned int asked = taken;
    writeResult_ = pipe_->WriteFile(bytes, taken, handle_);
    if (writeResult_ != kSuccess) break;
    // A write that takes nothing would never end; one that claims more than
    // it was given is not believed.
    if (taken == 0 || taken > asked) {
      writeResult_ = kFailed;
      break;
    }
    bytes += taken;
    size -= taken;
  }
}

pugi::xml_node CIndexParser::Field(const std::wstring& name) const {
  if (document_.empty()) return pugi::xml_node();
  try {
    const std::string query = "item/" + ZRLib::strings::WstrToUTF8(name);
    return document_.select_node(query.c_str()).node();
  } catch (const std::exception&) {
    return pugi::xml_node();
  }
}

std::wstring CIndexParser::GetField(const std::wstring& name) const {
  const pugi::xml_node node = Field(name);
  return node ? ZRLib::strings::UTF8toWstr(node.child_value()) : std::wstring();
}

bool CIndexParser::SetField(const std::wstring& name, const std::wstring& text) {
  pugi::xml_node node = Field(name);
  if (!node) return false;
  if (!node.first_child()) node.append_child(pugi::node_pcdata);
  return node.first_child().set_value(ZRLib::strings::WstrToUTF8(text).c_str());
}

}  // namespace zr
