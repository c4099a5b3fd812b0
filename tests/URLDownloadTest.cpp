// URL downloads against a loopback server: callbacks in order on the main
// queue, redirects, error statuses, broken and stalled transfers, cancel.
#include <gtest/gtest.h>
#include <sha2.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "LoopbackServer.h"
#include "ManualQueue.h"
#include "TestSupport.h"
#include "platform/CallbackGuard.h"
#include "platform/URLDownload.h"

namespace fs = std::filesystem;
using platform::URLDownload;
using test_support::slurp;
using test_support::TemporaryDirectory;
using testing_support::generatedBody;
using testing_support::LoopbackServer;
using testing_support::ManualQueue;

namespace {

// Records every callback as a line, and checks they come on the main thread.
class RecordingDelegate : public platform::URLDownloadDelegate {
 public:
  bool download(URLDownload&, const std::string& mimeType) override {
    record("decode " + mimeType);
    return false;
  }
  void download(URLDownload&, const platform::URLResponse& response) override {
    this->response = response;
    record("response " + std::to_string(response.expectedContentLength));
  }
  void download(URLDownload& download, std::uint64_t length) override {
    if (events.empty() || events.back() != "data") record("data");
    received += length;
    ++dataCallbacks;
    if (onData) onData(download);
  }
  void download(URLDownload&, const platform::URLError& error) override {
    this->error = error;
    record("failure");
    ended = true;
  }
  void downloadDidFinish(URLDownload&) override {
    record("finish");
    ended = true;
  }

  std::vector<std::string> events;
  platform::URLResponse response;
  platform::URLError error;
  std::uint64_t received = 0;
  int dataCallbacks = 0;
  bool ended = false;
  bool offMainThread = false;
  std::function<void(URLDownload&)> onData;

 private:
  void record(const std::string& event) {
    if (std::this_thread::get_id() != mainThread_) offMainThread = true;
    events.push_back(event);
  }
  std::thread::id mainThread_ = std::this_thread::get_id();
};

class URLDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { destination_ = dir_ / "jre.tar.gz"; }

  // Creates a download the way the front end does, in one main-queue task.
  std::shared_ptr<URLDownload> start(const std::string& url, double timeout = 60, bool deletes = true,
                                     const std::string& sha256 = "") {
    std::shared_ptr<URLDownload> download;
    queue().post([&] {
      platform::URLRequest request{url, platform::kURLRequestReloadIgnoringLocalAndRemoteCacheData, timeout,
                                   sha256};
      std::string error;
      download = platform::makeURLDownload(request, delegate_, queue(), &error);
      ASSERT_TRUE(download) << error;
      download->setDeletesFileUponFailure(deletes);
      download->setDestination(destination_, true);
    });
    queue().runUntil([&] { return download != nullptr; });
    return download;
  }
  bool runToEnd() {
    return queue().runUntil([&] { return delegate_.ended; });
  }
  static ManualQueue& queue() { return ManualQueue::shared(); }

  LoopbackServer server_;
  RecordingDelegate delegate_;
  TemporaryDirectory dir_;
  std::string destination_;
};

TEST_F(URLDownloadTest, StoresTheBodyAndReportsInOrderOnTheMainThread) {
  auto download = start(server_.url("/file/3000000"));
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events, (std::vector<std::string>{"decode application/octet-stream", "response 3000000",
                                                        "data", "finish"}));
  EXPECT_FALSE(delegate_.offMainThread);
  EXPECT_EQ(delegate_.received, 3000000u);
  EXPECT_EQ(slurp(destination_), generatedBody(3000000));
  EXPECT_EQ(delegate_.response.statusCode, 200);
  // The reload policy asks caches on the way not to answer.
  EXPECT_EQ(server_.lastRequestHeader("Cache-Control"), "no-cache");
}

TEST_F(URLDownloadTest, ChunkedBodyAnnouncesNoLength) {
  auto download = start(server_.url("/chunked/50000"));
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.response.expectedContentLength, -1);
  EXPECT_EQ(delegate_.response.mimeType, "application/x-gzip");
  EXPECT_EQ(delegate_.events.back(), "finish");
  EXPECT_EQ(slurp(destination_), generatedBody(50000));
}

TEST_F(URLDownloadTest, FollowsRedirectsAndReportsTheFinalURL) {
  auto download = start(server_.url("/redirect/1234"));
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events.back(), "finish");
  EXPECT_EQ(delegate_.response.url, server_.url("/file/1234"));
  EXPECT_EQ(delegate_.response.expectedContentLength, 1234);
  EXPECT_EQ(slurp(destination_), generatedBody(1234));
}

