#pragma once
// The takings as the merchant reads them: the day's bills with each channel's total, the day and month
// reports with earlier and later ones, and the last 30 days as a bar chart drawn here as SVG.
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "store/store.h"

namespace hub::page {

// A local day by its name ("2024-02-29") and its takings per channel.
struct DaySums {
  std::string day;
  std::vector<store::ChannelSum> sums;
};

struct PhoneState {
  clock::Millis lastReport = 0;  // 0: never reported
  bool reporting = false;
};

// "2024-02-29 09:53:40" in the zone.
std::string localText(const clock::Zone& zone, clock::Millis t);

// The part of today's page that /live sends again: the day, the phone's state, the totals, the bills
// newest first.
// `more`, when the list holds only part of the day's bills, links to the rest (billPages).
std::string todayPart(const clock::Zone& zone, std::string_view day, const PhoneState& phone,
                      const std::vector<store::Bill>& bills, const std::vector<store::ChannelSum>& sums,
                      std::string_view more = {});
// Today's page around that part; `lastBill` is the newest bill's number, after which /live waits.
std::string todayPage(std::int64_t lastBill, std::string_view part);

// `earlier` and `later` name the neighbouring day or month; `later` is empty when it has not begun.
std::string dayReport(const clock::Zone& zone, std::string_view day, std::string_view earlier, std::string_view later,
                      const std::vector<store::Bill>& bills, const std::vector<store::ChannelSum>& sums,
                      std::string_view more = {});
// Links between the pages of a long day's list on /day: page 1 is the newest bills; `older` says whether
// there are bills beyond this page. Empty when one page holds the day.
std::string billPages(std::string_view day, std::int64_t page, bool older);
std::string monthReport(std::string_view month, std::string_view earlier, std::string_view later,
                        const std::vector<store::ChannelSum>& sums, const std::vector<DaySums>& days,
                        std::string_view chart);

// One bar per day per channel, days oldest first.
std::string chart(const std::vector<DaySums>& days);

}  // namespace hub::page
