#include "bills/history.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "bills/ledger.h"
#include "common/datetime.h"
#include "common/money.h"
#include "common/text.h"
#include "server/protocol.h"
#include "ui/window_layer.h"

namespace bills {

namespace {

// Set by the first bill history of the run.
std::atomic<bool> historyLoaded{false};

struct Bill {
  std::string time, channel, amount;
};

// The cell texts of a list, row by row.
struct Table {
  int columns = 0;
  std::vector<std::string> cells;

  int rows() const { return columns > 0 ? static_cast<int>(cells.size() / columns) : 0; }
  const std::string& at(int row, int column) const { return cells[static_cast<size_t>(row) * columns + column]; }
};

// Every row has at least the four bill columns here, even if a list were defined with fewer.
int tableColumns(const std::string& list) {
  return std::max(ui::columnCount(ui::Window::Main, list), kAmountColumn + 1);
}

Table readTable(const std::string& list) {
  Table table;
  table.columns = tableColumns(list);
  const int rows = ui::rowCount(ui::Window::Main, list);
  const int defined = ui::columnCount(ui::Window::Main, list);
  table.cells.resize(static_cast<size_t>(rows) * table.columns);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < defined; ++c)
      table.cells[static_cast<size_t>(r) * table.columns + c] = ui::cell(ui::Window::Main, list, r, c);
  return table;
}

std::vector<double> timeKeys(const Table& table) {
  std::vector<double> keys(table.rows());
  for (int r = 0; r < table.rows(); ++r) keys[r] = datetime::readTimeText(table.at(r, kTimeColumn));
  return keys;
}

// Writes the rows of `table` to the list in `order`. The list's first `shown` rows hold the table's first
// rows already, so only cells whose text changes are written there; further rows are appended with the
// channel's icon. With `renumber`, column 0 gets the position instead of the row's own number.
void writeTable(const std::string& list, int icon, const Table& table, int shown, const std::vector<int>& order,
                bool renumber) {
  const int columns = ui::columnCount(ui::Window::Main, list);
  for (int q = 0; q < static_cast<int>(order.size()); ++q) {
    const bool appended = q >= shown;
    if (appended) ui::appendRow(ui::Window::Main, list, icon);
    const std::string number = std::to_string(q + 1);
    for (int c = 0; c < columns; ++c) {
      const std::string& want = renumber && c == kNumberColumn ? number : table.at(order[q], c);
      const bool unchanged = appended ? want.empty() : want == table.at(q, c);
      if (!unchanged) ui::setCell(ui::Window::Main, list, q, c, want);
    }
  }
}

// One channel's part of a history load: the list's rows (none when replacing) and the new bills, ordered
// newest first, numbered, written back once, and the total over all of them, top to bottom.
void loadIntoList(const Channel& channel, const std::vector<Bill>& bills, bool replace) {
  const std::string list = channel.list;
  Table table;
  if (replace) table.columns = tableColumns(list);
  else table = readTable(list);
  const int shown = table.rows();
  for (const Bill& bill : bills) {
    const size_t start = table.cells.size();
    table.cells.resize(start + table.columns);
    table.cells[start + kTimeColumn] = bill.time;
    table.cells[start + kChannelColumn] = bill.channel;
    table.cells[start + kAmountColumn] = bill.amount;
  }
  const std::vector<int> order = orderByTime(timeKeys(table));

  // Thousands of cell writes: one repaint at the end instead of one per cell.
  ui::setRedraw(ui::Window::Main, list, false);
  if (replace) ui::clearRows(ui::Window::Main, list);
  writeTable(list, channel.icon, table, shown, order, true);
  ui::setRedraw(ui::Window::Main, list, true);

  double total = 0;
  for (int row : order) total += money::readAmount(table.at(row, kAmountColumn));
  ui::setText(ui::Window::Main, channel.totalLabel, totalCaption(channel, table.rows(), total));
  const std::string bottomAmount = order.empty() ? std::string() : table.at(order.back(), kAmountColumn);
  rememberTally(channel, {table.rows(), total, bottomAmount});
}

}  // namespace

std::vector<int> orderByTime(const std::vector<double>& keys) {
  constexpr double tolerance = datetime::kTolerance;
  // The keys seen so far in ascending order, and their rows beside them; each new row is inserted into both.
  std::vector<double> sorted;
  std::vector<int> rows;
  sorted.reserve(keys.size());
  rows.reserve(keys.size());
  for (int r = 0; r < static_cast<int>(keys.size()); ++r) {
    const double x = keys[r];
    size_t at;  // 0-based insert position
    if (sorted.empty() || x - sorted.back() >= -tolerance) {
      at = sorted.size();
    } else if (x - sorted.front() <= tolerance) {
      at = 0;
    } else {
      // Halving search over 1-based positions; it stops at the first probe that ties and inserts after it.
      size_t lo = 1, hi = sorted.size();
      while (lo < hi - 1) {
        const size_t mid = (lo + hi) / 2;
        const double d = x - sorted[mid - 1];
        if (std::fabs(d) <= tolerance) {
          lo = mid;
          break;
        }
        if (d < -tolerance) hi = mid;
        else lo = mid;
      }
      at = lo;
    }
    sorted.insert(sorted.begin() + static_cast<std::ptrdiff_t>(at), x);
    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), r);
  }
  std::reverse(rows.begin(), rows.end());  // newest first
  return rows;
}

void sortListByTime(const std::string& list) {
  // Read everything, then write everything, with no other writer of the list in between.
  ui::runOnWindowThread([&] {
    const Table table = readTable(list);
    const std::vector<int> order = orderByTime(timeKeys(table));
    ui::setRedraw(ui::Window::Main, list, false);
    writeTable(list, 0, table, table.rows(), order, false);
    ui::setRedraw(ui::Window::Main, list, true);
    // The rows moved and their numbers with them: the next payment reads the list afresh.
    forgetTallies();
  });
}

void forgetBillHistory() {
  historyLoaded = false;
  ui::runOnWindowThread(forgetTallies);
}

void loadBillHistory(const std::string& message) {
  const std::vector<std::string> members = text::splitFields(message, kBillBlockMarker);
  if (members.size() < 2 || members[0] != kBillHistoryKind) return;

  // Parsing needs no control: it is done before the hop so the window thread only writes.
  std::vector<Bill> weChatBills, alipayBills;
  for (const std::string& line : text::splitFields(members[1], kBillLineBreak)) {
    std::vector<std::string> fields = text::splitFields(line, protocol::kFieldSeparator);
    // Without its time and channel a line is no bill (an empty line, for one). An empty amount at the end
    // is dropped by the split and reads as empty.
    if (fields.size() < 3) continue;
    const Channel* channel = findChannel(fields[2]);
    if (!channel) continue;
    Bill bill{std::move(fields[1]), std::move(fields[2]), fields.size() > 3 ? std::move(fields[3]) : std::string()};
    (channel == &weChat() ? weChatBills : alipayBills).push_back(std::move(bill));
  }

  // Every login sends the account's whole record: only the run's first one joins what the lists hold.
  const bool replace = historyLoaded.exchange(true);
  ui::runOnWindowThread([&] {
    loadIntoList(weChat(), weChatBills, replace);
    loadIntoList(alipay(), alipayBills, replace);
    writeCounts(CountWriter::BillHistory);
  });
}

}  // namespace bills
