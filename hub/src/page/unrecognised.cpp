#include "page/unrecognised.h"

#include "page/html.h"
#include "page/reports.h"

namespace hub::page {
namespace {

// The recogniser's reasons in the merchant's words; an operator's own reason is shown as written.
std::string_view reasonText(std::string_view reason) {
  if (reason == "no amount") return "没有认出金额";
  if (reason == "not from the payment sender") return "不是收款通知的发送方";
  return reason;
}

}  // namespace

std::string unrecognisedList(const clock::Zone& zone, const std::vector<store::Unrecognised>& list,
                             std::string_view csrf) {
  if (list.empty()) return {};
  std::string html =
      "<section id=\"unrecognised\"><h2>未计入的通知</h2><p class=\"muted\">手机转来的这些通知像是收款，但没有计入。"
      "确实是收款的，核对渠道和金额后计入。</p><div class=\"wrap\"><table class=\"unrecognised\"><tr><th>时间</th>"
      "<th>通知</th><th>原因</th><th></th></tr>";
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    const store::Unrecognised& n = *it;
    html += "<tr data-notification=\"" + std::to_string(n.id) + "\"><td>" + localText(zone, n.receivedAt).substr(11) +
            "</td><td class=\"text\">" + escape(n.title) + (n.title.empty() || n.text.empty() ? "" : " | ") +
            escape(n.text) + "</td><td>" + escape(reasonText(n.reason)) + "</td><td>";
    if (n.billNumber != 0) {
      html += "已手工计入（账单 " + std::to_string(n.billNumber) + "）";
    } else {
      const bool alipay = n.package.find("Alipay") != std::string::npos;
      html += postForm("/unrecognised/count", csrf,
                       "<input type=\"hidden\" name=\"id\" value=\"" + std::to_string(n.id) +
                           "\"><select name=\"channel\"><option value=\"wechat\"" + (alipay ? "" : " selected") +
                           ">微信</option><option value=\"alipay\"" + (alipay ? " selected" : "") +
                           ">支付宝</option></select><input name=\"amount\" inputmode=\"decimal\" size=\"8\" "
                           "placeholder=\"金额（元）\" required>",
                       "计入收款");
    }
    html += "</td></tr>";
  }
  return html + "</table></div></section>";
}

}  // namespace hub::page
