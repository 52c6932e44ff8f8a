// A control for the confinement tests: each member tries one thing a worker taken over would try
// and returns 0 when it worked, else the errno it got.
#include "tests/platform/com/dispatch/TestModule.h"

#include "platform/com/Utf16.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const IID IID_IJail = {0x7B3E2C10, 0x4A5D, 0x4E21, {0x8C, 0x6F, 0x2D, 0x1A, 0x9B, 0x7E, 0x00, 0x12}};
const CLSID CLSID_Jail = {0x7B3E2C10, 0x4A5D, 0x4E21, {0x8C, 0x6F, 0x2D, 0x1A, 0x9B, 0x7E, 0x00, 0x13}};

struct IJail : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_WriteFile(BSTR path, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectTcp(LONG port, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_OpenSocket(LONG family, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Trace(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WriteMemory(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Run(BSTR path, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Variable(BSTR name, BSTR* pVal) = 0;

protected:
    ~IJail() = default;
};

std::string utf8(BSTR text) {
    return platform::utf8FromUtf16(std::u16string(platform::bstrView(text)));
}

LONG outcome(bool worked) {
    return worked ? 0 : static_cast<LONG>(errno);
}

class Jail final : public TestDispatchObject<IJail> {
public:
    Jail() : TestDispatchObject(IID_IJail) {}

    HRESULT STDMETHODCALLTYPE get_WriteFile(BSTR path, LONG* pVal) override {
        const int fd = ::open(utf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        *pVal = outcome(fd >= 0 && ::write(fd, "x", 1) == 1);
        if (fd >= 0)
            ::close(fd);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ConnectTcp(LONG port, LONG* pVal) override {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *pVal = outcome(fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        if (fd >= 0)
            ::close(fd);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_OpenSocket(LONG family, LONG* pVal) override {
        const int type = family == AF_NETLINK || family == AF_PACKET ? SOCK_RAW : SOCK_STREAM;
        const int fd = ::socket(static_cast<int>(family), type | SOCK_CLOEXEC, 0);
        *pVal = outcome(fd >= 0);
        if (fd >= 0)
            ::close(fd);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Trace(LONG* pVal) override {
        // A child of our own, so that an attach that works stops nobody else.
        const pid_t child = ::fork();
        if (child == 0) {
            ::pause();
            ::_exit(0);
        }
        *pVal = outcome(child > 0 && ::ptrace(PTRACE_ATTACH, child, nullptr, nullptr) == 0);
        if (child > 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_WriteMemory(LONG* pVal) override {
        char from[4] = "abc";
        char to[4] = {};
        const iovec local{from, sizeof from};
        const iovec remote{to, sizeof to};
        *pVal = outcome(::process_vm_writev(::getpid(), &local, 1, &remote, 1, 0) == sizeof from);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Run(BSTR path, LONG* pVal) override {
        // The exit status of the program, or 100 + the errno execve() gave.
        const std::string program = utf8(path);
        const pid_t child = ::fork();
        if (child == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
            ::execv(argv[0], argv);
            ::_exit(100 + (errno < 100 ? errno : 0));
        }
        int status = 0;
        *pVal = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Variable(BSTR name, BSTR* pVal) override {
        const char* value = std::getenv(utf8(name).c_str());
        *pVal = platform::bstrFromUtf16(platform::utf16FromUtf8(value != nullptr ? value : ""));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override {
        if (riid != IID_IDispatch)
            return E_NOINTERFACE;
        *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
        *enabled = enabled_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override {
        if (riid != IID_IDispatch)
            return E_FAIL;
        enabled_ = (enabled_ & ~mask) | (enabled & mask);
        return S_OK;
    }

private:
    DWORD enabled_ = 0;
};

} // namespace

ServedClass servedClass() {
    return {CLSID_Jail, createTestObject<Jail>};
}
