#include "page/reports.h"

#include <algorithm>
#include <cstdio>

#include "page/html.h"

namespace hub::page {
namespace {

constexpr Channel kChannels[] = {Channel::wechat, Channel::alipay};

std::string_view className(Channel channel) { return channel == Channel::wechat ? "wechat" : "alipay"; }

store::ChannelSum sumOf(const std::vector<store::ChannelSum>& sums, Channel channel) {
  for (const auto& s : sums)
    if (s.channel == channel) return s;
  return {.channel = channel};
}

store::ChannelSum total(const std::vector<store::ChannelSum>& sums) {
  store::ChannelSum all;
  for (const auto& s : sums) {
    all.count += s.count;
    all.fen += s.fen;
  }
  return all;
}

std::string totalsRow(std::string_view key, std::string_view name, const store::ChannelSum& s) {
  return "<tr data-channel=\"" + std::string(key) + "\"" + (key == "all" ? " class=\"sum\"" : "") + "><td>" +
         std::string(name) + "</td><td class=\"num\">" + std::to_string(s.count) + "</td><td class=\"num\">" +
         money::format(s.fen) + "</td></tr>";
}

// Each channel's count and amount, and both together.
std::string totals(const std::vector<store::ChannelSum>& sums) {
  std::string html =
      "<div class=\"wrap\"><table class=\"totals\"><tr><th>渠道</th><th class=\"num\">笔数</th>"
      "<th class=\"num\">金额（元）</th></tr>";
  for (Channel c : kChannels) html += totalsRow(className(c), counterWord(c), sumOf(sums, c));
  html += totalsRow("all", "合计", total(sums));
  return html + "</table></div>";
}

// The bills newest first; the notification's own words, when it came as one, beside each.
std::string billList(const clock::Zone& zone, const std::vector<store::Bill>& bills) {
  if (bills.empty()) return "<p class=\"muted\">这一天还没有收款。</p>";
  std::string html =
      "<div class=\"wrap\"><table class=\"bills\"><tr><th>时间</th><th>渠道</th>"
      "<th class=\"num\">金额（元）</th><th>通知内容</th></tr>";
  for (auto it = bills.rbegin(); it != bills.rend(); ++it) {
    html += "<tr data-bill=\"" + std::to_string(it->number) + "\"><td>" + localText(zone, it->time).substr(11) +
            "</td><td>" + std::string(counterWord(it->channel)) + "</td><td class=\"num\">" + money::format(it->fen) +
            "</td><td class=\"text\">" + (it->byHand ? "<span class=\"hand\">手工计入</span> " : "") +
            escape(it->text) + "</td></tr>";
  }
  return html + "</table></div>";
}

std::string pager(std::string_view path, std::string_view param, std::string_view earlier, std::string_view shown,
                  std::string_view later, std::string_view earlierName, std::string_view laterName) {
  auto link = [&](std::string_view to, std::string_view name) {
    return "<a href=\"" + std::string(path) + "?" + std::string(param) + "=" + escape(to) + "\">" + std::string(name) +
           "</a>";
  };
  std::string html =
      "<p class=\"pager\">" + link(earlier, "‹ " + std::string(earlierName)) + "<b>" + escape(shown) + "</b>";
  html += later.empty() ? "<span class=\"muted\">" + std::string(laterName) + " ›</span>"
                        : link(later, std::string(laterName) + " ›");
  return html + "</p>";
}

std::string fixed1(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

}  // namespace

std::string localText(const clock::Zone& zone, clock::Millis t) {
  const std::string iso = clock::isoTime(zone, t);
  return iso.substr(0, 10) + " " + iso.substr(11, 8);
}

std::string todayPart(const clock::Zone& zone, std::string_view day, const PhoneState& phone,
                      const std::vector<store::Bill>& bills, const std::vector<store::ChannelSum>& sums,
                      std::string_view more) {
  std::string html = "<h1>今日收款 <span class=\"muted\">" + escape(day) + "</span></h1>";
  if (phone.lastReport == 0)
    html += "<p class=\"phone bad\">● 手机从未上报：请按“手机设置”设置手机上的转发应用。</p>";
  else
    html += std::string("<p class=\"phone ") + (phone.reporting ? "ok\">● 手机正常上报" : "bad\">● 手机未在上报") +
            "，最近一次 " + localText(zone, phone.lastReport) + "</p>";
  return html + "<section><h2>合计</h2>" + totals(sums) + "</section><section><h2>收款明细</h2>" +
         billList(zone, bills) + std::string(more) + "</section>";
}

std::string billPages(std::string_view day, std::int64_t page, bool older) {
  if (page <= 1 && !older) return {};
  auto link = [day](std::int64_t to, std::string_view name) {
    return "<a href=\"/day?d=" + escape(day) + "&amp;p=" + std::to_string(to) + "\">" + std::string(name) + "</a>";
  };
  std::string html = "<p class=\"pager\">";
  if (page > 1) html += link(page - 1, "‹ 较新的收款");
  html += "<b>第 " + std::to_string(page) + " 页</b>";
  if (older) html += link(page + 1, "较早的收款 ›");
  return html + "</p>";
}

std::string todayPage(std::int64_t lastBill, std::string_view part) {
  return "<div id=\"today\" data-last=\"" + std::to_string(lastBill) + "\">" + std::string(part) + "</div>";
}

std::string dayReport(const clock::Zone& zone, std::string_view day, std::string_view earlier, std::string_view later,
                      const std::vector<store::Bill>& bills, const std::vector<store::ChannelSum>& sums,
                      std::string_view more) {
  std::string html = "<h1>日报</h1>" + pager("/day", "d", earlier, day, later, "前一天", "后一天");
  html +=
      "<form method=\"get\" action=\"/day\" class=\"pager\">查看日期 <input class=\"day\" name=\"d\" "
      "placeholder=\"2024-01-31\" value=\"" +
      escape(day) + "\"> <button type=\"submit\">查看</button></form>";
  return html + "<section><h2>合计</h2>" + totals(sums) + "</section><section><h2>收款明细</h2>" +
         billList(zone, bills) + std::string(more) + "</section>";
}

std::string monthReport(std::string_view month, std::string_view earlier, std::string_view later,
                        const std::vector<store::ChannelSum>& sums, const std::vector<DaySums>& days,
                        std::string_view chart) {
  std::string html = "<h1>月报</h1>" + pager("/month", "m", earlier, month, later, "上月", "下月");
  html += "<section><h2>本月合计</h2>" + totals(sums) + "</section><section><h2>每日收款</h2>";
  std::string rows;
  for (const DaySums& d : days) {
    if (d.sums.empty()) continue;
    rows += "<tr data-day=\"" + escape(d.day) + "\"><td><a href=\"/day?d=" + escape(d.day) + "\">" +
            escape(d.day.substr(5)) + "</a></td>";
    for (Channel c : kChannels) {
      const store::ChannelSum s = sumOf(d.sums, c);
      rows += "<td class=\"num\" data-channel=\"" + std::string(className(c)) + "\"><span class=\"amount\">" +
              money::format(s.fen) + "</span><br><span class=\"count muted\">" + std::to_string(s.count) +
              " 笔</span></td>";
    }
    rows += "<td class=\"num\" data-channel=\"all\"><b class=\"amount\">" + money::format(total(d.sums).fen) +
            "</b></td></tr>";
  }
  if (rows.empty())
    html += "<p class=\"muted\">这个月没有收款。</p>";
  else
    html +=
        "<div class=\"wrap\"><table class=\"days\"><tr><th>日期</th><th class=\"num\">微信收款</th>"
        "<th class=\"num\">支付宝收款</th><th class=\"num\">合计（元）</th></tr>" +
        rows + "</table></div>";
  html += "</section><section><h2>近 30 天收款</h2>" + std::string(chart) + "</section>";
  return html;
}

std::string chart(const std::vector<DaySums>& days) {
  // Each day has a slot of two bars side by side; the day's larger channel at the tallest fills the plot.
  constexpr int kLeft = 56, kTop = 12, kPlot = 150, kSlot = 14, kBar = 6;
  const int width = kLeft + kSlot * static_cast<int>(days.size()) + 24, height = kTop + kPlot + 54;
  const int base = kTop + kPlot;
  money::Fen most = 0;
  for (const DaySums& d : days)
    for (const auto& s : d.sums) most = std::max(most, s.fen);
  auto n = [](auto v) { return std::to_string(v); };
  auto text = [&](int x, int y, std::string_view anchor, std::string_view content) {
    return "<text x=\"" + n(x) + "\" y=\"" + n(y) + "\" text-anchor=\"" + std::string(anchor) + "\">" +
           std::string(content) + "</text>";
  };
  auto line = [&](int y, std::string_view colour) {
    return "<line x1=\"" + n(kLeft) + "\" y1=\"" + n(y) + "\" x2=\"" + n(width) + "\" y2=\"" + n(y) + "\" stroke=\"" +
           std::string(colour) + "\"/>";
  };
  std::string svg = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + n(width) + " " +
                    n(height) + "\" role=\"img\">" + line(kTop, "#eee") + line(base, "#999") +
                    text(kLeft - 4, kTop + 4, "end", money::format(most)) + text(kLeft - 4, base + 4, "end", "0");
  for (size_t i = 0; i < days.size(); ++i) {
    const DaySums& d = days[i];
    const int x = kLeft + kSlot * static_cast<int>(i) + 1;
    for (int k = 0; k < 2; ++k) {
      const store::ChannelSum s = sumOf(d.sums, kChannels[k]);
      const double h = most == 0 ? 0 : static_cast<double>(s.fen) * kPlot / static_cast<double>(most);
      svg += "<rect class=\"bar " + std::string(className(s.channel)) + "\" data-day=\"" + escape(d.day) + "\" x=\"" +
             n(x + k * kBar) + "\" y=\"" + fixed1(base - h) + "\" width=\"" + n(kBar) + "\" height=\"" + fixed1(h) +
             "\"><title>" + escape(d.day) + " " + std::string(counterWord(s.channel)) + " " + n(s.count) + " 笔 " +
             money::format(s.fen) + " 元</title></rect>";
    }
    // Every fifth day and the last one are named under the axis.
    if (i % 5 == 0 || i + 1 == days.size()) svg += text(x + kBar, base + 20, "middle", escape(d.day.substr(5)));
  }
  for (int k = 0; k < 2; ++k) {
    const int x = kLeft + 120 * k;
    svg += "<rect class=\"" + std::string(className(kChannels[k])) + "\" x=\"" + n(x) + "\" y=\"" + n(height - 20) +
           "\" width=\"10\" height=\"10\"/>" + text(x + 14, height - 10, "start", counterWord(kChannels[k]));
  }
  return svg + "</svg>";
}

}  // namespace hub::page
