#include "agent/data/index/IndexParser.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "plugin-api/ResultCodes.h"
#include "zrlib/strings/Strings.h"
#include "zrlib/utf/ConvertUTF.h"

namespace zr {

namespace {

constexpr size_t kInitialBuffer = 1024;
constexpr size_t kBufferGrowth = 512;
// A field reads back as it was written: a value of only blanks and a carriage return (which the
// writer leaves unescaped) survive.
constexpr unsigned int kLoadOptions = (pugi::parse_default | pugi::parse_ws_pcdata_single) & ~pugi::parse_eol;

// The three-byte form WstrToUTF8 gives a lone surrogate (ED A0..BF 80..BF).
bool IsSurrogateForm(const UTF8* source, const UTF8* end) {
  return end - source >= 3 && source[0] == 0xED && (source[1] & 0xE0) == 0xA0 && (source[2] & 0xC0) == 0x80;
}

// UTF-8 as SetField writes it back to wide text. Each byte that begins no
// such sequence becomes U+FFFD: the text goes on past it, so a damaged
// number stays visibly damaged instead of being cut to its first digits.
std::wstring DecodeField(const char* text) {
  const auto* source = reinterpret_cast<const UTF8*>(text);
  const UTF8* const end = source + std::strlen(text);
  // Never more code points than bytes: the target cannot run out.
  std::vector<UTF32> units(static_cast<size_t>(end - source));
  std::wstring out;
  while (source < end) {
    UTF32* target = units.data();
    static_cast<void>(
        ConvertUTF8toUTF32(&source, end, &target, units.data() + units.size(), lenientConversion));
    out.append(units.data(), target);
    if (source == end) break;
    if (IsSurrogateForm(source, end)) {
      out.push_back(static_cast<wchar_t>(0xD000 | ((source[1] & 0x3F) << 6) | (source[2] & 0x3F)));
      source += 3;
    } else {
      out.push_back(L'\uFFFD');
      ++source;
    }
  }
  return out;
}

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
  return node ? DecodeField(node.child_value()) : std::wstring();
}

bool CIndexParser::SetField(const std::wstring& name, const std::wstring& text) {
  pugi::xml_node node = Field(name);
  if (!node) return false;
  if (!node.first_child()) node.append_child(pugi::node_pcdata);
  return node.first_child().set_value(ZRLib::strings::WstrToUTF8(text).c_str());
}

}  // namespace zr
