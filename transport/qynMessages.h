// The one table of fixed message texts. Every exception and log text that the system raises or
// writes comes from here; code never retypes these strings in place. Texts with placeholders are
// filled through QynFormat.
#pragma once

// STUN message and attribute codec
inline constexpr const char* RS_InvalidHeaderFormat = "Invalid Header Format";
inline constexpr const char* RS_AttributeNotFound = "Attribute %s not found.";
inline constexpr const char* RS_InvalidAttributeFormat = "Invalid Attribute: %s Format";
inline constexpr const char* RS_AttributeNameICMP = "ICMP";
inline constexpr const char* RS_InvalidIPv4Text = "'%s' is not a valid IPv4 address";
inline constexpr const char* RS_InvalidIPv6Text = "'%s' is not a valid IPv6 address";
inline constexpr const char* RS_SoftwareName = "Qynwire 4.5.2";
inline constexpr const char* RS_AttributeValueTooLong = "Attribute %s: value of %d bytes is too long";
inline constexpr const char* RS_MessageTooLong = "STUN message of %d attribute bytes is too long";
inline constexpr const char* RS_InvalidAddressFamily = "Attribute %s: address family %d cannot be written";
inline constexpr const char* RS_RandomGeneratorFailed = "The random generator failed";
inline constexpr const char* RS_AttributePastEnd = "Attribute %s at offset %d runs past the end of the message";

// TURN shared records
inline constexpr const char* RS_ChannelListFull = "Cannot create a new channel, list is full.";
inline constexpr const char* RS_ChannelDataTooLong = "ChannelData of %d bytes is longer than 65535 bytes";

// TURN server
inline constexpr const char* RS_TURNAllocationNotExists = "Allocation not exists";
inline constexpr const char* RS_TURNInvalidPermission = "Invalid Permission for Address: %s.";
inline constexpr const char* RS_TURNDataNotFullyReceived = "Message has not been fully received";
inline constexpr const char* RS_TURNChannelNotExists = "Channel Data ID: %d not exists";
inline constexpr const char* RS_TURNChannelExpired = "Channel Data ID: %d expired";
inline constexpr const char* RS_TURNUnknownAttributes = "Unknown Attributes";
inline constexpr const char* RS_TURNAttributeXORPeerAddress = "XOR_PEER_ADDRESS";
inline constexpr const char* RS_TURNAttributeData = "DATA";
inline constexpr const char* RS_TURNAllocationsTimerName = "AllocationsTimer";
inline constexpr const char* RS_TURNRelayBindingPrefix = "Relay_";
inline constexpr const char* RS_TURNPeerRefused = "Peer Address Refused: %s.";
inline constexpr const char* RS_TURNPeerRangeInvalid = "'%s' is not an address range (an IPv4 or IPv6 address, optionally /PREFIX)";
inline constexpr const char* RS_TURNPeerRangeHostBits = "'%s' has address bits set past its prefix (the range is %s)";

// Socket layer
inline constexpr const char* RS_SocketError = "Socket Error # %d\r\n%s";
inline constexpr const char* RS_InvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* RS_CanNotBindPortInRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* RS_CannotSetIPVersionWhenConnected = "Cannot change IPVersion when connected";
inline constexpr const char* RS_IPVersionUnsupported = "The requested IPVersion / Address family is not supported.";
inline constexpr const char* RS_InvalidIPv6Address = "%s is not a valid IPv6 address";
inline constexpr const char* RS_MustUseOpenProxy = "You must use proxyOpen";
inline constexpr const char* RS_ConnectTimeout = "Connect timed out.";
inline constexpr const char* RS_ReadTimeout = "Read timed out.";
inline constexpr const char* RS_ConnClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* RS_LogFileNameWhileOpen = "Unable to set Filename while log file is open.";
inline constexpr const char* RS_SHA256NotAvailable = "SHA256 hashing is not available!";
inline constexpr const char* RS_ThreadUnknownName = "IdThread (unknown)";
inline constexpr const char* RS_ThreadCreateFailed = "Cannot create thread: %s";
inline constexpr const char* RS_TerminateAndWaitForFreeOnTerminate = "Cannot call TerminateAndWaitFor on FreeAndTerminate threads";
inline constexpr const char* RS_ListenerThreadSuffix = " Listener #";
inline constexpr const char* RS_PollerThreadSuffix = " Poller";
inline constexpr const char* RS_ClosedSocket = "Disconnected.";
inline constexpr const char* RS_StatusResolving = "Resolving hostname %s.";
inline constexpr const char* RS_StatusConnecting = "Connecting to %s.";
inline constexpr const char* RS_StatusConnected = "Connected.";
inline constexpr const char* RS_StatusDisconnecting = "Disconnecting.";
inline constexpr const char* RS_StatusDisconnected = "Disconnected.";

// Component base
inline constexpr const char* RS_ComponentVersion = "4.5.2";
inline constexpr const char* RS_ListDuplicates = "List does not allow duplicates ($0%x)";
inline constexpr const char* RS_LogRecvPrefix = "Recv ";
inline constexpr const char* RS_LogSentPrefix = "Sent ";
inline constexpr const char* RS_LogStatPrefix = "Stat ";
inline constexpr const char* RS_ListIndexOutOfBounds = "List index out of bounds (%d)";
inline constexpr const char* RS_SocketCloneClass = "The copy of a %s socket object is not a UDP socket object";
inline constexpr const char* RS_UnknownException = "Unknown exception";
inline constexpr const char* RS_LogFileOpenFailed = "Cannot open log file %s: %s";
inline constexpr const char* RS_LogFileWriteFailed = "Cannot write log file %s";
inline constexpr const char* RS_NotificationsDropped = "Pending notifications full: %d notifications dropped";
inline constexpr const char* RS_MainThreadCallException = "qynwire: exception in a main-thread call: %s: %s\n";

