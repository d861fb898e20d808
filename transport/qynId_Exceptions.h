// Exceptions of the socket layer (the TId classes). Every one derives from the system's
// exception root; the fixed texts they carry come from qynMessages.h.
#pragma once

#include <memory>
#include <string>

#include "qynBase_Types.h"
#include "qynMessages.h"

// Root of the socket layer's exceptions.
QYN_DECLARE_EXCEPTION(EIdException, Exception)

// A failing socket or resolver call. LastError() is the system error number (errno, or the
// resolver's EAI_* code for name resolution failures); the message is "Socket Error # %d\r\n%s"
// with the system's text for the error.
class EIdSocketError : public EIdException {
public:
  EIdSocketError(int aLastError, std::string aMessage) : EIdException(std::move(aMessage)), FLastError(aLastError) {}
  int LastError() const noexcept { return FLastError; }
  const char* ClassName() const noexcept override { return "EIdSocketError"; }
  std::unique_ptr<Exception> Clone() const override { return std::make_unique<EIdSocketError>(*this); }

  // Builds the exception for errno-style error `aError` with the system's text.
  static EIdSocketError FromErrno(int aError);
  // Builds the exception for a getaddrinfo() result code (EAI_SYSTEM falls back to errno).
  static EIdSocketError FromResolver(int aGaiError, int aSavedErrno);

private:
  int FLastError;
};

QYN_DECLARE_EXCEPTION(EIdInvalidPortRange, EIdException)
QYN_DECLARE_EXCEPTION(EIdCanNotBindPortInRange, EIdException)
QYN_DECLARE_EXCEPTION(EIdCannotSetIPVersionWhenConnected, EIdException)
QYN_DECLARE_EXCEPTION(EIdIPVersionUnsupported, EIdException)
QYN_DECLARE_EXCEPTION(EIdInvalidIPv6Address, EIdException)
QYN_DECLARE_EXCEPTION(EIdMustUseOpenProxy, EIdException)
QYN_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException)
QYN_DECLARE_EXCEPTION(EIdReadTimeout, EIdException)
// Raised on reads and writes of a TCP connection that this side has already closed.
QYN_DECLARE_EXCEPTION(EIdClosedSocket, EIdException)
// Exceptions that end an operation without being an error worth reporting.
QYN_DECLARE_EXCEPTION(EIdSilentException, EIdException)
// The peer closed the TCP connection.
QYN_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException)
