#include "raster/Error.h"

#include <cstring>

namespace mirava {

TError TError::System(int error, const std::string& file) {
  return {TErrorCode::IO, error, file + ": " + SystemErrorText(error)};
}

TError TError::SystemText(int error) { return {TErrorCode::IO, error, SystemErrorText(error)}; }

std::string TError::NumberedText(const std::string& prefix) const {
  return ErrorWithCode(prefix, SystemError ? SystemError : 1, Text);
}

std::string SystemErrorText(int code) {
  char buffer[256];
  return strerror_r(code, buffer, sizeof buffer);
}

std::string ErrorWithCode(const std::string& prefix, int code, const std::string& internalText) {
  return prefix + std::to_string(code) + " " +
         (code == 1 && !internalText.empty() ? internalText : SystemErrorText(code));
}

}  // namespace mirava
