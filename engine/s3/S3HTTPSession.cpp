#include "engine/s3/S3HTTPSession.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr {

namespace {

// Enough for every worker of a parallel hydration to keep its connection between requests.
constexpr long kIdleHandleLimit = 32;

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Everything the callbacks of one exchange touch.
struct Transfer {
  CURL* curl = nullptr;
  const S3HTTPSession::Exchange* exchange = nullptr;
  const CancellationToken* cancel = nullptr;
  S3HTTPSession::Response response;
  int uploadFd = -1;
  std::string uploadPath;
  std::uint64_t uploadStart = 0;      // where the body begins in the file
  std::uint64_t uploadLength = 0;     // bytes of the body
  std::uint64_t uploadRemaining = 0;  // bytes of the body not read yet
  std::exception_ptr failure;
};

std::string lowercased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string trimmedHeaderText(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return {};
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

size_t onHeader(char* data, size_t size, size_t count, void* userData) {
  auto* transfer = static_cast<Transfer*>(userData);
  size_t length = size * count;
  try {
    std::string line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
      // A new status line (after a 100 Continue, say): only the final answer's fields count.
      transfer->response.headers.clear();
      return length;
    }
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      transfer->response.headers[lowercased(trimmedHeaderText(line.substr(0, colon)))] =
          trimmedHeaderText(line.substr(colon + 1));
    }
    return length;
  } catch (...) {
    transfer->failure = std::current_exception();
    return 0;  // anything but `length` aborts the transfer
  }
}

size_t onBody(char* data, size_t size, size_t count, void* userData) {
  auto* transfer = static_cast<Transfer*>(userData);
  size_t length = size * count;
  try {
    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status == 200 && transfer->exchange->onSuccessBody) {
      transfer->exchange->onSuccessBody(data, length);
    } else {
      Bytes& body = transfer->response.body;
      size_t room = S3HTTPSession::kMaximumRetainedBody - std::min(body.size(), S3HTTPSession::kMaximumRetainedBody);
      size_t keep = std::min(room, length);
      body.insert(body.end(), reinterpret_cast<std::uint8_t*>(data), reinterpret_cast<std::uint8_t*>(data) + keep);
    }
    return length;
  } catch (...) {
    transfer->failure = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
}

size_t onUploadRead(char* buffer, size_t size, size_t count, void* userData) {
  auto* transfer = static_cast<Transfer*>(userData);
  const size_t want = static_cast<size_t>(std::min<std::uint64_t>(size * count, transfer->uploadRemaining));
  if (want == 0) return 0;
  for (;;) {
    ssize_t n = ::read(transfer->uploadFd, buffer, want);
    if (n >= 0) {
      transfer->uploadRemaining -= static_cast<std::uint64_t>(n);
      return static_cast<size_t>(n);
    }
    if (errno == EINTR) continue;
    try {
      transfer->failure = std::make_exception_ptr(PosixError("read", errno, transfer->uploadPath));
    } catch (...) {
      transfer->failure = std::current_exception();
    }
    return CURL_READFUNC_ABORT;
  }
}

// curl rewinds a body to send it again (a redirect or an authentication round), always
// with SEEK_SET relative to the body's start.
int onUploadSeek(void* userData, curl_off_t offset, int origin) {
  auto* transfer = static_cast<Transfer*>(userData);
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  const std::uint64_t total = transfer->uploadLength;
  if (static_cast<std::uint64_t>(offset) > total) return CURL_SEEKFUNC_FAIL;
  if (::lseek(transfer->uploadFd, static_cast<off_t>(transfer->uploadStart + offset), SEEK_SET) < 0) {
    return CURL_SEEKFUNC_FAIL;
  }
  transfer->uploadRemaining = total - static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// Called at least once a second while a transfer runs, also when no bytes move.
int onProgress(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(userData);
  return transfer->cancel->isCancelled() ? 1 : 0;
}

Error transportError(const S3SignedRequest& request, CURLcode code, const char* detail) {
  std::string reason = (detail && *detail) ? detail : curl_easy_strerror(code);
  return Error(S3HTTPSession::kTransportErrorDomain, static_cast<long>(code),
               "The S3 " + request.method + " request to " + request.url + " could not be completed: " + reason +
                   " (curl error " + std::to_string(static_cast<int>(code)) + ").");
}

template <typename Value>
void setOption(CURL* curl, CURLoption option, Value value) {
  CURLcode code = curl_easy_setopt(curl, option, value);
  if (code != CURLE_OK) {
    throw platformError(S3HTTPSession::kTransportErrorDomain,
                        std::string("The HTTP client could not be configured: ") + curl_easy_strerror(code) + ".");
  }
}

}  // namespace

const std::string* S3HTTPSession::Response::header(const std::string& lowercaseName) const {
  auto it = headers.find(lowercaseName);
  return it == headers.end() ? nullptr : &it->second;
}

S3HTTPSession::S3HTTPSession() { initialiseCurlOnce(); }

S3HTTPSession::~S3HTTPSession() {
  for (void* handle : idleHandles_) curl_easy_cleanup(static_cast<CURL*>(handle));
}

std::shared_ptr<S3HTTPSession> S3HTTPSession::shared() {
  static std::shared_ptr<S3HTTPSession> session = std::make_shared<S3HTTPSession>();
  return session;
}

void* S3HTTPSession::takeHandle() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idleHandles_.empty()) {
      void* handle = idleHandles_.back();
      idleHandles_.pop_back();
      return handle;
    }
  }
  CURL* curl = curl_easy_init();
  if (!curl) throw platformError(kTransportErrorDomain, "The HTTP client could not be created.");
  return curl;
}

