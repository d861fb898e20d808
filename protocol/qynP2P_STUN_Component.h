// Types shared by the STUN server and client components.
#pragma once

#include <cstdint>
#include <functional>

#include "qynBase_Classes.h"

// Address family of the component level (STUN attributes carry 1 for ipV4 and 2 for ipV6).
enum TwsIPVersion : uint8_t { ipV4, ipV6 };

// Log file options of a STUN component; handed down to its transport component.
struct TqynSTUNLogFile : TqynSocketLogFile {};

// Root of the STUN server and client components.
class TqynSTUN_Component : public TqynComponent_Base {
public:
  explicit TqynSTUN_Component(TqynComponent_Base* aOwner = nullptr) : TqynComponent_Base(aOwner) {}
};

using TqynSTUNExceptionEvent = std::function<void(TqynComponent_Base* Sender, const Exception& E)>;
