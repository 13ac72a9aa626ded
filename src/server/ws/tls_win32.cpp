// TLS on Windows: the system's own Schannel through SSPI, so the link uses the system's roots and its
// updates and brings no library of its own. Schannel is told to leave the certificate to us: we check
// the chain against the system's roots and the host name ourselves, the same way on every version.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // the newer credentials structure
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "server/ws/tls.h"

namespace ws::tls {
namespace {

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

std::string describe(const char* what, long status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  return std::string(what) + " (" + code + ")";
}

// Credentials for TLS 1.2 and 1.3. The newer structure where the system knows it (Windows 10 and later;
// 11 speaks 1.3 only through it), else the older one with both versions, else TLS 1.2 alone: Windows 7
// SP1 and 8 offer 1.2 only when asked and refuse a version they do not know.
bool acquireCredentials(CredHandle& credentials, std::string* reason) {
  const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;
  SCH_CREDENTIALS current{};
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = flags;
  current.cTlsParameters = 1;
  current.pTlsParameters = &parameters;
  SCHANNEL_CRED both{};
  both.dwVersion = SCHANNEL_CRED_VERSION;
  both.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  both.dwFlags = flags;
  SCHANNEL_CRED tls12 = both;
  tls12.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;

  SECURITY_STATUS status = SEC_E_UNSUPPORTED_FUNCTION;
  for (void* data : {static_cast<void*>(&current), static_cast<void*>(&both), static_cast<void*>(&tls12)}) {
    TimeStamp expiry;
    status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                       data, nullptr, nullptr, &credentials, &expiry);
    if (status == SEC_E_OK) return true;
  }
  *reason = describe("the system offers no TLS 1.2", status);
  return false;
}

std::string chainError(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
      return "the server's certificate does not chain to a trusted root";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "the server's certificate is for another name";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "the server's certificate has expired or is not valid yet";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return "the server's certificate is not for servers";
    default:
      return describe("the server's certificate does not check out", long(error));
  }
}

class SchannelSession final : public Session {
 public:
  explicit SchannelSession(const std::string& host) : host_(host.begin(), host.end()) {}

  ~SchannelSession() override {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
  }

  bool start(std::string* reason) { return haveCredentials_ = acquireCredentials(credentials_, reason); }

  Step handshake(std::string& in, std::string& out, std::string* reason) override {
    for (;;) {
      const SECURITY_STATUS status = step(haveContext_ ? &in : nullptr, out);
      switch (status) {
        case SEC_E_OK:
          renegotiating_ = false;
          return checkServer(reason) ? Step::kDone : Step::kFailed;
        case SEC_E_INCOMPLETE_MESSAGE:
          return Step::kMore;
        case SEC_I_CONTINUE_NEEDED:
          if (in.empty()) return Step::kMore;
          break;  // the rest of what came is the next handshake message
        case SEC_I_INCOMPLETE_CREDENTIALS:
          *reason = "the server asks for a client certificate";
          return Step::kFailed;
        default:
          *reason = describe("the TLS handshake failed", status);
          return Step::kFailed;
      }
    }
  }

  bool encrypt(std::string_view plain, std::string& out) override {
    while (!plain.empty()) {
      const size_t size = std::min<size_t>(plain.size(), sizes_.cbMaximumMessage);
      std::string record(sizes_.cbHeader + size + sizes_.cbTrailer, '\0');
      std::memcpy(record.data() + sizes_.cbHeader, plain.data(), size);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {ULONG(size), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + size},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      if (EncryptMessage(&context_, 0, &description, 0) != SEC_E_OK) return false;
      // The parts may come back shorter than the room kept for them (a trailer's padding).
      for (int i = 0; i < 3; ++i) out.append(static_cast<const char*>(buffers[i].pvBuffer), buffers[i].cbBuffer);
      plain.remove_prefix(size);
    }
    return true;
  }

