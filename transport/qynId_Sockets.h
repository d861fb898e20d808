// The socket layer, for code that uses all of it: the stack and address text (qynId_Stack.h),
// socket handles and their waits (qynId_SocketHandle.h), the UDP server with its listeners
// (qynId_UDPServer.h), the UDP client (qynId_UDPClient.h) and the TCP client (qynId_TCPClient.h).
#pragma once

#include "qynId_Stack.h"
#include "qynId_SocketHandle.h"
#include "qynId_UDPServer.h"
#include "qynId_UDPClient.h"
#include "qynId_TCPClient.h"
