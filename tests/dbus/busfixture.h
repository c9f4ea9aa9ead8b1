// Test fixture: a private bus for each test, this process as one participant on it, and
// ostrel-peer processes as the others.
#ifndef OSTREL_DBUS_TESTS_BUSFIXTURE_H
#define OSTREL_DBUS_TESTS_BUSFIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/OstrelMessage5.h"
#include "peerprocess.h"
#include "privatebus.h"
#include "recordinglistener.h"

namespace ostrel_dbus_test {

struct Listed {
  std::string id;
  std::string appId;
  std::string appVersion;
  bool operator==(const Listed& o) const {
    return id == o.id && appId == o.appId && appVersion == o.appVersion;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Listed& e) {
  return out << "{" << e.id << ", " << e.appId << ", " << e.appVersion << "}";
}

class BusFixture : public ::testing::Test {
 public:
  static bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.start()) << "could not start a private bus";
    setenv("OSTREL_BUS_ADDRESS", bus_.address().c_str(), 1);
  }

  void TearDown() override {
    while (held_ > 0) release();
    peers_.clear();
  }

  // Joins this process as `appId` `appVersion` and waits until it is ready.
  api5::IOstrelMessageDispatcher* join(const std::string& appId, const std::string& appVersion) {
    EXPECT_EQ(api5::IOstrelMessageDispatcher::SetConfig(appId.c_str(), appVersion.c_str()),
              api5::OSTREL_OK);
    api5::IOstrelMessageDispatcher* dispatcher = nullptr;
    const api5::OstrelMessageErrorCode code =
        api5::IOstrelMessageDispatcher::GetInstance(&dispatcher);
    EXPECT_EQ(code, api5::OSTREL_OK);
    if (code != api5::OSTREL_OK) return nullptr;
    ++held_;
    EXPECT_TRUE(waitFor([&] { return dispatcher->IsReady(); }, 5000));
    return dispatcher;
  }

  void release() {
    api5::IOstrelMessageDispatcher::ReleaseInstance();
    --held_;
  }

  // Starts a peer that has joined when this returns; its id in `id`.
  PeerProcess& peer(const std::vector<std::string>& arguments, std::string* id) {
    peers_.push_back(std::make_unique<PeerProcess>());
    std::string ignored;
    EXPECT_TRUE(peers_.back()->startJoined(bus_.address(), arguments, id ? id : &ignored));
    return *peers_.back();
  }

  static std::vector<Listed> listed(api5::IOstrelMessageDispatcher* dispatcher) {
    api5::EndPoint* array = nullptr;
    size_t count = 0;
    EXPECT_EQ(dispatcher->GetEndPoints(&array, &count), api5::OSTREL_OK);
    std::vector<Listed> list;
    for (size_t i = 0; i < count; ++i) {
      list.push_back({RecordingListener::idOf(array[i]), RecordingListener::appIdOf(array[i]),
                      RecordingListener::appVersionOf(array[i])});
    }
    if (count > 0) dispatcher->FreeEndPoints(array);
    return list;
  }

  // What another process (ostrel-peer --list) lists on the bus.
  std::vector<Listed> listedByAnotherProcess(int timeoutMs = 10000) {
    PeerProcess lister;
    EXPECT_TRUE(lister.start(bus_.address(), {"--app", "LISTER", "--list"}));
    std::vector<Listed> seen;
    JsonFields fields;
    while (lister.readFields(&fields, timeoutMs)) {
      seen.push_back({fields["endpoint"], fields["appId"], fields["appVersion"]});
    }
    EXPECT_EQ(lister.wait(timeoutMs), 0);
    return seen;
  }

  static bool isListed(api5::IOstrelMessageDispatcher* dispatcher, const std::string& id) {
    for (const auto& e : listed(dispatcher)) {
      if (e.id == id) return true;
    }
    return false;
  }

  static api5::EndPoint endPoint(const Listed& e) {
    api5::EndPoint endPoint;
    endPoint.SetId(e.id.c_str());
    endPoint.SetAppId(e.appId.c_str());
    endPoint.SetAppVersion(e.appVersion.c_str());
    return endPoint;
  }

  // Sends `type` with `payload` to `destinations` (none: broadcast).
  static api5::OstrelMessageErrorCode send(api5::IOstrelMessageDispatcher* dispatcher,
                                           const std::string& type, const std::string& payload,
                                           const std::vector<Listed>& destinations = {}) {
    api5::SuiteMessage message((std::string(api5::SuiteMessage::TYPE_PREFIX) + type).c_str());
    message.SetSource(dispatcher->GetSelf());
    message.SetPayload(payload.c_str());
    std::vector<api5::EndPoint> endPoints;
    for (const auto& d : destinations) endPoints.push_back(endPoint(d));
    if (!endPoints.empty()) message.SetDestinations(endPoints.data(), endPoints.size());
    return dispatcher->Send(message);
  }

  static std::string prefixed(const std::string& type) {
    return api5::SuiteMessage::TYPE_PREFIX + type;
  }

  PrivateBus bus_;  // first member: stopped after the peers are gone
  std::vector<std::unique_ptr<PeerProcess>> peers_;
  int held_ = 0;
};

}  // namespace ostrel_dbus_test

#endif  // OSTREL_DBUS_TESTS_BUSFIXTURE_H
