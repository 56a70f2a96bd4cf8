// The online library as the plugin uses it: loaded by name, its download
// object created through the export, driving real requests against the test
// server on 127.0.0.1 (lexigrove-testhttpd, started by the test fixture;
// LEXIGROVE_TESTHTTPD_PORT_FILE names its port file), including its https
// servers, whose test authority LEXIGROVE_TEST_CA_FILE names. The receive and
// connect timeouts are shortened through SKYLOOM_TIMEOUT_MS.

#include "TestBytes.h"
#include "TestEnvironment.h"
#include "basiccpp/Log.h"
#include "online/HttpFile.h"
#include "platform/Platform.h"
#include "skyloom/Status.h"
#include "tests/support/SystemProxySettings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using skyloom_test::ReplyBytes;
using skyloom_test::ScopedEnvironment;
using Clock = std::chrono::steady_clock;

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

struct Library {
    platform::ModuleHandle module = nullptr;
    CreateHttpFileFn create = nullptr;
    DeleteHttpFileFn destroy = nullptr;
    int port = 0;
    int closedPort = 0;
    // The https servers: good, expired, wronghost, untrusted certificates.
    int tlsPorts[4] = {};
    std::string caFile;
};

enum TlsServer { kGood, kExpired, kWrongHost, kUntrusted };

Library& Loaded() {
    static Library library;
    return library;
}

// One Open and the Reads that follow it, as the plugin does them: chunks of
// `chunk` bytes until a read delivers fewer.
struct Reply {
    int32_t open = 0;
    int32_t read = 0; // status of the last Read
    std::vector<uint32_t> counts;
    std::string body;

    // The first failure, or kOk.
    int32_t status() const { return open < 0 ? open : read; }
};

Reply Fetch(HttpFile* file, const std::u16string& address, uint32_t chunk = 4096) {
    Reply reply;
    reply.open = file->Open(address.c_str(), kGenericRead, kFileShareRead, kOpenExisting,
                            kFileAttributeNormal);
    if (reply.open < 0)
        return reply;
    std::vector<char> buffer(chunk);
    for (int guard = 0; guard < 1000000; ++guard) {
        uint32_t count = 0;
        reply.read = file->Read(buffer.data(), chunk, &count);
        if (reply.read < 0)
            break;
        reply.counts.push_back(count);
        reply.body.append(buffer.data(), count);
        if (count != chunk)
            break;
    }
    return reply;
}

// Every read full until the last, which holds the rest (possibly 0 bytes).
std::vector<uint32_t> FullChunks(size_t total, uint32_t chunk) {
    std::vector<uint32_t> counts(total / chunk, chunk);
    counts.push_back(static_cast<uint32_t>(total % chunk));
    return counts;
}

// The host's log as the library sees it: only formatted entries expected.
class RecordingLog final : public CAbstractLog {
public:
    struct Entry {
        std::u16string file;
        int32_t level;
        std::u16string format;
        int32_t status;
        std::u16string reason;
    };
    std::vector<Entry> entries;
    int unexpected = 0;

    void LEXIGROVE_MEMBER_CDECL Reserved1() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved2() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved3() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved4() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved5() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved6() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved7() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved8() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL Reserved9() override { ++unexpected; }
    void LEXIGROVE_MEMBER_CDECL AssertReport(const char16_t*, const char16_t*, int32_t) override {
        ++unexpected;
    }
    void LEXIGROVE_MEMBER_CDECL FormattedEntry(const char16_t* file, int32_t, int32_t level,
                                               const char16_t* format, ...) override {
        va_list args;
        va_start(args, format);
        const int32_t status = va_arg(args, int32_t);
        const char16_t* reason = va_arg(args, const char16_t*);
        va_end(args);
        entries.push_back({file, level, format, status, reason});
    }
};

class SkyloomHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Library& library = Loaded();
        library.module = platform::LoadModule(u"Skyloom.dll");
        if (library.module != nullptr) {
            library.create = reinterpret_cast<CreateHttpFileFn>(
                platform::FindSymbol(library.module, "CreateHttpFile"));
            library.destroy = reinterpret_cast<DeleteHttpFileFn>(
                platform::FindSymbol(library.module, "DeleteHttpFile"));
        }
        const char* portFile = std::getenv("LEXIGROVE_TESTHTTPD_PORT_FILE");
        if (portFile != nullptr) {
            std::ifstream in(portFile);
            long pid = 0;
            in >> library.port >> library.closedPort >> pid;
            for (int& tlsPort : library.tlsPorts)
                in >> tlsPort;
        }
        if (const char* caFile = std::getenv("LEXIGROVE_TEST_CA_FILE"))
            library.caFile = caFile;
        // Nothing from the caller's environment may send these requests
        // elsewhere.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"})
            skyloom_test::SetEnvironment(name, "");
        // The curl build trusts the test authority through the documented
        // setting; the Windows build finds it in the prefix's Root store.
        skyloom_test::SetEnvironment("SKYLOOM_CA_FILE", library.caFile);
    }

    static void TearDownTestSuite() {
        // Unloading must leave nothing behind (the sanitizers check).
        if (Loaded().module != nullptr)
            platform::FreeModule(Loaded().module);
        Loaded() = Library();
    }

    void SetUp() override {
        const Library& library = Loaded();
        ASSERT_NE(library.module, nullptr) << "Skyloom.dll did not load";
        ASSERT_NE(library.create, nullptr);
        ASSERT_NE(library.destroy, nullptr);
        ASSERT_GT(library.port, 0) << "no test server (LEXIGROVE_TESTHTTPD_PORT_FILE)";
        file_ = library.create(0, nullptr);
        ASSERT_NE(file_, nullptr);
    }

    void TearDown() override {
        if (file_ != nullptr)
            Loaded().destroy(file_);
    }

    static std::u16string At(const std::string& path) {
        return Widen("http://127.0.0.1:" + std::to_string(Loaded().port) + path);
    }

    // By name: not every client matches a certificate's IP address entries.
    static std::u16string Secure(TlsServer server, const std::string& path) {
        return Widen("https://localhost:" + std::to_string(Loaded().tlsPorts[server]) + path);
    }

    HttpFile* file_ = nullptr;
};

TEST_F(SkyloomHttp, RepliesArriveWholeInFullChunks) {
    struct Case {
        const char* path;
        size_t size;
    };
    // Fixed lengths and chunked encoding in pieces smaller than a chunk.
    for (const Case& c : {Case{"/empty", 0}, Case{"/bytes/4095", 4095}, Case{"/bytes/4096", 4096},
                          Case{"/bytes/4097", 4097}, Case{"/bytes/1048576", 1048576},
                          Case{"/chunked/100000", 100000}}) {
        SCOPED_TRACE(c.path);
        const Reply reply = Fetch(file_, At(c.path));
        ASSERT_EQ(reply.open, skyloom::kOk);
        EXPECT_EQ(reply.read, skyloom::kOk);
        EXPECT_EQ(reply.counts, FullChunks(c.size, 4096));
        EXPECT_TRUE(reply.body == ReplyBytes(0, c.size)) << "body differs";
        // Past the end: nothing more, and no failure.
        char byte = 0;
        uint32_t count = 99;
        EXPECT_EQ(file_->Read(&byte, 1, &count), skyloom::kOk);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(file_->Close(), skyloom::kOk);
    }
}

TEST_F(SkyloomHttp, ChunksHaveTheSizeTheCallerAsksFor) {
    Reply reply = Fetch(file_, At("/chunked/10000"), 1000);
    EXPECT_EQ(reply.counts, FullChunks(10000, 1000));
    EXPECT_TRUE(reply.body == ReplyBytes(0, 10000));
    reply = Fetch(file_, At("/bytes/10"), 3);
    EXPECT_EQ(reply.counts, (std::vector<uint32_t>{3, 3, 3, 1}));
    EXPECT_TRUE(reply.body == ReplyBytes(0, 10));
    reply = Fetch(file_, At("/bytes/4097"), 65536);
    EXPECT_EQ(reply.counts, (std::vector<uint32_t>{4097}));
    file_->Close();
}

