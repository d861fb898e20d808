// Options of the TURN client: FINGERPRINT, SOFTWARE and the credentials of the TURN methods
// (Allocate, Refresh, Send, Data, CreatePermission, ChannelBind), the lifetime asked for, and
// which parts of the allocation the client renews by itself.
#pragma once

#include <cstdint>

#include "qynP2P_STUN_Client.h"

// One switch of automatic renewal.
struct TqynTURNCLientOptions_AutoRefreshProperty {
  bool Enabled = true;
  void Assign(const TqynTURNCLientOptions_AutoRefreshProperty& aSource) { Enabled = aSource.Enabled; }
};

struct TqynTURNCLientOptions_AutoRefreshAllocations : TqynTURNCLientOptions_AutoRefreshProperty {};
struct TqynTURNCLientOptions_AutoRefreshPermissions : TqynTURNCLientOptions_AutoRefreshProperty {};
struct TqynTURNCLientOptions_AutoRefreshChannels : TqynTURNCLientOptions_AutoRefreshProperty {};

// Enabled starts the renewal timer after a successful Allocate; each pass consults its own switch
// on every tick.
struct TqynTURNClientOptions_AutoRefresh {
  TqynTURNCLientOptions_AutoRefreshAllocations Allocations;
  bool Enabled = true;
  TqynTURNCLientOptions_AutoRefreshPermissions Permissions;
  TqynTURNCLientOptions_AutoRefreshChannels Channels;

  void Assign(const TqynTURNClientOptions_AutoRefresh& aSource) {
    Enabled = aSource.Enabled;
    Allocations.Assign(aSource.Allocations);
    Permissions.Assign(aSource.Permissions);
    Channels.Assign(aSource.Channels);
  }
};

struct TqynTURNClientOptions_Allocation {
  uint32_t Lifetime = 600; // seconds asked for by Allocate and by automatic refreshes
  void Assign(const TqynTURNClientOptions_Allocation& aSource) { Lifetime = aSource.Lifetime; }
};

struct TqynTURNClient_Options : TqynSTUNClient_Options {
  TqynTURNClientOptions_Allocation Allocation;
  TqynTURNClientOptions_AutoRefresh AutoRefresh;

  // Fingerprint, Software, the values of Authentication and of Allocation; AutoRefresh is not
  // copied.
  void Assign(const TqynSTUN_Options& aSource) override {
    TqynSTUNClient_Options::Assign(aSource);
    if (const auto* s = dynamic_cast<const TqynTURNClient_Options*>(&aSource)) Allocation.Assign(s->Allocation);
  }
};
