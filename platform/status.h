// The outcome of a platform call: ok, or a failure with the system's code in
// its own form and a message saying what was being done, on which item.
//
// The code is kept as the platform reported it: an errno on Linux, a Win32
// error (GetLastError) or an HRESULT on Windows. Whatever its form, a failure
// gives both numbers the log lines print: os_error() for "err=<decimal>" and
// hresult() for "hr=0x<hex>" (an OS error becomes an HRESULT the way
// HRESULT_FROM_WIN32 forms one, on both platforms: HresultFromOsError).
//
// An ok Status holds nothing and is as cheap to copy as a pointer; a failure
// owns its context on the heap. None of the calls throws. A Status is a
// value: copy it to other threads freely.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace zem::platform {

class Status {
 public:
  // How the failure's code was reported.
  enum class Form : uint8_t {
    kOk,
    kOsError,  // errno (Linux) / Win32 error (Windows)
    kHresult,  // an HRESULT (Windows calls, and the provider's kHr… values)
  };

  // Ok.
  Status() = default;
  Status(const Status& other);
  Status& operator=(const Status& other);
  Status(Status&&) noexcept = default;
  Status& operator=(Status&&) noexcept = default;
  ~Status() = default;

  // A failure with an OS error code; code 0 gives ok.
  static Status FromOsError(std::string_view context, uint32_t code);
  // A failure with an HRESULT; a non-negative value (success) gives ok.
  static Status FromHresult(std::string_view context, int32_t hr);

  // The same failure with `explanation` in place of the system's text for
  // the code, for a platform that knows better what is wrong and what to do
  // about it. Ok stays ok.
  Status WithExplanation(std::string_view explanation) const;

  bool ok() const { return rep_ == nullptr; }
  Form form() const { return rep_ ? rep_->form : Form::kOk; }

  // The OS error: the code itself for kOsError; for an HRESULT of the
  // Win32 facility (0x8007xxxx) its low 16 bits, for any other HRESULT its
  // bits as they are. 0 when ok.
  uint32_t os_error() const;

  // The HRESULT: the value itself for kHresult, HresultFromOsError of the
  // code for kOsError. 0 when ok.
  int32_t hresult() const;

  // True when this is a failure whose HRESULT is `hr` (e.g. kHrNotInSync).
  bool Is(int32_t hr) const { return !ok() && hresult() == hr; }

  // What was being done ("open /home/u/ZEM云盘/a.txt"); empty when ok.
  const std::string& context() const;

  // The explanation given with WithExplanation; empty when none was.
  const std::string& explanation() const;

  // The explanation when one was given, else the system's text for the
  // code (UTF-8, no line break); empty when ok.
  std::string reason() const;

  // "<context>: <reason>", or "<reason>" without context; "ok" when ok.
  std::string message() const;

 private:
  struct Rep {
    Form form = Form::kOk;
    uint32_t code = 0;  // errno / Win32 error, or the HRESULT's bits
    std::string context;
    std::string explanation;
  };
  explicit Status(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}

  std::unique_ptr<Rep> rep_;  // null when ok
};

// A Status from an OS error code in the platform's own form (errno /
// GetLastError value); 0 gives ok.
inline Status StatusFromOsError(std::string_view context, uint32_t code) {
  return Status::FromOsError(context, code);
}

// A Status from the calling thread's last OS error (errno / GetLastError).
// The code is read before anything else happens, so call it straight after
// the failed call, with a context that is already built.
Status StatusFromLastOsError(std::string_view context);

// A Status from an HRESULT; a non-negative value gives ok.
inline Status StatusFromHresult(std::string_view context, int32_t hr) {
  return Status::FromHresult(context, hr);
}

}  // namespace zem::platform
