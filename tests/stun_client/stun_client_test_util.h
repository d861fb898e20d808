// Helpers of the STUN client tests: scripted loopback STUN servers (UDP and TCP) built on plain
// sockets and the codec, an event recorder for the client component, waits with generous
// deadlines, and message builders and readers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynBase_Sync.h"
#include "qynId_Hash.h"
#include "qynP2P_STUN_Classes.h"
#include "qynP2P_STUN_Client.h"

namespace stun_client_test {

// Waits while draining the main-thread relay (for clients in a queued notification mode).
inline TqynBytes LongTermKey(const std::string& aUser, const std::string& aRealm, const std::string& aPassword) {
  return TIdHashMessageDigest5::HashString(aUser + ":" + aRealm + ":" + aPassword);
}

// A received request as the server sees it. With aPassword, the long-term MESSAGE-INTEGRITY of a
// request that carries USERNAME, REALM and NONCE is verified with it.
struct TRequest {
  TqynBytes Bytes;
  std::shared_ptr<TqynSTUN_Message> Message;
  std::string TransactionId;
  std::vector<TqynStunMessageAttribute> Types;
  TIdPort FromPort = 0;

  bool Has(TqynStunMessageAttribute aType) const { return Message->Attributes().GetAttribute(aType) != nullptr; }
  std::string Text(TqynStunMessageAttribute aType) const {
    const auto* a = Message->Attributes().GetAttribute(aType);
    if (!a) return {};
    if (const auto* u = dynamic_cast<const TqynSTUN_Attribute_USERNAME*>(a)) return u->Username();
    if (const auto* r = dynamic_cast<const TqynSTUN_Attribute_REALM*>(a)) return r->Realm();
    if (const auto* n = dynamic_cast<const TqynSTUN_Attribute_NONCE*>(a)) return n->Nonce();
    if (const auto* s = dynamic_cast<const TqynSTUN_Attribute_SOFTWARE*>(a)) return s->Software();
    return {};
  }
};

inline TRequest ReadRequest(const TqynBytes& aBytes, const std::string& aPassword = std::string()) {
  TRequest r;
  r.Bytes = aBytes;
  r.Message = std::make_shared<TqynSTUN_Message>();
  r.Message->SetMessageType(stmtServerRequest);
  r.Message->OnRequestMessageIntegrityPassword = [aPassword](TqynSTUN_Message*, const std::string&, const std::string&,
                                                             std::string& Password) { Password = aPassword; };
  try {
    r.Message->Read(aBytes);
  } catch (const Exception&) {
  }
  r.TransactionId = r.Message->Header().TransactionIdString();
  for (const auto& a : r.Message->Attributes()) r.Types.push_back(a->AttributeType());
  return r;
}

// Builds an answer to a request: class, the request's method and transaction id (or aTransactionId
// when given), attributes added by aFill (which may also set states and credentials; set
// MessageType stmtServerResponse so that no USERNAME/REALM/NONCE is appended when signing).
inline TqynBytes BuildAnswer(const TqynSTUN_Message& aRequest, TqynStunMessageClass aClass,
                             const std::function<void(TqynSTUN_Message&)>& aFill = {},
                             const TqynBytes* aTransactionId = nullptr) {
  TqynSTUN_Message m;
  m.SetMessageType(stmtServerResponse);
  m.Header().SetMessageType_Method(aRequest.Header().MessageType_Method());
  m.Header().SetMessageType_Class(aClass);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(aTransactionId ? *aTransactionId : aRequest.Header().TransactionId());
  if (aFill) aFill(m);
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  return m.Write();
}

inline void AddXorMapped(TqynSTUN_Message& m, const std::string& aIP, uint16_t aPort, uint16_t aFamily = 1) {
  auto* a = m.Attributes().Add<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aFamily);
  a->SetTransactionId(m.Header().TransactionId());
}

inline void AddErrorCode(TqynSTUN_Message& m, uint16_t aCode, const std::string& aReason) {
  auto* e = m.Attributes().Add<TqynSTUN_Attribute_ERROR_CODE>();
  e->SetCode(aCode);
  e->SetReason(aReason);
}

inline void AddChallenge(TqynSTUN_Message& m, uint16_t aCode, const std::string& aRealm, const std::string& aNonce) {
  AddErrorCode(m, aCode, aCode == 438 ? "Stale Nonce" : "Unauthorized");
  if (!aRealm.empty()) m.Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm(aRealm);
  if (!aNonce.empty()) m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(aNonce);
}

