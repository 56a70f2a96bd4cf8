// The user's Internet Settings that Windows programs take their proxy from
// (HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings:
// ProxyEnable, ProxyServer, ProxyOverride), set for the life of the object
// and restored afterwards. For tests in a private Wine prefix.
#pragma once

#include <string>
#include <vector>

namespace lexigrove_test {

class ScopedSystemProxy {
public:
    // An empty server or bypass list leaves that value out.
    ScopedSystemProxy(bool enable, const std::wstring& server, const std::wstring& bypass);
    ~ScopedSystemProxy();
    ScopedSystemProxy(const ScopedSystemProxy&) = delete;
    ScopedSystemProxy& operator=(const ScopedSystemProxy&) = delete;

    // Whether every value was written.
    bool ok() const { return ok_; }

private:
    struct Saved {
        explicit Saved(const wchar_t* valueName) : name(valueName) {}
        const wchar_t* name;
        bool present = false;
        unsigned long type = 0;
        std::vector<unsigned char> bytes;
    };

    void Save(Saved& saved);
    bool Set(const wchar_t* name, unsigned long type, const void* bytes, unsigned long size);
    bool SetText(const wchar_t* name, const std::wstring& value);

    void* key_ = nullptr; // the settings' registry key
    bool ok_ = false;
    Saved saved_[3] = {Saved(L"ProxyEnable"), Saved(L"ProxyServer"), Saved(L"ProxyOverride")};
};

} // namespace lexigrove_test
