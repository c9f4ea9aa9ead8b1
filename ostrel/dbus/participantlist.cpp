#include "participantlist.h"

#include <cstring>
#include <memory>
#include <string_view>

#include "busconnection.h"
#include "ostrel_dbus/wire.h"

namespace ostrel_dbus {
namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

// Every participant name starts with it and a dot.
constexpr std::string_view kPrefix = wire::kParticipantPrefix;

// While a lost connection is being closed, sd-bus answers every call still in flight
// with an error of its own; those answers say nothing about the participants.
bool isClosing(sd_bus_message* message) {
  return sd_bus_is_open(sd_bus_message_get_bus(message)) <= 0;
}

// AppId and AppVersion from a Properties.GetAll answer; false without an AppId.
bool readDetails(sd_bus_message* message, std::string* appId, std::string* appVersion) {
  bool haveAppId = false;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return false;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* value = nullptr;
    if (sd_bus_message_read(message, "s", &key) < 0) break;
    if (sd_bus_message_read(message, "v", "s", &value) < 0) {
      if (sd_bus_message_skip(message, "v") < 0) break;
    } else if (std::strcmp(key, "AppId") == 0) {
      *appId = value;
      haveAppId = true;
    } else if (std::strcmp(key, "AppVersion") == 0) {
      *appVersion = value;
    }
    if (sd_bus_message_exit_container(message) < 0) break;
  }
  return haveAppId;
}

}  // namespace

void ParticipantList::attach(sd_bus* bus, const std::string& self) {
  bus_ = bus;
  self_ = self;
  firstRound_ = true;
  // Nothing heard on another connection holds on this one.
  names_.clear();
  signalCount_ = 0;
  fullRoundDue_ = true;
}

void ParticipantList::detach() {
  bus_ = nullptr;
  self_.clear();
  roundRunning_ = roundListed_ = roundAgain_ = false;
  firstRound_ = firstListingUnused_ = false;
  confirmed_.clear();
  roundChecksInFlight_ = 0;
  checks_.clear();
  awaitingDetails_.clear();
  names_.clear();
  fullRoundDue_ = true;
  directory_->clear();
  listed_ = false;
  updatePending();
}

void ParticipantList::requestRefresh() {
  if (bus_ == nullptr) return;
  if (roundRunning_) {
    // One listing at a time; one more follows the current one.
    roundAgain_ = true;
    updatePending();
    return;
  }
  startRound();
}

bool ParticipantList::requestRefreshByCaller(uint64_t nowUsec) {
  if (bus_ == nullptr) return false;
  const bool fresh = firstListingUnused_ && !roundRunning_ && awaitingDetails_.empty() &&
                     nowUsec - firstListingUsec_ <= kFreshListingUsec;
  firstListingUnused_ = false;
  if (!fresh) {
    requestRefresh();
    return true;
  }
  events_->push_back({BusEvent::Kind::kRefreshed, nullptr});
  return false;
}

void ParticipantList::updatePending() {
  pending_ = roundRunning_ || roundAgain_;
}

void ParticipantList::startRound() {
  MessagePtr call = newMethodCall(bus_, kBusService, kBusPath, kBusInterface, "ListNames");
  if (!call || sd_bus_call_async(bus_, nullptr, call.get(), &ParticipantList::onListNames, this,
                                 BusConnection::kCallTimeoutUsec) < 0) {
    return;
  }
  roundRunning_ = true;
  roundListed_ = false;
  roundStartUsec_ = monotonicUsec();
  confirmed_.clear();
  roundChecksInFlight_ = 0;
  updatePending();
}

void ParticipantList::finishRound() {
  const bool listedAll = roundListed_;
  if (roundListed_) {
    // Whoever was not believed during the round has no name that holds any more.
    for (const std::string& id : directory_->ids()) {
      if (confirmed_.count(id) == 0) directory_->remove(id);
    }
  }
  roundRunning_ = false;
  roundListed_ = false;
  confirmed_.clear();
  roundChecksInFlight_ = 0;
  // Only a first round that found the whole list can stand in for a later request.
  firstListingUnused_ = firstRound_ && listedAll;
  firstRound_ = false;
  if (firstListingUnused_) firstListingUsec_ = monotonicUsec();
  listed_ = true;
  events_->push_back({BusEvent::Kind::kRefreshed, nullptr});
  if (roundAgain_) {
    roundAgain_ = false;
    startRound();
  }
  updatePending();
}

void ParticipantList::confirm(const Check& check, const std::string& appId,
                              const std::string& appVersion) {
  const auto known = names_.find(check.busName);
  // A NameOwnerChanged after the check was sent says more than its answer.
  if (known == names_.end() || known->second.changedAt > check.sentAt ||
      known->second.info.uniqueName != check.uniqueName) {
    return;
  }
  known->second.info.appId = appId;
  known->second.info.appVersion = appVersion;
  known->second.confirmed = true;
}

