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
  if (std::find(list.begin(), list.end(), listener) == list.end()) list.push_back(listener);
}

void Registrations::remove(Listeners& list, api5::IOstrelMessageListener* listener) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    list.erase(std::remove(list.begin(), list.end(), listener), list.end());
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
  }
}

void Registrations::removeRefreshCallback(api5::EndPointsRefreshCallback callback, void* context) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Callback entry(callback, context);
    callbacks_.erase(std::remove(callbacks_.begin(), callbacks_.end(), entry), callbacks_.end());
  }
  waitForCallToEnd();
}

void Registrations::clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.clear();
    errorListeners_.clear();
    callbacks_.clear();
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

void Registrations::deliver(const api5::OstrelMessage& message, bool isError) {
  Listeners targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets = listeners_;
    if (isError) {
      for (auto* listener : errorListeners_) {
        if (std::find(targets.begin(), targets.end(), listener) == targets.end()) {
          targets.push_back(listener);
        }
      }
    }
  }
  for (auto* listener : targets) {
    std::lock_guard<std::mutex> delivering(deliveryMutex_);
    // Checked again under deliveryMutex_: a removal that returned before this point
    // must not be followed by a call.
    if (!isListening(listener, isError)) continue;
    try {
      listener->Receive(message);
    } catch (...) {
      // A listener that throws must not end the library thread or starve the others.
    }
  }
}

void Registrations::notifyRefreshed() {
  std::vector<Callback> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets = callbacks_;
  }
  for (const auto& callback : targets) {
    std::lock_guard<std::mutex> delivering(deliveryMutex_);
    if (!isRegistered(callback)) continue;
    try {
      callback.first(callback.second);
    } catch (...) {
    }
  }
}

}  // namespace ostrel_dbus
