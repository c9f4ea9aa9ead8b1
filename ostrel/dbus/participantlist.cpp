#include "participantlist.h"

#include <algorithm>
#include <cstring>
#include <iterator>
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
  backoff_.clear();
  signalCount_ = 0;
  fullRoundDue_ = true;
}

void ParticipantList::detach() {
  bus_ = nullptr;
  self_.clear();
  roundRunning_ = roundListed_ = roundAgain_ = false;
  firstRound_ = againForHolder_ = firstListingUnused_ = false;
  confirmed_.clear();
  roundChecksInFlight_ = 0;
  checks_.clear();
  roundChecks_.clear();
  waiting_.clear();
  waitingNames_.clear();
  backoff_.clear();
  awaitingDetails_.clear();
  names_.clear();
  fullRoundDue_ = true;
  directory_->clear();
  listed_ = false;
  updatePending();
}

uint64_t ParticipantList::requestRefresh(bool forHolder) {
  if (bus_ == nullptr) return 0;
  if (roundRunning_) {
    // One listing at a time; one more follows the current one.
    roundAgain_ = true;
    againForHolder_ = againForHolder_ || forHolder;
    updatePending();
    return round_ + 1;
  }
  firstRound_ = firstRound_ || forHolder;
  startRound();
  return round_;
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

uint64_t ParticipantList::deadlineUsec() const {
  if (!roundRunning_ || !roundListed_ || roundChecksInFlight_ == 0) return UINT64_MAX;
  return lastProgressUsec_ + kRoundPatienceUsec;
}

void ParticipantList::expire(uint64_t nowUsec) {
  if (deadlineUsec() <= nowUsec) finishRound();
}

void ParticipantList::startRound() {
  MessagePtr call = newMethodCall(bus_, kBusService, kBusPath, kBusInterface, "ListNames");
  if (!call || sd_bus_call_async(bus_, nullptr, call.get(), &ParticipantList::onListNames, this,
                                 BusConnection::kCallTimeoutUsec) < 0) {
    return;
  }
  roundRunning_ = true;
  roundListed_ = false;
  ++round_;
  roundStartUsec_ = monotonicUsec();
  confirmed_.clear();
  roundChecksInFlight_ = 0;
  updatePending();
}

void ParticipantList::finishRound() {
  const bool listedAll = roundListed_;
  if (roundListed_) {
    // Whoever was not believed during the round has no name that holds any more, unless
    // a check of one of its names is still out: what was listed stays until it fails.
    std::unordered_set<std::string> outstanding;
    for (const auto& entry : checks_) {
      if (!entry.second.join) outstanding.insert(entry.second.uniqueName);
    }
    for (const Waiting& waiting : waiting_) outstanding.insert(waiting.info.uniqueName);
    for (const std::string& id : directory_->ids()) {
      if (confirmed_.count(id) == 0 && outstanding.count(id) == 0) directory_->remove(id);
    }
  }
  roundRunning_ = false;
  roundListed_ = false;
  confirmed_.clear();
  roundChecksInFlight_ = 0;
  // Only a round that found the whole list can stand in for a later request.
  firstListingUnused_ = firstRound_ && listedAll;
  firstRound_ = false;
  if (firstListingUnused_) firstListingUsec_ = monotonicUsec();
  listed_ = true;
  finishedRounds_ = round_;
  events_->push_back({BusEvent::Kind::kRefreshed, nullptr});
  if (roundAgain_) {
    roundAgain_ = false;
    firstRound_ = againForHolder_;
    againForHolder_ = false;
    startRound();
  }
  updatePending();
}

void ParticipantList::confirm(const Check& check, const std::string& appId,
                              const std::string& appVersion) {
  backoff_.erase(check.busName);
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

void ParticipantList::failed(const Check& check) {
  // Asked again only after a pause that grows with each failure, so that holders that
  // never answer cost one call per pause rather than one per round.
  Backoff& backoff = backoff_[check.busName];
  backoff.pauseUsec =
      backoff.pauseUsec == 0 ? kFirstBackoffUsec : std::min(2 * backoff.pauseUsec, kMaxBackoffUsec);
  backoff.retryAtUsec = monotonicUsec() + backoff.pauseUsec;
  // A check that the round under way no longer waits for: what it would have removed at
  // the end of that round goes now.
  if (!forRound(check) && !check.join && confirmed_.count(check.uniqueName) == 0 &&
      directory_->remove(check.uniqueName)) {
    firstListingUnused_ = false;
    events_->push_back({BusEvent::Kind::kChanged, nullptr});
  }
}

void ParticipantList::ownerChanged(const std::string& busName, const ParticipantInfo& info,
                                   const char* newOwner) {
  if (info.uniqueName == self_) return;
  ++signalCount_;
  if (newOwner[0] == '\0') {
    names_.erase(busName);
    backoff_.erase(busName);
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
  if (check.join) {
    if (!check.detailsInName) awaitingDetails_[check.uniqueName] = cookie;
  } else {
    roundChecks_[check.busName] = cookie;
  }
  checks_.emplace(cookie, std::move(check));
  return true;
}

void ParticipantList::checkName(const std::string& busName, const ParticipantInfo& info,
                                uint64_t nowUsec) {
  const auto backoff = backoff_.find(busName);
  if (backoff != backoff_.end() && backoff->second.retryAtUsec > nowUsec) return;
  const auto out = roundChecks_.find(busName);
  if (out != roundChecks_.end()) {
    const auto check = checks_.find(out->second);
    if (check != checks_.end() && !forRound(check->second)) {
      check->second.round = round_;
      ++roundChecksInFlight_;
    }
    return;
  }
  if (waitingNames_.count(busName) > 0) {
    for (Waiting& waiting : waiting_) {
      if (waiting.busName != busName) continue;
      if (waiting.round != round_) {
        waiting.round = round_;
        ++roundChecksInFlight_;
      }
      break;
    }
    return;
  }
  ++roundChecksInFlight_;
  if (roundChecks_.size() < kMaxChecksInFlight) {
    sendCheck(busName, info, round_);
    return;
  }
  // Names the daemon answers for, and participants listed now, go first.
  Waiting waiting{busName, info, round_};
  if (info.detailsInName || directory_->contains(info.uniqueName)) {
    waiting_.push_front(std::move(waiting));
  } else {
    waiting_.push_back(std::move(waiting));
  }
  waitingNames_.insert(busName);
}

void ParticipantList::sendCheck(const std::string& busName, const ParticipantInfo& info,
                                uint64_t round) {
  bool sent = false;
  if (!info.detailsInName) {
    // Addressed to the name itself: whoever owns it answers, and the answer's sender is
    // that owner's unique name.
    sent = requestDetails(busName, busName, info.uniqueName, false, round);
  } else {
    MessagePtr call = newMethodCall(bus_, kBusService, kBusPath, kBusInterface, "GetNameOwner");
    if (call && sd_bus_message_append(call.get(), "s", busName.c_str()) >= 0) {
      sent = send(std::move(call), Check{busName, signalCount_, info.uniqueName, info.appId,
                                         info.appVersion, true, false, round});
    }
  }
  // A check that could not go out is not waited for.
  if (!sent && roundRunning_ && round == round_ && roundChecksInFlight_ > 0) {
    --roundChecksInFlight_;
  }
}

void ParticipantList::sendWaiting() {
  while (!waiting_.empty() && roundChecks_.size() < kMaxChecksInFlight) {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    waitingNames_.erase(next.busName);
    // The round that queued it may be over; then nobody waits for the answer.
    sendCheck(next.busName, next.info, roundRunning_ && next.round == round_ ? next.round : 0);
  }
}

bool ParticipantList::requestDetails(const std::string& destination, const std::string& busName,
                                     const std::string& uniqueName, bool join, uint64_t round) {
  if (join && awaitingDetails_.count(uniqueName) > 0) return false;
  MessagePtr call =
      newMethodCall(bus_, destination.c_str(), wire::kObjectPath, kPropertiesInterface, "GetAll");
  if (!call || sd_bus_message_append(call.get(), "s", wire::kParticipantInterface) < 0) {
    return false;
  }
  return send(std::move(call), Check{busName, signalCount_, uniqueName, std::string(),
                                     std::string(), false, join, round});
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
    requestDetails(owner, busName, owner, true, 0);
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
  const uint64_t now = monotonicUsec();
  list->lastProgressUsec_ = now;
  if (!full) {
    for (const auto* entry : known) {
      const NameState& state = entry->second;
      if (state.confirmed) {
        list->believe(state.info.uniqueName, state.info.appId, state.info.appVersion, true);
      } else {
        list->checkName(entry->first, state.info, now);
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
    // Back-offs of names that are gone are forgotten.
    for (auto it = list->backoff_.begin(); it != list->backoff_.end();) {
      it = list->names_.count(it->first) > 0 ? std::next(it) : list->backoff_.erase(it);
    }
    list->fullRoundDue_ = false;
    list->lastFullRoundUsec_ = list->roundStartUsec_;
    // Every check goes out at once, up to kMaxChecksInFlight; the round completes when
    // the last answer is in, or when answers stop coming.
    for (const auto& participant : all) {
      list->checkName(participant.first, participant.second, now);
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
  if (!check.join) {
    const auto out = list->roundChecks_.find(check.busName);
    if (out != list->roundChecks_.end() && out->second == cookie) list->roundChecks_.erase(out);
  }

  bool current = true;
  if (check.join && !check.detailsInName) {
    // A departure in between cancels the property call of a join.
    const auto awaiting = list->awaitingDetails_.find(check.uniqueName);
    current = awaiting != list->awaitingDetails_.end() && awaiting->second == cookie;
    if (current) list->awaitingDetails_.erase(awaiting);
  }
  const bool forRound = list->forRound(check);
  bool believed = false;
  if (current && !sd_bus_message_is_method_error(message, nullptr)) {
    if (check.detailsInName) {
      const char* owner = nullptr;
      if (sd_bus_message_read(message, "s", &owner) >= 0 && check.uniqueName == owner) {
        list->believe(check.uniqueName, check.appId, check.appVersion, forRound);
        list->confirm(check, check.appId, check.appVersion);
        believed = true;
      }
    } else {
      // A participant that cannot answer is not listed: nothing could be addressed to it
      // by application.
      const char* sender = sd_bus_message_get_sender(message);
      std::string appId;
      std::string appVersion;
      if (sender != nullptr && check.uniqueName == sender &&
          readDetails(message, &appId, &appVersion)) {
        list->believe(check.uniqueName, appId, appVersion, forRound);
        list->confirm(check, appId, appVersion);
        believed = true;
      }
    }
  }
  if (current && !believed && list->names_.count(check.busName) > 0) list->failed(check);
  if (forRound) {
    list->lastProgressUsec_ = monotonicUsec();
    if (--list->roundChecksInFlight_ == 0 && list->roundListed_) list->finishRound();
  }
  list->sendWaiting();
  return 1;
}

}  // namespace ostrel_dbus