TEST_F(SkyloomHttp, RedirectsAreFollowedFiveTimesAtMost) {
    for (const char* path :
         {"/redirect", "/redirect-absolute", "/dir/redirect-relative", "/chain/5"}) {
        SCOPED_TRACE(path);
        const Reply reply = Fetch(file_, At(path));
        EXPECT_EQ(reply.status(), skyloom::kOk);
        EXPECT_TRUE(reply.body == ReplyBytes(0, 4096));
    }
    EXPECT_EQ(Fetch(file_, At("/chain/6")).open, skyloom::kTooManyRedirects);
    EXPECT_EQ(Fetch(file_, At("/redirect-loop")).open, skyloom::kTooManyRedirects);
}

TEST_F(SkyloomHttp, HttpsIsFollowedFromARedirectAndVerified) {
    ASSERT_GT(Loaded().tlsPorts[kGood], 0) << "no https servers";
    struct Case {
        std::u16string address;
        size_t size;
    };
    // From plain http to https, https asked for directly, and redirects that
    // stay on https (relative, and a chain that ends at the limit).
    for (const Case& c :
         {Case{At("/to-tls/good/bytes/5000"), 5000}, Case{Secure(kGood, "/chunked/10000"), 10000},
          Case{Secure(kGood, "/redirect"), 4096}, Case{At("/to-tls/good/chain/4"), 4096}}) {
        SCOPED_TRACE(std::string(c.address.begin(), c.address.end()));
        const Reply reply = Fetch(file_, c.address);
        ASSERT_EQ(reply.status(), skyloom::kOk);
        EXPECT_EQ(reply.counts, FullChunks(c.size, 4096));
        EXPECT_TRUE(reply.body == ReplyBytes(0, c.size)) << "body differs";
    }
    // The redirect limit counts the hop to https like any other.
    EXPECT_EQ(Fetch(file_, At("/to-tls/good/chain/5")).open, skyloom::kTooManyRedirects);
    // Never back from https to plain http.
    EXPECT_EQ(Fetch(file_, Secure(kGood, "/redirect-absolute")).open, skyloom::kInsecureRedirect);
}

TEST_F(SkyloomHttp, CertificatesThatFailVerificationFailTheOpen) {
    ASSERT_GT(Loaded().tlsPorts[kUntrusted], 0) << "no https servers";
    RecordingLog log;
    HttpFile* file = Loaded().create(0, &log);
    ASSERT_NE(file, nullptr);
    for (const char* name : {"expired", "wronghost", "untrusted"}) {
        SCOPED_TRACE(name);
        const Reply reply = Fetch(file, At("/to-tls/" + std::string(name) + "/bytes/100"));
        EXPECT_EQ(reply.open, skyloom::kCertificateRejected);
        EXPECT_TRUE(reply.body.empty());
        char byte = 0;
        uint32_t count = 99;
        EXPECT_EQ(file->Read(&byte, 1, &count), skyloom::kNotOpen);
    }
    for (TlsServer server : {kExpired, kWrongHost, kUntrusted})
        EXPECT_EQ(Fetch(file, Secure(server, "/bytes/100")).open, skyloom::kCertificateRejected);
    // The same object goes on to a server it can trust.
    EXPECT_EQ(Fetch(file, Secure(kGood, "/bytes/100")).status(), skyloom::kOk);
    Loaded().destroy(file);
    ASSERT_EQ(log.entries.size(), 6u);
    for (const RecordingLog::Entry& entry : log.entries) {
        EXPECT_EQ(entry.status, skyloom::kCertificateRejected);
        EXPECT_EQ(entry.reason, u"certificate not trusted");
    }
}

