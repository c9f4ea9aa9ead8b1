#include "registrations.h"

#include <algorithm>

namespace ostrel_dbus {

void Registrations::setLibraryThread(std::thread::id id) {
  std::lock_guard<std::mutex> lock(mutex_);
  libraryThread_ = id;
}

void Registrations::add(Listeners& list, api5::IOstrelMessageListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // Registering twice keeps one registration: each message reaches a listener once.
  if (std::find(list.begin(), list.end(), listener) == list.end()) {
    list.push_back(listener);
    ++generation_;
  }
}

void Registrations::remove(Listeners& list, api5::IOstrelMessageListener* listener) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    list.erase(std::remove(list.begin(), list.end(), listener), list.end());
    ++generation_;
  }
  waitForCallToEnd();
}

void Registrations::addListener(api5::IOstrelMessageListener* listener) {
  add(listeners_, listener);
}
void Registrations::removeListener(api5::IOstrelMessageListener* listener) {
  remove(listeners_, listener);
}
void Registrations::addErrorListener(api5::IOstrelMessageListener* listener) {
  add(errorListeners_, listener);
}
void Registrations::removeErrorListener(api5::IOstrelMessageListener* listener) {
  remove(errorListeners_, listener);
}

void Registrations::addRefreshCallback(api5::EndPointsRefreshCallback callback, void* context) {
  if (callback == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const Callback entry(callback, context);
  if (std::find(callbacks_.begin(), callbacks_.end(), entry) == callbacks_.end()) {
    callbacks_.push_back(entry);
    ++generation_;
  }
}

void Registrations::removeRefreshCallback(api5::EndPointsRefreshCallback callback, void* context) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Callback entry(callback, context);
    callbacks_.erase(std::remove(callbacks_.begin(), callbacks_.end(), entry), callbacks_.end());
    ++generation_;
  }
  waitForCallToEnd();
}

void Registrations::clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.clear();
    errorListeners_.clear();
    callbacks_.clear();
    ++generation_;
  }
  waitForCallToEnd();
}

void Registrations::waitForCallToEnd() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::this_thread::get_id() == libraryThread_) return;
  }
  std::lock_guard<std::mutex> wait(deliveryMutex_);
}

bool Registrations::isListening(api5::IOstrelMessageListener* listener, bool isError) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end()) return true;
  return isError && std::find(errorListeners_.begin(), errorListeners_.end(), listener) !=
                        errorListeners_.end();
}

bool Registrations::isRegistered(const Callback& callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(callbacks_.begin(), callbacks_.end(), callback) != callbacks_.end();
}

void Registrations::updateSnapshot() {
  if (!changedSinceSnapshot()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  snapshot_.listeners = listeners_;
  snapshot_.errorTargets = listeners_;
  for (auto* listener : errorListeners_) {
    if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) {
      snapshot_.errorTargets.push_back(listener);
    }
  }
  snapshot_.callbacks = callbacks_;
  snapshot_.generation = generation_.load();
}

void Registrations::deliver(const api5::OstrelMessage& message, bool isError) {
  updateSnapshot();
  // Nothing called from here takes a new copy: only deliver() and notifyRefreshed() do,
  // and a listener cannot reach either.
  const Listeners& targets = isError ? snapshot_.errorTargets : snapshot_.listeners;
  for (auto* listener : targets) {
    std::lock_guard<std::mutex> delivering(deliveryMutex_);
    // Looked up again under deliveryMutex_ after a change: a removal that returned
    // before this point must not be followed by a call.
    if (changedSinceSnapshot() && !isListening(listener, isError)) continue;
    try {
      listener->Receive(message);
    } catch (...) {
      // A listener that throws must not end the library thread or starve the others.
    }
  }
}

void Registrations::notifyRefreshed() {
  updateSnapshot();
  for (const auto& callback : snapshot_.callbacks) {
    std::lock_guard<std::mutex> delivering(deliveryMutex_);
    if (changedSinceSnapshot() && !isRegistered(callback)) continue;
    try {
      callback.first(callback.second);
    } catch (...) {
    }
  }
}

}  // namespace ostrel_dbus
