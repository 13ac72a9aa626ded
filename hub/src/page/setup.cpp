#include "page/setup.h"

#include <qrencode.h>

#include <array>
#include <memory>

#include "page/html.h"
#include "page/reports.h"

namespace hub::page {
namespace {

// One record per phone app: what to enter where. In the values, {base} is the hub's address as phones
// reach it, {host} the same without the scheme, {key} the intake key and {account} the account's name
// (percent-encoded, as it stands in a path).
struct Field {
  std::string_view label, value;
};
struct PhoneApp {
  std::string_view name;
  std::string_view how;         // where in the app the values go
  std::array<Field, 4> fields;  // the unused ones have no label
  int qr = -1;                  // the field whose value the QR code holds; -1: none
};

constexpr PhoneApp kApps[] = {
    {"通知转发（推荐）",
     "任何能以 POST 发送 JSON 的通知转发应用：把微信、支付宝的通知原样发来，由收款服务识别收款。",
     {{{"地址", "{base}/api/v1/notifications?key={key}"},
       {"方式", "POST，Content-Type: application/json"},
       {"内容", R"({"package":"应用包名","title":"通知标题","text":"通知内容","time":毫秒时间戳,"id":"通知编号"})"},
       {"心跳", "{base}/api/v1/heartbeat?key={key}（POST，每分钟一次）"}}},
     0},
    {"自有收款程序",
     "已自己识别出收款的程序：直接报告收款，金额单位为元。",
     {{{"地址", "{base}/api/v1/payments?key={key}"},
       {"方式", "POST，Content-Type: application/json"},
       {"内容", R"({"channel":"wechat 或 alipay","amount":"12.50","id":"收款编号","time":毫秒时间戳})"}}},
     0},
    {"SmsForwarder（短信转发器）",
     "通用设置里打开“转发应用通知”；发送通道加一个 Webhook；转发规则按 APP包名 匹配微信、支付宝；"
     "自动任务加一个每分钟的定时任务，推送通知到这个 Webhook，当作心跳。",
     {{{"Webhook Server", "{base}/hook/smsforwarder?key={key}"},
       {"请求方式", "POST"},
       {"Secret", "{key}"},
       {"消息模板", "留空（不启用自定义模版）"}}},
     0},
    {"V免签监控端",
     "用监控端的“扫码配置”扫这里的二维码，或在“手动配置”里输入配置数据（反斜杠照抄）。",
     {{{"配置数据", "{host}\\vmq\\{account}/{key}"}}},
     0},
    {"receiptnotice（收款通知）",
     "设置推送地址；设置里打开加密，加密方法选 md5，密钥填下面的值。",
     {{{"推送地址", "{base}/hook/receiptnotice?key={key}"}, {"加密方法", "md5"}, {"密钥", "{key}"}}},
     0},
};

// The account's name as it stands in a path: every byte but letters, digits and "-._~" as %XX.
std::string pathPiece(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string expand(std::string_view value, const Reach& reach) {
  const auto scheme = reach.base.find("://");
  const std::pair<std::string_view, std::string> words[] = {
      {"{base}", reach.base},
      {"{host}", scheme == std::string::npos ? reach.base : reach.base.substr(scheme + 3)},
      {"{key}", reach.key},
      {"{account}", pathPiece(reach.account)},
  };
  std::string out(value);
  for (const auto& [word, with] : words)
    for (auto at = out.find(word); at != std::string::npos; at = out.find(word, at + with.size()))
      out.replace(at, word.size(), with);
  return out;
}

std::string appSection(const PhoneApp& app, const Reach& reach) {
  std::string html = "<section class=\"app\"><h2>" + std::string(app.name) + "</h2>";
  if (app.qr >= 0) html += qrSvg(expand(app.fields[app.qr].value, reach));
  // The values beside the QR code on a wide screen, under it on a phone's.
  html += "<div class=\"fields\"><p class=\"muted\">" + std::string(app.how) + "</p><table>";
  for (const Field& f : app.fields) {
    if (f.label.empty()) continue;
    html +=
        "<tr><th>" + std::string(f.label) + "</th><td><code>" + escape(expand(f.value, reach)) + "</code></td></tr>";
  }
  return html + "</table></div></section>";
}

}  // namespace

std::string qrSvg(std::string_view text) {
  struct Free {
    void operator()(QRcode* code) const { QRcode_free(code); }
  };
  const std::string terminated(text);
  const std::unique_ptr<QRcode, Free> code(QRcode_encodeString8bit(terminated.c_str(), 0, QR_ECLEVEL_M));
  if (!code) return {};
  constexpr int kQuiet = 4;
  const int width = code->width, size = width + 2 * kQuiet;
  // One rectangle per run of dark modules in a row (bit 0 of a module is dark).
  std::string path;
  for (int y = 0; y < width; ++y)
    for (int x = 0; x < width;) {
      int run = 0;
      while (x + run < width && (code->data[y * width + x + run] & 1)) ++run;
      if (run > 0)
        path += "M" + std::to_string(x + kQuiet) + " " + std::to_string(y + kQuiet) + "h" + std::to_string(run) +
                "v1h-" + std::to_string(run) + "z";
      x += run > 0 ? run : 1;
    }
  const std::string side = std::to_string(size);
  return "<svg class=\"qr\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + side + " " + side +
         "\" shape-rendering=\"crispEdges\"><rect width=\"" + side + "\" height=\"" + side +
         "\" fill=\"#fff\"/><path fill=\"#000\" d=\"" + path + "\"/></svg>";
}

std::string phonePage(const Reach& reach, std::string_view csrf, std::string_view notice, std::string_view error) {
  std::string html = "<h1>手机设置</h1>";
  if (!notice.empty()) html += "<p class=\"note\">" + escape(notice) + "</p>";
  if (!error.empty()) html += "<p class=\"error\">" + escape(error) + "</p>";
  html +=
      "<p>在收款手机上装一个转发应用，按下面填写，微信、支付宝的收款就会到收银台。"
      "下面的值都含有本帐号的密钥，不要告诉别人。</p>";
  for (const PhoneApp& app : kApps) html += appSection(app, reach);
  html += "<section><h2>更换密钥</h2><p>密钥泄露时更换：旧密钥立即失效，手机上的应用要按上面的新值重新设置。</p>" +
          postForm("/phone/key", csrf, "", "更换密钥") + "</section>";
  html += "<section><h2>修改密码</h2><p>收银台和本页面用同一个密码；修改后，已登录的收银台需用新密码重新登录。</p>" +
          postForm("/password", csrf,
                   "<label for=\"old\">原密码</label><input id=\"old\" name=\"old\" type=\"password\" "
                   "autocomplete=\"current-password\"><label for=\"new\">新密码（6 到 64 个字节）</label>"
                   "<input id=\"new\" name=\"new\" type=\"password\" autocomplete=\"new-password\">"
                   "<label for=\"again\">再输一次新密码</label><input id=\"again\" name=\"again\" "
                   "type=\"password\" autocomplete=\"new-password\">",
                   "修改密码") +
          "</section>";
  return html;
}

std::string countersPage(const clock::Zone& zone, const std::vector<store::CounterSeen>& counters) {
  std::string html = "<h1>收银台</h1><section><p>用本帐号登录过的收银电脑，按第一次登录的先后排列。</p>";
  if (counters.empty()) return html + "<p class=\"muted\">还没有收银台登录过。</p></section>";
  html +=
      "<div class=\"wrap\"><table class=\"counters\"><tr><th>机器码</th><th>地址</th><th>第一次登录</th>"
      "<th>最近一次登录</th></tr>";
  for (const auto& c : counters)
    html += "<tr><td><code>" + escape(c.machineId) + "</code></td><td>" + escape(c.address) + "</td><td>" +
            localText(zone, c.firstSeen) + "</td><td>" + localText(zone, c.lastSeen) + "</td></tr>";
  return html + "</table></div></section>";
}

}  // namespace hub::page
