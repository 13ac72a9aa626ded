// Makes a test certificate trusted inside the current Wine prefix: adds it (DER) to the current user's
// ROOT store. Run once per prefix, before a test reaches the local speech peer's HTTPS token endpoint;
// under Wine the component cannot be told to ignore certificate errors.
//   kassaro_trust_cert PATH-TO-CERT.der      (a Unix path is read through drive Z:)
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "support/trust_root_win32.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kassaro_trust_cert CERT.der\n");
    return 2;
  }
  std::string path = argv[1];
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
    for (char& c : path)
      if (c == '/') c = '\\';
  }
  std::ifstream in(path, std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::string why;
  if (!testsupport::trustRoot(der, &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  std::printf("trusted %s\n", path.c_str());
  return 0;
}
