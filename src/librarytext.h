// Reading texts out of the messaging library's objects: ask the size (which counts the
// terminating NUL), fetch into a buffer of exactly that size.
#ifndef CORVELLE_LIBRARYTEXT_H
#define CORVELLE_LIBRARYTEXT_H

#include <cstring>
#include <string>

#include "ostrel/OstrelMessage5.h"

namespace corvelle {

// A text getter pair: the text is taken up to its first zero byte.
template <typename Object>
std::string readText(const Object& object, size_t (Object::*sizeOf)() const,
                     quorlen::ostrel::api5::OstrelMessageErrorCode (Object::*get)(char*, size_t)
                         const) {
  const size_t size = (object.*sizeOf)();
  if (size == 0) return std::string();
  // Fetched straight into the result, which then ends at the first zero byte.
  std::string text(size, '\0');
  (object.*get)(&text[0], size);
  text.resize(::strnlen(text.data(), size));
  return text;
}

// The payload is byte-exact: all size - 1 bytes, zero bytes included.
inline std::string readPayload(const quorlen::ostrel::api5::SuiteMessage& message) {
  const size_t size = message.GetPayloadSize();
  if (size <= 1) return std::string();
  std::string payload(size, '\0');
  message.GetPayload(&payload[0], size);
  payload.resize(size - 1);
  return payload;
}

inline std::string endPointId(const quorlen::ostrel::api5::EndPoint& e) {
  return readText(e, &quorlen::ostrel::api5::EndPoint::GetIdSize,
                  &quorlen::ostrel::api5::EndPoint::GetId);
}
inline std::string endPointAppId(const quorlen::ostrel::api5::EndPoint& e) {
  return readText(e, &quorlen::ostrel::api5::EndPoint::GetAppIdSize,
                  &quorlen::ostrel::api5::EndPoint::GetAppId);
}
inline std::string endPointAppVersion(const quorlen::ostrel::api5::EndPoint& e) {
  return readText(e, &quorlen::ostrel::api5::EndPoint::GetAppVersionSize,
                  &quorlen::ostrel::api5::EndPoint::GetAppVersion);
}

}  // namespace corvelle

#endif  // CORVELLE_LIBRARYTEXT_H
