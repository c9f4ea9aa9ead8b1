// The interface's value classes: endpoints and messages. Plain data, no locking; each
// object is used by one thread at a time.
#include <cstring>
#include <string>
#include <vector>

#include "messageaccess.h"

namespace quorlen {
namespace ostrel {
namespace api5 {

namespace {

size_t sizeWithNul(const std::string& text) {
  return text.size() + 1;
}

// Copies `text` and its terminating NUL into a caller buffer of `size` bytes. A short
// buffer receives as much as fits, still NUL-terminated.
OstrelMessageErrorCode copyOut(const std::string& text, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return OSTREL_ERROR_BUFFER_TOO_SMALL;
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  if (n > 0) std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n == text.size() ? OSTREL_OK : OSTREL_ERROR_BUFFER_TOO_SMALL;
}

std::string fromText(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

const char* const SuiteMessage::TYPE_PREFIX = "ostrel.SuiteMessage.";
const char* const ErrorMessage::TYPE = "ostrel.ErrorMessage";

struct EndPoint::Data {
  std::string id;
  std::string appId;
  std::string appVersion;
};

EndPoint::EndPoint() : data_(new Data) {}
EndPoint::EndPoint(const EndPoint& other) : data_(new Data(*other.data_)) {}
EndPoint& EndPoint::operator=(const EndPoint& other) {
  if (this != &other) *data_ = *other.data_;
  return *this;
}
EndPoint::~EndPoint() {
  delete data_;
}

void EndPoint::SetId(const char* id) {
  data_->id = fromText(id);
}
void EndPoint::SetAppId(const char* appId) {
  data_->appId = fromText(appId);
}
void EndPoint::SetAppVersion(const char* appVersion) {
  data_->appVersion = fromText(appVersion);
}
size_t EndPoint::GetIdSize() const {
  return sizeWithNul(data_->id);
}
OstrelMessageErrorCode EndPoint::GetId(char* buffer, size_t size) const {
  return copyOut(data_->id, buffer, size);
}
size_t EndPoint::GetAppIdSize() const {
  return sizeWithNul(data_->appId);
}
OstrelMessageErrorCode EndPoint::GetAppId(char* buffer, size_t size) const {
  return copyOut(data_->appId, buffer, size);
}
size_t EndPoint::GetAppVersionSize() const {
  return sizeWithNul(data_->appVersion);
}
OstrelMessageErrorCode EndPoint::GetAppVersion(char* buffer, size_t size) const {
  return copyOut(data_->appVersion, buffer, size);
}

struct OstrelMessage::Data {
  std::string type;
  std::string appId;
  std::string appVersion;
};

OstrelMessage::OstrelMessage(const char* type) : data_(new Data{fromText(type), {}, {}}) {}
OstrelMessage::OstrelMessage(const OstrelMessage& other) : data_(new Data(*other.data_)) {}
OstrelMessage& OstrelMessage::operator=(const OstrelMessage& other) {
  if (this != &other) *data_ = *other.data_;
  return *this;
}
OstrelMessage::~OstrelMessage() {
  delete data_;
}

size_t OstrelMessage::GetTypeSize() const {
  return sizeWithNul(data_->type);
}
OstrelMessageErrorCode OstrelMessage::GetType(char* buffer, size_t size) const {
  return copyOut(data_->type, buffer, size);
}
size_t OstrelMessage::GetAppIdSize() const {
  return sizeWithNul(data_->appId);
}
OstrelMessageErrorCode OstrelMessage::GetAppId(char* buffer, size_t size) const {
  return copyOut(data_->appId, buffer, size);
}
size_t OstrelMessage::GetAppVersionSize() const {
  return sizeWithNul(data_->appVersion);
}
OstrelMessageErrorCode OstrelMessage::GetAppVersion(char* buffer, size_t size) const {
  return copyOut(data_->appVersion, buffer, size);
}

struct SuiteMessage::Data {
  EndPoint source;
  std::string payload;
  std::vector<EndPoint> destinations;
};

SuiteMessage::SuiteMessage(const char* type) : OstrelMessage(type), suiteData_(new Data) {}
SuiteMessage::SuiteMessage(const SuiteMessage& other)
    : OstrelMessage(other), suiteData_(new Data(*other.suiteData_)) {}
SuiteMessage& SuiteMessage::operator=(const SuiteMessage& other) {
  if (this != &other) {
    OstrelMessage::operator=(other);
    *suiteData_ = *other.suiteData_;
  }
  return *this;
}
SuiteMessage::~SuiteMessage() {
  delete suiteData_;
}

void SuiteMessage::SetSource(const EndPoint& source) {
  suiteData_->source = source;
}
EndPoint SuiteMessage::GetSource() const {
  return suiteData_->source;
}
void SuiteMessage::SetPayload(const char* payload) {
  suiteData_->payload = fromText(payload);
}
size_t SuiteMessage::GetPayloadSize() const {
  return sizeWithNul(suiteData_->payload);
}
OstrelMessageErrorCode SuiteMessage::GetPayload(char* buffer, size_t size) const {
  return copyOut(suiteData_->payload, buffer, size);
}
void SuiteMessage::SetDestinations(const EndPoint* destinations, size_t count) {
  if (destinations == nullptr) count = 0;
  suiteData_->destinations.assign(destinations, destinations + count);
}

ErrorMessage::ErrorMessage() : OstrelMessage(TYPE) {}
ErrorMessage::~ErrorMessage() = default;

const std::string& MessageAccess::id(const EndPoint& e) {
  return e.data_->id;
}
const std::string& MessageAccess::appId(const EndPoint& e) {
  return e.data_->appId;
}
const std::string& MessageAccess::appVersion(const EndPoint& e) {
  return e.data_->appVersion;
}
EndPoint MessageAccess::makeEndPoint(const std::string& id, const std::string& appId,
                                     const std::string& appVersion) {
  EndPoint e;
  *e.data_ = EndPoint::Data{id, appId, appVersion};
  return e;
}
const std::string& MessageAccess::type(const OstrelMessage& m) {
  return m.data_->type;
}
const std::string& MessageAccess::appId(const OstrelMessage& m) {
  return m.data_->appId;
}
const std::string& MessageAccess::appVersion(const OstrelMessage& m) {
  return m.data_->appVersion;
}
void MessageAccess::setSender(OstrelMessage& m, const std::string& appId,
                              const std::string& appVersion) {
  m.data_->appId = appId;
  m.data_->appVersion = appVersion;
}
const std::string& MessageAccess::payload(const SuiteMessage& m) {
  return m.suiteData_->payload;
}
void MessageAccess::setPayloadBytes(SuiteMessage& m, const std::string& payload) {
  m.suiteData_->payload = payload;
}
const EndPoint& MessageAccess::source(const SuiteMessage& m) {
  return m.suiteData_->source;
}
const std::vector<EndPoint>& MessageAccess::destinations(const SuiteMessage& m) {
  return m.suiteData_->destinations;
}

IOstrelMessageDispatcher::~IOstrelMessageDispatcher() = default;

}  // namespace api5
}  // namespace ostrel
}  // namespace quorlen