TEST_F(URLDownloadTest, OverwritesAnExistingLongerFile) {
  std::ofstream(destination_) << std::string(5000, 'o');
  auto download = start(server_.url("/file/100"));
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(slurp(destination_), generatedBody(100));
}

TEST_F(URLDownloadTest, ErrorStatusesFailWithoutResponseOrFile) {
  for (int status : {404, 500}) {
    delegate_ = RecordingDelegate();
    auto download = start(server_.url("/status/" + std::to_string(status)));
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(delegate_.events, std::vector<std::string>{"failure"});
    EXPECT_EQ(delegate_.error.localizedDescription, "HTTP status " + std::to_string(status));
    EXPECT_EQ(delegate_.error.failingURLString, server_.url("/status/" + std::to_string(status)));
    EXPECT_FALSE(fs::exists(destination_));
  }
}

TEST_F(URLDownloadTest, ConnectionClosedHalfWayFailsAndDeletesThePartialFileWhenAsked) {
  auto download = start(server_.url("/half/200000"));
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events.back(), "failure");
  EXPECT_FALSE(delegate_.error.localizedDescription.empty());
  EXPECT_EQ(delegate_.error.failingURLString, server_.url("/half/200000"));
  EXPECT_FALSE(fs::exists(destination_));

  delegate_ = RecordingDelegate();
  download = start(server_.url("/half/200000"), 60, /*deletes=*/false);
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events.back(), "failure");
  EXPECT_EQ(slurp(destination_), generatedBody(100000));
}

TEST_F(URLDownloadTest, UnreachablePortFailsWithTheLibrarysMessage) {
  // Port 1 on the loopback has no listener: the connection is refused.
  auto download = start("http://127.0.0.1:1/jre.tar.gz");
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events, std::vector<std::string>{"failure"});
  EXPECT_NE(delegate_.error.localizedDescription.find("127.0.0.1"), std::string::npos)
      << delegate_.error.localizedDescription;
  EXPECT_EQ(delegate_.error.failingURLString, "http://127.0.0.1:1/jre.tar.gz");
}

TEST_F(URLDownloadTest, IdleTimeOutEndsAStalledTransfer) {
  auto begun = std::chrono::steady_clock::now();
  auto download = start(server_.url("/stall/2000"), /*timeout=*/0.5);
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events.back(), "failure");
  EXPECT_NE(delegate_.error.localizedDescription.find("timed out"), std::string::npos)
      << delegate_.error.localizedDescription;
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(1900));
}

TEST_F(URLDownloadTest, SlowButSteadyTransferIsNotIdle) {
  // 100 bytes every 20 ms against a half-second time-out: never idle.
  auto download = start(server_.url("/trickle"), /*timeout=*/0.5);
  queue().runUntil([&] { return delegate_.received >= 3000 || delegate_.ended; });
  EXPECT_FALSE(delegate_.ended) << delegate_.error.localizedDescription;
  download->cancel();
}

TEST_F(URLDownloadTest, CancelDeletesThePartialFileAndDeliversNothingMore) {
  std::shared_ptr<URLDownload> download;
  delegate_.onData = [&](URLDownload& sender) {
    if (delegate_.received >= 300) sender.cancel();
  };
  download = start(server_.url("/trickle"));
  ASSERT_TRUE(queue().runUntil([&] { return delegate_.received >= 300; }));
  // The file is gone as soon as cancel returns.
  EXPECT_FALSE(fs::exists(destination_));
  size_t seen = delegate_.events.size();
  int callbacks = delegate_.dataCallbacks;
  queue().runFor(std::chrono::milliseconds(300));
  EXPECT_EQ(delegate_.events.size(), seen);
  EXPECT_EQ(delegate_.dataCallbacks, callbacks);
  EXPECT_FALSE(delegate_.ended);
  EXPECT_FALSE(fs::exists(destination_));
}

TEST_F(URLDownloadTest, CancelBeforeTheTransferStartsFetchesNothing) {
  queue().post([&] {
    auto download = platform::makeURLDownload({server_.url("/file/10")}, delegate_, queue());
    download->setDestination(destination_, true);
    download->cancel();
  });
  queue().runFor(std::chrono::milliseconds(300));
  EXPECT_TRUE(delegate_.events.empty());
  EXPECT_EQ(server_.requestCount(), 0);
  EXPECT_FALSE(fs::exists(destination_));
}

