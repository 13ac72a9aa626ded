// The ledger: the two bill lists of the "账单流水" page, their totals and their counts. It keeps no store of
// its own: the list rows are the bills of the run, and every total and count is written from them.
#pragma once
#include <string>
#include <string_view>

namespace bills {

// One payment channel and the controls that show its bills.
struct Channel {
  const char* text;         // the channel as the server names it, compared byte for byte
  const char* list;         // its list on the main window
  int icon;                 // image index of its rows in the list's small-icon set
  const char* totalLabel;
  const char* totalPrefix;  // the total label reads prefix + sum + "元"; with no sum it is the design caption
  const char* countLabel;
};

const Channel& weChat();
const Channel& alipay();

// The channel named by `text`: WeChat is tried first, then Alipay; nullptr for any other text.
const Channel* findChannel(std::string_view text);

// Count label prefixes. The history load writes the Alipay count with a shorter word than a live payment.
inline constexpr const char* kWeChatCountPrefix = "微信累计收款：";
inline constexpr const char* kAlipayCountPrefix = "支付宝累计收款：";
inline constexpr const char* kAlipayHistoryCountPrefix = "支付累计收款：";

// List columns.
inline constexpr int kNumberColumn = 0;
inline constexpr int kTimeColumn = 1;
inline constexpr int kChannelColumn = 2;
inline constexpr int kAmountColumn = 3;

// One live payment: announced first (which may take seconds), then listed at the bottom of its channel's
// list with the local time taken after the announcement, numbered, totalled and counted. An unknown
// channel is neither announced nor listed, but both counts are still written.
void recordPayment(const std::string& channel, const std::string& amount);

// The steps below change the controls of one list update; their callers run them inside one
// ui::runOnWindowThread so that no other writer gets in between.

// Column 0 of the row at index k becomes k + 1, top to bottom.
void numberRows(const std::string& list);

// "微信收款合计：12.5元"; the design caption "微信收款合计：元" for a list without rows.
std::string totalCaption(const Channel& channel, int rows, double total);
// "微信累计收款：3笔".
std::string countCaption(const char* prefix, int rows);

// The amounts of all rows read from the list and summed top to bottom from 0.
double sumAmounts(const std::string& list);

// What the bills last left in a channel's list: every row numbered, and the sum of the amounts. A payment
// appends at the bottom, so while the list still holds those rows the new total is that sum plus the new
// amount (the same additions in the same order) and only the new row needs its number: a payment then
// costs a few control operations however long the list, not two per row.
struct Tally {
  int rows = -1;           // -1: nothing known, the next payment reads the whole list
  double total = 0;        // the amounts of all rows, summed top to bottom from 0
  std::string lastAmount;  // the bottom row's amount text, checked against the list before use
};
void rememberTally(const Channel& channel, const Tally& tally);
// Nothing is assumed about either list any more: for a new main window, or after rows were moved.
void forgetTallies();

// Both count labels from the lists' row counts, in the order and with the Alipay word of the writer:
// a live payment writes WeChat first, the history load Alipay first.
enum class CountWriter { LivePayment, BillHistory };
void writeCounts(CountWriter writer);

}  // namespace bills
