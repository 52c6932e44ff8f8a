// The entry points of a test module serving servedClass(); its registration script is resource 102.
#include "TestModule.h"

#include "platform/com/Registrar.h"

ModuleLockCount& moduleLocks() {
    static ModuleLockCount locks;
    return locks;
}

namespace {

ClassFactory& factory() {
    static ClassFactory served(moduleLocks(), servedClass().create);
    return served;
}

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return factory().GetClassObject(rclsid, servedClass().clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() {
    return moduleLocks().CanUnloadNow();
}

STDAPI DllRegisterServer() {
    return RegisterServerModule(ThisModule(), 102);
}

STDAPI DllUnregisterServer() {
    return UnregisterServerModule(ThisModule(), 102);
}
