// The libcurl functions the HTTP session calls, defined here and forwarded to libcurl,
// which is loaded on the first call. Linking libcurl directly loads it and the two dozen
// libraries it needs (TLS, Kerberos, LDAP, SSH, IDN, ...) and runs their initialisers at
// every start of the tool, about 20 ms of CPU time, although only hydrate-s3 talks HTTP.
// The session keeps calling the ordinary curl API; a curl function it starts to use
// fails to link until it is added below.
//
// When libcurl cannot be loaded, every function answers as libcurl does on failure
// (no handle, CURLE_FAILED_INIT), so the session reports that its client could not be
// created.

#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>

namespace {

void* curlHandle() {
  static void* const handle = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  return handle;
}

template <class Function>
Function curlFunction(const char* name) {
  void* handle = curlHandle();
  return handle == nullptr ? nullptr : reinterpret_cast<Function>(::dlsym(handle, name));
}

// Looked up once per function; a null pointer stands for the failed load.
#define TVR_CURL_FUNCTION(name) \
  static const auto real = curlFunction<decltype(&::name)>(#name)

}  // namespace

extern "C" {

CURLcode curl_global_init(long flags) {
  TVR_CURL_FUNCTION(curl_global_init);
  return real ? real(flags) : CURLE_FAILED_INIT;
}

CURL* curl_easy_init(void) {
  TVR_CURL_FUNCTION(curl_easy_init);
  return real ? real() : nullptr;
}

void curl_easy_cleanup(CURL* curl) {
  TVR_CURL_FUNCTION(curl_easy_cleanup);
  if (real) real(curl);
}

void curl_easy_reset(CURL* curl) {
  TVR_CURL_FUNCTION(curl_easy_reset);
  if (real) real(curl);
}

CURLcode curl_easy_perform(CURL* curl) {
  TVR_CURL_FUNCTION(curl_easy_perform);
  return real ? real(curl) : CURLE_FAILED_INIT;
}

const char* curl_easy_strerror(CURLcode code) {
  TVR_CURL_FUNCTION(curl_easy_strerror);
  return real ? real(code) : "libcurl could not be loaded";
}

// The last named parameters below are enums, which clang flags before va_start although
// their values (all within int) are unchanged by promotion; libcurl's own definitions
// read their arguments the same way, and the signatures must match curl.h.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif

// Every option takes one argument whose type follows from the option's number range.
CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...) {
  TVR_CURL_FUNCTION(curl_easy_setopt);
  if (!real) return CURLE_FAILED_INIT;
  std::va_list arguments;
  va_start(arguments, option);
  CURLcode code = CURLE_OK;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    code = real(curl, option, va_arg(arguments, long));
  } else if (option < CURLOPTTYPE_OFF_T && option >= CURLOPTTYPE_FUNCTIONPOINT) {
    code = real(curl, option, va_arg(arguments, void (*)()));
  } else if (option < CURLOPTTYPE_BLOB && option >= CURLOPTTYPE_OFF_T) {
    code = real(curl, option, va_arg(arguments, curl_off_t));
  } else {
    code = real(curl, option, va_arg(arguments, void*));
  }
  va_end(arguments);
  return code;
}

// Every piece of information is written through one pointer.
CURLcode curl_easy_getinfo(CURL* curl, CURLINFO info, ...) {
  TVR_CURL_FUNCTION(curl_easy_getinfo);
  if (!real) return CURLE_FAILED_INIT;
  std::va_list arguments;
  va_start(arguments, info);
  void* target = va_arg(arguments, void*);
  va_end(arguments);
  return real(curl, info, target);
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
  TVR_CURL_FUNCTION(curl_slist_append);
  return real ? real(list, text) : nullptr;
}

void curl_slist_free_all(curl_slist* list) {
  TVR_CURL_FUNCTION(curl_slist_free_all);
  if (real) real(list);
}

}  // extern "C"