#if !defined(_WIN32)
TEST_F(SkyloomHttp, CurlTrustsTheSystemBundleUnlessTheCaSettingNamesAFile) {
    ASSERT_GT(Loaded().tlsPorts[kGood], 0) << "no https servers";
    {
        // The system's bundle does not know the test authority.
        ScopedEnvironment system("SKYLOOM_CA_FILE", "");
        EXPECT_EQ(Fetch(file_, Secure(kGood, "/bytes/100")).open, skyloom::kCertificateRejected);
    }
    {
        ScopedEnvironment missing("SKYLOOM_CA_FILE", Loaded().caFile + ".missing");
        EXPECT_EQ(Fetch(file_, Secure(kGood, "/bytes/100")).open, skyloom::kSecureChannelFailed);
    }
    EXPECT_EQ(Fetch(file_, Secure(kGood, "/bytes/100")).status(), skyloom::kOk);
}
#endif

TEST_F(SkyloomHttp, StatusOtherThan2xxFailsTheOpen) {
    for (const char* path : {"/missing", "/error"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Fetch(file_, At(path)).open, skyloom::kHttpStatus);
        char byte = 0;
        uint32_t count = 99;
        EXPECT_EQ(file_->Read(&byte, 1, &count), skyloom::kNotOpen);
        EXPECT_EQ(count, 0u);
    }
}

TEST_F(SkyloomHttp, StalledOrBrokenRepliesFailInsteadOfHanging) {
    // The server stalls for 10 s, then drops the connection: a failure
    // before that can only come from the receive timeout (1.5 s here).
    for (const char* path : {"/stall", "/stall-headers"}) {
        SCOPED_TRACE(path);
        const Clock::time_point start = Clock::now();
        const Reply reply = Fetch(file_, At(path));
        const auto elapsed = Clock::now() - start;
        EXPECT_EQ(reply.status(), skyloom::kTimedOut);
        EXPECT_LT(elapsed, std::chrono::seconds(8));
    }
    // A body cut short is a failed read, not a short reply.
    EXPECT_EQ(Fetch(file_, At("/truncated")).status(), skyloom::kTransferFailed);
    // Nobody listening: refused at once, not timed out.
    const std::u16string closed =
        Widen("http://127.0.0.1:" + std::to_string(Loaded().closedPort) + "/bytes/1");
    EXPECT_EQ(Fetch(file_, closed).open, skyloom::kConnectFailed);
}

TEST_F(SkyloomHttp, ProxyComesFromTheEnvironment) {
    const std::string server = "127.0.0.1:" + std::to_string(Loaded().port);
    const std::u16string remote = u"http://dictionary.brambix.example/lookup?word=tree";
    // Direct: the server sees the request in origin form.
    EXPECT_EQ(Fetch(file_, At("/echo?word=tree")).body, "GET /echo?word=tree");
    {
        ScopedEnvironment proxy("http_proxy", "http://" + server + "/");
        const Reply reply = Fetch(file_, remote);
        ASSERT_EQ(reply.status(), skyloom::kOk);
        // Absolute form to the proxy, the port possibly spelled out.
        EXPECT_EQ(reply.body.rfind("PROXY GET http://dictionary.brambix.example", 0), 0u)
            << reply.body;
        EXPECT_NE(reply.body.find("/lookup?word=tree HOST dictionary.brambix.example"),
                  std::string::npos)
            << reply.body;
        // Loopback hosts are not exempt by themselves...
        EXPECT_EQ(Fetch(file_, At("/echo")).body,
                  "PROXY GET http://" + server + "/echo HOST " + server);
        // ...but no_proxy sends matching hosts direct.
        ScopedEnvironment noProxy("no_proxy", "localhost, 127.0.0.1");
        EXPECT_EQ(Fetch(file_, At("/echo?word=tree")).body, "GET /echo?word=tree");
    }
    {
        // The upper-case spelling, and a bare host:port.
        ScopedEnvironment proxy("HTTP_PROXY", server);
        const Reply reply = Fetch(file_, remote);
        EXPECT_EQ(reply.body.rfind("PROXY GET http://dictionary.brambix.example", 0), 0u)
            << reply.body;
    }
    {
        ScopedEnvironment proxy("http_proxy",
                                "http://127.0.0.1:" + std::to_string(Loaded().closedPort));
        EXPECT_EQ(Fetch(file_, remote).open, skyloom::kConnectFailed);
    }
    {
        // A proxy that cannot be used fails the request rather than going
        // around it.
        ScopedEnvironment proxy("http_proxy", "socks5://" + server);
        EXPECT_EQ(Fetch(file_, remote).open, skyloom::kBadProxy);
    }
}

