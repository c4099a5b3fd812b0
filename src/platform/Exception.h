// Named platform exceptions: a name, a reason (the description) and the
// call-stack symbols captured where the exception was made. Thrown for
// unexpected failures and caught once, at the top of a run.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace platform {

// Names of the system's exceptions the program raises.
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kGenericException = "NSGenericException";

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason);

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  // The description is the reason text.
  const std::string& description() const { return reason_; }
  const std::vector<std::string>& callStackSymbols() const { return symbols_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::string> symbols_;
};

}  // namespace platform
