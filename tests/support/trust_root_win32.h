// Makes a test certificate trusted inside the current Wine prefix, as a root of the current user's
// store: the local peers' self-signed certificates, which the system's TLS would otherwise refuse.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace testsupport {

// `der` is the certificate as DER; false with the reason when the store takes it not.
inline bool trustRoot(const std::string& der, std::string* why) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT");
  if (!store) {
    *why = "cannot open the ROOT store: " + std::to_string(GetLastError());
    return false;
  }
  const BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                   reinterpret_cast<const BYTE*>(der.data()),
                                                   static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                   nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!ok) *why = "cannot add the certificate: " + std::to_string(error);
  return ok != FALSE;
}

}  // namespace testsupport
