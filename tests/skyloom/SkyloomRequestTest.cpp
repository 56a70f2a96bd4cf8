// The address and environment handling both transports share: what goes on
// the wire, where redirects lead (and which are followed), and which proxy
// and timeouts a request takes.

#include "skyloom/Request.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using namespace skyloom;

TEST(SkyloomAddress, BecomesPrintableAscii) {
    std::string ascii;
    ASSERT_EQ(AddressToAscii(u"http://h/q?w=a%20b", ascii), Failure::kNone);
    EXPECT_EQ(ascii, "http://h/q?w=a%20b");
    ASSERT_EQ(AddressToAscii(u"http://h/caf\u00e9 \U0001F600", ascii), Failure::kNone);
    EXPECT_EQ(ascii, "http://h/caf%C3%A9%20%F0%9F%98%80");
    EXPECT_EQ(AddressToAscii(nullptr, ascii), Failure::kNoAddress);
    for (char16_t lone : {char16_t(0xD800), char16_t(0xDC00)}) {
        std::u16string broken = u"http://h/";
        broken += lone;
        broken += u"x";
        EXPECT_EQ(AddressToAscii(broken.c_str(), ascii), Failure::kUnsupportedAddress);
        // A lone surrogate at the very end, with nothing after it to pair.
        broken.pop_back();
        EXPECT_EQ(AddressToAscii(broken.c_str(), ascii), Failure::kUnsupportedAddress);
    }
}

// The limit counts the address as it is sent: an escaped character costs
// its escape, however few units it took.
TEST(SkyloomAddress, IsRefusedOnceItWouldBeLongerThanTheLimit) {
    std::string ascii;
    const std::u16string prefix = u"http://h/?w=";
    std::u16string address = prefix + std::u16string(kMaxAddressLength - prefix.size(), u'a');
    ASSERT_EQ(AddressToAscii(address.c_str(), ascii), Failure::kNone);
    EXPECT_EQ(ascii.size(), kMaxAddressLength);
    address += u'a';
    EXPECT_EQ(AddressToAscii(address.c_str(), ascii), Failure::kAddressTooLong);
    EXPECT_TRUE(ascii.empty());
    // U+20AC is sent as %E2%82%AC: nine characters for one unit.
    const size_t fits = (kMaxAddressLength - prefix.size()) / 9;
    address = prefix + std::u16string(fits, u'\u20ac');
    ASSERT_EQ(AddressToAscii(address.c_str(), ascii), Failure::kNone);
    address += u'\u20ac';
    EXPECT_EQ(AddressToAscii(address.c_str(), ascii), Failure::kAddressTooLong);
    // Far longer (and never read to its end: the terminator is beyond).
    const std::u16string huge(4 * kMaxAddressLength, u'a');
    EXPECT_EQ(AddressToAscii(huge.c_str(), ascii), Failure::kAddressTooLong);
}

TEST(SkyloomAddress, OnlyAbsoluteHttpAndHttpsUrlsParse) {
    Url url;
    ASSERT_TRUE(ParseHttpUrl("HTTP://Host.example:8080/a/b?c=d#part", url));
    EXPECT_EQ(url.text, "HTTP://Host.example:8080/a/b?c=d");
    EXPECT_EQ(url.authority, "Host.example:8080");
    EXPECT_EQ(url.host, "Host.example");
    EXPECT_EQ(url.port, 8080);
    EXPECT_EQ(url.target, "/a/b?c=d");
    EXPECT_FALSE(url.secure);
    ASSERT_TRUE(ParseHttpUrl("Https://h/x", url));
    EXPECT_TRUE(url.secure);
    EXPECT_EQ(url.port, 443);
    EXPECT_EQ(url.target, "/x");
    ASSERT_TRUE(ParseHttpUrl("https://h:8443", url));
    EXPECT_EQ(url.port, 8443);
    ASSERT_TRUE(ParseHttpUrl("http://h", url));
    EXPECT_FALSE(url.secure);
    EXPECT_EQ(url.port, 80);
    EXPECT_EQ(url.target, "/");
    ASSERT_TRUE(ParseHttpUrl("http://h?q", url));
    EXPECT_EQ(url.target, "/?q");
    ASSERT_TRUE(ParseHttpUrl("http://[::1]:81/x", url));
    EXPECT_EQ(url.host, "::1");
    EXPECT_EQ(url.port, 81);
    for (const char* bad :
         {"httpx://h/", "ftp://h/", "http://", "https://", "http:///x", "https:h/", "http://:80/",
          "http://h:0/", "http://h:65536/", "http://h:8a/", "http://u@h/", "http://[::1/",
          "http://h/a b", "h:80/x"}) {
        EXPECT_FALSE(ParseHttpUrl(bad, url)) << bad;
    }
    // A redirect may not lead past the length a request may have.
    const std::string longest = "http://h/" + std::string(kMaxAddressLength - 9, 'a');
    EXPECT_TRUE(ParseHttpUrl(longest, url));
    EXPECT_FALSE(ParseHttpUrl(longest + "a", url));
}