void ParticipantList::ownerChanged(const std::string& busName, const ParticipantInfo& info,
                                   const char* newOwner) {
  if (info.uniqueName == self_) return;
  ++signalCount_;
  if (newOwner[0] == '\0') {
    names_.erase(busName);
    return;
  }
  NameState& state = names_[busName];
  state = NameState{info, false, signalCount_};
  // The daemon's word on the owner confirms a name that carries the texts.
  if (info.detailsInName && newOwner == info.uniqueName) state.confirmed = true;
}

bool ParticipantList::send(MessagePtr call, Check check) {
  if (!call || sd_bus_call_async(bus_, nullptr, call.get(), &ParticipantList::onCheck, this,
                                 BusConnection::kCallTimeoutUsec) < 0) {
    return false;
  }
  uint64_t cookie = 0;
  sd_bus_message_get_cookie(call.get(), &cookie);
  if (check.forRound) ++roundChecksInFlight_;
  if (!check.forRound && !check.detailsInName) awaitingDetails_[check.uniqueName] = cookie;
  checks_.emplace(cookie, std::move(check));
  return true;
}

void ParticipantList::checkName(const std::string& busName, const ParticipantInfo& info,
                                bool forRound) {
  if (!info.detailsInName) {
    // Addressed to the name itself: whoever owns it answers, and the answer's sender is
    // that owner's unique name.
    requestDetails(busName, busName, info.uniqueName, forRound);
    return;
  }
  MessagePtr call = newMethodCall(bus_, kBusService, kBusPath, kBusInterface, "GetNameOwner");
  if (!call || sd_bus_message_append(call.get(), "s", busName.c_str()) < 0) return;
  send(std::move(call),
       Check{busName, signalCount_, info.uniqueName, info.appId, info.appVersion, true, forRound});
}

void ParticipantList::requestDetails(const std::string& destination, const std::string& busName,
                                     const std::string& uniqueName, bool forRound) {
  if (!forRound && awaitingDetails_.count(uniqueName) > 0) return;
  MessagePtr call =
      newMethodCall(bus_, destination.c_str(), wire::kObjectPath, kPropertiesInterface, "GetAll");
  if (!call || sd_bus_message_append(call.get(), "s", wire::kParticipantInterface) < 0) return;
  send(std::move(call),
       Check{busName, signalCount_, uniqueName, std::string(), std::string(), false, forRound});
}

void ParticipantList::believe(const std::string& uniqueName, const std::string& appId,
                              const std::string& appVersion, bool forRound) {
  const bool changed = directory_->put({uniqueName, appId, appVersion});
  if (roundRunning_) confirmed_.insert(uniqueName);
  // A round tells the callbacks once, when it completes.
  if (changed && !forRound) {
    firstListingUnused_ = false;
    events_->push_back({BusEvent::Kind::kChanged, nullptr});
  }
}

void ParticipantList::joined(const std::string& busName, const ParticipantInfo& info,
                             const std::string& owner) {
  if (info.uniqueName != owner || owner == self_) return;
  if (info.detailsInName) {
    believe(owner, info.appId, info.appVersion, false);
  } else {
    requestDetails(owner, busName, owner, false);
  }
}

void ParticipantList::left(const ParticipantInfo& info, const std::string& owner) {
  if (info.uniqueName != owner) return;
  awaitingDetails_.erase(owner);
  confirmed_.erase(owner);
  if (directory_->remove(owner)) {
    firstListingUnused_ = false;
    events_->push_back({BusEvent::Kind::kChanged, nullptr});
  }
}

int ParticipantList::onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* list = static_cast<ParticipantList*>(self);
  if (list->bus_ == nullptr) return 0;
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  const std::string busName(name);
  ParticipantInfo info;
  if (!ParticipantName::parse(busName, &info)) return 1;
  list->ownerChanged(busName, info, newOwner);
  if (oldOwner[0] != '\0') list->left(info, oldOwner);
  if (newOwner[0] != '\0') list->joined(busName, info, newOwner);
  return 1;
}

