#pragma once
// The hub's store: accounts, bills and the operator's server information, behind one interface so that
// another engine can stand where SQLite stands. Every operation runs inside the caller's transaction
// (begin/commit); the store thread (executor.h) groups the work of many requests into one commit.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/channel.h"
#include "common/clock.h"
#include "common/failure.h"
#include "common/money.h"

namespace hub::store {

// The engine could not do what was asked (disk full, I/O error, locked for too long, gone), in the
// engine's own words (sqlite3_errmsg, PQerrorMessage). Nothing of the failed transaction is kept; the
// caller answers "not available" and the client tries again.
struct Unavailable : Failure {
  using Failure::Failure;
};

struct Account {
  std::int64_t id = 0;
  std::string name;
  std::string passwordHash;  // Argon2id, as accounts/passwords.h writes it; never the password
  std::string intakeKey;     // the phone side's key for this account
  bool disabled = false;
  clock::Millis createdAt = 0;
  clock::Millis phoneSeenAt = 0;  // the phone's last accepted request; 0 when it never reported
};

struct Bill {
  std::int64_t number = 0;  // the hub's bill number, unique over all accounts, growing
  std::int64_t accountId = 0;
  Channel channel = Channel::wechat;
  money::Fen fen = 0;
  clock::Millis time = 0;        // when it was paid, as the counter is shown it
  clock::Millis receivedAt = 0;  // when the hub took it
  std::string sourceId;          // the phone's own id for it; empty when it gave none
  std::string text;              // the notification's text; empty for a payment posted as such
  bool byHand = false;           // counted by the merchant from a notification no rule counted
  friend bool operator==(const Bill&, const Bill&) = default;
};

struct NewBill {
  std::int64_t accountId = 0;
  Channel channel = Channel::wechat;
  money::Fen fen = 0;
  clock::Millis time = 0;
  clock::Millis receivedAt = 0;
  std::string sourceId;   // empty: none. A second bill with the same id for the account is a duplicate.
  std::string dedupeKey;  // empty: none. A second bill with the same key for the account, received
                          // within the dedupe window of the first, is a duplicate.
  std::string text;
  bool byHand = false;
};

// A notification from a payment app that looked like money coming in but that no rule counted: kept a
// while (kUnrecognisedDays) for the merchant to see and, if it was a payment, count by hand.
struct Unrecognised {
  std::int64_t id = 0;
  std::int64_t accountId = 0;
  clock::Millis receivedAt = 0;
  std::string package, title, text;  // clipped
  std::string reason;
  std::int64_t billNumber = 0;  // the bill the merchant counted it as; 0: not counted
  friend bool operator==(const Unrecognised&, const Unrecognised&) = default;
};
inline constexpr clock::Millis kUnrecognisedLife = 7LL * 24 * 3600 * 1000;

struct Stored {
  std::int64_t number = 0;  // the new bill's number, or the earlier one's for a duplicate
  bool duplicate = false;
};

// What the counters are told in "服务器信息"; set by the operator.
struct ServerInfo {
  bool maintenance = false;
  std::string notice;
  std::string clientVersion = "1.0";
  std::string downloadUrl;
};

// An account's takings through one channel over a range of time.
struct ChannelSum {
  Channel channel = Channel::wechat;
  std::int64_t count = 0;
  money::Fen fen = 0;
  friend bool operator==(const ChannelSum&, const ChannelSum&) = default;
};

struct CounterSeen {
  std::string machineId;
  std::string address;
  clock::Millis firstSeen = 0;
  clock::Millis lastSeen = 0;
  friend bool operator==(const CounterSeen&, const CounterSeen&) = default;
};

// What the store keeps of what clients send, so that no client can make it keep more.
inline constexpr std::size_t kMaxBillText = 512;        // a bill's notification text, in bytes
inline constexpr std::int64_t kMaxCountersSeen = 100;   // machines remembered per account, the latest kept
inline constexpr std::int64_t kMaxPageSessions = 20;    // page sessions per account, the newest kept

class Store {
 public:
  virtual ~Store() = default;

  virtual void begin() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;
  // A nested unit inside the transaction, so that one request's failure does not undo the others'.
  // releaseSavepoint keeps the unit's work, rollbackToSavepoint undoes it; either one ends the unit.
  // rollbackToSavepoint throws Unavailable when the engine has given up the whole transaction.
  virtual void savepoint() = 0;
  virtual void releaseSavepoint() = 0;
  virtual void rollbackToSavepoint() = 0;

  // Accounts. Names are compared byte for byte.
  virtual std::optional<Account> accountByName(std::string_view name) = 0;
  // The account whose intake key this is (looked up by its digest, then compared in constant time).
  virtual std::optional<Account> accountByKey(std::string_view key) = 0;
  virtual std::optional<Account> accountById(std::int64_t id) = 0;
  // Adds the account (id and phoneSeenAt are ignored); false when the name is taken.
  virtual bool addAccount(const Account& account) = 0;
  virtual std::vector<Account> accounts() = 0;
  // A new password also ends the account's page sessions, whoever sets it.
  virtual void setPasswordHash(std::int64_t id, std::string_view hash) = 0;
  virtual void setDisabled(std::int64_t id, bool disabled) = 0;
  virtual void setIntakeKey(std::int64_t id, std::string_view key) = 0;
  virtual void setPhoneSeen(std::int64_t id, clock::Millis at) = 0;
  // Records a counter (its machine identifier) logging in to the account; past kMaxCountersSeen machines
  // the one seen longest ago is forgotten.
  virtual void counterSeen(std::int64_t id, std::string_view machineId, std::string_view address,
                           clock::Millis at) = 0;
  virtual std::vector<CounterSeen> countersSeen(std::int64_t id) = 0;
  // Whether a counter with this machine id, or from this address, logged in to the account since `since`.
  virtual bool counterKnown(std::int64_t id, std::string_view machineId, std::string_view address,
                            clock::Millis since) = 0;