TEST(SkyloomAddress, RedirectsResolveAgainstTheCurrentUrl) {
    Url base;
    ASSERT_TRUE(ParseHttpUrl("http://a:1/dir/page?x=1", base));
    struct Case {
        const char* location;
        const char* expected;
    };
    for (const Case& c :
         {Case{"http://b/c", "http://b/c"}, Case{"HTTP://b:2", "HTTP://b:2"},
          Case{"//c:3/d", "http://c:3/d"}, Case{"/e?f", "http://a:1/e?f"},
          Case{"g/h", "http://a:1/dir/g/h"}, Case{"?y=2", "http://a:1/dir/page?y=2"},
          Case{"  /trimmed\r\n", "http://a:1/trimmed"}, Case{"https://b/c", "https://b/c"},
          // Dot segments go (RFC 3986 5.2.4), never past the root; a query
          // keeps its dots.
          Case{"../up", "http://a:1/up"}, Case{"./same", "http://a:1/dir/same"},
          Case{"/a/./b/../c", "http://a:1/a/c"}, Case{"../../../../x", "http://a:1/x"},
          Case{"http://b/p/..", "http://b/"}, Case{"/q?x=../y", "http://a:1/q?x=../y"},
          // An encoded CRLF is a path like any other.
          Case{"/a%0D%0Ab", "http://a:1/a%0D%0Ab"}}) {
        Url next;
        ASSERT_TRUE(ResolveRedirect(base, c.location, next)) << c.location;
        EXPECT_EQ(next.text, c.expected) << c.location;
    }
    Url next;
    for (const char* bad : {"ftp://b/", "mailto:x@y", "", "   ", "/a b", "/caf\xc3\xa9", "/a\tb",
                            "file:///etc/passwd", "gopher://b/"}) {
        EXPECT_FALSE(ResolveRedirect(base, bad, next)) << bad;
    }

    // Relative forms keep https.
    ASSERT_TRUE(ParseHttpUrl("https://a/dir/page", base));
    for (const Case& c : {Case{"//c/d", "https://c/d"}, Case{"/e", "https://a/e"},
                          Case{"g", "https://a/dir/g"}, Case{"https://b:1/", "https://b:1/"}}) {
        ASSERT_TRUE(ResolveRedirect(base, c.location, next)) << c.location;
        EXPECT_EQ(next.text, c.expected) << c.location;
        EXPECT_TRUE(next.secure) << c.location;
    }
}

TEST(SkyloomRedirect, OnlyTheFiveRedirectCodesWithOneUsableLocationAreFollowed) {
    Url base;
    ASSERT_TRUE(ParseHttpUrl("http://a/dir/page", base));
    for (int code : {301, 302, 303, 307, 308}) {
        const Redirect redirect = RedirectOf(base, code, 1, "/next");
        EXPECT_TRUE(redirect.follow) << code;
        EXPECT_EQ(redirect.next.text, "http://a/next") << code;
    }
    // Final replies, Location or not: 300 names choices, 304 is a cache's
    // answer, 305 and 306 are obsolete, 309 is unknown; no Location, no hop.
    for (int code : {200, 201, 300, 304, 305, 306, 309, 399, 404}) {
        const Redirect redirect = RedirectOf(base, code, 1, "/next");
        EXPECT_FALSE(redirect.follow) << code;
        EXPECT_EQ(redirect.failure, Failure::kNone) << code;
    }
    EXPECT_FALSE(RedirectOf(base, 302, 0, "").follow);
    EXPECT_EQ(RedirectOf(base, 302, 0, "").failure, Failure::kNone);
    // Two Location fields, or one that leads nowhere usable.
    EXPECT_EQ(RedirectOf(base, 302, 2, "/next").failure, Failure::kUnusableRedirect);
    for (const char* bad : {"/a b", "ftp://b/", "http://b:0/", ""}) {
        const Redirect redirect = RedirectOf(base, 301, 1, bad);
        EXPECT_FALSE(redirect.follow) << bad;
        EXPECT_EQ(redirect.failure, Failure::kUnusableRedirect) << bad;
    }
    // Never from https to http; to https from http is fine.
    EXPECT_TRUE(RedirectOf(base, 302, 1, "https://b/").follow);
    ASSERT_TRUE(ParseHttpUrl("https://a/dir/page", base));
    EXPECT_EQ(RedirectOf(base, 302, 1, "HTTP://a/e").failure, Failure::kInsecureRedirect);
    EXPECT_TRUE(RedirectOf(base, 307, 1, "//c/d").follow);
}

