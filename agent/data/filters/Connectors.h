// The two ends of a filter chain. The start connector stands first and
// passes every call to the first filter (or to the end connector when the
// chain is empty); the end connector stands last and turns the data calls
// into calls on the copy target.

#pragma once

#include "agent/data/targets/IFileSystem.h"
#include "plugin-api/IBackupDataFilter.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

// Forwards every operation to the next stage with the same arguments and
// returns its result (1 while no next stage is set). No extension, not
// many-to-one.
class CSrcToFilterConnector final : public IBackupDataFilter {
 public:
  CSrcToFilterConnector() = default;
  const wchar_t* GetFileExtension() const override { return L""; }
  bool IsManyToOne() const override { return false; }
  [[nodiscard]] int DirectTransform(const unsigned char* data, unsigned int& size,
                                    const unsigned int& handle) override;
  [[nodiscard]] int ReverseTransform(unsigned char* buffer, unsigned int& size,
                                     const unsigned int& handle) override;
};

// DirectTransform is the target's WriteFile, ReverseTransform its ReadFile,
// on the same handle; every other operation does nothing and returns 0.
class CFilterToWsConnector final : public IBackupDataFilter {
 public:
  // `target` is not owned and must outlive the connector.
  explicit CFilterToWsConnector(IFileSystem* target) : target_(target) {}
  const wchar_t* GetFileExtension() const override { return L""; }
  bool IsManyToOne() const override { return false; }
  [[nodiscard]] int BeginTransaction(const unsigned int&) override { return kSuccess; }
  [[nodiscard]] int GetListing(const std::wstring&, std::list<CFileInfo>&) override { return kSuccess; }
  [[nodiscard]] int PrepareTransform(const std::wstring&, bool, const unsigned int&) override {
    return kSuccess;
  }
  [[nodiscard]] int DirectTransform(const unsigned char* data, unsigned int& size,
                                    const unsigned int& handle) override;
  [[nodiscard]] int ReverseTransform(unsigned char* buffer, unsigned int& size,
                                     const unsigned int& handle) override;
  [[nodiscard]] int FinishTransform(const unsigned int&) override { return kSuccess; }
  [[nodiscard]] int CommitTransaction(const unsigned int&) override { return kSuccess; }

 private:
  IFileSystem* target_;
};

}  // namespace zr
