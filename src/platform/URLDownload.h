// A URL download into a file with delegate callbacks. A download is created
// on the main thread and its transfer starts once the main-queue task that
// created it has finished, so settings made right after creation (the
// destination, delete-on-failure) are in force before any byte is written.
// The transfer runs on a helper thread; every delegate callback is delivered
// on the main queue, in the order the events happened. Creation fails (null)
// for a URL that does not parse or whose scheme is not supported; every later
// failure (network error, idle time-out, HTTP status 400 or above, file
// error, a digest that does not match) arrives as the failure callback. After cancel() no callback is
// delivered, and neither after the last reference to the download is gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class MainQueue;

// What to fetch. This realisation keeps no local cache, so every policy
// fetches from the server; the reload policy that also ignores remote cache
// data asks caches on the way not to answer. timeoutInterval is both
// the connect time-out and the idle time-out (no byte received for that
// long), in seconds.
struct URLRequest {
  std::string url;
  int cachePolicy = 0;
  double timeoutInterval = 60.0;
  // When set (64 lowercase hexadecimal digits), the SHA-256 of the bytes
  // received, computed as they arrive, must equal it; otherwise the download
  // fails with "SHA-256 mismatch: expected ..., received ..." and its file is
  // treated as any failed download's.
  std::string expectedSHA256{};
};

// Cache policy "reload, ignoring local and remote cache data".
inline constexpr int kURLRequestReloadIgnoringLocalAndRemoteCacheData = 4;

struct URLResponse {
  // The final URL after redirects.
  std::string url;
  std::string mimeType;
  // The announced length (Content-Length); -1 when none is announced.
  std::int64_t expectedContentLength = -1;
  // The protocol's status code (HTTP status; 0 for protocols without one).
  long statusCode = 0;
};

struct URLError {
  // The failure in words, for example "HTTP status 404" or the transfer
  // library's own message.
  std::string localizedDescription;
  // The URL that failed (after redirects).
  std::string failingURLString;
  // The system's error number when creating or writing the destination
  // failed (ENOSPC: the disk is full); 0 for every other failure.
  int fileErrorNumber = 0;
  std::string description() const { return localizedDescription + " (" + failingURLString + ")"; }
};

class URLDownload;

// The callbacks, all on the main thread. Defaults do nothing (and decode
// nothing).
class URLDownloadDelegate {
 public:
  virtual ~URLDownloadDelegate() = default;
  // Asked once, before the response, with the response's MIME type. The
  // data is stored as received whatever the answer: this realisation has no
  // decoders.
  virtual bool download(URLDownload& download, const std::string& mimeType);
  // The final response (after redirects), before any data.
  virtual void download(URLDownload& download, const URLResponse& response);
  // Bytes written to the destination since the previous data callback.
  virtual void download(URLDownload& download, std::uint64_t length);
  // The last callback of a failed download; the destination file is
  // already deleted when deletesFileUponFailure was asked for.
  virtual void download(URLDownload& download, const URLError& error);
  // The last callback of a complete download; the file is closed.
  virtual void downloadDidFinish(URLDownload& download);
};

class URLDownload {
 public:
  virtual ~URLDownload() = default;
  // Both take effect when set before the transfer starts (in the creating
  // main-queue task); later calls change nothing.
  virtual void setDeletesFileUponFailure(bool deletes) = 0;
  // Without allowOverwrite an existing file makes the download fail.
  virtual void setDestination(const std::string& path, bool allowOverwrite) = 0;
  // Stops the transfer and deletes the partial file; no callback follows.
  // Main thread only.
  virtual void cancel() = 0;
  virtual const URLRequest& request() const = 0;
};

// Creates a download reporting to delegate through mainQueue (main thread
// only). Null when the URL cannot be downloaded; error then says why.
// delegate and mainQueue must outlive every delivered callback.
std::shared_ptr<URLDownload> makeURLDownload(const URLRequest& request, URLDownloadDelegate& delegate,
                                             MainQueue& mainQueue, std::string* error = nullptr);

}  // namespace platform
