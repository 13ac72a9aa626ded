// The page's forms: signing in and out, a new intake key, a new password, a notification counted by hand.
#include <charconv>

#include "accounts/secrets.h"
#include "common/log.h"
#include "common/text.h"
#include "counter/protocol.h"
#include "page/answers.h"
#include "page/html.h"
#include "page/page.h"
#include "page/unrecognised.h"

namespace hub::page {

void Page::signIn(const net::HttpRequest& request, net::Reply reply) {
  // No session yet, so no token to check: where the form came from is what tells a forged sign-in.
  if (!fromHere(request)) return reply(refused(kFromElsewhere));
  const std::string name = field(request, "account"), password = field(request, "password");
  if (name.empty() || password.empty()) return reply(html(401, signInPage(name, "请输入帐号和密码。")));
  logins_.check(name, password, request.address, "", [=, this](const accounts::Login& login) {
    using Result = accounts::Login::Result;
    if (login.result == Result::unavailable) return reply(unavailable());
    if (login.result == Result::busy) return reply(busy());
    const net::HttpResponse wrong =
        html(401, signInPage(name, login.result == Result::throttled ? kThrottled : kWrongPassword));
    if (login.result != Result::ok) {
      log::info("page sign-in failed", {{"account", text::clipUtf8(name, accounts::kMaxNameBytes)},
                                         {"address", request.address},
                                         {"reason", login.reason}});
      return reply(wrong);
    }
    log::info("page sign-in", {{"account", name}, {"address", request.address}});
    // A password changed or an account disabled while this one was checked makes no session.
    startSession(login.account, request, reply, "/", wrong);
  });
}

void Page::signOut(const net::HttpRequest& request, net::Reply reply) {
  signedIn(
      request, std::move(reply),
      [digest = accounts::digest(cookie(request, kCookie))](store::Store& st, Visit&) { st.endPageSession(digest); },
      [secure = overTls(request)](Visit&, const net::Reply& reply) {
        reply(redirect("/", sessionCookie("", 0, secure)));
      });
}

void Page::newKey(const net::HttpRequest& request, net::Reply reply) {
  signedIn(
      request, std::move(reply),
      [](store::Store& st, Visit& v) {
        v.account.intakeKey = accounts::newIntakeKey();
        st.setIntakeKey(v.account.id, v.account.intakeKey);
      },
      [address = request.address](Visit& v, const net::Reply& reply) {
        log::info("page new key", {{"account", v.account.name}, {"address", address}});
        reply(redirect("/phone?done=key"));
      });
}

void Page::newPassword(const net::HttpRequest& request, net::Reply reply) {
  const std::string old = field(request, "old"), fresh = field(request, "new"), again = field(request, "again");
  signedIn(request, std::move(reply), {}, [=, this](Visit& v, const net::Reply& reply) {
    if (fresh != again) return answerPhone(v, request, reply, 400, "", "两次输入的新密码不一样。");
    if (!counter::protocol::validCredential(fresh))
      return answerPhone(v, request, reply, 400, "", "新密码要 6 到 64 个字节，不能有控制字符。");
    // The old password is checked as a sign-in is, failed-login windows included: a session left open
    // on a shop's PC must not let anyone try passwords faster than the sign-in does.
    logins_.check(v.account.name, old, request.address, "", [=, this, v = v](const accounts::Login& login) {
      using Result = accounts::Login::Result;
      if (login.result == Result::unavailable) return reply(unavailable());
      if (login.result == Result::busy) return reply(busy());
      if (login.result != Result::ok)
        return answerPhone(v, request, reply, 400, "", login.result == Result::throttled ? kThrottled : "原密码不对。");
      hashing_.run([=, this, post = toLoop_] {
        const std::string hash = accounts::hashPassword(fresh);
        post([=, this] {
          log::info("page new password", {{"account", v.account.name}, {"address", request.address}});
          // The new hash ends every session of the account, this one too, in the transaction that starts
          // this browser's next one; the revision it moves logs the account's counters out.
          startSession(login.account, request, reply, "/phone?done=password", refused(kSignInAgain),
                       [id = v.account.id, hash](store::Store& st) { st.setPasswordHash(id, hash); });
        });
      });
    });
  });
}

// A notification no rule counted, counted by the merchant as a payment of the channel and amount the
// merchant confirmed: a bill like any other, pushed to the counters, marked as counted by hand. Its source
// id is the notification's, so a second click (or a second browser) adds nothing.
void Page::countByHand(const net::HttpRequest& request, net::Reply reply) {
  std::int64_t id = 0;
  const std::string idText = field(request, "id");
  std::from_chars(idText.data(), idText.data() + idText.size(), id);
  const auto channel = channelNamed(field(request, "channel"));
  const auto fen = money::parse(field(request, "amount"));
  if (id <= 0 || !channel || !fen)
    return reply(html(400, messagePage("不能计入", "请选择渠道，并填写金额（元，最多两位小数）。")));
  auto bill = std::make_shared<store::Bill>();
  auto fresh = std::make_shared<bool>(false);
  signedIn(
      request, std::move(reply),
      [id, channel = *channel, fen = *fen, bill, fresh](store::Store& st, Visit& v) {
        const auto n = st.unrecognisedById(v.account.id, id);
        if (!n) {
          v.error = "这条通知已不在（只保留 7 天）。";
          return;
        }
        store::NewBill b{.accountId = v.account.id,
                         .channel = channel,
                         .fen = fen,
                         .time = n->receivedAt,
                         .receivedAt = clock::now(),
                         .sourceId = "hand:" + std::to_string(id),
                         .dedupeKey = {},
                         .text = n->title.empty() || n->text.empty() ? n->title + n->text : n->title + " | " + n->text,
                         .byHand = true};
        const store::Stored stored = st.addBill(b, 0);
        *fresh = !stored.duplicate;
        if (*fresh) st.setUnrecognisedBill(id, stored.number);
        *bill = {stored.number, b.accountId, b.channel, b.fen, b.time, b.receivedAt, b.sourceId, b.text, true};
      },
      [this, bill, fresh, address = request.address](Visit& v, const net::Reply& reply) {
        if (!v.error.empty()) return reply(html(404, messagePage("不能计入", v.error)));
        if (*fresh) {
          log::info("page counted by hand", {{"account", v.account.name}, {"address", address},
                                             {"bill", std::to_string(bill->number)},
                                             {"amount", money::format(bill->fen)}});
          billAdded_(*bill);
        }
        reply(redirect("/"));
      });
}

}  // namespace hub::page
