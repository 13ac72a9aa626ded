// The exchange itself, through the "WinHttp.WinHttpRequest.5.1" component called late-bound: every
// operation is looked up by name on its IDispatch and invoked with variants, so no type library or
// header of the component is needed. A call the component refuses is passed over; what it should have
// produced stays empty or zero.
#include <windows.h>
#include <oleauto.h>

#include <cmath>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "common/codepage_win32.h"
#include "web/http_request.h"

namespace web {

namespace {

// Option indexes of the component.
constexpr LONG kOptionCertificateErrorsToIgnore = 4;
constexpr LONG kOptionEnableRedirects = 6;
constexpr LONG kOptionSecureProtocols = 9;
constexpr LONG kProxySettingProxy = 2;  // use the named proxy server

// The component library on this thread, released only when this call's initialisation counted
// (S_OK, or S_FALSE when the thread had it already); RPC_E_CHANGED_MODE is not ours to release.
struct ComLibrary {
  HRESULT hr = CoInitialize(nullptr);
  ComLibrary() = default;
  ComLibrary(const ComLibrary&) = delete;
  ComLibrary& operator=(const ComLibrary&) = delete;
  ~ComLibrary() {
    if (hr == S_OK || hr == S_FALSE) CoUninitialize();
  }
};

struct Dispatch {
  IDispatch* p = nullptr;
  Dispatch() = default;
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;
  ~Dispatch() {
    if (p) p->Release();
  }
};

struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v); }
};

BSTR toBstr(std::string_view gbk) {
  const std::wstring wide = codepage::gbkToWide(gbk);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string fromBstr(BSTR b) { return codepage::wideToGbk(std::wstring_view(b, SysStringLen(b))); }

// Argument variants, in the order the operation takes them; they own what they hold.
class Args {
 public:
  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args() {
    for (VARIANT& v : items_) VariantClear(&v);
  }
  Args& text(std::string_view s) {
    VARIANT& v = add();
    v.vt = VT_BSTR;
    v.bstrVal = toBstr(s);
    return *this;
  }
  Args& number(LONG n) {
    VARIANT& v = add();
    v.vt = VT_I4;
    v.lVal = n;
    return *this;
  }
  Args& flag(bool b) {
    VARIANT& v = add();
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return *this;
  }
  Args& bytes(const text::Bytes& data) {
    VARIANT& v = add();
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(data.size()));
    if (!array) return *this;
    void* raw = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(array, &raw))) {
      memcpy(raw, data.data(), data.size());
      SafeArrayUnaccessData(array);
    }
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = array;
    return *this;
  }
  // Automation wants the arguments last to first.
  std::vector<VARIANT> reversed() const { return std::vector<VARIANT>(items_.rbegin(), items_.rend()); }

 private:
  VARIANT& add() {
    items_.emplace_back();
    VariantInit(&items_.back());
    return items_.back();
  }
  std::vector<VARIANT> items_;
};

HRESULT invoke(IDispatch* d, const wchar_t* name, WORD kind, const Args& args, VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> argv = args.reversed();
  DISPPARAMS params = {};
  params.rgvarg = argv.empty() ? nullptr : argv.data();
  params.cArgs = static_cast<UINT>(argv.size());
  DISPID putId = DISPID_PROPERTYPUT;
  if (kind == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &params, result, nullptr, nullptr);
}

HRESULT call(IDispatch* d, const wchar_t* name, const Args& args) {
  Variant ignored;
  return invoke(d, name, DISPATCH_METHOD, args, &ignored.v);
}

void setOption(IDispatch* d, LONG index, LONG value) {
  Args args;
  args.number(index).number(value);  // the value goes last: it is the named put argument
  invoke(d, L"Option", DISPATCH_PROPERTYPUT, args, nullptr);
}

// Reads a property (or calls an operation without arguments) into `out`; false when refused.
bool read(IDispatch* d, const wchar_t* name, Variant& out) {
  return SUCCEEDED(invoke(d, name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, Args(), &out.v));
}

text::Bytes bytesOf(const VARIANT& v) {
  if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray) return {};
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(v.parray, 1, &lower)) || FAILED(SafeArrayGetUBound(v.parray, 1, &upper)) ||
      upper < lower)
    return {};
  void* raw = nullptr;
  if (FAILED(SafeArrayAccessData(v.parray, &raw))) return {};
  text::Bytes out(static_cast<const char*>(raw), static_cast<size_t>(upper - lower + 1));
  SafeArrayUnaccessData(v.parray);
  return out;
}

bool createInstance(Dispatch& request) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(L"WinHttp.WinHttpRequest.5.1", &clsid))) return false;
  return SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                    reinterpret_cast<void**>(&request.p))) &&
         request.p;
}

// One exchange as the component's synchronous Send performs it, on the thread that calls it: the
// caller's options (its own copy), and what came back. `created` stays false when there was no component
// to ask, and the caller then leaves its own options as they were.
struct Exchange {
  RequestOptions options;
  text::Bytes body;
  bool created = false;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Exchange() = default;
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange() {
    if (done) CloseHandle(done);
  }
};

