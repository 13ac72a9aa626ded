#pragma once
// The store's operations in SQL, written once for every engine: an engine file (sqlite/store.cpp,
// postgres/store.cpp) brings the connection and SqlStore<Engine> does the rest. What an engine gives:
//   Engine::Statement            a prepared statement, from engine.prepare(sql), sql with ?1, ?2 ...
//   Engine::Use(statement, args...)  one use of it: row() (whether there is a row to read), run() (rows
//                                changed), integer(column), text(column); args are int64 or string_view
//   engine.begin(), commit(), rollback(), fail(what) (throws Unavailable), dialect()
// Included by the engine files only.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "accounts/secrets.h"
#include "common/text.h"
#include "store/schema.h"
#include "store/store.h"

namespace hub::store {

// The columns in the order readAccount and readBill take them.
inline std::string accountsWhere(std::string_view rest) {
  return "SELECT id, name, password_hash, intake_key, disabled, created_at, phone_seen_at FROM accounts " +
         std::string(rest);
}
inline constexpr std::string_view kBillColumns =
    "number, account_id, channel, fen, paid_at, received_at, source_id, text, by_hand";
inline std::string billsWhere(std::string_view rest) {
  return "SELECT " + std::string(kBillColumns) + " FROM bills " + std::string(rest);
}

template <class Row>
Account readAccount(const Row& q) {
  return Account{.id = q.integer(0),
                 .name = q.text(1),
                 .passwordHash = q.text(2),
                 .intakeKey = q.text(3),
                 .disabled = q.integer(4) != 0,
                 .createdAt = q.integer(5),
                 .phoneSeenAt = q.integer(6)};
}

template <class Row>
Bill readBill(const Row& q) {
  return Bill{.number = q.integer(0),
              .accountId = q.integer(1),
              .channel = static_cast<Channel>(q.integer(2)),
              .fen = q.integer(3),
              .time = q.integer(4),
              .receivedAt = q.integer(5),
              .sourceId = q.text(6),
              .text = q.text(7),
              .byHand = q.integer(8) != 0};
}

inline constexpr std::string_view kUnrecognisedColumns =
    "id, account_id, received_at, package, title, text, reason, bill_number";
template <class Row>
Unrecognised readUnrecognised(const Row& q) {
  return Unrecognised{.id = q.integer(0),
                      .accountId = q.integer(1),
                      .receivedAt = q.integer(2),
                      .package = q.text(3),
                      .title = q.text(4),
                      .text = q.text(5),
                      .reason = q.text(6),
                      .billNumber = q.integer(7)};
}

// A key's digest as the accounts table keeps it: none for no key, so that keyless accounts do not collide.
inline std::string keyDigest(std::string_view key) {
  return key.empty() ? std::string() : accounts::digest(key);
}

template <class Engine>
class SqlStore final : public Store {
 public:
  using Statement = typename Engine::Statement;
  using Use = typename Engine::Use;

  template <class... Args>
  explicit SqlStore(Args&&... args) : db_(std::forward<Args>(args)...) {}

  void begin() override { db_.begin(); }
  void commit() override { db_.commit(); }
  void rollback() override { db_.rollback(); }
  void savepoint() override { Use(savepoint_).run(); }
  void releaseSavepoint() override { Use(release_).run(); }
  void rollbackToSavepoint() override {
    // Fails when the engine has already given up the whole transaction; the executor takes that as such.
    Use(rollbackTo_).run();
    Use(release_).run();
  }

  std::optional<Account> accountByName(std::string_view name) override { return oneAccount(byName_, name); }
  std::optional<Account> accountById(std::int64_t id) override { return oneAccount(byId_, id); }
  std::optional<Account> accountByKey(std::string_view key) override {
    if (key.empty()) return std::nullopt;
    auto account = oneAccount(byDigest_, std::string_view(accounts::digest(key)));
    if (account && !accounts::sameText(account->intakeKey, key)) return std::nullopt;
    return account;
  }
  bool addAccount(const Account& a) override {
    const bool added = Use(addAccount_, std::string_view(a.name), std::string_view(a.passwordHash),
                           std::string_view(a.intakeKey), std::string_view(keyDigest(a.intakeKey)),
                           std::int64_t{a.disabled}, a.createdAt)
                           .run() > 0;
    return operatorChanged(added);
  }
  std::vector<Account> accounts() override {
    std::vector<Account> all;
    for (Use q(allAccounts_); q.row();) all.push_back(readAccount(q));
    return all;
  }
  void setPasswordHash(std::int64_t id, std::string_view hash) override {
    Use(endAccountSessions_, id).run();
    operatorChanged(Use(setHash_, id, hash).run() > 0);
  }
  void setDisabled(std::int64_t id, bool disabled) override {
    operatorChanged(Use(setDisabled_, id, std::int64_t{disabled}).run() > 0);
  }
  void setIntakeKey(std::int64_t id, std::string_view key) override {
    operatorChanged(Use(setKey_, id, key, std::string_view(keyDigest(key))).run() > 0);
  }
  void setPhoneSeen(std::int64_t id, clock::Millis at) override { Use(setPhoneSeen_, id, at).run(); }
  void counterSeen(std::int64_t id, std::string_view machineId, std::string_view address,
                   clock::Millis at) override {
    Use(counterSeen_, id, machineId, address, at).run();
    Use(forgetCounters_, id, kMaxCountersSeen).run();
  }
  std::vector<CounterSeen> countersSeen(std::int64_t id) override {
    std::vector<CounterSeen> all;
    for (Use q(countersSeen_, id); q.row();)
      all.push_back({.machineId = q.text(0),
                     .address = q.text(1),
                     .firstSeen = q.integer(2),
                     .lastSeen = q.integer(3)});
    return all;
  }

