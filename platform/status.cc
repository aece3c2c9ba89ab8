#include "platform/status.h"

namespace zem::platform {

Status::Status(const Status& other)
    : rep_(other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr) {}

Status& Status::operator=(const Status& other) {
  if (this != &other) rep_ = other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr;
  return *this;
}

Status Status::FromOsError(std::string_view context, uint32_t code) {
  if (code == 0) return Status();
  auto rep = std::make_unique<Rep>();
  rep->form = Form::kOsError;
  rep->code = code;
  rep->context.assign(context);
  return Status(std::move(rep));
}

Status Status::FromHresult(std::string_view context, int32_t hr) {
  if (hr >= 0) return Status();
  auto rep = std::make_unique<Rep>();
  rep->form = Form::kHresult;
  rep->code = static_cast<uint32_t>(hr);
  rep->context.assign(context);
  return Status(std::move(rep));
}

Status Status::WithExplanation(std::string_view explanation) const {
  Status s(*this);
  if (s.rep_) s.rep_->explanation.assign(explanation);
  return s;
}

uint32_t Status::os_error() const {
  if (!rep_) return 0;
  if (rep_->form == Form::kHresult && (rep_->code & 0xFFFF0000u) == 0x80070000u) {
    return rep_->code & 0xFFFFu;
  }
  return rep_->code;
}

int32_t Status::hresult() const {
  if (!rep_) return 0;
  if (rep_->form == Form::kHresult) return static_cast<int32_t>(rep_->code);
  return HresultFromOsError(rep_->code);
}

const std::string& Status::context() const {
  static const std::string kEmpty;
  return rep_ ? rep_->context : kEmpty;
}

const std::string& Status::explanation() const {
  static const std::string kEmpty;
  return rep_ ? rep_->explanation : kEmpty;
}

std::string Status::reason() const {
  if (!rep_) return {};
  if (!rep_->explanation.empty()) return rep_->explanation;
  return rep_->form == Form::kHresult ? DescribeHresult(static_cast<int32_t>(rep_->code))
                                      : DescribeOsError(rep_->code);
}

std::string Status::message() const {
  if (!rep_) return "ok";
  if (rep_->context.empty()) return reason();
  return rep_->context + ": " + reason();
}

Status StatusFromLastOsError(std::string_view context) {
  const uint32_t code = LastOsError();
  return Status::FromOsError(context, code);
}

}  // namespace zem::platform
