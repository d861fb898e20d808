// The socket layer's errors made from system error numbers and resolver codes, each with the
// system's own text for it.
#include "qynId_Exceptions.h"

#include <netdb.h>

#include <cstring>
#include <string>

namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the buffer).
[[maybe_unused]] const char* StrErrorResult(int aResult, const char* aBuffer) { return aResult == 0 ? aBuffer : "Unknown error"; }
[[maybe_unused]] const char* StrErrorResult(const char* aResult, const char*) { return aResult; }

std::string SystemErrorText(int aError) {
  char buf[256];
  buf[0] = '\0';
  return StrErrorResult(strerror_r(aError, buf, sizeof buf), buf);
}

} // namespace

EIdSocketError EIdSocketError::FromErrno(int aError) {
  return EIdSocketError(aError, QynFormat(RS_SocketError, aError, SystemErrorText(aError)));
}

EIdSocketError EIdSocketError::FromResolver(int aGaiError, int aSavedErrno) {
  if (aGaiError == EAI_SYSTEM && aSavedErrno != 0) return FromErrno(aSavedErrno);
  return EIdSocketError(aGaiError, QynFormat(RS_SocketError, aGaiError, std::string(gai_strerror(aGaiError))));
}
