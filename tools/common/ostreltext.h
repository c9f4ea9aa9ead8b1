// Reading texts out of the messaging library's value classes, for the programs built on
// the library (tools, tests, benchmarks): ask the size, which counts the terminating
// NUL, fetch into a buffer of exactly that size, keep size - 1 bytes.
#ifndef OSTREL_TOOLS_OSTRELTEXT_H
#define OSTREL_TOOLS_OSTRELTEXT_H

#include <cstring>
#include <string>
#include <vector>

#include "ostrel/OstrelMessage5.h"

namespace ostrel_text {

namespace api5 = quorlen::ostrel::api5;

template <typename Object>
std::string read(const Object& object, size_t (Object::*sizeOf)() const,
                 api5::OstrelMessageErrorCode (Object::*get)(char*, size_t) const) {
  const size_t size = (object.*sizeOf)();
  if (size <= 1) return std::string();
  std::vector<char> buffer(size);
  if ((object.*get)(buffer.data(), size) != api5::OSTREL_OK) return std::string();
  return std::string(buffer.data(), size - 1);
}

inline std::string idOf(const api5::EndPoint& e) {
  return read(e, &api5::EndPoint::GetIdSize, &api5::EndPoint::GetId);
}
inline std::string appIdOf(const api5::EndPoint& e) {
  return read(e, &api5::EndPoint::GetAppIdSize, &api5::EndPoint::GetAppId);
}
inline std::string appVersionOf(const api5::EndPoint& e) {
  return read(e, &api5::EndPoint::GetAppVersionSize, &api5::EndPoint::GetAppVersion);
}
inline std::string typeOf(const api5::OstrelMessage& m) {
  return read(m, &api5::OstrelMessage::GetTypeSize, &api5::OstrelMessage::GetType);
}
inline std::string appIdOf(const api5::OstrelMessage& m) {
  return read(m, &api5::OstrelMessage::GetAppIdSize, &api5::OstrelMessage::GetAppId);
}
inline std::string appVersionOf(const api5::OstrelMessage& m) {
  return read(m, &api5::OstrelMessage::GetAppVersionSize, &api5::OstrelMessage::GetAppVersion);
}
inline std::string payloadOf(const api5::SuiteMessage& m) {
  return read(m, &api5::SuiteMessage::GetPayloadSize, &api5::SuiteMessage::GetPayload);
}
// True for application messages, which the library delivers as SuiteMessage.
inline bool isApplicationType(const std::string& type) {
  return type.compare(0, std::strlen(api5::SuiteMessage::TYPE_PREFIX),
                      api5::SuiteMessage::TYPE_PREFIX) == 0;
}

}  // namespace ostrel_text

#endif  // OSTREL_TOOLS_OSTRELTEXT_H