void S3HTTPSession::returnHandle(void* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<long>(idleHandles_.size()) < kIdleHandleLimit) {
    idleHandles_.push_back(handle);
  } else {
    curl_easy_cleanup(static_cast<CURL*>(handle));
  }
}

S3HTTPSession::Response S3HTTPSession::send(const S3SignedRequest& request, const Exchange& exchange,
                                            const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  Transfer transfer;
  transfer.exchange = &exchange;
  transfer.cancel = &cancel;

  OpenFile upload;
  curl_off_t uploadSize = 0;
  if (exchange.uploadFrom) {
    transfer.uploadPath = exchange.uploadFrom->string();
    upload = OpenFile(::open(exchange.uploadFrom->c_str(), O_RDONLY | O_CLOEXEC));
    if (upload.get() < 0) {
      throw S3RetryPolicy::FinalFailure{std::make_exception_ptr(PosixError("open", errno, transfer.uploadPath))};
    }
    struct stat st;
    if (::fstat(upload.get(), &st) != 0) {
      throw S3RetryPolicy::FinalFailure{std::make_exception_ptr(PosixError("fstat", errno, transfer.uploadPath))};
    }
    std::uint64_t start = 0, length = static_cast<std::uint64_t>(st.st_size);
    if (exchange.uploadRange) {
      start = exchange.uploadRange->offset;
      length = exchange.uploadRange->length;
      if (start > static_cast<std::uint64_t>(st.st_size) || length > static_cast<std::uint64_t>(st.st_size) - start) {
        throw S3RetryPolicy::FinalFailure{std::make_exception_ptr(
            EngineError::ioError("The part to upload lies beyond the end of " + transfer.uploadPath + "."))};
      }
      if (::lseek(upload.get(), static_cast<off_t>(start), SEEK_SET) < 0) {
        throw S3RetryPolicy::FinalFailure{std::make_exception_ptr(PosixError("lseek", errno, transfer.uploadPath))};
      }
    }
    uploadSize = static_cast<curl_off_t>(length);
    transfer.uploadFd = upload.get();
    transfer.uploadStart = start;
    transfer.uploadLength = length;
    transfer.uploadRemaining = length;
  }

  // The handle goes back to the pool only after a clean reset; a throw in between drops it.
  std::unique_ptr<CURL, void (*)(CURL*)> owned(static_cast<CURL*>(takeHandle()), [](CURL* c) { curl_easy_cleanup(c); });
  CURL* curl = owned.get();
  transfer.curl = curl;
  curl_easy_reset(curl);

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  auto appendHeader = [&headers](const std::string& line) {
    curl_slist* list = curl_slist_append(headers.get(), line.c_str());
    if (!list) throw platformError(kTransportErrorDomain, "The HTTP client ran out of memory.");
    headers.release();
    headers.reset(list);
  };
  for (const auto& [name, value] : request.headers) {
    appendHeader(value.empty() ? name + ";" : name + ": " + value);
  }
  // Only the signed fields and the transport's own: no default Accept, no 100-continue wait,
  // and no form content type for a POST.
  appendHeader("Accept:");
  appendHeader("Expect:");
  if (request.method == "POST") appendHeader("Content-Type:");

  char errorBuffer[CURL_ERROR_SIZE] = {0};
  setOption(curl, CURLOPT_URL, request.url.c_str());
  setOption(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  setOption(curl, CURLOPT_FOLLOWLOCATION, 0L);
  // The path leaves exactly as signed: "a/./b" is a valid object key, not a dot segment.
  setOption(curl, CURLOPT_PATH_AS_IS, 1L);
  setOption(curl, CURLOPT_NOSIGNAL, 1L);
  setOption(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  setOption(curl, CURLOPT_HTTPHEADER, headers.get());
  // The request timeout is an idle limit: a large object may take longer than a minute to
  // move, but no byte for a whole minute is a dead exchange.
  setOption(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.timeoutSeconds));
  setOption(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  setOption(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.timeoutSeconds));
  setOption(curl, CURLOPT_HEADERFUNCTION, onHeader);
  setOption(curl, CURLOPT_HEADERDATA, &transfer);
  setOption(curl, CURLOPT_WRITEFUNCTION, onBody);
  setOption(curl, CURLOPT_WRITEDATA, &transfer);
  setOption(curl, CURLOPT_NOPROGRESS, 0L);
  setOption(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  setOption(curl, CURLOPT_XFERINFODATA, &transfer);

  if (request.method == "HEAD") {
    setOption(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == "GET") {
    setOption(curl, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "PUT" && exchange.uploadFrom) {
    setOption(curl, CURLOPT_UPLOAD, 1L);
    setOption(curl, CURLOPT_READFUNCTION, onUploadRead);
    setOption(curl, CURLOPT_READDATA, &transfer);
    setOption(curl, CURLOPT_SEEKFUNCTION, onUploadSeek);
    setOption(curl, CURLOPT_SEEKDATA, &transfer);
    setOption(curl, CURLOPT_INFILESIZE_LARGE, uploadSize);
  } else if (request.method == "POST") {
    setOption(curl, CURLOPT_POST, 1L);
    const std::string& body = exchange.body ? *exchange.body : std::string();
    setOption(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    setOption(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
  } else {
    setOption(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_reset(curl);
  returnHandle(owned.release());

  if (transfer.failure) {
    try {
      std::rethrow_exception(transfer.failure);
    } catch (const CancellationError&) {
      throw;
    } catch (...) {
      throw S3RetryPolicy::FinalFailure{std::current_exception()};
    }
  }
  if (cancel.isCancelled()) throw CancellationError();
  if (code != CURLE_OK) throw transportError(request, code, errorBuffer);
  transfer.response.statusCode = status;
  return std::move(transfer.response);
}

}  // namespace tvr