// `shared` is a reference of the caller's instance, taken for this exchange, or null for a new one.
void perform(Exchange& x, IDispatch* shared) {
  RequestOptions& options = x.options;
  ComLibrary library;
  Dispatch request;
  request.p = shared;
  if (!request.p && !createInstance(request)) return;
  x.created = true;
  IDispatch* d = request.p;
  const RequestPlan plan = planRequest(options);

  if (plan.timeoutMs != -1) {
    Args args;
    args.number(plan.timeoutMs).number(plan.timeoutMs).number(plan.timeoutMs).number(plan.timeoutMs);
    call(d, L"SetTimeouts", args);
  }
  if (!plan.proxy.empty()) {
    Args args;
    args.number(kProxySettingProxy).text(plan.proxy);
    call(d, L"SetProxy", args);
  }
  {
    Args args;
    args.text(plan.verb).text(options.url).flag(false);
    call(d, L"Open", args);
  }
  if (plan.disableRedirects) setOption(d, kOptionEnableRedirects, 0);
  if (plan.certificateErrorsToIgnore) setOption(d, kOptionCertificateErrorsToIgnore, plan.certificateErrorsToIgnore);
  // Windows 7's WinHTTP offers only TLS 1.0 unless asked; the token endpoint wants a newer one.
  setOption(d, kOptionSecureProtocols, kSecureProtocols);
  if (plan.setCredentials) {
    Args args;
    args.text(options.proxyUser).text(options.proxyPassword).number(options.credentialTarget);
    call(d, L"SetCredentials", args);
  }
  for (const HeaderCall& header : plan.headerCalls) {
    Args args;
    args.text(header.name).text(header.value);
    call(d, L"SetRequestHeader", args);
  }
  {
    Args args;
    if (plan.sendBytes)
      args.bytes(options.byteBody);
    else
      args.text(options.body);
    call(d, L"Send", args);
  }
  {
    Variant body;
    if (read(d, L"ResponseBody", body)) x.body = bytesOf(body.v);
  }
  {
    Variant headers;
    options.returnedHeaders.clear();
    if (read(d, L"GetAllResponseHeaders", headers) && headers.v.vt == VT_BSTR)
      options.returnedHeaders = fromBstr(headers.v.bstrVal);
  }
  {
    Variant status;
    options.statusCode = 0;
    if (read(d, L"Status", status) && SUCCEEDED(VariantChangeType(&status.v, &status.v, 0, VT_R8)))
      options.statusCode = static_cast<int>(std::lround(status.v.dblVal));
  }
  {
    Variant ignored;
    read(d, L"StatusText", ignored);
  }
}

// Waits for the exchange until the deadline (GetTickCount64; 0 for none), handling the thread's window
// messages meanwhile as the component does inside a synchronous Send; false when the deadline came first.
bool awaitExchange(HANDLE done, ULONGLONG deadline) {
  for (;;) {
    DWORD wait = INFINITE;
    if (deadline) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return WaitForSingleObject(done, 0) == WAIT_OBJECT_0;
      wait = static_cast<DWORD>(deadline - now);
    }
    const DWORD woke = MsgWaitForMultipleObjects(1, &done, FALSE, wait, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) return true;
    if (woke != WAIT_OBJECT_0 + 1 && woke != WAIT_TIMEOUT) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

}  // namespace

// The exchange runs synchronously on a thread of its own while the caller waits for it with the deadline:
// a service that never answers, or trickles its answer, holds the caller no longer than that. The
// per-phase timeouts do not give that, as their send and receive limits apply to each packet. An exchange
// past its deadline is left to end by itself on its thread, which owns everything it uses; aborting it
// instead would race the component's own worker.
text::Bytes sendRequest(RequestOptions& options) {
  const ULONGLONG started = GetTickCount64();
  auto x = std::make_shared<Exchange>();
  if (!x->done) return {};
  x->options = options;
  auto* shared = static_cast<IDispatch*>(options.sharedRequest);
  if (shared) shared->AddRef();  // the exchange's own reference, given back on its thread
  try {
    std::thread([x, shared] {
      perform(*x, shared);
      SetEvent(x->done);
    }).detach();
  } catch (const std::system_error&) {
    if (shared) shared->Release();
    return {};
  }
  const int timeoutMs = timeoutMilliseconds(options.timeoutSeconds);
  if (!awaitExchange(x->done, timeoutMs == -1 ? 0 : started + static_cast<ULONGLONG>(timeoutMs))) {
    // No answer in time: as an exchange that got none.
    options.returnedHeaders.clear();
    options.statusCode = 0;
    takeResponseCookies(options);
    return {};
  }
  if (!x->created) return {};
  options = std::move(x->options);
  takeResponseCookies(options);
  return std::move(x->body);
}

}  // namespace web