// Signs an answer with a long-term key (the codec appends MESSAGE-INTEGRITY when writing).
inline void SignLongTerm(TqynSTUN_Message& m, const std::string& aUser, const std::string& aRealm, const std::string& aPassword) {
  m.SetCredentials(stauLongTermCredential);
  m.SetUsername(aUser);
  m.SetRealm(aRealm);
  m.SetPassword(aPassword);
}

inline sockaddr_in Loopback(uint16_t aPort) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(aPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A scripted STUN server on a loopback UDP port. Every datagram is recorded; the handler returns
// the datagrams to send back to its sender (none: no answer).
class TFakeUDPServer {
public:
  using THandler = std::function<std::vector<TqynBytes>(const TRequest& aRequest, int aIndex)>;

  explicit TFakeUDPServer(THandler aHandler = {}, std::string aPassword = std::string())
      : FHandler(std::move(aHandler)), FPassword(std::move(aPassword)) {
    FSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Loopback(0);
    ::bind(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TFakeUDPServer() {
    FStop.store(true);
    FThread.join();
    ::close(FSocket);
  }
  TFakeUDPServer(const TFakeUDPServer&) = delete;
  TFakeUDPServer& operator=(const TFakeUDPServer&) = delete;

  uint16_t Port() const { return FPort; }
  size_t Count() {
    std::lock_guard<std::mutex> lock(FLock);
    return FReceived.size();
  }
  TRequest Received(size_t aIndex) {
    std::lock_guard<std::mutex> lock(FLock);
    return FReceived.at(aIndex);
  }
  // Sends a datagram from this server's port to a loopback port.
  void SendTo(uint16_t aPort, const TqynBytes& aBytes) {
    sockaddr_in to = Loopback(aPort);
    ::sendto(FSocket, aBytes.data(), aBytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

private:
  void Run() {
    std::vector<uint8_t> buf(65536);
    while (!FStop.load()) {
      pollfd p{FSocket, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(FSocket, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n <= 0) continue;
      TRequest r = ReadRequest(TqynBytes(buf.begin(), buf.begin() + n), FPassword);
      r.FromPort = ntohs(from.sin_port);
      int index;
      {
        std::lock_guard<std::mutex> lock(FLock);
        index = static_cast<int>(FReceived.size());
        FReceived.push_back(r);
      }
      if (!FHandler) continue;
      for (const TqynBytes& out : FHandler(r, index))
        ::sendto(FSocket, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  THandler FHandler;
  std::string FPassword;
  int FSocket = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  std::vector<TRequest> FReceived;
  std::thread FThread;
};

// A scripted STUN server on a loopback TCP port: serves one connection at a time, cuts the
// received stream into STUN requests and calls the handler with each; the handler writes its
// answers through TConnection::Send (in any chunks it likes). Records how many connections were
// accepted and how many of them the client closed.
class TFakeTCPServer {
public:
  class TConnection {
  public:
    explicit TConnection(int aSocket) : FSocket(aSocket) {}
    // Ends the connection from the server's side after the handler returns.
    void Close() const {
      FClosing->store(true);
      ::shutdown(FSocket, SHUT_RDWR);
    }
    bool Closing() const { return FClosing->load(); }
    void Send(const TqynBytes& aBytes) const { Send(aBytes.data(), aBytes.size()); }
    void Send(const uint8_t* aData, size_t aLen) const {
      size_t done = 0;
      while (done < aLen) {
        const ssize_t n = ::send(FSocket, aData + done, aLen - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
      }
    }

  private:
    int FSocket;
    std::shared_ptr<std::atomic<bool>> FClosing = std::make_shared<std::atomic<bool>>(false);
  };
  using THandler = std::function<void(const TConnection& aConnection, const TRequest& aRequest, int aIndex)>;

  explicit TFakeTCPServer(THandler aHandler) : FHandler(std::move(aHandler)) {
    FListen = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(0);
    ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FListen, 4);
    socklen_t len = sizeof a;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TFakeTCPServer() {
    FStop.store(true);
    FThread.join();
    ::close(FListen);
  }
  TFakeTCPServer(const TFakeTCPServer&) = delete;
  TFakeTCPServer& operator=(const TFakeTCPServer&) = delete;

  uint16_t Port() const { return FPort; }
  int Accepted() const { return FAccepted.load(); }
  int ClosedByClient() const { return FClosedByClient.load(); }
  size_t Count() {
    std::lock_guard<std::mutex> lock(FLock);
    return FReceived.size();
  }
  TRequest Received(size_t aIndex) {
    std::lock_guard<std::mutex> lock(FLock);
    return FReceived.at(aIndex);
  }

private:
  void Run() {
    while (!FStop.load()) {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int s = ::accept(FListen, nullptr, nullptr);
      if (s < 0) continue;
      ++FAccepted;
      Serve(s);
      ::close(s);
    }
  }
  void Serve(int aSocket) {
    TConnection connection(aSocket);
    TqynBytes stream;
    std::vector<uint8_t> buf(65536);
    while (!FStop.load()) {
      pollfd p{aSocket, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::recv(aSocket, buf.data(), buf.size(), 0);
      if (n <= 0) {
        if (!connection.Closing()) ++FClosedByClient;
        return;
      }
      stream.insert(stream.end(), buf.begin(), buf.begin() + n);
      while (stream.size() >= 20) {
        const size_t total = 20 + ((stream[2] << 8) | stream[3]);
        if (stream.size() < total) break;
        TRequest r = ReadRequest(TqynBytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(total)));
        stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(total));
        int index;
        {
          std::lock_guard<std::mutex> lock(FLock);
          index = static_cast<int>(FReceived.size());
          FReceived.push_back(r);
        }
        if (FHandler) FHandler(connection, r, index);
        if (connection.Closing()) return;
      }
    }
  }

  THandler FHandler;
  int FListen = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::atomic<int> FClosedByClient{0};
  std::mutex FLock;
  std::vector<TRequest> FReceived;
  std::thread FThread;
};

// What the client component reported.
struct TEvents {
  struct TSuccess {
    std::string TransactionId;
    TqynSTUN_ResponseBinding Binding;
    std::string SocketIP;
    TIdPort SocketPort = 0;
    std::vector<TqynStunMessageAttribute> Types; // attributes of the answer, in order
  };
  struct TError {
    std::string TransactionId;
    TqynSTUN_ResponseError Error;
  };

  std::mutex Lock;
  std::vector<TSuccess> Successes;
  std::vector<TError> Errors;
  std::vector<std::string> Exceptions;

  // Attaches the recorder; with aErrors false, OnSTUNResponseError stays unassigned.
  void Attach(TqynSTUNClient_Base& aClient, bool aErrors = true) {
    aClient.OnSTUNResponseSuccess = [this](TqynComponent_Base*, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                           TqynSTUN_ResponseBinding* aBinding) {
      std::vector<TqynStunMessageAttribute> types;
      for (const auto& a : aMessage->Attributes()) types.push_back(a->AttributeType());
      std::lock_guard<std::mutex> lock(Lock);
      Successes.push_back({aMessage->Header().TransactionIdString(), *aBinding, aSocket ? aSocket->IP() : std::string(),
                           aSocket ? aSocket->Port() : TIdPort{0}, types});
    };
    if (aErrors)
      aClient.OnSTUNResponseError = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                           TqynSTUN_ResponseError* aError) {
        std::lock_guard<std::mutex> lock(Lock);
        Errors.push_back({aMessage->Header().TransactionIdString(), *aError});
      };
    aClient.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) {
      std::lock_guard<std::mutex> lock(Lock);
      Exceptions.push_back(E.Message());
    };
  }
  size_t SuccessCount() {
    std::lock_guard<std::mutex> lock(Lock);
    return Successes.size();
  }
  size_t ErrorCount() {
    std::lock_guard<std::mutex> lock(Lock);
    return Errors.size();
  }
  size_t ExceptionCount() {
    std::lock_guard<std::mutex> lock(Lock);
    return Exceptions.size();
  }
  TSuccess Success(size_t i) {
    std::lock_guard<std::mutex> lock(Lock);
    return Successes.at(i);
  }
  TError Error(size_t i) {
    std::lock_guard<std::mutex> lock(Lock);
    return Errors.at(i);
  }
  std::string ExceptionText(size_t i) {
    std::lock_guard<std::mutex> lock(Lock);
    return Exceptions.at(i);
  }
  bool HasException(const std::string& aText) {
    std::lock_guard<std::mutex> lock(Lock);
    for (const auto& e : Exceptions)
      if (e == aText) return true;
    return false;
  }
};

// A client on the read threads of its transports (neNoSync), pointed at a loopback port.
inline void PointAt(TqynSTUNClient_Base& aClient, uint16_t aPort) {
  aClient.SetNotifyEvents(neNoSync);
  aClient.SetHost("127.0.0.1");
  aClient.SetPort(aPort);
}

// The local port of the client's UDP socket (0 until its read thread has bound it).
inline TIdPort ClientUDPPort(TqynSTUNClient_Base& aClient) {
  TIdSocketHandle* h = aClient.GetUDPClient()->UDPClient()->Handle();
  return h ? h->Port() : 0;
}

inline int TableCount(TqynSTUNClient_Base& aClient) { return aClient.GetRequests()->Count(); }

} // namespace stun_client_test
