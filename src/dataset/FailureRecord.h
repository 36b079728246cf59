// The one way a dataset fails, shared with the parts it is made of (its
// mapped files), so that a failure of a part is the dataset's.
#pragma once

#include <string>
#include <utility>

#include "raster/Error.h"

namespace mirava {

class TFailureRecord {
 public:
  // Records the failure and returns false, so that `return Fail(...)` ends
  // the failing operation.
  bool Fail(TError error) {
    Err = std::move(error);
    return false;
  }
  bool Fail(TErrorCode code, std::string text) { return Fail(TError::Of(code, std::move(text))); }
  // True when `outcome` is no failure; a failure is recorded.
  bool Succeeded(TError outcome) { return !outcome.Failed() || Fail(std::move(outcome)); }
  // An I/O failure: the system's text for `error`.
  bool FailSystem(int error) { return Fail(TError::SystemText(error)); }
  // The failure recorded so far with `context` before its text.
  bool FailIn(const std::string& context) { return Fail(TError(Err).In(context)); }
  // The failure recorded so far in the form users see for a failed open or
  // create (TError::NumberedText).
  bool FailOpen(const std::string& prefix) {
    Err.Text = Err.NumberedText(prefix);
    return false;
  }
  void ClearError() { Err = {}; }
  // The last failure; no failure once an open starts.
  const TError& Error() const { return Err; }

 private:
  TError Err;
};

}  // namespace mirava
