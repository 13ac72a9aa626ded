// The bill history that the server sends after each login, and the ordering of a bill list by time.
#pragma once
#include <string>
#include <vector>

namespace bills {

// A bill history is "账单回调", the marker, then the bill block: lines joined by CR LF, each line fields
// joined by the protocol's field separator (unused, time, channel, amount).
inline constexpr const char* kBillHistoryKind = "账单回调";
inline constexpr const char* kBillBlockMarker = "by：Quimbe";
inline constexpr const char* kBillLineBreak = "\r\n";

// Acts on a bill history only and leaves every other message alone. The first history of the run is added
// to the lists; every later one replaces the content of both, since each login sends the account's whole
// record again and it already holds the payments pushed live before a reconnection. Then both lists are
// ordered newest first and numbered, and their totals (over all rows) and counts are written.
// A history with nothing after the marker changes nothing. Announces nothing.
void loadBillHistory(const std::string& message);

// For a main window made anew with empty lists: the next bill history counts as the run's first again,
// and nothing is assumed about the lists' rows.
void forgetBillHistory();

// Re-orders all rows of a channel list by their time (column 1), newest first. Only cell texts move;
// column 0 moves with its row and is not renumbered.
void sortListByTime(const std::string& list);

// The newest-first order of rows whose times are `keys` (date-time values, top to bottom): element q is
// the index of the row that goes to position q. Times within datetime::kTolerance of each other tie, and
// a tie is settled by where a one-by-one binary insertion puts the later row: after an equal greatest
// time (so it ends above the earlier row), in front of an equal smallest time when a greater one is there
// (so it ends below it), right after an equal time probed in the middle.
std::vector<int> orderByTime(const std::vector<double>& keys);

}  // namespace bills