#if defined(_WIN32)
TEST_F(SkyloomHttp, SystemProxySettingsApplyWhenTheEnvironmentNamesNoProxy) {
    using lexigrove_test::ScopedSystemProxy;
    const std::wstring server = L"127.0.0.1:" + std::to_wstring(Loaded().port);
    const std::string local = "localhost:" + std::to_string(Loaded().port);
    const std::u16string remote = u"http://dictionary.brambix.example/lookup?word=tree";
    // Each object opens its session once: a new object per setting.
    const auto fetch = [](const std::u16string& address) {
        HttpFile* file = Loaded().create(0, nullptr);
        const Reply reply = Fetch(file, address);
        Loaded().destroy(file);
        return reply;
    };
    {
        ScopedSystemProxy system(true, server, L"");
        ASSERT_TRUE(system.ok());
        const Reply reply = fetch(remote);
        ASSERT_EQ(reply.status(), skyloom::kOk);
        EXPECT_EQ(reply.body.rfind("PROXY GET http://dictionary.brambix.example", 0), 0u)
            << reply.body;
        EXPECT_EQ(fetch(Widen("http://" + local + "/echo")).body,
                  "PROXY GET http://" + local + "/echo HOST " + local);
    }
    {
        // A host the override list names goes direct.
        ScopedSystemProxy system(true, server, L"localhost;*.brambix.example");
        ASSERT_TRUE(system.ok());
        EXPECT_EQ(fetch(Widen("http://" + local + "/echo")).body, "GET /echo");
    }
    {
        // Switched off: direct.
        ScopedSystemProxy system(false, server, L"");
        ASSERT_TRUE(system.ok());
        EXPECT_EQ(fetch(Widen("http://" + local + "/echo")).body, "GET /echo");
    }
    {
        // A proxy that refuses connections fails the request, promptly.
        ScopedSystemProxy system(true, L"127.0.0.1:" + std::to_wstring(Loaded().closedPort), L"");
        ASSERT_TRUE(system.ok());
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(fetch(remote).open, skyloom::kConnectFailed);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
        // The environment's proxy comes first.
        ScopedEnvironment proxy("http_proxy", "http://127.0.0.1:" + std::to_string(Loaded().port));
        EXPECT_EQ(fetch(remote).body.rfind("PROXY GET http://dictionary.brambix.example", 0), 0u);
    }
}
#endif

