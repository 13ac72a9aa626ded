#include "bills/ledger.h"

#include "app/window_defs.h"
#include "common/datetime.h"
#include "common/money.h"
#include "ui/controls.h"
#include "ui/window_layer.h"
#include "voice/announcer.h"

namespace bills {

namespace {

constexpr Channel kAlipay{"支付宝收款", controls::kAlipayList, ui::kIconAlipay,
                          controls::kAlipayTotalLabel, "支付宝收款合计：", controls::kAlipayCountLabel};
constexpr Channel kWeChat{"微信收款", controls::kWeChatList, ui::kIconWeChat,
                          controls::kWeChatTotalLabel, "微信收款合计：", controls::kWeChatCountLabel};

// Touched on the window thread only, inside the list updates.
Tally tallies[2];

Tally& tallyOf(const Channel& channel) { return tallies[&channel == &kWeChat ? 0 : 1]; }

// The tally still describes the list's rows: the same count, and the bottom row as it was left. Rows
// changed by anything but the bills show here and send the payment the long way round.
bool tallyHolds(const Channel& channel, int rows) {
  const Tally& tally = tallyOf(channel);
  if (tally.rows != rows) return false;
  if (rows == 0) return true;
  return ui::cell(ui::Window::Main, channel.list, rows - 1, kAmountColumn) == tally.lastAmount &&
         ui::cell(ui::Window::Main, channel.list, rows - 1, kNumberColumn) == std::to_string(rows);
}

}  // namespace

const Channel& weChat() { return kWeChat; }
const Channel& alipay() { return kAlipay; }

const Channel* findChannel(std::string_view text) {
  if (text == kWeChat.text) return &kWeChat;
  if (text == kAlipay.text) return &kAlipay;
  return nullptr;
}

void numberRows(const std::string& list) {
  const int rows = ui::rowCount(ui::Window::Main, list);
  for (int k = 0; k < rows; ++k) ui::setCell(ui::Window::Main, list, k, kNumberColumn, std::to_string(k + 1));
}

std::string totalCaption(const Channel& channel, int rows, double total) {
  std::string caption = channel.totalPrefix;
  if (rows > 0) caption += money::formatMoney(total);
  return caption + "元";
}

std::string countCaption(const char* prefix, int rows) { return prefix + std::to_string(rows) + "笔"; }

double sumAmounts(const std::string& list) {
  const int rows = ui::rowCount(ui::Window::Main, list);
  double total = 0;
  for (int r = 0; r < rows; ++r) total += money::readAmount(ui::cell(ui::Window::Main, list, r, kAmountColumn));
  return total;
}

void rememberTally(const Channel& channel, const Tally& tally) { tallyOf(channel) = tally; }

void forgetTallies() {
  for (Tally& tally : tallies) tally = Tally{};
}

void writeCounts(CountWriter writer) {
  const auto writeCount = [](const Channel& channel, const char* prefix) {
    const int rows = ui::rowCount(ui::Window::Main, channel.list);
    ui::setText(ui::Window::Main, channel.countLabel, countCaption(prefix, rows));
  };
  if (writer == CountWriter::LivePayment) {
    writeCount(kWeChat, kWeChatCountPrefix);
    writeCount(kAlipay, kAlipayCountPrefix);
  } else {
    writeCount(kAlipay, kAlipayHistoryCountPrefix);
    writeCount(kWeChat, kWeChatCountPrefix);
  }
}

void recordPayment(const std::string& channelText, const std::string& amount) {
  const Channel* channel = findChannel(channelText);
  if (!channel) {
    // Not a bill we can list, but the counts are rewritten for every payment message.
    ui::runOnWindowThread([] { writeCounts(CountWriter::LivePayment); });
    return;
  }
  // Outside the hop: fetching the speech can take seconds, and the window must stay responsive meanwhile.
  voice::announcePayment(channelText, amount);
  ui::runOnWindowThread([&] {
    const std::string list = channel->list;
    const int rows = ui::rowCount(ui::Window::Main, list);
    const bool tallied = tallyHolds(*channel, rows);
    const int row = ui::appendRow(ui::Window::Main, list, channel->icon);
    if (row < 0) return;
    // The row's time is when it is filled, after the announcement has returned.
    ui::setCell(ui::Window::Main, list, row, kTimeColumn, datetime::formatRowTime(datetime::now()));
    ui::setCell(ui::Window::Main, list, row, kChannelColumn, channelText);
    ui::setCell(ui::Window::Main, list, row, kAmountColumn, amount);
    double total;
    if (tallied) {
      // The rows above are numbered already and their sum is known: a few operations, however long the list.
      ui::setCell(ui::Window::Main, list, row, kNumberColumn, std::to_string(row + 1));
      total = tallyOf(*channel).total + money::readAmount(amount);
    } else {
      // Renumbering rewrites every row: one repaint at the end instead of one per row.
      ui::setRedraw(ui::Window::Main, list, false);
      numberRows(list);
      ui::setRedraw(ui::Window::Main, list, true);
      total = sumAmounts(list);
    }
    ui::setText(ui::Window::Main, channel->totalLabel, totalCaption(*channel, row + 1, total));
    rememberTally(*channel, {row + 1, total, amount});
    writeCounts(CountWriter::LivePayment);
  });
}

}  // namespace bills
