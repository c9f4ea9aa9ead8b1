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
// Nothing waits on a participant that does not answer. A round completes when every
// check has answered or, at the latest, kRoundPatienceUsec after the last answer (or the
// ListNames answer) came in; checks still out then go on beside later rounds, and their
// answers change the list when they come. A participant listed before stays listed while
// its check is out. A name whose check failed (no answer within the call timeout, an
// error, or an answer from another connection) is not checked again until its back-off
// has passed: kFirstBackoffUsec, doubling with each failure up to kMaxBackoffUsec. At
// most kMaxChecksInFlight checks of rounds are out at once, so that the daemon's limit
// on calls awaiting replies is never reached; the others wait in order, names already
// listed and names that the daemon answers for first.
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
#include <deque>
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
  // made when the connection is installed). Returns the number of the round that serves
  // the request (see finishedRounds()). With `forHolder` that round also answers the
  // first RefreshEndPoints made within kFreshListingUsec after it, as the connection's
  // first listing does: a new holder of the instance waits for it.
  uint64_t requestRefresh(bool forHolder = false);
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
  // The number of the last round that completed; rounds are numbered from 1 on, over
  // every connection.
  uint64_t finishedRounds() const { return finishedRounds_; }

  // When the round under way gives up waiting for its checks (monotonic microseconds);
  // UINT64_MAX when nothing is waited for.
  uint64_t deadlineUsec() const;
  // Completes the round under way when its deadline has passed by `nowUsec`.
  void expire(uint64_t nowUsec);

  // How recent the connection's first listing must be to answer a RefreshEndPoints.
  static constexpr uint64_t kFreshListingUsec = 100000;
  // How long after the start of a full round its confirmations, and those of the signals
  // that followed it, may be believed without checking every name again.
  static constexpr uint64_t kConfirmationUsec = 5000000;
  // How long a round waits for further answers once none has come for this long.
  static constexpr uint64_t kRoundPatienceUsec = 100000;
  // Back-off of a name whose check failed.
  static constexpr uint64_t kFirstBackoffUsec = 5000000;
  static constexpr uint64_t kMaxBackoffUsec = 60000000;
  // Checks of rounds out at once; the shipped bus allows 4096 calls awaiting replies.
  static constexpr size_t kMaxChecksInFlight = 1024;

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
    bool join = false;           // the property call of a join, not a round's check
    uint64_t round = 0;          // the round that waits for it; 0: none
  };

  // A check of a round that waits for a free place (kMaxChecksInFlight).
  struct Waiting {
    std::string busName;
    ParticipantInfo info;
    uint64_t round = 0;
  };

  // A name whose last check failed: when it may be checked again, and the pause after
  // its next failure.
  struct Backoff {
    uint64_t retryAtUsec = 0;
    uint64_t pauseUsec = 0;
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
  // Whether the round under way waits for `check`.
  bool forRound(const Check& check) const { return roundRunning_ && check.round == round_; }
  void confirm(const Check& check, const std::string& appId, const std::string& appVersion);
  // Records what a NameOwnerChanged says of a participant name.
  void ownerChanged(const std::string& busName, const ParticipantInfo& info, const char* newOwner);
  void finishRound();
  // Checks a name for the round under way, unless its back-off has not passed; a name
  // with a check out already is not asked again, the round waits for that check instead.
  void checkName(const std::string& busName, const ParticipantInfo& info, uint64_t nowUsec);
  // Sends one check of a round, or queues it when kMaxChecksInFlight are out.
  void sendCheck(const std::string& busName, const ParticipantInfo& info, uint64_t round);
  void sendWaiting();
  bool requestDetails(const std::string& destination, const std::string& busName,
                      const std::string& uniqueName, bool join, uint64_t round);
  bool send(MessagePtr call, Check check);
  void failed(const Check& check);
  void checkAnswered(const Check& check);
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
  bool firstRound_ = false;                     // the round under way answers a later request
  bool againForHolder_ = false;                 // so does the one asked for while one runs
  uint64_t round_ = 0;                          // number of the round under way or last
  uint64_t lastProgressUsec_ = 0;               // last answer the round under way got
  bool firstListingUnused_ = false;             // that round completed and answered no request yet
  uint64_t firstListingUsec_ = 0;               // when it completed
  std::unordered_set<std::string> confirmed_;   // unique names believed during the round
  size_t roundChecksInFlight_ = 0;              // checks of the round not answered yet
  std::unordered_map<uint64_t, Check> checks_;  // every check in flight, by call cookie
  std::unordered_map<std::string, uint64_t> roundChecks_;  // name -> cookie, rounds' checks
  std::deque<Waiting> waiting_;                            // rounds' checks not sent yet
  std::unordered_set<std::string> waitingNames_;           // the names in waiting_
  std::unordered_map<std::string, Backoff> backoff_;       // by participant name
  std::unordered_map<std::string, NameState> names_;       // by participant name
  uint64_t signalCount_ = 0;        // NameOwnerChanged signals seen on this connection
  bool fullRoundDue_ = true;        // something said that a signal may have been lost
  uint64_t roundStartUsec_ = 0;     // when the round under way asked for ListNames
  uint64_t lastFullRoundUsec_ = 0;  // when the last full round asked for ListNames
  std::map<std::string, uint64_t> awaitingDetails_;  // unique name -> property call of a join

  std::atomic<bool> listed_{false};
  std::atomic<bool> pending_{false};
  std::atomic<uint64_t> finishedRounds_{0};
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_PARTICIPANTLIST_H
