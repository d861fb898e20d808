// The runtime's conversion of a window's input text to an integer, shared by the two windows:
// an input that must be an integer and does not read as one raises EConvertError, whose message
// names the text.
#pragma once

#include <string>

#include "qynBase_Types.h"
#include "qynId_Stack.h"

QYN_DECLARE_EXCEPTION(EConvertError, Exception)

// Optional blanks and sign around decimal digits that fit an int; EConvertError
// ("'x' is not a valid integer value") otherwise.
int StrToInt(const std::string& aText);
// StrToInt within aMin..aMax; beyond, EConvertError with aRangeMessage (a text with one %s for
// aText). The properties a window fills are narrower than int: a value out of their range is
// refused instead of being cut.
int StrToIntIn(const std::string& aText, int aMin, int aMax, const char* aRangeMessage);
// StrToInt within 0..65535 (EConvertError "'x' is not a valid port number (0 - 65535)" beyond).
TIdPort StrToPort(const std::string& aText);
