// Conversions between the plug-in value types and the remote structs.
//
// Plug-in times are 32-bit signed, remote times 64-bit: towards the remote
// side a time is sign-extended (-1 becomes all ones), back it is cut to its
// low 32 bits. No unit conversion takes place.

#pragma once

#include <list>

#include "ZavediDedozozuriz.hh"
#include "plugin-api/FileTypes.h"

namespace zr {

// Times sign-extended; Size, Type, Mask and CustomAttr copied.
ZavediDedozozuriz::Attributes ToRemoteAttributes(const CFileAttributes& attributes);
// Times cut to their low 32 bits; Size, Type, Mask and CustomAttr copied.
CFileAttributes FromRemoteAttributes(const ZavediDedozozuriz::Attributes& attributes);

// A new remote list with one element per entry, in list order. The caller
// owns the result.
ZavediDedozozuriz::List* ToRemoteList(const std::list<CFileInfo>& entries);
// Appends one entry per element of `list` to `entries`, in order.
void AppendFromRemoteList(const ZavediDedozozuriz::List& list, std::list<CFileInfo>& entries);

// The remote result a plug-in result reaches the other side as: 0, 3, 4, 5,
// 6 and 7 pass, every other value is FAILED.
ZavediDedozozuriz::IDLErrorID ToRemoteResult(int result);

}  // namespace zr
