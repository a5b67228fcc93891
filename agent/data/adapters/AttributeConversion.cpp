#include "agent/data/adapters/AttributeConversion.h"

#include <cstdint>

#include "plugin-api/ResultCodes.h"

namespace zr {

namespace {

CORBA::ULongLong Widen(int32_t time) { return static_cast<CORBA::ULongLong>(static_cast<int64_t>(time)); }

int32_t Narrow(CORBA::ULongLong time) {
  return static_cast<int32_t>(static_cast<uint32_t>(time & 0xffffffffu));
}

std::wstring Text(const CORBA::WChar* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

}  // namespace

ZavediDedozozuriz::Attributes ToRemoteAttributes(const CFileAttributes& attributes) {
  ZavediDedozozuriz::Attributes remote;
  remote.Creation = Widen(attributes.Creation);
  remote.LastAccess = Widen(attributes.LastAccess);
  remote.Modification = Widen(attributes.Modification);
  remote.Size = static_cast<CORBA::LongLong>(attributes.Size);
  remote.Type = attributes.Type;
  remote.Mask = static_cast<CORBA::Long>(attributes.Mask);
  remote.CustomAttr = CORBA::wstring_dup(attributes.CustomAttr.c_str());
  return remote;
}

CFileAttributes FromRemoteAttributes(const ZavediDedozozuriz::Attributes& remote) {
  CFileAttributes attributes;
  attributes.Creation = Narrow(remote.Creation);
  attributes.LastAccess = Narrow(remote.LastAccess);
  attributes.Modification = Narrow(remote.Modification);
  attributes.Size = static_cast<uint64_t>(remote.Size);
  attributes.Type = remote.Type;
  attributes.Mask = static_cast<uint32_t>(remote.Mask);
  attributes.CustomAttr = Text(remote.CustomAttr.in());
  return attributes;
}

ZavediDedozozuriz::List* ToRemoteList(const std::list<CFileInfo>& entries) {
  auto* list = new ZavediDedozozuriz::List;
  list->length(static_cast<CORBA::ULong>(entries.size()));
  CORBA::ULong i = 0;
  for (const CFileInfo& entry : entries) {
    (*list)[i].Attrs = ToRemoteAttributes(entry.Attrs);
    (*list)[i].Name = CORBA::wstring_dup(entry.Name.c_str());
    (*list)[i].Info = CORBA::wstring_dup(entry.Info.c_str());
    ++i;
  }
  return list;
}

void AppendFromRemoteList(const ZavediDedozozuriz::List& list, std::list<CFileInfo>& entries) {
  for (CORBA::ULong i = 0; i < list.length(); ++i) {
    CFileInfo entry(Text(list[i].Name.in()), FromRemoteAttributes(list[i].Attrs));
    entry.Info = Text(list[i].Info.in());
    entries.push_back(std::move(entry));
  }
}

ZavediDedozozuriz::IDLErrorID ToRemoteResult(int result) {
  return static_cast<ZavediDedozozuriz::IDLErrorID>(PassableResult(result));
}

}  // namespace zr
