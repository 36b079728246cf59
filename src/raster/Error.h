// The one value through which a failure reaches the user.
#pragma once

#include <cstdint>
#include <string>

namespace mirava {

// What kind of failure it was; the text says the rest.
enum class TErrorCode : uint8_t {
  None,
  IO,        // the system refused a call (SystemError holds errno)
  Header,    // a header or companion file that does not parse
  Format,    // a file that is not what its format says
  Refused,   // a raster the format cannot hold, asked of an output
  Codec,     // the JPEG or ECW codec failed
  Internal,  // a request outside the dataset (a range past the file)
};

// A failure: its code, the system's error number when the system refused a
// call (0 otherwise), and the text users read, which names the file. The
// default value is no failure.
struct TError {
  TErrorCode Code = TErrorCode::None;
  int SystemError = 0;
  std::string Text;

  bool Failed() const { return Code != TErrorCode::None; }

  static TError Of(TErrorCode code, std::string text) { return {code, 0, std::move(text)}; }
  // The system refused a call on `file`: "<file>: <the system's text>".
  static TError System(int error, const std::string& file);
  // The same without a file name, for a text that names it elsewhere.
  static TError SystemText(int error);
  static TError Header(std::string text) { return Of(TErrorCode::Header, std::move(text)); }
  static TError Format(std::string text) { return Of(TErrorCode::Format, std::move(text)); }
  static TError Refused(std::string text) { return Of(TErrorCode::Refused, std::move(text)); }
  static TError Codec(std::string text) { return Of(TErrorCode::Codec, std::move(text)); }
  static TError Internal(std::string text) { return Of(TErrorCode::Internal, std::move(text)); }

  // The same failure with `context` before its text ("Writing x.tif: ").
  TError In(const std::string& context) const& { return {Code, SystemError, context + Text}; }
  TError In(const std::string& context) && {
    Text.insert(0, context);
    return std::move(*this);
  }
  // The form users see for a failed open or create: `prefix`, the error
  // number (1 for a failure that is not the system's), a blank and the
  // reason ("Open Map Read Error=2 No such file or directory").
  std::string NumberedText(const std::string& prefix) const;
};

// The system's message text for an errno value.
std::string SystemErrorText(int code);
// "<prefix><code> <text>", where code 1 stands for an internal condition
// whose own text is given rather than the unrelated system text for 1.
std::string ErrorWithCode(const std::string& prefix, int code, const std::string& internalText);

}  // namespace mirava
