// The address and environment handling both transports share: what goes on
// the wire, where redirects lead, and which proxy a request takes.

#include "skyloom/Request.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using namespace skyloom;

TEST(SkyloomAddress, BecomesPrintableAscii) {
    std::string ascii;
    ASSERT_TRUE(AddressToAscii(u"http://h/q?w=a%20b", ascii));
    EXPECT_EQ(ascii, "http://h/q?w=a%20b");
    ASSERT_TRUE(AddressToAscii(u"http://h/caf\u00e9 \U0001F600", ascii));
    EXPECT_EQ(ascii, "http://h/caf%C3%A9%20%F0%9F%98%80");
    EXPECT_FALSE(AddressToAscii(nullptr, ascii));
    for (char16_t lone : {char16_t(0xD800), char16_t(0xDC00)}) {
        std::u16string broken = u"http://h/";
        broken += lone;
        broken += u"x";
        EXPECT_FALSE(AddressToAscii(broken.c_str(), ascii));
    }
    const std::u16string tooLong(kMaxAddressUnits + 1, u'a');
    EXPECT_FALSE(AddressToAscii(tooLong.c_str(), ascii));
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
          Case{"  /trimmed\r\n", "http://a:1/trimmed"}, Case{"https://b/c", "https://b/c"}}) {
        Url next;
        ASSERT_TRUE(ResolveRedirect(base, c.location, next)) << c.location;
        EXPECT_EQ(next.text, c.expected) << c.location;
        EXPECT_FALSE(IsDowngrade(base, next)) << c.location;
    }
    Url next;
    for (const char* bad : {"ftp://b/", "mailto:x@y", "", "   "})
        EXPECT_FALSE(ResolveRedirect(base, bad, next)) << bad;

    // Relative forms keep https; only an absolute http address leaves it.
    ASSERT_TRUE(ParseHttpUrl("https://a/dir/page", base));
    for (const Case& c : {Case{"//c/d", "https://c/d"}, Case{"/e", "https://a/e"},
                          Case{"g", "https://a/dir/g"}, Case{"https://b:1/", "https://b:1/"}}) {
        ASSERT_TRUE(ResolveRedirect(base, c.location, next)) << c.location;
        EXPECT_EQ(next.text, c.expected) << c.location;
        EXPECT_TRUE(next.secure) << c.location;
        EXPECT_FALSE(IsDowngrade(base, next)) << c.location;
    }
    ASSERT_TRUE(ResolveRedirect(base, "HTTP://a/e", next));
    EXPECT_TRUE(IsDowngrade(base, next));
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

    // Out of range or not a number: the defaults stay.
    for (const char* bad : {"0", "600001", "15s", "-1", "99999999999"}) {
        environment = {{"SKYLOOM_TIMEOUT_MS", bad}};
        ASSERT_TRUE(ReadSettings(&Lookup, settings));
        EXPECT_EQ(settings.receiveTimeoutMs, 15000u) << bad;
    }

    environment = {{"http_proxy", "socks5://p:1"}};
    EXPECT_FALSE(ReadSettings(&Lookup, settings));
}

TEST(RefusedDetail, NamesTheCodeAndAPrintableBoundedPhrase) {
    EXPECT_EQ(skyloom::RefusedDetail(414, " URI Too Long\r\n"), "server refused: 414 URI Too Long");
    EXPECT_EQ(skyloom::RefusedDetail(500, ""), "server refused: 500");
    // Control bytes and anything past ASCII are dropped; the phrase is cut.
    EXPECT_EQ(skyloom::RefusedDetail(403, "No\x01\xff way"), "server refused: 403 No way");
    EXPECT_EQ(skyloom::RefusedDetail(400, std::string(500, 'x')).size(),
              std::string("server refused: 400 ").size() + 100);
}

} // namespace