TEST_F(URLDownloadTest, DroppedDownloadStopsLikeACancelledOne) {
  auto download = start(server_.url("/trickle"));
  ASSERT_TRUE(queue().runUntil([&] { return delegate_.received > 0; }));
  size_t seen = delegate_.events.size();
  download.reset();
  queue().runFor(std::chrono::milliseconds(200));
  EXPECT_EQ(delegate_.events.size(), seen);
  EXPECT_FALSE(fs::exists(destination_));
}

TEST_F(URLDownloadTest, ExistingFileWithoutOverwriteFailsAndIsKept) {
  std::ofstream(destination_) << "keep";
  std::shared_ptr<URLDownload> download;
  queue().post([&] {
    download = platform::makeURLDownload({server_.url("/file/10")}, delegate_, queue());
    download->setDeletesFileUponFailure(true);
    download->setDestination(destination_, false);
  });
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events, std::vector<std::string>{"failure"});
  EXPECT_NE(delegate_.error.localizedDescription.find("File exists"), std::string::npos);
  EXPECT_EQ(delegate_.error.fileErrorNumber, EEXIST);
  EXPECT_EQ(slurp(destination_), "keep");
}

TEST_F(URLDownloadTest, ExpectedDigestIsCheckedOverTheBytesReceived) {
  std::string body = generatedBody(300000);
  char digest[SHA256_DIGEST_STRING_LENGTH];
  SHA256Data(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(), digest);
  auto download = start(server_.url("/chunked/300000"), 60, true, digest);
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events.back(), "finish");
  EXPECT_EQ(slurp(destination_), body);

  // One byte fewer hashes differently: the download fails and its file goes.
  delegate_ = RecordingDelegate();
  download = start(server_.url("/file/299999"), 60, true, digest);
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.events.back(), "failure");
  char received[SHA256_DIGEST_STRING_LENGTH];
  SHA256Data(reinterpret_cast<const std::uint8_t*>(body.data()), body.size() - 1, received);
  EXPECT_EQ(delegate_.error.localizedDescription,
            std::string("SHA-256 mismatch: expected ") + digest + ", received " + received);
  EXPECT_EQ(delegate_.error.fileErrorNumber, 0);
  EXPECT_FALSE(fs::exists(destination_));
}

// An exception raised inside a callback that libcurl called stops the
// transfer there; the download fails with the reason, as on any failure.
TEST_F(URLDownloadTest, ExceptionInsideATransferCallbackFailsTheDownload) {
  struct FaultReset {
    ~FaultReset() { platform::setCallbackFaultForTesting({}); }
  } reset;
  for (const char* callback : {"curl header", "curl data", "curl progress"}) {
    delegate_ = RecordingDelegate();
    platform::setCallbackFaultForTesting([callback](std::string_view called) {
      if (called == callback) throw std::runtime_error(std::string("fault in ") + callback);
    });
    auto download = start(server_.url("/file/300000"));
    ASSERT_TRUE(runToEnd()) << callback;
    EXPECT_EQ(delegate_.events.back(), "failure") << callback;
    EXPECT_EQ(delegate_.error.localizedDescription,
              std::string("internal failure during the transfer: fault in ") + callback);
    EXPECT_FALSE(fs::exists(destination_)) << callback;
  }
  delegate_ = RecordingDelegate();
  platform::setCallbackFaultForTesting([](std::string_view called) {
    if (called == "curl data") throw 1;
  });
  auto download = start(server_.url("/file/300000"));
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.error.localizedDescription,
            "internal failure during the transfer: an exception of unknown type");
}

TEST_F(URLDownloadTest, DownloadWithoutDestinationFails) {
  std::shared_ptr<URLDownload> download;
  queue().post([&] { download = platform::makeURLDownload({server_.url("/file/10")}, delegate_, queue()); });
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(delegate_.error.localizedDescription, "the download has no destination");
}

TEST_F(URLDownloadTest, RefusesTextsThatAreNoDownloadableURL) {
  for (const char* url :
       {"", "   ", "not a url", "jre.tar.gz", "http://exa mple.com/x", "nosuchscheme://host/x"}) {
    std::string error;
    EXPECT_EQ(platform::makeURLDownload({url}, delegate_, queue(), &error), nullptr) << url;
    EXPECT_FALSE(error.empty()) << url;
  }
  std::string error;
  EXPECT_EQ(platform::makeURLDownload({"nosuchscheme://host/x"}, delegate_, queue(), &error), nullptr);
  EXPECT_EQ(error, "unsupported URL scheme \"nosuchscheme\"");
}

}  // namespace