  bool counterKnown(std::int64_t id, std::string_view machineId, std::string_view address,
                    clock::Millis since) override {
    Use q(counterKnown_, id, machineId, address, since);
    return q.row();
  }

  Stored addBill(const NewBill& b, clock::Millis dedupeWindow) override {
    if (!b.dedupeKey.empty()) {
      // Another node may be adding the same notification right now: it waits here for this transaction,
      // and then finds this bill.
      if (lockDedupeKey_) Use(*lockDedupeKey_, b.accountId, std::string_view(b.dedupeKey)).run();
      Use q(byDedupeKey_, b.accountId, std::string_view(b.dedupeKey), b.receivedAt - dedupeWindow,
            b.receivedAt + dedupeWindow);
      if (q.row()) return {.number = q.integer(0), .duplicate = true};
    }
    {
      const std::string text = text::clipUtf8(b.text, kMaxBillText);
      Use q(addBill_, b.accountId, static_cast<std::int64_t>(b.channel), b.fen, b.time, b.receivedAt,
            std::string_view(b.sourceId), std::string_view(b.dedupeKey), std::string_view(text),
            std::int64_t{b.byHand});
      if (q.row()) return {.number = q.integer(0), .duplicate = false};
    }
    // Not added: the account has a bill with this source id, perhaps just now from another process.
    Use q(bySourceId_, b.accountId, std::string_view(b.sourceId));
    if (!q.row()) db_.fail("a bill was neither added nor found by its source id");
    return {.number = q.integer(0), .duplicate = true};
  }
  std::vector<Bill> bills(std::int64_t accountId, clock::Millis from, clock::Millis to) override {
    std::vector<Bill> all;
    for (Use q(bills_, accountId, from, to); q.row();) all.push_back(readBill(q));
    return all;
  }
  std::vector<Bill> latestBills(std::int64_t accountId, clock::Millis from, clock::Millis to, std::int64_t limit,
                                std::int64_t skip, bool withText) override {
    std::vector<Bill> all;
    for (Use q(latestBills_, accountId, from, to, limit, skip, std::int64_t{withText}); q.row();)
      all.push_back({.number = q.integer(0),
                     .accountId = accountId,
                     .channel = static_cast<Channel>(q.integer(1)),
                     .fen = q.integer(2),
                     .time = q.integer(3),
                     .receivedAt = 0,
                     .sourceId = {},
                     .text = q.text(4),
                     .byHand = q.integer(5) != 0});
    std::ranges::reverse(all);
    return all;
  }

  void addUnrecognised(const Unrecognised& n) override {
    Use(forgetUnrecognised_, n.receivedAt - kUnrecognisedLife).run();
    Use(addUnrecognised_, n.accountId, n.receivedAt, std::string_view(n.package), std::string_view(n.title),
        std::string_view(n.text), std::string_view(n.reason))
        .run();
  }
  std::vector<Unrecognised> unrecognised(std::int64_t accountId, clock::Millis from, clock::Millis to,
                                         std::int64_t limit) override {
    std::vector<Unrecognised> all;
    for (Use q(unrecognised_, accountId, from, to, limit); q.row();) all.push_back(readUnrecognised(q));
    std::reverse(all.begin(), all.end());
    return all;
  }
  std::optional<Unrecognised> unrecognisedById(std::int64_t accountId, std::int64_t id) override {
    Use q(unrecognisedById_, accountId, id);
    if (!q.row()) return std::nullopt;
    return readUnrecognised(q);
  }
  void setUnrecognisedBill(std::int64_t id, std::int64_t billNumber) override {
    Use(setUnrecognisedBill_, id, billNumber).run();
  }

