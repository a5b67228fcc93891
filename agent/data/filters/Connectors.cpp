#include "agent/data/filters/Connectors.h"

#include "plugin-api/ResultCodes.h"

namespace zr {

int CSrcToFilterConnector::DirectTransform(const unsigned char* data, unsigned int& size,
                                           const unsigned int& handle) {
  return m_next != nullptr ? m_next->DirectTransform(data, size, handle) : kFailed;
}

int CSrcToFilterConnector::ReverseTransform(unsigned char* buffer, unsigned int& size,
                                            const unsigned int& handle) {
  return m_next != nullptr ? m_next->ReverseTransform(buffer, size, handle) : kFailed;
}

int CFilterToWsConnector::DirectTransform(const unsigned char* data, unsigned int& size,
                                          const unsigned int& handle) {
  return target_->WriteFile(data, size, handle);
}

int CFilterToWsConnector::ReverseTransform(unsigned char* buffer, unsigned int& size,
                                           const unsigned int& handle) {
  return target_->ReadFile(buffer, size, handle);
}

}  // namespace zr
