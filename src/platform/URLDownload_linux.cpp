// URL downloads through libcurl: one helper thread per transfer, events
// handed to the main queue and delivered there in order. libcurl is loaded
// when the first download is made, not linked: the program starts where it
// is missing, and a download then fails as any failed download does.
#include <curl/curl.h>
#include <fcntl.h>
#include <sha2.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/CallbackGuard.h"
#include "platform/DynamicLibrary.h"
#include "platform/FileDescriptor.h"
#include "platform/Format.h"
#include "platform/MainQueue.h"
#include "platform/URLDownload.h"

namespace platform {

bool URLDownloadDelegate::download(URLDownload&, const std::string&) { return false; }
void URLDownloadDelegate::download(URLDownload&, const URLResponse&) {}
void URLDownloadDelegate::download(URLDownload&, std::uint64_t) {}
void URLDownloadDelegate::download(URLDownload&, const URLError&) {}
void URLDownloadDelegate::downloadDidFinish(URLDownload&) {}

namespace {

constexpr const char* kCurlLibraryName = "libcurl.so.4";

// Every libcurl function this file calls. The types come from libcurl's own
// headers: a changed signature does not build.
// clang-format off
#define MI_CURL_FUNCTIONS(F)                                                                        \
  F(curl_global_init) F(curl_version_info) F(curl_url) F(curl_url_set) F(curl_url_get)             \
  F(curl_url_cleanup) F(curl_url_strerror) F(curl_free) F(curl_easy_init) F(curl_easy_cleanup)     \
  F(curl_easy_setopt) F(curl_easy_getinfo) F(curl_easy_perform) F(curl_easy_strerror)              \
  F(curl_slist_append) F(curl_slist_free_all)
// clang-format on

struct CurlFunctions {
#define MI_DECLARE(name) decltype(&::name) name = nullptr;
  MI_CURL_FUNCTIONS(MI_DECLARE)
#undef MI_DECLARE
};

struct CurlLibrary {
  CurlFunctions functions;
  // Why the library cannot be used; empty when it can.
  std::string failure;
};

// Loads libcurl and sets it up, once per process. It stays loaded: helper
// threads of dropped downloads may still run inside it.
CurlLibrary loadCurl() {
  CurlLibrary result;
  std::string reason;
  DynamicLibrary library = DynamicLibrary::open(kCurlLibraryName, &reason);
  bool complete = static_cast<bool>(library);
#define MI_RESOLVE(name) complete = complete && library.resolve(#name, result.functions.name, &reason);
  MI_CURL_FUNCTIONS(MI_RESOLVE)
#undef MI_RESOLVE
  if (!complete) {
    result.failure = format("%s cannot be used: %s", kCurlLibraryName, reason);
    return result;
  }
  library.keepLoaded();
  // Before any helper thread exists: the library's global set-up is not
  // thread-safe.
  CURLcode code = result.functions.curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK)
    result.failure =
        format("%s cannot start: %s", kCurlLibraryName, result.functions.curl_easy_strerror(code));
  return result;
}

const CurlLibrary& curlLibrary() {
  static const CurlLibrary library = loadCurl();
  return library;
}

// The functions, once curlLibrary() has loaded them without failure.
const CurlFunctions& libcurl() { return curlLibrary().functions; }

struct CurlDeleter {
  void operator()(CURL* handle) const { libcurl().curl_easy_cleanup(handle); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { libcurl().curl_url_cleanup(handle); }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const { libcurl().curl_slist_free_all(list); }
};
struct CurlFreeDeleter {
  void operator()(char* text) const { libcurl().curl_free(text); }
};

// Why url cannot be downloaded, or nothing when it can.
std::optional<std::string> checkURL(const std::string& url) {
  std::unique_ptr<CURLU, CurlUrlDeleter> parsed(libcurl().curl_url());
  if (!parsed) return std::string("out of memory");
  CURLUcode code = libcurl().curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
  if (code != CURLUE_OK) return format("not a valid URL: %s", libcurl().curl_url_strerror(code));
  char* scheme = nullptr;
  CURLUcode got = libcurl().curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0);
  std::unique_ptr<char, CurlFreeDeleter> owned(scheme);
  if (got != CURLUE_OK || !scheme) return std::string("not a valid URL: no scheme");
  std::string name(scheme);
  const curl_version_info_data* info = libcurl().curl_version_info(CURLVERSION_NOW);
  for (const char* const* protocol = info->protocols; protocol && *protocol; ++protocol)
    if (name == *protocol) return std::nullopt;
  return format("unsupported URL scheme \"%s\"", name);
}

// About a screen refresh: progress shown more often is not seen.
constexpr std::int64_t kDataEventInterval = 15000;  // microseconds

std::int64_t steadyMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string mimeTypeOf(const char* contentType) {
  if (!contentType) return {};
  std::string type(contentType);
  type = type.substr(0, type.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  for (char& c : type)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return type;
}

// One event for the delegate, made on the helper thread.
struct Event {
  enum class Kind { Response, Data, Failure, Finish } kind;
  URLResponse response;
  URLError error;
};

// The state shared by the download object (main thread), the helper thread
// and the posted events. Settings are fixed before the helper starts.
struct Transfer {
  URLRequest request;
  std::string destination;
  bool allowOverwrite = false;
  bool deletesFileUponFailure = false;

  // Set by cancel on the main thread, read by the helper's callbacks.
  std::atomic<bool> aborted{false};
  // Bytes written but not yet reported, and whether a data event that will
  // take them is queued. At most one data event is queued at a time, and
  // the helper posts them at most every kDataEventInterval, so a fast
  // transfer does not wake the main thread for every buffer.
  std::atomic<std::uint64_t> pendingBytes{0};
  std::atomic<bool> dataEventQueued{false};

  // Guards the file's creation against its deletion by cancel: after
  // cancel() has returned the helper never creates the file.
  std::mutex fileMutex;
  bool fileCreated = false;

  void abort() {
    std::lock_guard<std::mutex> guard(fileMutex);
    aborted = true;
    // The helper may still write through its descriptor into the unlinked
    // file until the library notices the abort; that is harmless.
    if (fileCreated) ::unlink(destination.c_str());
  }
  // The destination, open for writing; invalid after cancel or on failure.
  FileDescriptor createFile(std::string* error, int* errorNumber) {
    std::lock_guard<std::mutex> guard(fileMutex);
    if (aborted) return FileDescriptor();
    FileDescriptor file =
        FileDescriptor::open(destination, O_WRONLY | O_CREAT | (allowOverwrite ? O_TRUNC : O_EXCL), 0666);
    if (!file) {
      *errorNumber = errno;
      *error = format("open(%s): %s", destination, std::strerror(errno));
      return file;
    }
    fileCreated = true;
    return file;
  }
  void deleteFileAfterFailure() {
    std::lock_guard<std::mutex> guard(fileMutex);
    if (fileCreated && !aborted) ::unlink(destination.c_str());
  }
};

class CurlDownload;

// The helper thread's side of one transfer.
class Helper {
 public:
  Helper(std::shared_ptr<Transfer> transfer, std::weak_ptr<CurlDownload> owner, MainQueue& queue)
      : transfer_(std::move(transfer)), owner_(std::move(owner)), queue_(queue) {}
  void run();

 private:
  // The callbacks handed to libcurl. Each runs its step behind the exception
  // barrier: a step that raises stops the transfer, which then fails with
  // the reason, as a transfer that fails any other way.
  static size_t onHeader(char*, size_t size, size_t count, void* self) noexcept;
  static size_t onData(char* data, size_t size, size_t count, void* self) noexcept;
  static int onProgress(void* self, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) noexcept;
  template <typename Step>
  bool guarded(std::string_view callback, Step&& step) noexcept;
  // The steps: false stops the transfer.
  bool takeData(const char* data, size_t length);
  bool progress(curl_off_t received);

  // Sets the transfer's options; false (after the failure event) when the
  // transfer cannot start.
  bool configure();
  // Closes the file and posts the last event for the transfer's result.
  void finish(CURLcode result);
  bool beginResponse();
  void postData(std::int64_t now, bool force);
  bool write(const char* data, size_t length);
  void post(Event event);
  void fail(std::string description, int fileErrorNumber = 0);
  // The received bytes' digest against the expected one; the failure text
  // when they differ.
  std::optional<std::string> digestMismatch();
  std::string effectiveURL() const;
  bool isHTTP() const;

  std::shared_ptr<Transfer> transfer_;
  std::weak_ptr<CurlDownload> owner_;
  MainQueue& queue_;
  std::unique_ptr<CURL, CurlDeleter> curl_;
  std::unique_ptr<curl_slist, CurlListDeleter> headers_;
  FileDescriptor file_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  bool responseSeen_ = false;
  long httpErrorStatus_ = 0;
  std::string fileError_;
  int fileErrorNumber_ = 0;
  bool timedOut_ = false;
  // What a callback raised, when one did; the first such reason.
  std::string callbackFailure_;
  // The SHA-256 of the bytes written so far, when one is expected.
  bool hashing_ = false;
  SHA2_CTX digest_;
  std::int64_t lastActivity_ = 0;
  std::int64_t lastDataEvent_ = 0;
  curl_off_t lastReceived_ = 0;
};

class CurlDownload : public URLDownload, public std::enable_shared_from_this<CurlDownload> {
 public:
  CurlDownload(const URLRequest& request, URLDownloadDelegate& delegate, MainQueue& queue)
      : transfer_(std::make_shared<Transfer>()), delegate_(delegate), queue_(queue) {
    transfer_->request = request;
  }
  ~CurlDownload() override {
    // A download dropped while running stops like a cancelled one.
    if (started_ && !ended_ && !cancelled_) transfer_->abort();
  }

  void setDeletesFileUponFailure(bool deletes) override {
    if (!started_) transfer_->deletesFileUponFailure = deletes;
  }
  void setDestination(const std::string& path, bool allowOverwrite) override {
    if (started_) return;
    transfer_->destination = path;
    transfer_->allowOverwrite = allowOverwrite;
  }
  void cancel() override {
    if (cancelled_ || ended_) return;
    cancelled_ = true;
    transfer_->abort();
  }
  const URLRequest& request() const override { return transfer_->request; }

  // Main thread, as the task after the creating one.
  void start() {
    if (cancelled_) return;
    started_ = true;
    std::thread([helper = Helper(transfer_, weak_from_this(), queue_)]() mutable { helper.run(); }).detach();
  }

  // Main thread: hands one event to the delegate unless the download was
  // cancelled or has already ended.
  void deliver(const Event& event) {
    if (cancelled_ || ended_) return;
    // The delegate may drop its reference to this download in a callback.
    auto self = shared_from_this();
    switch (event.kind) {
      case Event::Kind::Response:
        delegate_.download(*this, event.response.mimeType);
        if (!cancelled_) delegate_.download(*this, event.response);
        break;
      case Event::Kind::Data:
        // Cleared before taking the bytes: a helper that still sees the
        // flag set knows these bytes go with this event.
        transfer_->dataEventQueued = false;
        if (std::uint64_t length = transfer_->pendingBytes.exchange(0)) delegate_.download(*this, length);
        break;
      case Event::Kind::Failure:
        ended_ = true;
        delegate_.download(*this, event.error);
        break;
      case Event::Kind::Finish:
        ended_ = true;
        delegate_.downloadDidFinish(*this);
        break;
    }
  }

 private:
  std::shared_ptr<Transfer> transfer_;
  URLDownloadDelegate& delegate_;
  MainQueue& queue_;
  // Main thread only.
  bool started_ = false;
  bool cancelled_ = false;
  bool ended_ = false;
};

// Helper thread ---------------------------------------------------------------

void Helper::post(Event event) {
  queue_.post([owner = owner_, event = std::move(event)] {
    if (auto download = owner.lock()) download->deliver(event);
  });
}

void Helper::fail(std::string description, int fileErrorNumber) {
  if (transfer_->deletesFileUponFailure) transfer_->deleteFileAfterFailure();
  Event event{Event::Kind::Failure, {}, {std::move(description), effectiveURL(), fileErrorNumber}};
  post(std::move(event));
}

std::optional<std::string> Helper::digestMismatch() {
  if (!hashing_) return std::nullopt;
  char received[SHA256_DIGEST_STRING_LENGTH];
  SHA256End(&digest_, received);
  const std::string& expected = transfer_->request.expectedSHA256;
  if (expected == received) return std::nullopt;
  return format("SHA-256 mismatch: expected %s, received %s", expected, std::string(received));
}

std::string Helper::effectiveURL() const {
  char* url = nullptr;
  if (curl_ && libcurl().curl_easy_getinfo(curl_.get(), CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url)
    return url;
  return transfer_->request.url;
}

bool Helper::isHTTP() const {
  char* scheme = nullptr;
  if (libcurl().curl_easy_getinfo(curl_.get(), CURLINFO_SCHEME, &scheme) != CURLE_OK || !scheme) return false;
  return strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0;
}

// Called before the first byte of the final response's body (or at its end
// when it has none): refuses error statuses, creates the file and reports
// the response.
bool Helper::beginResponse() {
  responseSeen_ = true;
  long status = 0;
  libcurl().curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
  if (isHTTP() && status >= 400) {
    httpErrorStatus_ = status;
    return false;
  }
  file_ = transfer_->createFile(&fileError_, &fileErrorNumber_);
  if (!file_) return false;
  URLResponse response;
  response.url = effectiveURL();
  response.statusCode = status;
  char* contentType = nullptr;
  libcurl().curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_TYPE, &contentType);
  response.mimeType = mimeTypeOf(contentType);
  curl_off_t length = -1;
  libcurl().curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  response.expectedContentLength = length < 0 ? -1 : static_cast<std::int64_t>(length);
  post(Event{Event::Kind::Response, std::move(response), {}});
  return true;
}

bool Helper::write(const char* data, size_t length) {
  if (file_.writeAll(std::string_view(data, length))) return true;
  fileErrorNumber_ = errno;
  fileError_ = format("write(%s): %s", transfer_->destination, std::strerror(errno));
  return false;
}

void Helper::postData(std::int64_t now, bool force) {
  if (!force && now - lastDataEvent_ < kDataEventInterval) return;
  if (transfer_->pendingBytes == 0 || transfer_->dataEventQueued) return;
  lastDataEvent_ = now;
  transfer_->dataEventQueued = true;
  post(Event{Event::Kind::Data, {}, {}});
}

template <typename Step>
bool Helper::guarded(std::string_view callback, Step&& step) noexcept {
  std::string reason;
  if (guardCallback(callback, std::forward<Step>(step), &reason)) return true;
  if (callbackFailure_.empty()) callbackFailure_ = std::move(reason);
  return false;
}

size_t Helper::onHeader(char*, size_t size, size_t count, void* self) noexcept {
  auto* helper = static_cast<Helper*>(self);
  // A count other than the one given stops the transfer.
  if (!helper->guarded("curl header", [helper] { helper->lastActivity_ = steadyMicroseconds(); })) return 0;
  return size * count;
}

// Returning less than the length given stops the transfer.
size_t Helper::onData(char* data, size_t size, size_t count, void* self) noexcept {
  auto* helper = static_cast<Helper*>(self);
  size_t length = size * count;
  bool taken = false;
  if (!helper->guarded("curl data", [&] { taken = helper->takeData(data, length); })) return 0;
  return taken ? length : 0;
}

bool Helper::takeData(const char* data, size_t length) {
  if (transfer_->aborted) return false;
  if (!responseSeen_ && !beginResponse()) return false;
  if (!write(data, length)) return false;
  // Hashed as it arrives, so a wrong archive is known when the last byte is.
  if (hashing_) SHA256Update(&digest_, reinterpret_cast<const std::uint8_t*>(data), length);
  lastActivity_ = steadyMicroseconds();
  transfer_->pendingBytes.fetch_add(length);
  postData(lastActivity_, false);
  return true;
}

// Called at least once a second while the transfer runs, also while no byte
// arrives: the place for cancel and the idle time-out. Non-zero stops it.
int Helper::onProgress(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) noexcept {
  auto* helper = static_cast<Helper*>(self);
  bool goOn = false;
  if (!helper->guarded("curl progress", [&] { goOn = helper->progress(received); })) return 1;
  return goOn ? 0 : 1;
}

bool Helper::progress(curl_off_t received) {
  if (transfer_->aborted) return false;
  std::int64_t now = steadyMicroseconds();
  if (received != lastReceived_) {
    lastReceived_ = received;
    lastActivity_ = now;
  }
  // Bytes held back by the interval go out here when no more data comes.
  postData(now, false);
  double timeout = transfer_->request.timeoutInterval;
  if (timeout > 0 && static_cast<double>(now - lastActivity_) > timeout * 1e6) {
    timedOut_ = true;
    return false;
  }
  return true;
}

bool Helper::configure() {
  const CurlFunctions& api = libcurl();
  curl_.reset(api.curl_easy_init());
  if (!curl_) {
    fail("the transfer library could not start a transfer");
    return false;
  }
  const URLRequest& request = transfer_->request;
  if (transfer_->destination.empty()) {
    fail("the download has no destination");
    return false;
  }
  CURL* curl = curl_.get();
  if (request.cachePolicy == kURLRequestReloadIgnoringLocalAndRemoteCacheData) {
    headers_.reset(api.curl_slist_append(nullptr, "Cache-Control: no-cache"));
    headers_.reset(api.curl_slist_append(headers_.release(), "Pragma: no-cache"));
  }
  api.curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  api.curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_.get());
  api.curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer_);
  // No signals from a helper thread (name resolution time-outs use them).
  api.curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  api.curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  api.curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L);
  api.curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
  api.curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L);
  if (request.timeoutInterval > 0)
    api.curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeoutInterval * 1000));
  api.curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Helper::onHeader);
  api.curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  api.curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Helper::onData);
  api.curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  api.curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  api.curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Helper::onProgress);
  api.curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  return true;
}