  Read decrypt(std::string& in, std::string& plain, std::string& out) override {
    for (;;) {
      if (renegotiating_) {
        std::string why;
        const Step step = handshake(in, out, &why);
        if (step == Step::kFailed) return Read::kFailed;
        if (step == Step::kMore) return Read::kOpen;
      }
      if (in.empty()) return Read::kOpen;
      SecBuffer buffers[4] = {{ULONG(in.size()), SECBUFFER_DATA, in.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Read::kOpen;
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) return Read::kFailed;
      // Decrypted in place: take the data before the buffer is cut down to what follows it.
      size_t extra = 0;
      for (int i = 1; i < 4; ++i) {
        if (buffers[i].BufferType == SECBUFFER_DATA)
          plain.append(static_cast<const char*>(buffers[i].pvBuffer), buffers[i].cbBuffer);
        else if (buffers[i].BufferType == SECBUFFER_EXTRA)
          extra = buffers[i].cbBuffer;
      }
      in.erase(0, in.size() - std::min(extra, in.size()));
      if (status == SEC_I_CONTEXT_EXPIRED) return Read::kClosed;
      // The server starts a new handshake (TLS 1.2) or sends one of its after-handshake messages
      // (TLS 1.3): what follows goes to the handshake until it is through.
      if (status == SEC_I_RENEGOTIATE) renegotiating_ = true;
    }
  }

  std::string closeNotify() override {
    std::string out;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    if (!haveContext_ || ApplyControlToken(&context_, &description) != SEC_E_OK) return out;
    step(nullptr, out);
    return out;
  }

 private:
  // One round of the handshake over what `in` holds (nothing on the first round and for the close);
  // appends what must go to the server to `out` and leaves in `in` what the round did not use.
  SECURITY_STATUS step(std::string* in, std::string& out) {
    SecBuffer input[2] = {{in ? ULONG(in->size()) : 0, SECBUFFER_TOKEN, in ? in->data() : nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDescription{SECBUFFER_VERSION, 2, input};
    SecBuffer output[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outputDescription{SECBUFFER_VERSION, 2, output};
    ULONG attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &credentials_, haveContext_ ? &context_ : nullptr, host_.data(), kContextRequest, 0, 0,
        in ? &inputDescription : nullptr, 0, &context_, &outputDescription, &attributes, nullptr);
    if (!haveContext_ && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext_ = true;
    for (SecBuffer& buffer : output) {
      if (!buffer.pvBuffer) continue;
      if (buffer.BufferType == SECBUFFER_TOKEN || buffer.BufferType == SECBUFFER_ALERT)
        out.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
      FreeContextBuffer(buffer.pvBuffer);
    }
    if (in && status != SEC_E_INCOMPLETE_MESSAGE) {
      const size_t extra = input[1].BufferType == SECBUFFER_EXTRA ? std::min<size_t>(input[1].cbBuffer, in->size()) : 0;
      in->erase(0, in->size() - extra);
    }
    return status;
  }

  // The server's certificate against the system's roots, for our host name, as a browser checks it;
  // revocation is not asked, as a counter may be where the lists cannot be fetched.
  bool checkServer(std::string* reason) {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        !certificate) {
      *reason = "the server sent no certificate";
      return false;
    }
    LPSTR serverUse[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainParameters{};
    chainParameters.cbSize = sizeof chainParameters;
    chainParameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainParameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainParameters.RequestedUsage.Usage.rgpszUsageIdentifier = serverUse;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool good = false;
    if (CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainParameters, 0, nullptr,
                                &chain)) {
      HTTPSPolicyCallbackData server{};
      server.cbStruct = sizeof server;
      server.dwAuthType = AUTHTYPE_SERVER;
      server.pwszServerName = host_.data();
      CERT_CHAIN_POLICY_PARA policy{};
      policy.cbSize = sizeof policy;
      policy.pvExtraPolicyPara = &server;
      CERT_CHAIN_POLICY_STATUS result{};
      result.cbSize = sizeof result;
      if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result))
        *reason = describe("the server's certificate could not be checked", long(GetLastError()));
      else if (result.dwError != 0)
        *reason = chainError(result.dwError);
      else
        good = true;
      CertFreeCertificateChain(chain);
    } else {
      *reason = describe("the server's certificate could not be checked", long(GetLastError()));
    }
    CertFreeCertificateContext(certificate);
    if (!good) return false;
    // Not every Schannel honours the versions we disabled (Wine's takes TLS 1.0 still): look at the one
    // the session speaks.
    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK ||
        !(connection.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT))) {
      *reason = describe("the server speaks a TLS older than 1.2", long(connection.dwProtocol));
      return false;
    }
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
      *reason = "the TLS session gives no record sizes";
      return false;
    }
    return true;
  }

  std::wstring host_;  // a host name is ASCII
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool haveCredentials_ = false;
  bool haveContext_ = false;
  bool renegotiating_ = false;
  SecPkgContext_StreamSizes sizes_{};
};

}  // namespace

std::unique_ptr<Session> Session::create(const std::string& host, std::string* reason) {
  auto session = std::make_unique<SchannelSession>(host);
  if (!session->start(reason)) return nullptr;
  return session;
}

}  // namespace ws::tls
