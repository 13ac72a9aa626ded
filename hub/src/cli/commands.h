#pragma once
// The operator's commands, one function each, over what the command line read. Each returns the exit
// code; a wrong argument throws Refused (its status the exit code), something outside that failed a
// Failure (exit code 1).
#include <string>

#include "common/config.h"

namespace hub::cli {

// Every argument any command takes; each command reads its own.
struct Arguments {
  std::string name;  // an account's
  bool newKey = false;
  std::string text;  // the notice, or the notification's text
  std::string onOff;
  std::string version, download;
  std::string day;
  std::string rulesFile, package, title;
};

using Command = int (*)(const Config&, const Arguments&);

int serveCommand(const Config& c, const Arguments&);
int addAccount(const Config& c, const Arguments& a);
int listAccounts(const Config& c, const Arguments&);
int changePassword(const Config& c, const Arguments& a);
int disableAccount(const Config& c, const Arguments& a);
int enableAccount(const Config& c, const Arguments& a);
int printAccountKey(const Config& c, const Arguments& a);
int setNotice(const Config& c, const Arguments& a);
int clearNotice(const Config& c, const Arguments&);
int setMaintenance(const Config& c, const Arguments& a);
int setClientVersion(const Config& c, const Arguments& a);
int printBills(const Config& c, const Arguments& a);
int printNotifications(const Config& c, const Arguments& a);
int checkRules(const Config& c, const Arguments& a);
int tryRules(const Config& c, const Arguments& a);

}  // namespace hub::cli
