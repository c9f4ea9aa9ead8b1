// Library-side access to the data behind the interface's value classes. Shared by every
// implementation of the messaging library in this repository; never seen by the addon.
#ifndef OSTREL_COMMON_MESSAGEACCESS_H
#define OSTREL_COMMON_MESSAGEACCESS_H

#include <string>
#include <vector>

#include "ostrel/OstrelMessage5.h"

namespace quorlen {
namespace ostrel {
namespace api5 {

struct MessageAccess {
  static const std::string& id(const EndPoint& endPoint);
  static const std::string& appId(const EndPoint& endPoint);
  static const std::string& appVersion(const EndPoint& endPoint);
  static EndPoint makeEndPoint(const std::string& id, const std::string& appId,
                               const std::string& appVersion);

  static const std::string& type(const OstrelMessage& message);
  static const std::string& appId(const OstrelMessage& message);
  static const std::string& appVersion(const OstrelMessage& message);
  // Stamps the sender's application id and version on a message.
  static void setSender(OstrelMessage& message, const std::string& appId,
                        const std::string& appVersion);

  static const std::string& payload(const SuiteMessage& message);
  // Sets the payload byte-exact, zero bytes included.
  static void setPayloadBytes(SuiteMessage& message, const std::string& payload);
  static const EndPoint& source(const SuiteMessage& message);
  static const std::vector<EndPoint>& destinations(const SuiteMessage& message);
};

}  // namespace api5
}  // namespace ostrel
}  // namespace quorlen

#endif  // OSTREL_COMMON_MESSAGEACCESS_H
