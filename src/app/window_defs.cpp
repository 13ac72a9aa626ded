#include "app/window_defs.h"

#include "ui/controls.h"

namespace ui {
namespace {

using namespace controls;

// Small builders so that each table line reads like the layout it describes.
ControlDef def(Window w, const char* name, Kind kind, int page, const char* group, const char* text,
               Rect rect) {
  ControlDef d;
  d.window = w;
  d.name = name;
  d.kind = kind;
  d.page = page;
  d.group = group;
  d.text = text;
  d.rect = rect;
  return d;
}

ControlDef withFont(ControlDef d, const char* face, int px, bool bold = false) {
  d.font = Font{face, px, bold};
  return d;
}

ControlDef hidden(ControlDef d) {
  d.visible = false;
  return d;
}

ControlDef checkedBox(ControlDef d) {
  d.checked = true;
  return d;
}

ControlDef wrapped(ControlDef d) {
  d.wrap = true;
  return d;
}

ControlDef linked(ControlDef d) {
  d.link = true;
  return d;
}

ControlDef numberInput(ControlDef d) {
  d.inputMode = InputMode::WholeNumber;
  return d;
}

// Large labels: normal weight, GB2312 character set (every font of ours uses that set).
constexpr const char* kLabelFace = "SimSun";
// The two channel lists.
constexpr const char* kListFace = "Microsoft YaHei";

const char* const kLoginNote =
    "\r\n登陆说明\r\n本软件需要登陆原因是因为采用外网服务器，如果使用客户本机服务器就会导致手机APP需在同一内网下或"
    "wifi下，就达不到手机出店后还能正常使用本软件！";

std::vector<ControlDef> mainControls() {
  const Window M = Window::Main;
  const Kind L = Kind::Label, G = Kind::GroupBox, C = Kind::CheckBox, B = Kind::Button, E = Kind::Edit;
  std::vector<ControlDef> v;

  ControlDef tab = withFont(def(M, kPages, Kind::Tab, -1, "", "", {-1, 0, 800, 600}), kWindowFace, 12);
  tab.items = {"账单流水", "软件管理", "历史账单"};
  v.push_back(tab);

  // Page 0, bill flow.
  v.push_back(withFont(def(M, kMonitorLabel, L, 0, "", "监控状态:×", {8, 30, 113, 33}), kLabelFace, 19));
  v.push_back(hidden(withFont(def(M, "标签_监控状态1", L, 0, "", "监控状态:×", {368, 30, 113, 33}), kLabelFace, 19)));
  v.push_back(checkedBox(def(M, kAnnounceBox, C, 0, "", "启用播报", {129, 40, 80, 24})));
  v.push_back(withFont(def(M, kWeChatCountLabel, L, 0, "", "", {213, 45, 148, 22}), kLabelFace, 13));
  v.push_back(withFont(def(M, kAlipayCountLabel, L, 0, "", "", {589, 45, 148, 22}), kLabelFace, 13));
  v.push_back(hidden(def(M, "媒体播放1", Kind::MediaPlayer, 0, "", "", {617, 32, 26, 26})));
  ControlDef weChat = withFont(def(M, kWeChatList, Kind::List, 0, "", "", {8, 66, 353, 464}), kListFace, 13, true);
  weChat.columns = {{"序号", 55, Align::Left}, {"时间", 150, Align::Centre},
                    {"收款类型", 65, Align::Left}, {"收款金额", 65, Align::Centre}};
  v.push_back(weChat);
  ControlDef alipay = withFont(def(M, kAlipayList, Kind::List, 0, "", "", {368, 66, 369, 464}), kListFace, 13, true);
  alipay.columns = {{"序号", 55, Align::Left}, {"时间", 150, Align::Centre},
                    {"收款类型", 80, Align::Left}, {"收款金额", 65, Align::Centre}};
  v.push_back(alipay);
  v.push_back(withFont(def(M, kWeChatTotalLabel, L, 0, "", "微信收款合计：元", {8, 532, 353, 33}), kLabelFace, 19));
  v.push_back(withFont(def(M, kAlipayTotalLabel, L, 0, "", "支付宝收款合计：元", {368, 532, 369, 33}), kLabelFace, 19));

  // Page 1, software management.
  v.push_back(wrapped(def(M, kNoticeLabel, L, 1, "", "公告", {7, 38, 230, 112})));
  v.push_back(def(M, "分组框3", G, 1, "", "语音设置", {249, 31, 472, 119}));
  v.push_back(def(M, "标签9", L, 1, "分组框3", "声音选择：", {16, 17, 56, 20}));
  ControlDef voice = def(M, kVoiceBox, Kind::Combo, 1, "分组框3", "", {70, 17, 80, 20});
  voice.items = {"普通女声", "普通男生", "度逍遥", "度丫丫"};
  voice.dropHeight = 160;
  v.push_back(voice);
  v.push_back(def(M, "标签10", L, 1, "分组框3", "收款完成结束语：", {16, 48, 96, 20}));
  ControlDef phrase = def(M, kClosingPhraseBox, E, 1, "分组框3", "感谢您的惠顾、欢迎再次光临！", {111, 48, 177, 49});
  phrase.multiline = true;
  v.push_back(phrase);
  v.push_back(def(M, kTestButton, B, 1, "分组框3", "试听", {15, 69, 96, 28}));
  v.push_back(def(M, kLoginPanel, G, 1, "", "登陆---未登录", {6, 156, 232, 112}));
  v.push_back(def(M, "标签1", L, 1, kLoginPanel, "帐号：", {24, 28, 32, 24}));
  v.push_back(numberInput(def(M, kLoginAccountBox, E, 1, kLoginPanel, "", {55, 28, 120, 24})));
  v.push_back(def(M, "标签2", L, 1, kLoginPanel, "密码：", {24, 51, 32, 24}));
  v.push_back(def(M, kLoginPasswordBox, E, 1, kLoginPanel, "", {55, 51, 120, 24}));
  v.push_back(def(M, kLoginButton, B, 1, kLoginPanel, "登录", {176, 27, 47, 47}));
  v.push_back(def(M, kRememberBox, C, 1, kLoginPanel, "记住密码", {106, 77, 70, 24}));
  v.push_back(linked(withFont(def(M, kRegisterLink, L, 1, kLoginPanel, "立即注册", {24, 80, 48, 16}), kLabelFace, 11)));
  v.push_back(wrapped(def(M, "标签7", L, 1, "", kLoginNote, {6, 275, 231, 86})));
  v.push_back(def(M, "分组框1", G, 1, "", "APP异常提醒设置", {5, 365, 155, 83}));
  v.push_back(def(M, "标签6", L, 1, "分组框1", "APP软件异常后", {41, 14, 80, 24}));
  v.push_back(def(M, "标签4", L, 1, "分组框1", "每：", {27, 38, 19, 24}));
  v.push_back(def(M, "编辑框_异常计时", E, 1, "分组框1", "30", {45, 38, 24, 24}));
  v.push_back(def(M, "标签5", L, 1, "分组框1", "秒提醒一次", {68, 38, 64, 24}));
  v.push_back(def(M, kAutostartBox, C, 1, "", "开机自启", {165, 429, 72, 24}));

  // Page 2, bill history: design content only, nothing reacts to it.
  ControlDef history = def(M, "超级列表框1", Kind::List, 2, "", "", {9, 32, 328, 504});
  history.columns = {{"序号", 50, Align::Left}, {"收款时间", 120, Align::Left},
                     {"收款类型", 75, Align::Left}, {"收款金额", 60, Align::Left}};
  history.rows = {{"9999", "2020-6-29 09:53:40", "支付宝收款", "9999.99"}};
  v.push_back(history);
  v.push_back(def(M, "分组框4", G, 2, "", "", {353, 32, 368, 120}));
  v.push_back(def(M, "编辑框_月报页", E, 2, "分组框4", "1", {17, 24, 45, 24}));
  v.push_back(def(M, "按钮_月报表", B, 2, "分组框4", "月报表", {65, 24, 48, 24}));
  v.push_back(def(M, "按钮_上一月", B, 2, "分组框4", "上一月", {16, 48, 48, 24}));
  v.push_back(def(M, "按钮_下一月", B, 2, "分组框4", "下一月", {65, 48, 48, 24}));
  v.push_back(def(M, "标签_报表页数_月", L, 2, "分组框4", "此次查询有几月报表", {16, 88, 120, 24}));
  v.push_back(def(M, "标签_支付宝笔数_月", L, 2, "分组框4", "支付宝X笔收入", {144, 24, 80, 24}));
  v.push_back(def(M, "标签_微信笔数_月", L, 2, "分组框4", "微信X笔收款", {144, 48, 80, 24}));
  v.push_back(def(M, "标签_月报笔数", L, 2, "分组框4", "月报X笔收款", {240, 24, 80, 24}));
  v.push_back(def(M, "标签_月总收入", L, 2, "分组框4", "月报总收入", {240, 48, 80, 24}));
  v.push_back(def(M, "分组框5", G, 2, "", "", {353, 168, 368, 120}));
  v.push_back(def(M, "编辑框_日报页", E, 2, "分组框5", "1", {17, 24, 45, 24}));
  v.push_back(def(M, "按钮_日报表", B, 2, "分组框5", "日报表", {65, 24, 48, 24}));
  v.push_back(def(M, "按钮_上一天", B, 2, "分组框5", "上一天", {16, 48, 48, 24}));
  v.push_back(def(M, "按钮_下一天", B, 2, "分组框5", "下一天", {65, 48, 48, 24}));
  v.push_back(def(M, "标签_报表页数_日", L, 2, "分组框5", "此次查询有几月报表", {16, 88, 120, 24}));
  v.push_back(def(M, "标签_支付宝笔数_日", L, 2, "分组框5", "支付宝X笔收入", {146, 24, 80, 24}));
  v.push_back(def(M, "标签_微信笔数_日", L, 2, "分组框5", "微信X笔收款", {146, 48, 80, 24}));
  v.push_back(def(M, "标签_日报笔数", L, 2, "分组框5", "月报X笔收款", {242, 24, 80, 24}));
  v.push_back(def(M, "标签_日总收入", L, 2, "分组框5", "月报总收入", {242, 48, 80, 24}));
  v.push_back(def(M, "分组框6", G, 2, "", "", {353, 288, 368, 248}));
  return v;
}

std::vector<ControlDef> registrationControls() {
  const Window R = Window::Registration;
  const Kind L = Kind::Label, E = Kind::Edit;
  return {
      def(R, "标签1", L, -1, "", "帐号：", {40, 40, 32, 24}),
      numberInput(def(R, kNewAccountBox, E, -1, "", "", {71, 40, 120, 24})),
      def(R, "标签2", L, -1, "", "密码：", {40, 63, 32, 24}),
      def(R, kNewPasswordBox, E, -1, "", "", {71, 63, 120, 24}),
      def(R, "标签3", L, -1, "", "重复密码：", {17, 86, 55, 24}),
      def(R, kConfirmPasswordBox, E, -1, "", "", {71, 86, 120, 24}),
      def(R, kRegisterButton, Kind::Button, -1, "", "注册", {88, 120, 80, 32}),
  };
}

}  // namespace

const WindowDef& windowDef(Window w) {
  static const WindowDef main{Window::Main, "Kassaro V1.0", {50, 50, 750, 600}};
  static const WindowDef registration{Window::Registration, "注册", {50, 50, 229, 200}};
  return w == Window::Main ? main : registration;
}

const std::vector<ControlDef>& controlDefs(Window w) {
  static const std::vector<ControlDef> main = mainControls();
  static const std::vector<ControlDef> registration = registrationControls();
  return w == Window::Main ? main : registration;
}

const ControlDef* findControlDef(Window w, const std::string& name) {
  for (const ControlDef& d : controlDefs(w))
    if (d.name == name) return &d;
  return nullptr;
}

int controlId(Window w, const std::string& name) {
  const auto& defs = controlDefs(w);
  for (size_t i = 0; i < defs.size(); ++i)
    if (defs[i].name == name) return kFirstControlId + static_cast<int>(i);
  return 0;
}

Rect pageRect(const ControlDef& d) {
  Rect r = d.rect;
  if (!d.group.empty()) {
    if (const ControlDef* g = findControlDef(d.window, d.group)) {
      r.x += g->rect.x;
      r.y += g->rect.y;
    }
  }
  return r;
}

}  // namespace ui
