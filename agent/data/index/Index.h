// The index of stored items: one XML record per item in a hidden folder
// ".i" beside it, all through the copy's "index" filters pipe, so records
// pass the same filters as the data and land on the same target.
//
// The record of F\N is F\.i\N.i, of a top-level N .i\N.i.
// Results are the remote result codes: 3 for a missing record, 6 for an
// empty item path, 1 for a record that cannot be parsed, lacks a field or
// holds a non-numeric number; the pipe's other results pass unchanged.
// REQUIRES: one thread at a time.

#pragma once

#include <list>
#include <string>

#include "agent/data/filters/FiltersPipe.h"
#include "plugin-api/ILog.h"

namespace zr {

class CIndex {
 public:
  static constexpr const wchar_t* kCantCreateIndexFolder = L"Can't create index folder";
  static constexpr const wchar_t* kCantCreateIndexDirectory = L"Can't create index directory";

  // `log` and `pipe` are not owned and must outlive the index.
  CIndex(ILog* log, CFiltersPipe* pipe);
  virtual ~CIndex() = default;

  CIndex(const CIndex&) = delete;
  CIndex& operator=(const CIndex&) = delete;

  // Writes the record of `path` (making the index folder first).
  [[nodiscard]] int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes);
  // Reads the record of `path`. Fields read before a bad one stay set.
  [[nodiscard]] int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes);
  // The items recorded for `folder` (empty: the top level), each with its
  // record's attributes, sorted (folders first, names ignoring case).
  // Entries without a readable record are left out.
  [[nodiscard]] int GetListing(const std::wstring& folder, std::list<CFileInfo>& entries);
  // Creates the index folder of `folder`.
  [[nodiscard]] int CreateFolder(const std::wstring& folder);
  // Both delete the item's record.
  [[nodiscard]] int DeleteFile(const std::wstring& path);
  [[nodiscard]] int DeleteFolder(const std::wstring& path);
  // Makes sure the index folder of `folder` exists. Once this succeeded, no
  // index folder is checked again.
  [[nodiscard]] int EnsureIndexFolder(const std::wstring& folder);

  // F\.i, or .i for the top level.
  static std::wstring IndexFolderOf(const std::wstring& folder);
  // F\.i\N.i, or .i\N.i for a path without a backslash.
  static std::wstring RecordPathOf(const std::wstring& path);

 private:
  void LogError(const wchar_t* text) const;

  CFiltersPipe* pipe_;
  bool folderReady_ = false;
  ILog* log_;
};

}  // namespace zr