  // Bills. A bill's text is kept up to kMaxBillText bytes. A dedupe key repeats a bill received within the
  // window before or after it: two nodes need not take a phone's two posts in the order it sent them.
  virtual Stored addBill(const NewBill& bill, clock::Millis dedupeWindow) = 0;
  // The account's bills paid in [from, to), oldest first (by time, then number).
  virtual std::vector<Bill> bills(std::int64_t accountId, clock::Millis from, clock::Millis to) = 0;
  // What a list shows of the range's bills: the newest `limit` after skipping the `skip` newest, oldest
  // first, with number, channel, amount and time (and the text when asked; sourceId never).
  virtual std::vector<Bill> latestBills(std::int64_t accountId, clock::Millis from, clock::Millis to,
                                        std::int64_t limit, std::int64_t skip, bool withText) = 0;

  // Notifications no rule counted. Adding one also forgets those received kUnrecognisedLife before it.
  virtual void addUnrecognised(const Unrecognised& notification) = 0;
  // The newest `limit` of the account's received in [from, to), oldest first.
  virtual std::vector<Unrecognised> unrecognised(std::int64_t accountId, clock::Millis from, clock::Millis to,
                                                 std::int64_t limit) = 0;
  virtual std::optional<Unrecognised> unrecognisedById(std::int64_t accountId, std::int64_t id) = 0;
  virtual void setUnrecognisedBill(std::int64_t id, std::int64_t billNumber) = 0;

  // The account's takings per channel for bills paid in [from, to), channels without bills left out.
  virtual std::vector<ChannelSum> sums(std::int64_t accountId, clock::Millis from, clock::Millis to) = 0;

  // The merchant page's sessions, by the digest of the cookie's token (the token itself is never kept).
  // Adding one also forgets the sessions that expired before `now`, and past kMaxPageSessions for the
  // account the one that ends soonest.
  virtual void addPageSession(std::string_view digest, std::int64_t accountId, clock::Millis now,
                              clock::Millis expiresAt) = 0;
  // The account a session belongs to, while it has not expired.
  virtual std::optional<Account> accountBySession(std::string_view digest, clock::Millis now) = 0;
  virtual void endPageSession(std::string_view digest) = 0;

  // The operator's server information.
  virtual ServerInfo serverInfo() = 0;
  virtual void setServerInfo(const ServerInfo& info) = 0;

  // The secret kept under the name; `fresh` becomes it when there is none yet, whichever node asks first.
  virtual std::string sharedSecret(std::string_view name, std::string_view fresh) = 0;

  // Grows with every change the operator makes (accounts, keys, server information), so that a running
  // hub can tell that another process changed something and read it again.
  virtual std::int64_t revision() = 0;
};

// Opens the store a configuration names: PostgreSQL for a "postgresql://" (or "postgres://") address,
// else SQLite as hub.sqlite3 in the data directory, which must exist. Throws Unavailable.
std::unique_ptr<Store> openStore(const std::string& database, const std::filesystem::path& data);
bool isPostgres(std::string_view database);

// Opens the store on a PostgreSQL server (a libpq address, "postgresql://user@host/db") and brings its
// schema up to date. The store reconnects by itself: a transaction that loses the connection fails
// (Unavailable), the next one connects again, waiting up to half a second after an attempt that failed.
std::unique_ptr<Store> openPostgres(const std::string& conninfo);

// What a node hears from a PostgreSQL server that several nodes share: every bill committed by any node
// (its own included) once, and every phone report. Called on the watch's own thread.
struct Heard {
  std::function<void(const Bill&)> bill;
  std::function<void(std::int64_t accountId, clock::Millis at)> phone;
};
// Follows the server's notifications on a connection and thread of its own, reconnecting by itself; a
// node that was cut off reads the bills it missed when it is back. Returns after the first attempt to
// connect: when that succeeded, every bill committed from then on is heard. Ends when destroyed.
struct Watch {
  virtual ~Watch() = default;
  // Whether it is listening now: while it is not, this node hears nothing of other nodes' bills.
  virtual bool listening() const = 0;
};
std::unique_ptr<Watch> watchPostgres(const std::string& conninfo, Heard heard);

// Opens (creating it when missing) the SQLite store in this file and brings its schema up to date.
// Throws Unavailable with a one-line reason when that cannot be done.
std::unique_ptr<Store> openSqlite(const std::filesystem::path& file);
// The same with the file held to maxPages database pages, for tests: a full disk without filling one.
std::unique_ptr<Store> openSqliteCapped(const std::filesystem::path& file, std::int64_t maxPages);

}  // namespace hub::store
