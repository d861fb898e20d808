// Basic types shared by every layer: byte buffers, the exception root and a small
// printf-style formatter for the fixed message texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using TqynBytes = std::vector<uint8_t>;
using TIdBytes = TqynBytes;

// The bytes of a text, one byte per character.
inline TqynBytes TextBytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

// Root of every exception the system raises. ClassName() names the concrete class (exception
// events report it) and Clone() makes a new exception of the same class with the same message
// (queued notifications carry such copies).
class Exception : public std::exception {
public:
  explicit Exception(std::string aMessage) : FMessage(std::move(aMessage)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }
  virtual std::unique_ptr<Exception> Clone() const { return std::make_unique<Exception>(*this); }

private:
  std::string FMessage;
};

// Declares an exception class `Name` derived from `Base` with the same constructor.
#define QYN_DECLARE_EXCEPTION(Name, Base)                                                     \
  class Name : public Base {                                                                  \
  public:                                                                                     \
    using Base::Base;                                                                         \
    const char* ClassName() const noexcept override { return #Name; }                         \
    std::unique_ptr<Exception> Clone() const override { return std::make_unique<Name>(*this); } \
  };

namespace qyn_detail {
template <typename T> auto FormatArg(const T& v) {
  if constexpr (std::is_same_v<T, std::string>) return v.c_str();
  else return v;
}
} // namespace qyn_detail

// printf-style formatting for the fixed message texts ("%s", "%d", "%x", ...). std::string
// arguments are accepted for "%s".
template <typename... TArgs> std::string QynFormat(const char* aFormat, const TArgs&... aArgs) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  if constexpr (sizeof...(TArgs) == 0) {
    return std::string(aFormat);
  } else {
    char buf[256];
    int n = std::snprintf(buf, sizeof buf, aFormat, qyn_detail::FormatArg(aArgs)...);
    if (n < 0) return std::string(aFormat);
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), aFormat, qyn_detail::FormatArg(aArgs)...);
    out.resize(static_cast<size_t>(n));
    return out;
  }
#pragma GCC diagnostic pop
}
