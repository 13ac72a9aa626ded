#pragma once
// How a phone request is read: its fields, who sent it and what it reports, in our own format or in the
// formats of the forwarder apps merchants already run (SmsForwarder, the vmq payment monitors,
// receiptnotice). Each reader turns one app's request into the same Reading, which the intake checks,
// stores and answers on the one road every phone request takes.
#include <boost/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/channel.h"
#include "common/clock.h"
#include "common/failure.h"
#include "common/money.h"
#include "net/edge.h"

namespace hub::phone {

// A request's named fields: a JSON object's, or a form's (and a query's) name=value pairs.
struct Fields {
  boost::json::object json;
  std::string form;
};
Fields jsonFields(std::string_view body);  // refused unless the body is a JSON object
Fields formFields(std::string_view form);
// A field as text: absent or null is empty, a JSON number its digits; anything else, or a text longer
// than the limit, is refused.
std::string field(const Fields& fields, std::string_view name, size_t limit = 4096);

// The intake key a request carries: "Authorization: Bearer KEY" or "?key=KEY".
std::string keyOf(const net::HttpRequest& request);

// Who sent a request: the intake key it carries, or (the payment monitors, which carry none) the account
// its address names, with a check that the request was signed with that account's key.
struct Caller {
  std::string key;
  std::string account;
  std::function<bool(std::string_view key)> signedWith;
};

struct Notice {
  std::string package, title, text;  // as the phone showed it, for the recogniser
};
struct Paid {
  Channel channel = Channel::wechat;
  money::Fen fen = 0;
};

// What a request reports. Neither a notice nor a payment: the phone is alive, nothing more.
struct Report {
  std::optional<Notice> notice;  // a notification for the recogniser to tell
  std::optional<Paid> paid;      // a payment the app has recognised itself
  std::string ignored;           // why an app's message is no payment (receiptnotice's other kinds)
  std::string sourceId;          // the app's own mark for it: the same mark again is the same payment
  std::string time;              // when it was paid, as the phone writes it; empty: the hub's clock
  std::string words;             // the notification's words, kept with a payment the app recognised
  // The notification an app recognised a payment in, as it showed it: when the recogniser finds the same
  // payment there, a post of that notification by another app of the phone is the same bill.
  std::optional<Notice> shown;
  bool notification = false;     // the answer says whether it was a payment
};

struct Reading {
  Caller caller;
  Report report;
};

// The forwarders' intakes. Each checks the app's sign and clock (refused with 401) and reads its fields.
Reading smsForwarder(const net::HttpRequest& request, clock::Millis now);
Reading receiptNotice(const net::HttpRequest& request, clock::Millis now);
Reading vmqHeart(const net::HttpRequest& request, clock::Millis now);
Reading vmqPush(const net::HttpRequest& request, clock::Millis now);
// The payment monitors' own answer form, {"code":1,"msg":"成功"} or {"code":-1,"msg":why}, written over
// the intake's answer.
net::HttpResponse vmqAnswer(net::HttpResponse ours);

}  // namespace hub::phone
