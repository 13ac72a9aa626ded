#include "counter/protocol.h"

namespace hub::counter::protocol {

std::vector<std::string_view> split(std::string_view text) {
  std::vector<std::string_view> pieces;
  // UTF-8 never holds the separator's bytes inside another character, so a plain byte search is safe.
  size_t start = 0;
  for (size_t at; (at = text.find(kSeparator, start)) != std::string_view::npos; start = at + kSeparator.size())
    pieces.push_back(text.substr(start, at - start));
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

Request read(std::string_view text) {
  const auto pieces = split(text);
  Request r;
  r.pieces = pieces.size();
  if (pieces.size() < 3) return r;
  auto piece = [&](size_t i) { return i < pieces.size() ? pieces[i] : std::string_view{}; };
  r.account = pieces[1];
  r.password = pieces[2];
  r.machineId = piece(3);
  if (pieces[0] == kLogin)
    r.kind = Request::Kind::login;
  else if (pieces[0] == kBills)
    r.kind = Request::Kind::bills;
  else if (pieces[0] == kRegister)
    r.kind = Request::Kind::registration;
  return r;
}

bool validCredential(std::string_view text) {
  if (text.size() < 6 || text.size() > 64) return false;
  if (text.find(kSeparator) != std::string_view::npos) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

bool validMachineId(std::string_view text) {
  return text.size() == 32 && text.find_first_not_of("0123456789ABCDEFabcdef") == std::string_view::npos;
}

namespace {

std::string join(std::initializer_list<std::string_view> fields) {
  std::string out;
  for (const std::string_view* f = fields.begin(); f != fields.end(); ++f) {
    if (f != fields.begin()) out += kSeparator;
    out += *f;
  }
  return out;
}

}  // namespace

std::string answer(std::string_view kind, std::string_view text) { return join({kind, text}); }

std::string serverInfo(const store::ServerInfo& info) {
  return join({kServerInfo, info.maintenance ? "0" : "1", info.notice, info.clientVersion, info.downloadUrl, ""});
}

std::string payment(Channel channel, money::Fen fen) {
  return join({kPayment, counterWord(channel), money::format(fen)});
}

std::string billHistory(const std::vector<store::Bill>& bills, const clock::Zone& zone) {
  std::string out = std::string(kBillHistory) + std::string(kBillMarker);
  bool first = true;
  for (const auto& bill : bills) {
    if (!first) out += "\r\n";
    first = false;
    out += join({std::to_string(bill.number), clock::counterTime(zone, bill.time), counterWord(bill.channel),
                 money::format(bill.fen)});
  }
  return out;
}

}  // namespace hub::counter::protocol
