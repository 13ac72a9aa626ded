#include "page/html.h"

namespace hub::page {
namespace {

// Embedded, so that nothing is fetched from outside: shop networks and mainland networks block many CDNs.
// No flexbox or grid, so that the browsers of old shop PCs lay it out too.
constexpr std::string_view kStyle = R"(
*{box-sizing:border-box}
body{margin:0;font:15px/1.5 "Microsoft YaHei","PingFang SC","Hiragino Sans GB","WenQuanYi Micro Hei",sans-serif;color:#222;background:#f3f4f6}
header{background:#25313d;color:#fff;padding:0 12px}
header b{display:inline-block;padding:10px 12px 10px 0}
header a{color:#c9d3dd;text-decoration:none;display:inline-block;padding:10px 8px}
header a.on{color:#fff;border-bottom:3px solid #07c160}
header form{display:inline}
header button{background:none;color:#c9d3dd;padding:10px 8px}
main{max-width:980px;margin:0 auto;padding:12px}
section{background:#fff;border:1px solid #dfe3e8;border-radius:4px;padding:12px;margin-bottom:12px}
section:after{content:"";display:block;clear:both}
h1{font-size:20px;margin:4px 0 12px}
h2{font-size:17px;margin:0 0 8px}
table{border-collapse:collapse;width:100%}
th,td{padding:6px 8px;border-bottom:1px solid #edf0f2;text-align:left;vertical-align:top;white-space:nowrap}
th{background:#f7f8fa;font-weight:normal;color:#555}
.num{text-align:right}
.wrap{overflow-x:auto}
.sum td{font-weight:bold}
.text{white-space:normal;word-break:break-all;color:#555;width:50%}
.ok{color:#0a7d3b}
.bad{color:#c0392b}
.muted{color:#888}
.pager{margin:0 0 12px}
.pager a,.pager span,.pager b{display:inline-block;margin-right:14px}
label{display:block;margin:8px 0 2px}
input{display:block;width:100%;max-width:340px;padding:6px;font-size:16px;border:1px solid #b9c0c7;border-radius:3px}
input.day{display:inline-block;width:auto}
button{padding:7px 18px;font-size:15px;background:#07c160;color:#fff;border:0;border-radius:3px;cursor:pointer;margin-top:10px}
code{word-break:break-all;background:#f0f2f4;padding:1px 4px;font-size:14px}
.qr{float:right;margin:0 0 8px 12px;width:200px;height:200px}
.fields{overflow:hidden}
.fields td{white-space:normal}
.note{background:#fff8e1;border:1px solid #eed9a0;padding:8px;margin:8px 0}
.error{background:#fdecea;border:1px solid #f2c0ba;color:#a1251b;padding:8px;margin:8px 0}
.chart{width:100%;max-width:640px;height:auto}
.chart text{font-size:12px;fill:#444}
.wechat{fill:#07c160}
.alipay{fill:#1677ff}
.narrow{max-width:400px;margin:40px auto}
@media (max-width:620px){.qr{float:none;margin:8px 0}.chart text{font-size:17px}header a{padding:8px 5px}main{padding:8px}th,td{padding:5px 4px}}
)";

constexpr std::string_view kNav[][2] = {
    {"/", "今日"}, {"/day", "日报"}, {"/month", "月报"}, {"/phone", "手机设置"}, {"/counters", "收银台"},
};

std::string document(std::string_view title, std::string_view inside, bool live) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"X-UA-Compatible\" content=\"IE=edge\"><title>";
  html += escape(title);
  html += " - Kassaro 收款</title><style>";
  html += kStyle;
  html += "</style></head><body>";
  html += inside;
  if (live) html += "<script src=\"/page.js\"></script>";
  html += "</body></html>\n";
  return html;
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string postForm(std::string_view action, std::string_view csrf, std::string_view fields, std::string_view button) {
  std::string html = "<form method=\"post\" action=\"";
  html += escape(action);
  html += "\"><input type=\"hidden\" name=\"csrf\" value=\"";
  html += escape(csrf);
  html += "\">";
  html += fields;
  html += "<button type=\"submit\">";
  html += escape(button);
  html += "</button></form>";
  return html;
}

std::string framed(const Frame& frame, std::string_view title, std::string_view body) {
  std::string inside = "<header><b>Kassaro 收款</b>";
  for (const auto& [path, name] : kNav) {
    inside += "<a href=\"";
    inside += path;
    inside += path == frame.active ? "\" class=\"on\">" : "\">";
    inside += name;
    inside += "</a>";
  }
  inside += postForm("/logout", frame.csrf, "", "退出 " + std::string(frame.account));
  inside += "</header><main>";
  inside += body;
  inside += "</main>";
  return document(title, inside, frame.live);
}

std::string signInPage(std::string_view account, std::string_view error) {
  std::string inside =
      "<main class=\"narrow\"><section><h1>商户登录</h1>"
      "<p class=\"muted\">用收银台的帐号和密码登录，查看收款、报表和手机设置。</p>";
  if (!error.empty()) inside += "<p class=\"error\">" + escape(error) + "</p>";
  inside +=
      "<form method=\"post\" action=\"/login\"><label for=\"account\">帐号</label>"
      "<input id=\"account\" name=\"account\" autocomplete=\"username\" value=\"";
  inside += escape(account);
  inside +=
      "\"><label for=\"password\">密码</label>"
      "<input id=\"password\" name=\"password\" type=\"password\" autocomplete=\"current-password\">"
      "<button type=\"submit\">登录</button></form></section></main>";
  return document("登录", inside, false);
}

std::string messagePage(std::string_view title, std::string_view reason) {
  return document(title,
                  "<main class=\"narrow\"><section><h1>" + escape(title) + "</h1><p class=\"error\">" + escape(reason) +
                      "</p><p><a href=\"/\">返回首页</a></p></section></main>",
                  false);
}

const std::string_view kScript =
    R"(// Keeps the day's bills current: the hub answers /live as soon as the account has a new payment
// (or after some 25 s without one), and the answer replaces the day's part of the page.
(function () {
  var box = document.getElementById('today');
  if (!box || !window.XMLHttpRequest) return;
  function poll(delay) {
    setTimeout(function () {
      var x = new XMLHttpRequest();
      x.open('GET', '/live?after=' + encodeURIComponent(box.getAttribute('data-last')), true);
      x.onreadystatechange = function () {
        if (x.readyState !== 4) return;
        if (x.status === 200) {
          box.innerHTML = x.responseText;
          box.setAttribute('data-last', x.getResponseHeader('X-Last-Bill'));
          poll(0);
        } else if (x.status === 401) {
          window.location.reload();  // signed out meanwhile: the sign-in page
        } else {
          poll(5000);  // the hub restarting or the network gone: ask again shortly
        }
      };
      x.send(null);
    }, delay);
  }
  poll(0);
})();
)";

}  // namespace hub::page
