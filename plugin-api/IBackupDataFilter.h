// A filter: one stage of the chain that transforms data between the copy
// source and the stored objects.
//
// Objects cross the library boundary only as pointers to this class, so the
// order of the virtual operations below is fixed. The operations with a body
// forward to the next filter with the same arguments and return its result,
// or zr::kFailed when no next filter is set. Results are the remote result
// codes (0 success). Operations never throw. One thread at a time.

#pragma once

#include <list>
#include <string>

#include "plugin-api/FileTypes.h"
#include "plugin-api/ResultCodes.h"

class IBackupDataFilter {
 public:
  IBackupDataFilter(const IBackupDataFilter&) = delete;
  IBackupDataFilter& operator=(const IBackupDataFilter&) = delete;

  virtual ~IBackupDataFilter() = default;

  // Frees the object inside the library that made it; callers check for null.
  virtual void Destroy() { delete this; }

  // The extension the filter adds to stored names; static, owned by the filter.
  virtual const wchar_t* GetFileExtension() const = 0;
  // True when all files of a transaction go into one stored object.
  virtual bool IsManyToOne() const = 0;
  // Starts a transaction on `handle`.
  [[nodiscard]] virtual int BeginTransaction(const unsigned int& handle) {
    return m_next != nullptr ? m_next->BeginTransaction(handle) : zr::kFailed;
  }
  // Appends the stored entries of the folder `path` to `entries`.
  [[nodiscard]] virtual int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
    return m_next != nullptr ? m_next->GetListing(path, entries) : zr::kFailed;
  }
  // Prepares the transform of the item `name`: storing when `forward`, else
  // restoring.
  [[nodiscard]] virtual int PrepareTransform(const std::wstring& name, bool forward,
                                             const unsigned int& handle) {
    return m_next != nullptr ? m_next->PrepareTransform(name, forward, handle) : zr::kFailed;
  }
  // Storing direction: takes up to `size` bytes of `data`; `size` becomes the
  // bytes taken.
  [[nodiscard]] virtual int DirectTransform(const unsigned char* data, unsigned int& size,
                                            const unsigned int& handle) = 0;
  // Restoring direction: delivers up to `size` bytes into `buffer`; `size`
  // becomes the bytes delivered.
  [[nodiscard]] virtual int ReverseTransform(unsigned char* buffer, unsigned int& size,
                                             const unsigned int& handle) = 0;
  // Ends the transform of the current item.
  [[nodiscard]] virtual int FinishTransform(const unsigned int& handle) {
    return m_next != nullptr ? m_next->FinishTransform(handle) : zr::kFailed;
  }
  // Completes the transaction on `handle`.
  [[nodiscard]] virtual int CommitTransaction(const unsigned int& handle) {
    return m_next != nullptr ? m_next->CommitTransaction(handle) : zr::kFailed;
  }

  // Sets the next filter of the chain (not owned); the host does this when it
  // chains filters.
  void SetNextFilter(IBackupDataFilter* next) { m_next = next; }
  // The next filter of the chain; null until the host sets it.
  IBackupDataFilter* GetNextFilter() const { return m_next; }

 protected:
  // The same as zr::kFailed; kept for filters written against this name.
  static constexpr int kNoNextFilter = zr::kFailed;

  IBackupDataFilter() = default;

  // Next filter of the chain, not owned; null after construction.
  IBackupDataFilter* m_next = nullptr;
};