TEST(SkyloomProxy, SettingParses) {
    Proxy proxy;
    struct Case {
        const char* value;
        const char* authority;
        uint16_t port;
    };
    for (const Case& c : {Case{"http://p.example:3128/", "p.example:3128", 3128},
                          Case{"HTTP://p:1", "p:1", 1}, Case{"p:8080", "p:8080", 8080},
                          Case{" p ", "p:1080", 1080}, Case{"[::1]:9", "[::1]:9", 9}}) {
        ASSERT_TRUE(ParseProxy(c.value, proxy)) << c.value;
        EXPECT_TRUE(proxy.use);
        EXPECT_EQ(proxy.authority, c.authority);
        EXPECT_EQ(proxy.port, c.port);
    }
    ASSERT_TRUE(ParseProxy("", proxy));
    EXPECT_FALSE(proxy.use);
    for (const char* bad :
         {"socks5://p:1", "https://p:1", "http://user:pw@p:1", "p:99999", "http://:1", "p:x"})
        EXPECT_FALSE(ParseProxy(bad, proxy)) << bad;
}

TEST(SkyloomProxy, NoProxyListMatchesHostsAndSubdomains) {
    EXPECT_TRUE(BypassesProxy("*", "anything"));
    EXPECT_TRUE(BypassesProxy("example.com", "example.com"));
    EXPECT_TRUE(BypassesProxy("example.com", "Dict.EXAMPLE.com"));
    EXPECT_TRUE(BypassesProxy(".example.com", "example.com"));
    EXPECT_FALSE(BypassesProxy("example.com", "badexample.com"));
    EXPECT_FALSE(BypassesProxy("dict.example.com", "example.com"));
    EXPECT_TRUE(BypassesProxy("a.test, localhost\t127.0.0.1", "127.0.0.1"));
    EXPECT_FALSE(BypassesProxy("a.test, localhost", "127.0.0.1"));
    EXPECT_TRUE(BypassesProxy("[::1]", "::1"));
    EXPECT_FALSE(BypassesProxy("", "h"));
    EXPECT_FALSE(BypassesProxy(", ,", "h"));
}

std::map<std::string, std::string> environment;

std::string Lookup(const char* name) {
    const auto found = environment.find(name);
    return found != environment.end() ? found->second : "";
}

TEST(SkyloomSettings, ComeFromTheEnvironment) {
    Settings settings;
    environment = {};
    ASSERT_TRUE(ReadSettings(&Lookup, settings));
    EXPECT_EQ(settings.connectTimeoutMs, 5000u);
    EXPECT_EQ(settings.receiveTimeoutMs, 15000u);
    EXPECT_EQ(settings.deadlineMs, 30000u);
    EXPECT_FALSE(settings.proxy.use);

    environment = {{"SKYLOOM_TIMEOUT_MS", "1500"},
                   {"http_proxy", "http://lower:1/"},
                   {"HTTP_PROXY", "http://upper:2/"},
                   {"NO_PROXY", "upper.only"},
                   {"no_proxy", "lower.only"}};
    ASSERT_TRUE(ReadSettings(&Lookup, settings));
    EXPECT_EQ(settings.connectTimeoutMs, 1500u);
    EXPECT_EQ(settings.receiveTimeoutMs, 1500u);
    EXPECT_EQ(settings.proxy.authority, "lower:1");
    EXPECT_EQ(settings.noProxy, "lower.only");

    environment = {{"HTTP_PROXY", "upper:2"}, {"NO_PROXY", "upper.only"}};
    ASSERT_TRUE(ReadSettings(&Lookup, settings));
    EXPECT_EQ(settings.proxy.authority, "upper:2");
    EXPECT_EQ(settings.noProxy, "upper.only");
    EXPECT_EQ(settings.caFile, "");

    environment = {{"SKYLOOM_CA_FILE", " /etc/company-ca.pem "}};
    ASSERT_TRUE(ReadSettings(&Lookup, settings));
    EXPECT_EQ(settings.caFile, "/etc/company-ca.pem");

    environment = {{"SKYLOOM_DEADLINE_MS", " 2500 "}};
    ASSERT_TRUE(ReadSettings(&Lookup, settings));
    EXPECT_EQ(settings.deadlineMs, 2500u);
    EXPECT_EQ(settings.receiveTimeoutMs, 15000u);

    // Out of range or not a number: the defaults stay.
    for (const char* bad : {"0", "600001", "15s", "-1", "99999999999", ""}) {
        environment = {{"SKYLOOM_TIMEOUT_MS", bad}, {"SKYLOOM_DEADLINE_MS", bad}};
        ASSERT_TRUE(ReadSettings(&Lookup, settings));
        EXPECT_EQ(settings.receiveTimeoutMs, 15000u) << bad;
        EXPECT_EQ(settings.deadlineMs, 30000u) << bad;
    }

    environment = {{"http_proxy", "socks5://p:1"}};
    EXPECT_FALSE(ReadSettings(&Lookup, settings));
}

} // namespace