int ParticipantList::onListNames(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* list = static_cast<ParticipantList*>(self);
  if (isClosing(message) || list->bus_ == nullptr) return 1;
  if (sd_bus_message_is_method_error(message, nullptr) ||
      sd_bus_message_enter_container(message, 'a', "s") <= 0) {
    // The list stays as the name-owner notices left it.
    list->finishRound();
    return 1;
  }
  // Read in place: the names a listing already knows are neither copied nor parsed.
  std::vector<const std::pair<const std::string, NameState>*> known;
  std::vector<std::pair<std::string, ParticipantInfo>> unknown;
  std::unordered_set<std::string_view> uniqueNames;
  known.reserve(list->names_.size());
  uniqueNames.reserve(list->names_.size() * 2);
  const char* name = nullptr;
  int r = 0;
  while ((r = sd_bus_message_read_basic(message, 's', &name)) > 0) {
    if (name[0] == ':') {
      uniqueNames.emplace(name);
      continue;
    }
    if (std::strncmp(name, kPrefix.data(), kPrefix.size()) != 0 || name[kPrefix.size()] != '.') {
      continue;
    }
    const auto state = list->names_.find(name);
    if (state != list->names_.end()) {
      known.push_back(&*state);
      continue;
    }
    ParticipantInfo info;
    if (!ParticipantName::parse(name, &info) || info.uniqueName == list->self_) continue;
    unknown.emplace_back(name, std::move(info));
  }
  if (r < 0 || sd_bus_message_exit_container(message) < 0) {
    list->finishRound();
    return 1;
  }
  // The daemon tells joins and departures before it answers a ListNames asked for after
  // them, so the answer holds every name heard of (none left unheard) and no other (none
  // joined unheard), and the participants confirmed are still on the bus.
  bool agrees = unknown.empty() && known.size() == list->names_.size();
  for (size_t i = 0; agrees && i < known.size(); ++i) {
    const NameState& state = known[i]->second;
    agrees = !state.confirmed || uniqueNames.count(state.info.uniqueName) > 0;
  }
  const bool full = !agrees || list->fullRoundDue_ ||
                    list->roundStartUsec_ - list->lastFullRoundUsec_ > kConfirmationUsec;
  if (!full) {
    for (const auto* entry : known) {
      const NameState& state = entry->second;
      if (state.confirmed) {
        list->believe(state.info.uniqueName, state.info.appId, state.info.appVersion, true);
      } else {
        list->checkName(entry->first, state.info, true);
      }
    }
  } else {
    // Every name is checked again; what the signals told before this answer is replaced
    // by the answer itself.
    std::vector<std::pair<std::string, ParticipantInfo>> all = std::move(unknown);
    for (const auto* entry : known) all.emplace_back(entry->first, entry->second.info);
    list->names_.clear();
    for (const auto& participant : all) {
      list->names_[participant.first] = NameState{participant.second, false, list->signalCount_};
    }
    list->fullRoundDue_ = false;
    list->lastFullRoundUsec_ = list->roundStartUsec_;
    // Every check goes out at once; the round completes when the last answer is in.
    for (const auto& participant : all) {
      list->checkName(participant.first, participant.second, true);
    }
  }
  list->roundListed_ = true;
  if (list->roundChecksInFlight_ == 0) list->finishRound();
  return 1;
}

int ParticipantList::onCheck(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* list = static_cast<ParticipantList*>(self);
  if (isClosing(message) || list->bus_ == nullptr) return 1;
  uint64_t cookie = 0;
  if (sd_bus_message_get_reply_cookie(message, &cookie) < 0) return 1;
  const auto found = list->checks_.find(cookie);
  if (found == list->checks_.end()) return 1;
  const Check check = std::move(found->second);
  list->checks_.erase(found);

  bool current = true;
  if (!check.forRound && !check.detailsInName) {
    // A departure in between cancels the property call of a join.
    const auto awaiting = list->awaitingDetails_.find(check.uniqueName);
    current = awaiting != list->awaitingDetails_.end() && awaiting->second == cookie;
    if (current) list->awaitingDetails_.erase(awaiting);
  }
  if (current && !sd_bus_message_is_method_error(message, nullptr)) {
    if (check.detailsInName) {
      const char* owner = nullptr;
      if (sd_bus_message_read(message, "s", &owner) >= 0 && check.uniqueName == owner) {
        list->believe(check.uniqueName, check.appId, check.appVersion, check.forRound);
        list->confirm(check, check.appId, check.appVersion);
      }
    } else {
      // A participant that cannot answer is not listed: nothing could be addressed to it
      // by application.
      const char* sender = sd_bus_message_get_sender(message);
      std::string appId;
      std::string appVersion;
      if (sender != nullptr && check.uniqueName == sender &&
          readDetails(message, &appId, &appVersion)) {
        list->believe(check.uniqueName, appId, appVersion, check.forRound);
        list->confirm(check, appId, appVersion);
      }
    }
  }
  if (check.forRound && --list->roundChecksInFlight_ == 0 && list->roundListed_) {
    list->finishRound();
  }
  return 1;
}

}  // namespace ostrel_dbus