  std::vector<ChannelSum> sums(std::int64_t accountId, clock::Millis from, clock::Millis to) override {
    std::vector<ChannelSum> all;
    for (Use q(sums_, accountId, from, to); q.row();)
      all.push_back({.channel = static_cast<Channel>(q.integer(0)), .count = q.integer(1), .fen = q.integer(2)});
    return all;
  }

  void addPageSession(std::string_view digest, std::int64_t accountId, clock::Millis now,
                      clock::Millis expiresAt) override {
    Use(endExpiredSessions_, now).run();
    Use(addSession_, digest, accountId, expiresAt).run();
    Use(endOldSessions_, accountId, kMaxPageSessions).run();
  }
  std::optional<Account> accountBySession(std::string_view digest, clock::Millis now) override {
    return oneAccount(bySession_, digest, now);
  }
  void endPageSession(std::string_view digest) override { Use(endSession_, digest).run(); }

  ServerInfo serverInfo() override {
    Use q(serverInfo_);
    if (!q.row()) return {};
    return {.maintenance = q.integer(0) != 0,
            .notice = q.text(1),
            .clientVersion = q.text(2),
            .downloadUrl = q.text(3)};
  }
  void setServerInfo(const ServerInfo& info) override {
    operatorChanged(Use(setServerInfo_, std::int64_t{info.maintenance}, std::string_view(info.notice),
                        std::string_view(info.clientVersion), std::string_view(info.downloadUrl))
                        .run() > 0);
  }
  std::string sharedSecret(std::string_view name, std::string_view fresh) override {
    Use(addSecret_, name, fresh).run();
    Use q(secret_, name);
    if (!q.row()) db_.fail("a shared secret was neither added nor found");
    return q.text(0);
  }
  std::int64_t revision() override {
    Use q(revision_);
    return q.row() ? q.integer(0) : 0;
  }

 private:
  std::optional<Account> oneAccount(const Statement& s, const auto&... keys) {
    Use q(s, keys...);
    if (!q.row()) return std::nullopt;
    return readAccount(q);
  }
  // Bumps the revision in the same transaction as the change it counts; returns whether there was one.
  bool operatorChanged(bool changed) {
    if (changed) Use(bumpRevision_).run();
    return changed;
  }
  Statement prepare(std::string_view sql) { return db_.prepare(sql); }

  Engine db_;
  const Statement savepoint_ = prepare("SAVEPOINT unit");
  const Statement release_ = prepare("RELEASE unit");
  const Statement rollbackTo_ = prepare("ROLLBACK TO unit");

  const Statement byName_ = prepare(accountsWhere("WHERE name = ?1"));
  const Statement byId_ = prepare(accountsWhere("WHERE id = ?1"));
  const Statement byDigest_ = prepare(accountsWhere("WHERE key_digest = ?1"));
  const Statement allAccounts_ = prepare(accountsWhere("ORDER BY id"));
  // A taken name adds nothing; any other conflict (a repeated key) is an error, not a taken name.
  const Statement addAccount_ = prepare(
      "INSERT INTO accounts (name, password_hash, intake_key, key_digest, disabled, created_at) "
      "VALUES (?1, ?2, ?3, NULLIF(?4, ''), ?5, ?6) ON CONFLICT (name) DO NOTHING");
  const Statement setHash_ = prepare("UPDATE accounts SET password_hash = ?2 WHERE id = ?1");
  const Statement setDisabled_ = prepare("UPDATE accounts SET disabled = ?2 WHERE id = ?1");
  const Statement setKey_ =
      prepare("UPDATE accounts SET intake_key = ?2, key_digest = NULLIF(?3, '') WHERE id = ?1");
  // Never back: reports that two nodes commit out of order keep the later time.
  const Statement setPhoneSeen_ =
      prepare("UPDATE accounts SET phone_seen_at = ?2 WHERE id = ?1 AND phone_seen_at < ?2");
  const Statement counterSeen_ = prepare(
      "INSERT INTO counters_seen (account_id, machine_id, address, first_seen, last_seen) "
      "VALUES (?1, ?2, ?3, ?4, ?4) ON CONFLICT (account_id, machine_id) "
      "DO UPDATE SET address = excluded.address, last_seen = excluded.last_seen");
  const Statement forgetCounters_ = prepare(
      "DELETE FROM counters_seen WHERE account_id = ?1 AND machine_id NOT IN (SELECT machine_id FROM "
      "counters_seen WHERE account_id = ?1 ORDER BY last_seen DESC, machine_id LIMIT ?2)");
  const Statement counterKnown_ = prepare(
      "SELECT 1 FROM counters_seen WHERE account_id = ?1 AND (machine_id = ?2 OR address = ?3) "
      "AND last_seen >= ?4 LIMIT 1");
  const Statement countersSeen_ = prepare(
      "SELECT machine_id, address, first_seen, last_seen FROM counters_seen WHERE account_id = ?1 "
      "ORDER BY first_seen, machine_id");