// UDP server, UDP client and TCP client components (add below)
// UDP server
inline constexpr const char* RS_UDPServerNoBinding = "The UDP server has no active binding to send from";
inline constexpr const char* RS_UDPServerStopping = "The UDP server is stopping";
inline constexpr const char* RS_UDPSocketBuffersCapped = "Socket buffers: asked %d bytes, granted %d (receive) and %d (send)";
inline constexpr const char* RS_UDPServerWatchDogName = "WatchDog";

// TCP client
inline constexpr const char* RS_TCPTLSNotSupported = "TLS connections are not supported by this TCP client";
inline constexpr const char* RS_TCPProxyNotSupported = "Proxy connections are not supported by this TCP client";
inline constexpr const char* RS_TCPHeldMessagesFull = "Held messages exceed %d bytes: a received message of %d bytes was dropped";
inline constexpr const char* RS_TCPReadThreadName = "TCP Read";
inline constexpr const char* RS_TCPWatchDogName = "TCP WatchDog";

// STUN server (add below)
// Reason phrases of the error responses (the first also the text of the exception for a request
// the server does not serve).
inline constexpr const char* RS_StunErrorInvalidRequest = "Invalid Request";
inline constexpr const char* RS_StunErrorUnauthorized = "Unauthorized";
inline constexpr const char* RS_StunErrorUnknownAttribute = "Unknown Attribute";
inline constexpr const char* RS_StunErrorStaleNonce = "Stale Nonce";
inline constexpr const char* RS_StunErrorTryAlternate = "Try Alternate";
inline constexpr const char* RS_StunErrorForbidden = "Forbidden";
inline constexpr const char* RS_StunErrorAllocationMismatch = "Allocation Mismatch";
inline constexpr const char* RS_StunErrorAddressFamilyNotSupported = "Address Family not Supported";
inline constexpr const char* RS_StunErrorWrongCredentials = "Wrong Credentials";
inline constexpr const char* RS_StunErrorUnsupportedTransportProtocol = "Unsupported Transport Protocol";
inline constexpr const char* RS_StunErrorPeerAddressFamilyMismatch = "Peer Address Family Mismatch";
inline constexpr const char* RS_StunErrorAllocationQuotaReached = "Allocation Quota Reached";
inline constexpr const char* RS_StunErrorInsufficientCapacity = "Insufficient Capacity";
inline constexpr const char* RS_STUNInvalidFingerprint = "Invalid Fingerprint";
inline constexpr const char* RS_STUNInvalidMessageIntegrity = "Invalid Message Integrity";
inline constexpr const char* RS_STUNDefaultRealm = "Qynwire";

// STUN client (add below)
inline constexpr const char* RS_STUNInvalidMessageClass = "Invalid Message Class Identifier";
inline constexpr const char* RS_STUNStreamNotFramed = "Invalid STUN stream: a message cannot start with type 0x%04x and length %d";

// TURN client
inline constexpr const char* RS_TURNClientNoValidPermission = "There is not Valid permission for IP Address: %s";
inline constexpr const char* RS_TURNClientChannelNotExists = "Channel ID: %d not exists.";
inline constexpr const char* RS_TURNClientChannelExpired = "Channel ID :%d has expired.";
inline constexpr const char* RS_AttributeNameXORPeerAddress = "XOR_PEER_ADDRESS";
inline constexpr const char* RS_AttributeNameDataOrICMP = "SendChannelData or ICMP";
inline constexpr const char* RS_TURNClientChannelDataIncomplete = "ChannelData for channel %d has not been fully received";
inline constexpr const char* RS_TURNClientResponseMethodMismatch = "Response of method %d does not answer the request of method %d";
inline constexpr const char* RS_TURNAutoRefreshTimerName = "AutoRefresh";

// Server application (add below)
inline constexpr const char* RS_LogStartServer = "#start server";
inline constexpr const char* RS_LogStopServer = "#stop server";
inline constexpr const char* RS_LogException = "#exception: %s";
inline constexpr const char* RS_LogNewAllocation = "New Allocation: %s:%d";
inline constexpr const char* RS_LogDeletedAllocation = "Deleted Allocation: %s:%d";
inline constexpr const char* RS_LogMessageDiscarded = "Discarded %s from %s:%d: %s";
inline constexpr const char* RS_LogChannelDataDiscarded = "Discarded ChannelData from %s:%d: %s";
inline constexpr const char* RS_LogRequestRefused = "Refused %s from %s:%d: %d %s";
inline constexpr const char* RS_CanNotListen = "Can not listen on %s port %d: %s";
inline constexpr const char* RS_CanNotListenUnknown = "Can not listen on %s port %d";
inline constexpr const char* RS_InvalidInteger = "'%s' is not a valid integer value";
inline constexpr const char* RS_InvalidPortNumber = "'%s' is not a valid port number (0 - 65535)";

// Client application (add below)
inline constexpr const char* RS_InvalidLifetime = "'%s' is not a valid lifetime (0 - 2147483647)";
inline constexpr const char* RS_InvalidChannelNumber = "'%s' is not a valid channel number (0 - 65535)";
