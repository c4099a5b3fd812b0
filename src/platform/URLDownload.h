// A URL download running for the front end. Created and used on the main
// thread only. The download unit gives the full service; the Cancel action
// needs no more than cancel().
#pragma once

namespace platform {

class URLDownload {
 public:
  virtual ~URLDownload() = default;
  // Stops the transfer: no callback is delivered afterwards.
  virtual void cancel() = 0;
};

}  // namespace platform
