// A control for the worker's tests: members that echo what the worker converted, print to stdout,
// wait for the user, and answer IObjectSafety as KORVAN_PROBE_SAFETY says: "absent" (no such
// interface), "unlisted" (untrusted callers not among the options), "refused" (the options
// cannot be set), anything else safe.
#include "tests/platform/com/dispatch/TestModule.h"

#include "platform/com/Utf16.h"
#include "platform/win/UserWait.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

const IID IID_IProbe = {0x7B3E2C10, 0x4A5D, 0x4E21, {0x8C, 0x6F, 0x2D, 0x1A, 0x9B, 0x7E, 0x00, 0x02}};
const CLSID CLSID_Probe = {0x7B3E2C10, 0x4A5D, 0x4E21, {0x8C, 0x6F, 0x2D, 0x1A, 0x9B, 0x7E, 0x00, 0x03}};

struct IProbe : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Echo(BSTR text, BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Number(LONG value, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsNullText(BSTR text, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Shout(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SafetyEnabled(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE Touch() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Invoke(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE Toggle(VARIANT_BOOL on, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Pair(BSTR text, LONG number, BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Wait(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Declines(LONG* pVal) = 0;

protected:
    ~IProbe() = default;
};

std::string safetyMode() {
    const char* mode = std::getenv("KORVAN_PROBE_SAFETY");
    return mode != nullptr ? mode : "";
}

class Probe final : public TestDispatchObject<IProbe> {
public:
    Probe() : TestDispatchObject(IID_IProbe) {}

    HRESULT STDMETHODCALLTYPE get_Echo(BSTR text, BSTR* pVal) override {
        *pVal = SysAllocStringLen(text, SysStringLen(text));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Number(LONG value, LONG* pVal) override {
        *pVal = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsNullText(BSTR text, LONG* pVal) override {
        *pVal = text == nullptr ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Shout(LONG* pVal) override {
        // Both the C library's buffer and the descriptor itself.
        std::printf("a stray line from a module\n");
        std::fflush(stdout);
        const char raw[] = "\0\0\0\x05{oops";
        const ssize_t written = ::write(1, raw, sizeof raw - 1);
        *pVal = written > 0 ? 7 : 6;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_SafetyEnabled(LONG* pVal) override {
        *pVal = static_cast<LONG>(enabled_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Touch() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_Invoke(LONG* pVal) override {
        *pVal = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Toggle(VARIANT_BOOL on, LONG* pVal) override {
        *pVal = on == VARIANT_TRUE ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Pair(BSTR text, LONG number, BSTR* pVal) override {
        const std::u16string joined =
            std::u16string(platform::bstrView(text)).append(platform::utf16FromUtf8(std::to_string(number)));
        *pVal = platform::bstrFromUtf16(joined);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Wait(LONG* pVal) override {
        KorvanUserWait wait;
        *pVal = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Declines(LONG* pVal) override {
        *pVal = 7; // written, with a status other than S_OK
        return S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override {
        if (riid != IID_IDispatch)
            return E_NOINTERFACE;
        *supported = safetyMode() == "unlisted"
                         ? INTERFACESAFE_FOR_UNTRUSTED_DATA
                         : INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
        *enabled = enabled_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override {
        if (riid != IID_IDispatch || safetyMode() == "refused")
            return E_FAIL;
        enabled_ = (enabled_ & ~mask) | (enabled & mask);
        return S_OK;
    }

private:
    bool offersSafety() const override { return safetyMode() != "absent"; }

    DWORD enabled_ = 0;
};

} // namespace

ServedClass servedClass() {
    return {CLSID_Probe, createTestObject<Probe>};
}
