// The list of the other participants on the bus: listing rounds (ListNames, then one
// check per participant name, all sent at once), joins and departures from the daemon's
// NameOwnerChanged signals, and the participants' properties for short-form names.
// Every name is believed only when its owner is the connection that the name encodes:
// a long-form name is checked with GetNameOwner, a short-form name by addressing the
// property call to the name and comparing the sender of the answer, a join or a
// departure by the owner that the signal carries.
//
// A listing checks only what it must. A name whose owner has been confirmed (by a check,
// or by a NameOwnerChanged from the daemon that carried the encoded unique name) and that
// no NameOwnerChanged has touched since is believed without a new check. Because the
// daemon drops messages to a connection whose queue is full, such confirmations stand
// only while nothing says a signal was lost: every name is checked again (a full round)
// on a new connection, when the last full round started more than kConfirmationUsec ago,
// and when the ListNames answer disagrees with what the signals told (a participant name
// never heard of, a name heard of that is missing, or a confirmed name whose encoded
// unique name is no longer on the bus).
//
// Threads: every method runs under the dispatcher's busMutex_, the handlers inside
// sd_bus_process() (which the dispatcher calls with that lock held). The atomics
// `listed_` and `pending_` are read by any thread without it.
// Ownership: writes the dispatcher's EndPointDirectory and event list, which outlive it;
// uses the connection given to attach() until detach(), and does not own it.
#ifndef OSTREL_DBUS_PARTICIPANTLIST_H
#define OSTREL_DBUS_PARTICIPANTLIST_H

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "busevents.h"
#include "endpointdirectory.h"
#include "participantname.h"
#include "sdbusptr.h"

namespace ostrel_dbus {

class ParticipantList {
 public:
  ParticipantList(EndPointDirectory* directory, BusEvents* events)
      : directory_(directory), events_(events) {}

  // Starts using a connection whose own unique name is `self`.
  void attach(sd_bus* bus, const std::string& self);
  // Forgets the connection, every call in flight and the list itself.
  void detach();

  // Starts a listing round, or asks for one more after the one under way (the listing
  // made when the connection is installed).
  void requestRefresh();
  // A RefreshEndPoints: like requestRefresh(), except that the listing made when the
  // connection was installed answers the first such request by itself when it completed
  // at most kFreshListingUsec ago and nobody joined or left since: then the list is
  // already what a round would find, the refresh callbacks are told at once and false
  // is returned. True when a round was asked for.
  bool requestRefreshByCaller(uint64_t nowUsec);
  // True once a listing round has completed on the current connection.
  bool listed() const { return listed_; }
  // True from requestRefresh() until the list has been updated.
  bool pending() const { return pending_; }

  // How recent the connection's first listing must be to answer a RefreshEndPoints.
  static constexpr uint64_t kFreshListingUsec = 100000;
  // How long after the start of a full round its confirmations, and those of the signals
  // that followed it, may be believed without checking every name again.
  static constexpr uint64_t kConfirmationUsec = 5000000;

  // Handler of NameOwnerChanged for participant names; userdata is the list.
  static int onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error* error);

 private:
  // One call in flight that decides whether a name is believed.
  struct Check {
    std::string busName;     // the name checked, or the joined name that details are read for
    uint64_t sentAt = 0;     // signalCount_ when the check was sent
    std::string uniqueName;  // the connection that the name encodes
    std::string appId;       // from the name (long form) ...
    std::string appVersion;
    bool detailsInName = false;  // ... or from the properties (short form)
    bool forRound = false;       // part of the listing round under way
  };

  // What the library knows of a participant name that it heard of (from a signal or the
  // last full round) and that has not left since.
  struct NameState {
    ParticipantInfo info;    // read from the name; the texts from the properties once
                             // confirmed, when the name does not carry them
    bool confirmed = false;  // its owner is the encoded unique name
    uint64_t changedAt = 0;  // signalCount_ at the last NameOwnerChanged for it
  };

  static int onListNames(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onCheck(sd_bus_message* message, void* self, sd_bus_error* error);

  void startRound();
  void confirm(const Check& check, const std::string& appId, const std::string& appVersion);
  // Records what a NameOwnerChanged says of a participant name.
  void ownerChanged(const std::string& busName, const ParticipantInfo& info, const char* newOwner);
  void finishRound();
  void checkName(const std::string& busName, const ParticipantInfo& info, bool forRound);
  void requestDetails(const std::string& destination, const std::string& busName,
                      const std::string& uniqueName, bool forRound);
  bool send(MessagePtr call, Check check);
  void believe(const std::string& uniqueName, const std::string& appId,
               const std::string& appVersion, bool forRound);
  void joined(const std::string& busName, const ParticipantInfo& info, const std::string& owner);
  void left(const ParticipantInfo& info, const std::string& owner);
  void updatePending();

  EndPointDirectory* const directory_;
  BusEvents* const events_;
  sd_bus* bus_ = nullptr;
  std::string self_;

  bool roundRunning_ = false;
  bool roundListed_ = false;                    // the round's ListNames answer is in
  bool roundAgain_ = false;                     // asked for while one runs
  bool firstRound_ = false;                     // the round under way is the connection's first
  bool firstListingUnused_ = false;             // that round completed and answered no request yet
  uint64_t firstListingUsec_ = 0;               // when it completed
  std::unordered_set<std::string> confirmed_;   // unique names believed during the round
  size_t roundChecksInFlight_ = 0;              // checks of the round not answered yet
  std::unordered_map<uint64_t, Check> checks_;  // every check in flight, by call cookie
  std::unordered_map<std::string, NameState> names_;  // by participant name
  uint64_t signalCount_ = 0;        // NameOwnerChanged signals seen on this connection
  bool fullRoundDue_ = true;        // something said that a signal may have been lost
  uint64_t roundStartUsec_ = 0;     // when the round under way asked for ListNames
  uint64_t lastFullRoundUsec_ = 0;  // when the last full round asked for ListNames
  std::map<std::string, uint64_t> awaitingDetails_;  // unique name -> property call of a join

  std::atomic<bool> listed_{false};
  std::atomic<bool> pending_{false};
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_PARTICIPANTLIST_H