TEST_F(SkyloomHttp, OneObjectServesRequestAfterRequest) {
    // Open while a reply is half read: the new reply replaces it.
    uint32_t count = 0;
    std::vector<char> chunk(4096);
    ASSERT_EQ(file_->Open(At("/bytes/1048576").c_str(), kGenericRead, kFileShareRead, kOpenExisting,
                          kFileAttributeNormal),
              skyloom::kOk);
    ASSERT_EQ(file_->Read(chunk.data(), 4096, &count), skyloom::kOk);
    Reply second = Fetch(file_, At("/bytes/100"));
    EXPECT_EQ(second.counts, FullChunks(100, 4096));
    EXPECT_TRUE(second.body == ReplyBytes(0, 100));
    // Close any number of times; Read after Close fails cleanly.
    EXPECT_EQ(file_->Close(), skyloom::kOk);
    EXPECT_EQ(file_->Close(), skyloom::kOk);
    EXPECT_EQ(file_->Read(chunk.data(), 4096, &count), skyloom::kNotOpen);
    // A failed request does not spoil the next one.
    EXPECT_EQ(Fetch(file_, At("/missing")).open, skyloom::kHttpStatus);
    EXPECT_EQ(Fetch(file_, At("/stall-headers")).status(), skyloom::kTimedOut);
    EXPECT_TRUE(Fetch(file_, At("/bytes/5000")).body == ReplyBytes(0, 5000));
    // Destroyed with a request open.
    HttpFile* other = Loaded().create(0, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(other->Open(At("/bytes/1048576").c_str(), kGenericRead, kFileShareRead, kOpenExisting,
                          kFileAttributeNormal),
              skyloom::kOk);
    ASSERT_EQ(other->Read(chunk.data(), 4096, &count), skyloom::kOk);
    Loaded().destroy(other);
    Loaded().destroy(nullptr);
}

TEST_F(SkyloomHttp, UnusableArgumentsAreRefused) {
    EXPECT_EQ(
        file_->Open(nullptr, kGenericRead, kFileShareRead, kOpenExisting, kFileAttributeNormal),
        skyloom::kBadArgument);
    const std::string port = std::to_string(Loaded().port);
    std::u16string unpaired = At("/bytes/1");
    unpaired.push_back(static_cast<char16_t>(0xD800));
    for (const std::u16string& address :
         {std::u16string(u""), std::u16string(u"ftp://127.0.0.1/"), std::u16string(u"http://"),
          std::u16string(u"https://"), std::u16string(u"httpx://127.0.0.1/"),
          Widen("127.0.0.1:" + port + "/bytes/1"), Widen("http://user@127.0.0.1:" + port + "/"),
          Widen("http://127.0.0.1:99999/"), unpaired}) {
        SCOPED_TRACE(std::string(address.begin(), address.end()));
        EXPECT_EQ(Fetch(file_, address).open, skyloom::kUnsupportedAddress);
    }
    ASSERT_EQ(Fetch(file_, At("/bytes/10"), 1).open, skyloom::kOk);
    char byte = 0;
    EXPECT_EQ(file_->Read(&byte, 1, nullptr), skyloom::kBadArgument);
    uint32_t count = 99;
    EXPECT_EQ(file_->Read(nullptr, 1, &count), skyloom::kBadArgument);
    EXPECT_EQ(count, 0u);
    // The operations nobody calls answer harmlessly.
    EXPECT_EQ(file_->Reserved1(), skyloom::kNotSupported);
    EXPECT_EQ(file_->Reserved2(), skyloom::kNotSupported);
    EXPECT_EQ(file_->Reserved3(), skyloom::kNotSupported);
    EXPECT_EQ(file_->Reserved6(), skyloom::kNotSupported);
}

TEST_F(SkyloomHttp, FailuresGoToTheLogAtLevelOne) {
    RecordingLog log;
    HttpFile* file = Loaded().create(0, &log);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Fetch(file, At("/bytes/5000")).status(), skyloom::kOk);
    EXPECT_TRUE(log.entries.empty());
    EXPECT_EQ(Fetch(file, At("/missing")).open, skyloom::kHttpStatus);
    EXPECT_EQ(Fetch(file, At("/truncated")).status(), skyloom::kTransferFailed);
    Loaded().destroy(file);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.unexpected, 0);
    EXPECT_EQ(log.entries[0].level, 1);
    EXPECT_EQ(log.entries[0].format, u"HTTP request failed: (%d) %s");
    EXPECT_EQ(log.entries[0].status, skyloom::kHttpStatus);
    EXPECT_EQ(log.entries[0].reason, u"server refused: 404 Not Found");
    EXPECT_EQ(log.entries[1].status, skyloom::kTransferFailed);
    EXPECT_EQ(log.entries[1].reason, u"reply cut short");
}

} // namespace
