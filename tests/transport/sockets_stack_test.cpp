// qyn-test-labels: unit
// Name resolution, address text and the socket layer's exceptions.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "qynId_Sockets.h"
#include "qynMessages.h"

TEST(SocketsStack, IsIPAcceptsOnlyDottedDecimalIPv4) {
  struct Case {
    const char* Text;
    bool Expected;
  } cases[] = {
      {"127.0.0.1", true},  {"0.0.0.0", true},   {"255.255.255.255", true}, {"256.1.1.1", false}, {"1.2.3", false},
      {"1.2.3.4.5", false}, {" 1.2.3.4", false}, {"::1", false},            {"", false},          {"localhost", false},
  };
  for (const auto& c : cases) EXPECT_EQ(GStack().IsIP(c.Text), c.Expected) << c.Text;
}

TEST(SocketsStack, CanonicalIPv6TextIsUncompressedLowerCase) {
  struct Case {
    const char* Text;
    const char* Expected;
  } cases[] = {
      {"::1", "0:0:0:0:0:0:0:1"},
      {"::", "0:0:0:0:0:0:0:0"},
      {"0:0:0:0:0:0:0:0", "0:0:0:0:0:0:0:0"},
      {"2001:DB8::0001", "2001:db8:0:0:0:0:0:1"},
      {"fe80::1%lo", "fe80:0:0:0:0:0:0:1%lo"},
      {"::ffff:1.2.3.4", "0:0:0:0:0:ffff:102:304"},
      {"127.0.0.1", ""},
      {"1::2::3", ""},
      {"12345::1", ""},
      {"", ""},
      {"localhost", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GStack().MakeCanonicalIPv6Address(c.Text), c.Expected) << c.Text;
}

TEST(SocketsStack, ResolveHostKeepsLiteralsAndResolvesNames) {
  EXPECT_EQ(GStack().ResolveHost("127.0.0.1", Id_IPv4), "127.0.0.1");
  EXPECT_EQ(GStack().ResolveHost("10.1.2.3", Id_IPv4), "10.1.2.3");
  EXPECT_EQ(GStack().ResolveHost("::1", Id_IPv6), "::1");
  EXPECT_EQ(GStack().ResolveHost("2001:db8::5", Id_IPv6), "2001:db8::5");
  EXPECT_EQ(GStack().ResolveHost("localhost", Id_IPv4), "127.0.0.1");
}

TEST(SocketsStack, ResolveHostFailures) {
  try {
    GStack().ResolveHost("1::2::3", Id_IPv6);
    FAIL() << "no exception";
  } catch (const EIdInvalidIPv6Address& E) {
    EXPECT_EQ(E.Message(), "1::2::3 is not a valid IPv6 address");
  }
  // A literal of the other family is refused without asking the resolver.
  EXPECT_THROW(GStack().ResolveHost("::1", Id_IPv4), EIdSocketError);
  EXPECT_THROW(GStack().ResolveHost("127.0.0.1", Id_IPv6), EIdSocketError);
  // An empty name is refused by the resolver itself.
  try {
    GStack().ResolveHost("", Id_IPv4);
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_NE(E.LastError(), 0);
    EXPECT_EQ(E.Message().rfind("Socket Error # ", 0), 0u) << E.Message();
  }
}

TEST(SocketsStack, SupportsIPv4) { EXPECT_TRUE(GStack().SupportsIPv4()); }

TEST(SocketsStack, IPVersionOfText) {
  EXPECT_EQ(IdIPVersionOfText("127.0.0.1"), Id_IPv4);
  EXPECT_EQ(IdIPVersionOfText("::1"), Id_IPv6);
  EXPECT_EQ(IdIPVersionOfText(""), Id_IPv4);
}

TEST(SocketsExceptions, SocketErrorCarriesNumberAndSystemText) {
  const EIdSocketError E = EIdSocketError::FromErrno(ECONNREFUSED);
  EXPECT_EQ(E.LastError(), ECONNREFUSED);
  EXPECT_EQ(E.Message(), "Socket Error # " + std::to_string(ECONNREFUSED) + "\r\n" + std::strerror(ECONNREFUSED));
  EXPECT_STREQ(E.ClassName(), "EIdSocketError");
  const auto copy = E.Clone();
  const auto* typed = dynamic_cast<const EIdSocketError*>(copy.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->LastError(), ECONNREFUSED);
  EXPECT_EQ(typed->Message(), E.Message());
}

TEST(SocketsExceptions, HierarchyAndClassNames) {
  const EIdConnClosedGracefully closed(RS_ConnClosedGracefully);
  EXPECT_NE(dynamic_cast<const EIdSilentException*>(&closed), nullptr);
  EXPECT_NE(dynamic_cast<const EIdException*>(&closed), nullptr);
  EXPECT_NE(dynamic_cast<const Exception*>(&closed), nullptr);
  EXPECT_STREQ(closed.ClassName(), "EIdConnClosedGracefully");
  EXPECT_EQ(closed.Message(), "Connection Closed Gracefully.");
  const auto copy = closed.Clone();
  EXPECT_STREQ(copy->ClassName(), "EIdConnClosedGracefully");

  const EIdConnectTimeout timeout(RS_ConnectTimeout);
  EXPECT_EQ(timeout.Message(), "Connect timed out.");
  const EIdException& base = timeout;
  EXPECT_EQ(dynamic_cast<const EIdSilentException*>(&base), nullptr);
  EXPECT_EQ(EIdReadTimeout(RS_ReadTimeout).Message(), "Read timed out.");
}