  const std::optional<Statement> lockDedupeKey_ =
      db_.dialect().lockDedupeKey.empty() ? std::nullopt : std::optional(prepare(db_.dialect().lockDedupeKey));
  // The conditions on '' repeat the partial indexes' own, so that the engine knows it may use them.
  const Statement byDedupeKey_ = prepare(
      "SELECT number FROM bills WHERE account_id = ?1 AND dedupe_key = ?2 AND dedupe_key <> '' "
      "AND received_at BETWEEN ?3 AND ?4 ORDER BY received_at DESC, number DESC LIMIT 1");
  const Statement bySourceId_ =
      prepare("SELECT number FROM bills WHERE account_id = ?1 AND source_id = ?2 AND source_id <> ''");
  // Adds nothing when the account has a bill with the source id: the unique index decides, so that the
  // answer holds even against another process adding the same bill.
  const Statement addBill_ = prepare(
      "INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, dedupe_key, text, by_hand) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) "
      "ON CONFLICT (account_id, source_id) WHERE source_id <> '' DO NOTHING RETURNING number");
  const Statement bills_ = prepare(
      billsWhere("WHERE account_id = ?1 AND paid_at >= ?2 AND paid_at < ?3 ORDER BY paid_at, number"));
  // Newest first by the day's index, so that a long day costs the rows shown, not the day.
  const Statement latestBills_ = prepare(
      "SELECT number, channel, fen, paid_at, CASE WHEN ?6 = 1 THEN text ELSE '' END, by_hand FROM bills "
      "WHERE account_id = ?1 AND paid_at >= ?2 AND paid_at < ?3 ORDER BY paid_at DESC, number DESC "
      "LIMIT ?4 OFFSET ?5");

  const Statement forgetUnrecognised_ = prepare("DELETE FROM unrecognised WHERE received_at < ?1");
  const Statement addUnrecognised_ = prepare(
      "INSERT INTO unrecognised (account_id, received_at, package, title, text, reason) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  const Statement unrecognised_ =
      prepare("SELECT " + std::string(kUnrecognisedColumns) +
              " FROM unrecognised WHERE account_id = ?1 AND received_at >= ?2 AND received_at < ?3 "
              "ORDER BY received_at DESC, id DESC LIMIT ?4");
  const Statement unrecognisedById_ = prepare("SELECT " + std::string(kUnrecognisedColumns) +
                                              " FROM unrecognised WHERE account_id = ?1 AND id = ?2");
  const Statement setUnrecognisedBill_ = prepare("UPDATE unrecognised SET bill_number = ?2 WHERE id = ?1");

  const Statement sums_ = prepare(
      "SELECT channel, COUNT(*), SUM(fen) FROM bills WHERE account_id = ?1 AND paid_at >= ?2 AND paid_at < ?3 "
      "GROUP BY channel ORDER BY channel");

  const Statement addSession_ =
      prepare("INSERT INTO page_sessions (digest, account_id, expires_at) VALUES (?1, ?2, ?3)");
  const Statement bySession_ = prepare(accountsWhere(
      "WHERE id = (SELECT account_id FROM page_sessions WHERE digest = ?1 AND expires_at > ?2)"));
  const Statement endSession_ = prepare("DELETE FROM page_sessions WHERE digest = ?1");
  const Statement endExpiredSessions_ = prepare("DELETE FROM page_sessions WHERE expires_at <= ?1");
  const Statement endOldSessions_ = prepare(
      "DELETE FROM page_sessions WHERE account_id = ?1 AND digest NOT IN (SELECT digest FROM page_sessions "
      "WHERE account_id = ?1 ORDER BY expires_at DESC, digest LIMIT ?2)");
  const Statement endAccountSessions_ = prepare("DELETE FROM page_sessions WHERE account_id = ?1");

  const Statement serverInfo_ =
      prepare("SELECT maintenance, notice, client_version, download_url FROM server_info WHERE id = 1");
  const Statement setServerInfo_ = prepare(
      "INSERT INTO server_info (id, maintenance, notice, client_version, download_url) "
      "VALUES (1, ?1, ?2, ?3, ?4) ON CONFLICT (id) DO UPDATE SET maintenance = excluded.maintenance, "
      "notice = excluded.notice, client_version = excluded.client_version, "
      "download_url = excluded.download_url");
  const Statement addSecret_ =
      prepare("INSERT INTO shared_secrets (name, value) VALUES (?1, ?2) ON CONFLICT (name) DO NOTHING");
  const Statement secret_ = prepare("SELECT value FROM shared_secrets WHERE name = ?1");
  const Statement revision_ = prepare("SELECT value FROM revision WHERE id = 1");
  const Statement bumpRevision_ = prepare("UPDATE revision SET value = value + 1 WHERE id = 1");
};

}  // namespace hub::store