void Helper::finish(CURLcode result) {
  if (file_ && file_.reset() != 0 && fileError_.empty()) {
    fileErrorNumber_ = errno;
    fileError_ = format("close(%s): %s", transfer_->destination, std::strerror(errno));
  }
  if (transfer_->aborted) return;
  // Every byte is reported before the last event.
  postData(steadyMicroseconds(), true);
  if (!callbackFailure_.empty())
    fail(format("internal failure during the transfer: %s", callbackFailure_));
  else if (httpErrorStatus_ != 0)
    fail(format("HTTP status %ld", httpErrorStatus_));
  else if (!fileError_.empty())
    fail(fileError_, fileErrorNumber_);
  else if (timedOut_)
    fail(format("The request timed out: no data for %g seconds", transfer_->request.timeoutInterval));
  else if (result != CURLE_OK)
    fail(errorBuffer_[0] ? std::string(errorBuffer_) : std::string(libcurl().curl_easy_strerror(result)));
  else if (std::optional<std::string> mismatch = digestMismatch())
    fail(*mismatch);
  else
    post(Event{Event::Kind::Finish, {}, {}});
}

void Helper::run() {
  if (!configure()) return;
  hashing_ = !transfer_->request.expectedSHA256.empty();
  if (hashing_) SHA256Init(&digest_);
  lastActivity_ = steadyMicroseconds();
  CURLcode result = libcurl().curl_easy_perform(curl_.get());
  if (result == CURLE_OK && !responseSeen_) beginResponse();
  finish(result);
}

}  // namespace

std::shared_ptr<URLDownload> makeURLDownload(const URLRequest& request, URLDownloadDelegate& delegate,
                                             MainQueue& mainQueue, std::string* error) {
  if (const std::string& failure = curlLibrary().failure; !failure.empty()) {
    if (error) *error = failure;
    return nullptr;
  }
  if (auto reason = checkURL(request.url)) {
    if (error) *error = *reason;
    return nullptr;
  }
  auto download = std::make_shared<CurlDownload>(request, delegate, mainQueue);
  // Queued behind the creating task, so the caller's settings come first.
  mainQueue.post([weak = std::weak_ptr<CurlDownload>(download)] {
    if (auto download = weak.lock()) download->start();
  });
  return download;
}

}  // namespace platform
